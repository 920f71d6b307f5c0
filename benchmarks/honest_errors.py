"""Are the error bars honest at the chosen reference padding?

For each case this makes M independent scans of n fixed-length runs (11
million steps each) at the padding that "auto" chooses (or --padding), and
compares each scan's (mean - exact) / stderr with Student's t distribution of
n - 1 degrees of freedom: the fraction beyond the two-sided 95 % point (0.05
expected), the Kolmogorov-Smirnov p-value, and the largest |t|.  The exact
values come from quadratures written in the test suite, independent of vica:
B2 of Lennard-Jones argon and TraPPE CO2 (tests/reference_b2.py) and C of
Lennard-Jones argon (the triangle quadrature of tests/test_cms.py).

    python benchmarks/honest_errors.py --scans 40 --runs 5
"""
from __future__ import annotations

import argparse
import math
import os
import sys

import numpy as np
from scipy import stats

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import vicatools as vt  # noqa: E402
from vicatools.scan import executors as parallel  # noqa: E402


def exact(model: str, order: int, t: float) -> float:
    from reference_b2 import TRAPPE_CO2, b2_linear_quadrature

    if model == "argon" and order == 2:
        return float(b2_linear_quadrature([0.0], [119.8], [3.405], [0.0], t))
    if model == "trappe-co2" and order == 2:
        return float(b2_linear_quadrature(**TRAPPE_CO2, t_kelvin=t))
    if model == "argon" and order == 3:
        from test_cms import lj_u, triangle_reference

        return float(triangle_reference(lj_u(1.0), lj_u(1.0), lj_u(1.0), t / 119.8)[0] * 3.405**6)
    raise ValueError((model, order))


CASES = [("argon", 2, 119.8), ("argon", 2, 600.0), ("argon", 3, 119.8), ("argon", 3, 400.0),
         ("trappe-co2", 2, 300.0), ("trappe-co2", 2, 800.0)]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scans", type=int, default=40)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--padding", default="auto")
    ap.add_argument("--only", nargs="*", default=None, help="case indices")
    args = ap.parse_args()
    padding = args.padding if args.padding == "auto" else float(args.padding)
    for k, (name, order, t) in enumerate(CASES):
        if args.only is not None and str(k) not in args.only:
            continue
        model = vt.resolve_model(name)
        models = (model,) * order
        a = vt.choose_padding(list(models), padding).angstrom
        ref = exact(name, order, t)
        tasks = [parallel.RunTask(order, models, "lorentz-berthelot", t, -math.inf, 1e300, 0, None, f"{i}",
                                  length_unit=a) for i in range(args.scans * args.runs)]
        res = parallel.execute(tasks, progress=False)
        x = np.array([r.entries[0] for r in res]).reshape(args.scans, args.runs)
        mean = x.mean(axis=1)
        se = x.std(axis=1, ddof=1) / math.sqrt(args.runs)
        tv = (mean - ref) / se
        crit = stats.t.ppf(0.975, args.runs - 1)
        ks = stats.kstest(tv, "t", args=(args.runs - 1,)).pvalue
        z = (x.ravel() - ref) / x.std(ddof=1)
        print(f"{'B' if order == 2 else 'C'} {name:<11} {t:>6g} K  padding {a:g} A  exact {ref:.6g}  "
              f"grand mean {x.mean():.6g} +/- {x.std(ddof=1) / math.sqrt(x.size):.3g}  "
              f"|t|>{crit:.2f}: {np.mean(np.abs(tv) > crit):.3f} (0.05)  KS p {ks:.3f}  max|t| {np.abs(tv).max():.2f}  "
              f"max run |z| {np.abs(z).max():.2f}", flush=True)


if __name__ == "__main__":
    main()
