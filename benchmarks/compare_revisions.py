"""Times the Monte Carlo step of two builds of vica side by side.

    python benchmarks/compare_revisions.py [--base REV] [--workdir DIR] [--rounds 3]
                                           [--cases bms1,bms3,cms1,cms3,ur3] [--reuse]
                                           [--work-env VENV]

Installs the git revision REV (default 0d3804979038) and the working tree into
two virtual environments under DIR (default build/compare), then times five
cases through the public API, the two builds alternately, and keeps the best of
the rounds of each:

  bms1  Bms, one-site Lennard-Jones pair, T = 150 K, order_max 2
  bms3  Bms, three-site CO2-like pair (R1R6R12 on every site pair), T = 300 K, order_max 2
  cms1  Cms, three one-site Lennard-Jones molecules, T = 150 K, order_max 2
  cms3  Cms, three of the CO2-like molecules, T = 300 K, order_max 2
  ur3   Uij.u_r of the CO2-like pair at r = 6, dev_tol 0, fixed block counts

Every Bms and Cms run uses dev_tol = 1e300: the stop rule is first tested after
production block 10, where dev_tol > d / |m| holds for any finite ratio, so a
run makes 1,000,000 tuning steps and 10,000,000 production steps (plus the
start search, a few draws).  The u_r run takes dev_tol = 0, which only the
absolute floor could meet, so it draws all (10 + num_outer) * num_inner samples.

Prints, per case, the nanoseconds per step (or sample) of each build and the
ratio base / working tree (above 1: the working tree is faster).  The times
are the processor time of the run (time.process_time), so that a machine
shared with other jobs slows the figures less than wall-clock time would; the
two builds still alternate so that both see the same conditions.  The progress
lines of each Bms and Cms run are counted (10 tuning and 10 production lines)
to make sure it made its 11,000,000 steps.
"""

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tarfile
import tempfile
import venv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BASE = "0d3804979038"

# One timed case, run in a fresh interpreter of the given environment: prints
# "seconds count" on standard error (standard output carries the progress
# lines and goes to /dev/null).
CHILD = r'''
import sys, time
from vica import Bms, Cms, PotK, Uij

case = sys.argv[1]
lj = [[PotK.R6R12(-4 * 100.0, 4 * 100.0)]]            # eps/k = 100 K, sigma = 1
one = [[0.0, 0.0, 0.0]]
# CO2-like: O=C=O, C-O 1.16 angstrom, charges +0.70 / -0.35, TraPPE-like
# Lennard-Jones terms (Lorentz-Berthelot), Coulomb in K * angstrom.
co2 = [[-1.16, 0.0, 0.0], [0.0, 0.0, 0.0], [1.16, 0.0, 0.0]]
q = [-0.35, 0.70, -0.35]
eps = [79.0, 27.0, 79.0]
sig = [3.05, 2.80, 3.05]
tab = []
for i in range(3):
    row = []
    for j in range(3):
        e = (eps[i] * eps[j]) ** 0.5
        s = 0.5 * (sig[i] + sig[j])
        row.append(PotK.R1R6R12(167100.0 * q[i] * q[j], -4 * e * s**6, 4 * e * s**12))
    tab.append(row)

if case == "bms1":
    job, count = (lambda: Bms(one, one, lj).run(150.0, -1e4, 1e300, 2)), 11_000_000
elif case == "bms3":
    job, count = (lambda: Bms(co2, co2, tab).run(300.0, -1e4, 1e300, 2)), 11_000_000
elif case == "cms1":
    job, count = (lambda: Cms(one, one, one, lj, lj, lj).run(150.0, 1e300, 2)), 11_000_000
elif case == "cms3":
    job, count = (lambda: Cms(co2, co2, co2, tab, tab, tab).run(300.0, 1e300, 2)), 11_000_000
elif case == "ur3":
    inner, outer = 500_000, 10
    job, count = (lambda: Uij(co2, co2, tab).u_r(6.0, 0.0, inner, outer, 1000)), (10 + outer) * inner
else:
    raise SystemExit("unknown case " + case)
t0 = time.process_time()
job()
sys.stderr.write("%r %d\n" % (time.process_time() - t0, count))
'''

CASES = ["bms1", "bms3", "cms1", "cms3", "ur3"]


def run(cmd, **kw):
    print("+ " + " ".join(cmd), file=sys.stderr, flush=True)
    subprocess.run(cmd, check=True, **kw)


def env_python(env_dir):
    return os.path.join(env_dir, "bin", "python")


def make_env(env_dir, source_dir):
    if os.path.isdir(env_dir):
        shutil.rmtree(env_dir)
    venv.EnvBuilder(with_pip=True).create(env_dir)
    run([env_python(env_dir), "-m", "pip", "install", "-q", source_dir], stdout=subprocess.DEVNULL)


def export_revision(rev, dest):
    """The tree of `rev` (no .git), unpacked into `dest`."""
    os.makedirs(dest, exist_ok=True)
    with tempfile.TemporaryFile() as tar:
        subprocess.run(["git", "-C", ROOT, "archive", "--format=tar", rev], check=True, stdout=tar)
        tar.seek(0)
        with tarfile.open(fileobj=tar) as tf:
            tf.extractall(dest)


def working_tree_copy(dest):
    """The working tree as it stands (tracked and untracked files, build
    directories left out), so that uncommitted edits are measured too."""
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           check=True, capture_output=True).stdout.split(b"\0")
    for f in files:
        if not f:
            continue
        rel = f.decode()
        src = os.path.join(ROOT, rel)
        if not os.path.isfile(src):
            continue
        os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
        shutil.copy2(src, os.path.join(dest, rel))


def time_case(env_dir, case):
    done = subprocess.run([env_python(env_dir), "-c", CHILD, case], check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    if case.startswith(("bms", "cms")):
        # 10 tuning cycles of 100,000 steps and exactly 10 production blocks
        # of 1,000,000: the 11,000,000 steps the figure is divided by.
        tag = "[%s::run::" % ("Bms" if case.startswith("bms") else "Cms")
        lines = done.stdout.splitlines()
        opt = sum(1 for ln in lines if ln.startswith(tag + "opt]"))
        run = sum(1 for ln in lines if ln.startswith(tag + "run]"))
        if (opt, run) != (10, 10):
            raise RuntimeError("%s: expected 10 tuning and 10 production lines, got %d and %d" % (case, opt, run))
    secs, count = done.stderr.strip().splitlines()[-1].split()
    return float(secs) * 1e9 / int(count)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    return ", ".join(x for x in ("avx2", "avx512f") if x in flags) or "no AVX2"
    except OSError:
        pass
    return "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--base", default=DEFAULT_BASE, help="git revision to compare against")
    ap.add_argument("--workdir", default=os.path.join(ROOT, "build", "compare"))
    ap.add_argument("--rounds", type=int, default=3, help="timed runs of each build per case (best kept)")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--reuse", action="store_true",
                    help="keep the environments of an earlier call instead of installing again")
    ap.add_argument("--work-env", help="an environment that already holds the working tree's build "
                    "(instead of installing it under --workdir)")
    args = ap.parse_args()
    cases = [c for c in args.cases.split(",") if c]
    for c in cases:
        if c not in CASES:
            ap.error("unknown case %r (known: %s)" % (c, ", ".join(CASES)))

    base_rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--verify", args.base + "^{commit}"], check=True,
                              capture_output=True, text=True).stdout.strip()
    os.makedirs(args.workdir, exist_ok=True)
    base_env = os.path.join(args.workdir, "env-base")
    work_env = args.work_env or os.path.join(args.workdir, "env-work")
    stamp = os.path.join(base_env, "vica-revision")
    if not (args.reuse and os.path.isfile(stamp) and open(stamp).read().strip() == base_rev):
        src = os.path.join(args.workdir, "src-base")
        if os.path.isdir(src):
            shutil.rmtree(src)
        export_revision(base_rev, src)
        make_env(base_env, src)
        with open(stamp, "w") as f:
            f.write(base_rev + "\n")
    if not args.work_env and not (args.reuse and os.path.isdir(work_env)):
        src = os.path.join(args.workdir, "src-work")
        working_tree_copy(src)
        make_env(work_env, src)

    print("CPU: %s (%s), %d logical CPUs; base %s, working tree of %s" %
          (cpu_name(), cpu_flags(), os.cpu_count() or 0, base_rev[:12], ROOT))
    print("%-6s %14s %14s %8s" % ("case", "base ns", "work ns", "ratio"))
    for case in cases:
        best = {"base": float("inf"), "work": float("inf")}
        for _ in range(args.rounds):
            for name, env_dir in (("base", base_env), ("work", work_env)):
                best[name] = min(best[name], time_case(env_dir, case))
        print("%-6s %14.1f %14.1f %7.2fx" % (case, best["base"], best["work"], best["base"] / best["work"]),
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
