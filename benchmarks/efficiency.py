"""Time to a given precision: the reference padding of 1 A against "auto".

For each case this makes a scan at padding 1 A (the padding of runs made in
angstrom) and one at the padding that "auto" chooses, alternately, each of
`--runs` runs with the default stop rule (dev_tol 1e-3, or `--dev-tol`), and
prints the estimate with its standard error, the CPU seconds of all its runs
and the figure of merit stderr * sqrt(CPU s): lower is better; the ratio of the
two figures is how much better "auto" is (its square is the factor of CPU time
saved for the same error).  CPU seconds are those of the threads that made the
runs, so the load of the machine matters little.

    python benchmarks/efficiency.py --runs 8
    python benchmarks/efficiency.py --cli --runs 8 --only 1 2

With --cli each scan is the command line `python -m vicatools b2|b3 ... --workers 2`
timed as a whole process (start-up and the padding's choice included), and the
figure of merit is stderr * sqrt(wall-clock s) of the command.  Where an
independent quadrature exists (B of argon and CO2, C of argon), the estimate's
distance from it in standard errors is printed too.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time

import vicatools as vt
from vicatools.models.units import molar_factor

from honest_errors import exact

CASES = [
    ("argon", 2, 119.8),
    ("argon", 3, 119.8),
    ("trappe-co2", 2, 300.0),
    ("trappe-co2", 3, 300.0),
    ("trappe-n2", 2, 100.0),
    ("spce", 2, 450.0),
]


def scan(name: str, order: int, t: float, padding: object, runs: int, dev_tol: float) -> vt.VirialScan:
    fn = vt.b2 if order == 2 else vt.b3
    return fn(name, temperatures=[t], runs=runs, dev_tol=dev_tol, reference_padding=padding, progress=False,
              results=False)


def cli_scan(name: str, order: int, t: float, padding: object, runs: int, dev_tol: float) -> tuple:
    """(value, stderr, wall s, CPU s of the runs) of the command line's scan, molar units."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "scan.json")
        cmd = [sys.executable, "-m", "vicatools", f"b{order}", name, "-t", str(t), "--runs", str(runs),
               "--dev-tol", str(dev_tol), "--workers", "2", "--reference-padding", str(padding), "--json", out, "-q",
               "--results", os.path.join(tmp, "runs.jsonl")]
        w0 = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - w0
        with open(out) as f:
            row = json.load(f)["temperatures"][0]
    key = "b" if order == 2 else "c"
    return row[key], row[key + "_stderr"], wall, sum(row["cpu_seconds"])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=8)
    ap.add_argument("--dev-tol", type=float, default=1e-3)
    ap.add_argument("--only", nargs="*", default=None, help="case indices")
    ap.add_argument("--cli", action="store_true", help="time the command line as a whole (wall-clock)")
    args = ap.parse_args()
    if args.cli:
        print(f"command line, {args.runs} runs, 2 workers, dev_tol {args.dev_tol:g}; merit = stderr * sqrt(wall s)")
        print(f"{'case':<22} {'padding':>9} {'value +/- stderr':>26} {'wall s':>8} {'merit':>10} {'ratio':>6} "
              f"{'CPU s':>8} {'ratio':>6} {'z':>6}")
        for k, (name, order, t) in enumerate(CASES):
            if args.only is not None and str(k) not in args.only:
                continue
            try:
                ref = exact(name, order, t) * molar_factor(order)
            except ValueError:
                ref = math.nan
            merits, cpu_merits = [], []
            for padding in (1.0, "auto"):
                value, err, wall, cpu = cli_scan(name, order, t, padding, args.runs, args.dev_tol)
                merits.append(err * math.sqrt(wall))
                cpu_merits.append(err * math.sqrt(cpu))
                ratio = f"{merits[0] / merits[-1]:6.2f}" if len(merits) == 2 else ""
                cpu_ratio = f"{cpu_merits[0] / cpu_merits[-1]:6.2f}" if len(merits) == 2 else ""
                label = f"{'B' if order == 2 else 'C'} {name} {t:g} K"
                print(f"{label:<22} {str(padding):>9} {value:>14.6g} +/- {err:<8.3g} {wall:>8.1f} {merits[-1]:>10.4g} "
                      f"{ratio:>6} {cpu:>8.1f} {cpu_ratio:>6} {(value - ref) / err:>6.2f}", flush=True)
        return
    print(f"{args.runs} runs per scan, dev_tol {args.dev_tol:g}; molar units; merit = stderr * sqrt(CPU s)")
    print(f"{'case':<22} {'padding':>9} {'value +/- stderr':>26} {'CPU s':>8} {'wall s':>7} {'merit':>10} {'ratio':>6}")
    for k, (name, order, t) in enumerate(CASES):
        if args.only is not None and str(k) not in args.only:
            continue
        merits = []
        for padding in (1.0, "auto"):
            w0 = time.perf_counter()
            s = scan(name, order, t, padding, args.runs, args.dev_tol)
            wall = time.perf_counter() - w0
            e = s[0].molar()
            cpu = sum(e.cpu_seconds)
            merit = e.value_stderr * math.sqrt(cpu)
            merits.append(merit)
            assert s.reference_padding is not None
            label = f"{'B' if order == 2 else 'C'} {name} {t:g} K"
            ratio = f"{merits[0] / merit:6.2f}" if len(merits) == 2 else ""
            print(f"{label:<22} {s.reference_padding.angstrom:>7.3g} A {e.value:>14.6g} +/- {e.value_stderr:<8.3g} "
                  f"{cpu:>8.1f} {wall:>7.1f} {merit:>10.4g} {ratio}", flush=True)


if __name__ == "__main__":
    main()
