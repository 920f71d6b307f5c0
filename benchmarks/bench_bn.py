"""Time per step and statistical efficiency of the B_n engine (vicatools._engine).

    python benchmarks/bench_bn.py [--runs R] [--blocks B] [--workers W] [--weights -0.1 -1 0]

For each case (Lennard-Jones argon B4 at T* = 1 and 2, B5 at T* = 2, TraPPE CO2
B4 at 300 K) makes R independent runs of B blocks of 10^6 steps (plus the ten
tuning cycles, one block in all) and prints the CPU time per step, the
spread of one run's B_n (sample standard deviation over the R runs) and
sd x sqrt(CPU s per run), the error of one CPU second: the smaller, the less
time a given precision takes.  With --weights, LJ B4 at T* = 1 is repeated
for each reference weight (negative: tuned share of the walk's weight, 0:
direct sampling).
"""
from __future__ import annotations

import argparse
import concurrent.futures as cf
import math
import os
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "python"))


def one_run(case: tuple) -> tuple:
    import time

    from vicatools import _engine
    from vicatools.models.library import get_model
    from vicatools.methods.walk import engine_table, reference_padding
    from vicatools.scan.executors import redirect_fd1
    from vicatools.models.mixing import pair_table

    name, n, t, blocks, weight = case
    model = get_model(name)
    models = [model] * n
    mols = [model.positions] * n
    tables = [engine_table(pair_table(model, model, "lorentz-berthelot")) for _ in range(n * (n - 1) // 2)]
    start = time.thread_time()
    with redirect_fd1(None):
        out = _engine.bn_run(mols, tables, t, -math.inf, 1e300, 0, 1000000, blocks, weight, 0.0,
                             reference_padding(models))
    return out[0], time.thread_time() - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=8)
    ap.add_argument("--blocks", type=int, default=4)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--weights", type=float, nargs="*", default=[])
    args = ap.parse_args()
    cases = [
        ("LJ argon B4, T* = 1", "argon", 4, 119.8, -0.1),
        ("LJ argon B4, T* = 2", "argon", 4, 239.6, -0.1),
        ("LJ argon B5, T* = 2", "argon", 5, 239.6, -0.1),
        ("TraPPE CO2 B4, 300 K", "trappe-co2", 4, 300.0, -0.1),
    ]
    cases += [(f"LJ argon B4, T* = 1, weight {w:g}", "argon", 4, 119.8, w) for w in args.weights]
    b = 2 * math.pi * 3.405**3 / 3
    print(f"{args.runs} runs of {args.blocks + 1} x 10^6 steps each (tuning included)")
    print(f"{'case':<36} {'us/step':>8} {'B_n (per molecule)':>22} {'sd of one run':>14} {'sd*sqrt(cpu s)':>15}")
    with cf.ProcessPoolExecutor(args.workers) as pool:
        for label, name, n, t, w in cases:
            res = list(pool.map(one_run, [(name, n, t, args.blocks, w)] * args.runs))
            vals = [v / (b ** (n - 1) if name == "argon" else 1.0) for v, _ in res]
            cpu = statistics.mean(c for _, c in res)
            sd = statistics.stdev(vals)
            unit = "b^%d" % (n - 1) if name == "argon" else "A^%d" % (3 * (n - 1))
            print(f"{label:<36} {cpu / ((args.blocks + 1) * 1e6) * 1e6:>8.3f} "
                  f"{statistics.mean(vals):>13.5g} {unit:<8} {sd:>14.3g} {sd * math.sqrt(cpu):>15.3g}")


if __name__ == "__main__":
    main()
