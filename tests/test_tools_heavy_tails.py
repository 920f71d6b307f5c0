"""B4 and higher: fewer than 8 runs refused unless forced, and a run far out named."""
import warnings

import pytest

import vicatools as vt
from vicatools.results.robust import OUTLIER_RATIO, outlier_note, outlier_ratio


def test_far_run_is_named_and_ordinary_scatter_is_not():
    ordinary = [-0.15, -0.12, -0.17, -0.14, -0.16, -0.13, -0.18, -0.15]
    assert outlier_note(ordinary) == ""
    far = ordinary[:7] + [-0.478]  # as the B5 run of the issue: one of eight at -0.478
    ratio, i = outlier_ratio(far)
    assert i == 7 and ratio > OUTLIER_RATIO
    assert "run 8 of 8 lies far out" in outlier_note(far)
    assert outlier_ratio([1.0, 2.0]) == (pytest.approx(float("nan"), nan_ok=True), -1)


def test_few_runs_of_b5_refused_unless_forced():
    with pytest.raises(ValueError, match="force_runs"):
        vt.b5("argon", temperatures=119.8, runs=4)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s = vt.b5("argon", temperatures=119.8, runs=3, force_runs=True, block_steps=1000, max_blocks=1,
                  progress=False, results=False, workers=1)
    assert s[0].n_runs == 3 and any("95 % interval is +-4.303" in n for n in s[0].notes)
