"""Comparing repeated Monte Carlo runs with a reference value."""
import math

import numpy as np


def assert_statistically_equal(samples, reference, sd_run):
    """Median of repeated runs against a reference within 5 of its standard
    errors.  The standard error comes from `sd_run`, the spread of a single run
    of the case, measured once over 16 runs and rounded up by half: the spread
    of two or three runs is itself too uncertain to set a tolerance with.

    The median, not the mean: for sites of diameter 1 the hard-sphere reference
    diameter is 1 as well, so the reference term -1/|f| is unbounded where f
    crosses zero just inside it, and a run now and then lands far out in that
    heavy tail (a Cms run at 400 K, one in 48, came out 15 spreads low).  One
    such run cannot move the median of three beyond the other two.  The median
    of n normal runs spreads at most about 1.2 times as much as their mean
    (with two runs it is their mean)."""
    samples = np.atleast_2d(samples)
    centre = np.median(samples, axis=0)
    tol = 5.0 * 1.2 * np.asarray(sd_run, dtype=float) / math.sqrt(samples.shape[0])
    assert np.all(np.abs(centre - np.asarray(reference)) <= tol), (centre, reference, tol)
