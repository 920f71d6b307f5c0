"""Efficiency of a B or C run against the padding of its hard-sphere reference.

The reference diameter is the molecules' radii plus one unit of length, so a run
made in a unit of a Å has a padding of a Å.  For each padding of a ladder this
makes independent runs of a fixed length (dev_tol 1e300 stops a run after its
tenth production block: 11 million steps) and prints their mean, their spread
(sample standard deviation: the error of one run), the mean CPU seconds of a run
and the figure of merit spread * sqrt(CPU s), lower is better.  Runs of all
paddings are interleaved, so that a change in the machine's load falls on all.

    python benchmarks/padding_ladder.py argon --order 2 -t 119.8 --paddings 1 2 3 4.5 6 --runs 12
"""
from __future__ import annotations

import argparse
import math
import statistics

import vicatools as vt
from vicatools.scan import executors as parallel


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("model")
    ap.add_argument("--order", type=int, default=2, choices=(2, 3))
    ap.add_argument("-t", "--temperature", type=float, required=True)
    ap.add_argument("--paddings", type=float, nargs="+", default=[1.0, 2.0, 3.0, 4.5, 6.0])
    ap.add_argument("--runs", type=int, default=12)
    ap.add_argument("--workers", type=int, default=None)
    ap.add_argument("--u-min", type=float, default=None)
    args = ap.parse_args()

    model = vt.resolve_model(args.model)
    models = (model,) * args.order
    u_min = vt.choose_u_min([model, model], "lorentz-berthelot", args.u_min).value if args.order == 2 else -math.inf
    tasks = [
        parallel.RunTask(args.order, models, "lorentz-berthelot", args.temperature, u_min, 1e300, 2, None,
                         f"{r}-{a}", length_unit=a)
        for r in range(args.runs)
        for a in args.paddings
    ]
    results = parallel.execute(tasks, workers=args.workers, progress=True, description="ladder")
    name = "B" if args.order == 2 else "C"
    unit = "A^3" if args.order == 2 else "A^6"
    print(f"{name} of {model.name} at {args.temperature:g} K, {args.runs} runs of 11e6 steps per padding")
    print(f"{'padding/A':>10} {'mean/' + unit:>14} {'spread':>12} {'cpu/s':>7} {'merit':>10}")
    for a in args.paddings:
        rs = [r for t, r in zip(tasks, results) if t.length_unit == a]
        values = [r.entries[0] for r in rs]
        cpu = statistics.fmean(r.cpu_seconds for r in rs)
        sd = statistics.stdev(values)
        print(f"{a:>10g} {statistics.fmean(values):>14.6g} {sd:>12.4g} {cpu:>7.2f} {sd * math.sqrt(cpu):>10.4g}")


if __name__ == "__main__":
    main()
