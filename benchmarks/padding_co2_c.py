"""C of TraPPE CO2 at 300 K: error x sqrt(CPU s) with the "auto" reference padding against 1 A.

Runs are made in batches that alternate between the two paddings (so a change of the
machine's load or of the build between them touches both alike); every run is an
independent `vica.Cms` run through `vt.b3` with a short stop rule.  For each padding:

    merit = sd of one run x sqrt(mean CPU s of one run)     (lower is better)

which is the standard error one CPU second buys.  Its own uncertainty comes from the
spread of the runs: sd / sqrt(2 (N - 1)) for the sd (normal runs), combined with the
standard error of the mean CPU time, and a bootstrap over the runs (1000 resamples)
gives the ratio's 68 % interval.  The merit of a heavy-tailed padding is less certain
than that: the largest run's distance from the mean, in sd, is printed too.

    python benchmarks/padding_co2_c.py --runs 48 --batch 8 --dev-tol 1e-2
"""
from __future__ import annotations

import argparse
import json
import math
import random
import statistics
import sys

import vicatools as vt


def batch(padding: object, runs: int, dev_tol: float, t: float) -> tuple:
    """`runs` runs of C, each in this process on a new thread (a freshly keyed generator), as the
    scans of `vt.b3` make them in their workers."""
    try:
        from vicatools.scan.executors import RunTask, run_task
    except ImportError:
        from vicatools.parallel import RunTask, run_task  # type: ignore[no-redef]
    m = vt.resolve_model("trappe-co2")
    models = (m, m, m)
    choice = vt.choose_padding(models, padding)
    values, cpus = [], []
    for r in range(runs):
        task = RunTask(3, models, "lorentz-berthelot", t, -math.inf, dev_tol, 0, None, f"pad-{r}",
                       length_unit=choice.angstrom)
        out = run_task(task)
        values.append(out.entries[0])
        cpus.append(out.cpu_seconds)
    return values, cpus, choice.angstrom


def merit(values: list, cpus: list) -> float:
    return statistics.stdev(values) * math.sqrt(statistics.fmean(cpus))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=48, help="runs per padding")
    ap.add_argument("--batch", type=int, default=8, help="runs per batch (the paddings alternate by batch)")
    ap.add_argument("--dev-tol", type=float, default=1e-2)
    ap.add_argument("--t", type=float, default=300.0)
    ap.add_argument("--json", default=None, help="write every run's value and CPU s here")
    args = ap.parse_args()
    data = {"auto": ([], [], 0.0), "1": ([], [], 1.0)}
    done = 0
    while done < args.runs:
        k = min(args.batch, args.runs - done)
        for key, padding in (("auto", "auto"), ("1", 1.0)):
            v, c, a = batch(padding, k, args.dev_tol, args.t)
            data[key][0].extend(v)
            data[key][1].extend(c)
            data[key] = (data[key][0], data[key][1], a)
        done += k
        print(f"{done} runs per padding", file=sys.stderr, flush=True)
        if args.json:  # what is done so far, for a measurement cut short
            with open(args.json, "w") as f:
                json.dump({key: {"values": d[0], "cpu_seconds": d[1], "padding": d[2]} for key, d in data.items()}, f)
    print(f"TraPPE CO2 C at {args.t:g} K, {args.runs} runs per padding, dev_tol {args.dev_tol:g}, A^6 per molecule")
    print(f"{'padding':>9} {'mean':>10} {'sd/run':>9} {'CPU s/run':>10} {'merit':>8} {'+/-':>6} {'max |z|':>8}")
    merits = {}
    for key in ("auto", "1"):
        v, c, a = data[key]
        m = merit(v, c)
        sd = statistics.stdev(v)
        rel = math.sqrt(1.0 / (2 * (len(v) - 1)) + (statistics.stdev(c) / statistics.fmean(c)) ** 2 / (4 * len(c)))
        zmax = max(abs(x - statistics.fmean(v)) for x in v) / sd
        merits[key] = m
        print(f"{a:>7.3g} A {statistics.fmean(v):>10.1f} {sd:>9.1f} {statistics.fmean(c):>10.2f} {m:>8.1f} "
              f"{m * rel:>6.1f} {zmax:>8.2f}")
    rng = random.Random(7)
    ratios = []
    va, ca, _ = data["auto"]
    v1, c1, _ = data["1"]
    for _ in range(1000):
        ia = [rng.randrange(len(va)) for _ in va]
        i1 = [rng.randrange(len(v1)) for _ in v1]
        low = merit([v1[i] for i in i1], [c1[i] for i in i1])
        if low > 0.0:
            ratios.append(merit([va[i] for i in ia], [ca[i] for i in ia]) / low)
    ratios.sort()
    lo, hi = ratios[int(0.16 * len(ratios))], ratios[int(0.84 * len(ratios))]
    print(f"merit(auto) / merit(1 A) = {merits['auto'] / merits['1']:.3f} (bootstrap 68 %: {lo:.3f} .. {hi:.3f}); "
          f"CPU for equal error, auto / 1 A = {(merits['auto'] / merits['1']) ** 2:.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({k: {"values": d[0], "cpu_seconds": d[1], "padding": d[2]} for k, d in data.items()}, f)


if __name__ == "__main__":
    main()
