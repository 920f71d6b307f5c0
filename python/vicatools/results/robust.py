"""Heavy-tailed runs: B4 and higher.

The value of a B_n run (n >= 4) is a sum of many signed graph terms sampled against hard
spheres: most runs fall near the mean, a few far out.  With few runs the sample standard
deviation then understates the spread more often than not (the runs that would show the
tail are missing), and an error bar of s / sqrt(n) is too small.  So for B4 and higher:

* at least `MIN_RUNS_HIGH_ORDER` runs per temperature, unless the user insists
  (``force_runs=True``, ``--force-runs``);
* with fewer runs (forced), the estimate's note gives the 95 % interval in standard
  errors from Student's t (with 4 runs, |mean - true| > 2.8 standard errors happens 7 %
  of the time: measured over sets drawn from 160 B5 runs, benchmarks/heavy_tails.py);
* each temperature's runs are checked for one far out: the largest |run - median|
  against the runs' robust spread (1.4826 x the median absolute deviation); beyond
  `OUTLIER_RATIO` (for normally scattered runs that happens in 1 % of sets of 8) the
  estimate carries a note and a warning names the temperature and the run.
"""
from __future__ import annotations

import math
import statistics
from typing import Sequence, Tuple

T95 = (12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365)
"""Student's t 97.5 % points for 1 to 7 degrees of freedom: a 95 % interval of the mean of
n runs is +-T95[n - 2] standard errors (1.96 only for many runs)."""

MIN_RUNS_HIGH_ORDER = 8
"""Fewest runs per temperature of B4 and higher without ``force_runs``."""

OUTLIER_RATIO = 8.0
"""Largest |run - median| / (1.4826 MAD) taken as ordinary scatter: 1 % of sets of 8
normally scattered runs go beyond it (measured over 20000 sets)."""


def outlier_ratio(values: Sequence[float]) -> Tuple[float, int]:
    """(largest |x - median| / (1.4826 x median |x - median|), index of that x); the ratio
    is infinite when more than half the values are equal and one differs, NaN for fewer
    than 3 values."""
    if len(values) < 3:
        return math.nan, -1
    med = statistics.median(values)
    dev = [abs(v - med) for v in values]
    i = max(range(len(values)), key=lambda j: dev[j])
    mad = statistics.median(dev)
    if mad == 0.0:
        return (math.inf if dev[i] > 0.0 else 0.0), i
    return dev[i] / (1.4826 * mad), i


def outlier_note(values: Sequence[float]) -> str:
    """A note when one of `values` lies far out (see the module), else ""."""
    ratio, i = outlier_ratio(values)
    if not ratio > OUTLIER_RATIO:
        return ""
    med = statistics.median(values)
    return (f"run {i + 1} of {len(values)} lies far out ({values[i]:.4g} against a median of {med:.4g}: "
            f"{ratio:.3g} robust spreads; ordinary scatter stays under {OUTLIER_RATIO:g}): heavy-tailed runs, "
            "make more runs for a trustworthy error bar")


def few_runs_note(n: int) -> str:
    """A note on the error bar of `n` runs of B4 or higher when n is under the minimum."""
    if n >= MIN_RUNS_HIGH_ORDER or n < 2:
        return ""
    return (f"only {n} runs (forced): the error bar is a standard error of {n - 1} degrees of freedom; a 95 % "
            f"interval is +-{T95[n - 2]:g} standard errors, not +-1.96")
