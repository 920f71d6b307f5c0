"""Are B_n error bars honest with few runs?  Makes a pool of independent B5 runs of
Lennard-Jones argon (or reads one), then draws sets of n runs from it many times and
prints, for each n: spread of the set means / mean of their standard errors (1 when the
error bar is honest on average), the fraction of sets whose mean lies more than 2.8
standard errors from the pool's mean (Student's t with n - 1 degrees of freedom: 0.068
for n = 4, 0.027 for n = 8), and the fraction flagged by the outlier check
(`vicatools.results.robust`).

    python benchmarks/heavy_tails.py --runs 160 --block-steps 50000 [--pool pool.json]

Measured (160 runs of B5 at T* = 1, 20 blocks of 50000 steps, 148 CPU s; kurtosis of the
pool 2.7): n = 2: 1.25, 0.21; n = 4: 1.08, 0.064, 0.044 flagged; n = 8: 1.04, 0.026, 0.011
flagged; n = 16: 1.02, 0.014.
"""
from __future__ import annotations

import argparse
import json
import math
import random
import statistics

import vicatools as vt
from vicatools.results.robust import OUTLIER_RATIO, outlier_ratio


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=160)
    ap.add_argument("--block-steps", type=int, default=50000)
    ap.add_argument("--t-star", type=float, default=1.0)
    ap.add_argument("--pool", default=None, help="read the pool's values from this JSON (a list), or write them")
    ap.add_argument("--sets", type=int, default=20000)
    args = ap.parse_args()
    values = None
    if args.pool:
        try:
            with open(args.pool) as f:
                values = json.load(f)
        except FileNotFoundError:
            pass
    if values is None:
        s = vt.b5("argon", temperatures=[119.8 * args.t_star], runs=args.runs, block_steps=args.block_steps,
                  max_blocks=20, dev_tol=1e-9, order_max=0, progress=False, results=False)
        values = [r[0] for r in s[0].runs]
        print(f"pool: {len(values)} runs, {sum(s[0].cpu_seconds):.0f} CPU s")
        if args.pool:
            with open(args.pool, "w") as f:
                json.dump(values, f)
    mu = statistics.fmean(values)
    var = statistics.pvariance(values)
    kurt = statistics.fmean([(x - mu) ** 4 for x in values]) / var**2
    print(f"pool mean {mu:.6g}, sd {math.sqrt(var):.3g}, kurtosis {kurt:.2f}")
    rng = random.Random(11)
    for n in (2, 3, 4, 8, 16):
        means, ses, far, flagged = [], [], 0, 0
        for _ in range(args.sets):
            x = [rng.choice(values) for _ in range(n)]
            m, se = statistics.fmean(x), statistics.stdev(x) / math.sqrt(n)
            means.append(m)
            ses.append(se)
            far += abs(m - mu) > 2.8 * se
            flagged += n >= 3 and outlier_ratio(x)[0] > OUTLIER_RATIO
        print(f"n = {n:2d}: spread / SE {statistics.pstdev(means) / statistics.fmean(ses):.3f}, "
              f"beyond 2.8 SE {far / args.sets:.3f}, flagged {flagged / args.sets:.3f}")


if __name__ == "__main__":
    main()
