"""Lennard-Jones B4 and B5 at T* = 1 and 2 from the B_n engine, against the
integration of tests/reference_lj_virial.py.

    python benchmarks/lj_bn_check.py [--runs R] [--blocks B] [--workers W]

Each case makes R independent runs of argon (epsilon/k = 119.8 K, sigma = 3.405 A)
through the engine with the padding `vicatools` chooses, B blocks of 10^6 steps
each, and prints the mean of B_n / b^(n-1) (b = 2 pi sigma^3 / 3) with its standard
error over the runs, the reference and the difference in combined standard errors.
"""
from __future__ import annotations

import argparse
import concurrent.futures as cf
import math
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests")]
from bench_bn import one_run  # noqa: E402
from reference_lj_virial import LJ_REFERENCE  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=32)
    ap.add_argument("--blocks", type=int, default=4)
    ap.add_argument("--workers", type=int, default=2)
    args = ap.parse_args()
    b = 2 * math.pi * 3.405**3 / 3
    print(f"{args.runs} runs of {args.blocks + 1} x 10^6 steps each (tuning included)")
    with cf.ProcessPoolExecutor(args.workers) as pool:
        for n in (4, 5):
            for t_star in (1.0, 2.0):
                res = list(pool.map(one_run, [("argon", n, 119.8 * t_star, args.blocks, -0.1)] * args.runs))
                vals = [v / b ** (n - 1) for v, _ in res]
                mean, se = statistics.mean(vals), statistics.stdev(vals) / math.sqrt(len(vals))
                ref, ref_se = LJ_REFERENCE[n, t_star]
                print(f"B{n}/b^{n - 1}, T* = {t_star:g}: {mean:.5f} +- {se:.5f} (median {statistics.median(vals):.5f}); "
                      f"reference {ref:.5f} +- {ref_se:.5f}, z = {(mean - ref) / math.hypot(se, ref_se):+.2f}", flush=True)


if __name__ == "__main__":
    main()
