"""Runs near a zero crossing stop by an absolute tolerance and say so."""
import math
import warnings

import pytest

import vicatools as vt
from vicatools.methods.mayer import ABSOLUTE_BELOW, production_tolerance, progress


def test_progress_lines_and_the_tolerance_they_give():
    lines = ["[Bms::run::ini] sigma_hs=4.500000,virial_hs=190.851754,0h0m0s",
             "[Bms::run::opt] scale=1.000000,acceptance=1E-5*50000,0h0m1s",
             "[Bms::run::run] i=0009*1E6, 0h0m2s",
             "[Bms::run::run] i=0012*1E6, fraction=-0.5313, deviation=0.0042, 1h3m7s"]
    seen = progress(lines)
    assert seen == {"virial_hs": 190.851754, "blocks": 12.0, "fraction": -0.5313, "deviation": 0.0042}
    assert math.isnan(progress([])["fraction"])
    # far from zero the rule stays relative
    assert production_tolerance(1e-3, -0.5313, 0.0042) == (1e-3, "")
    # near zero: stop at d < dev_tol * 0.1, i.e. relative tolerance dev_tol * 0.1 / (|m| - 2d)
    tol, note = production_tolerance(1e-3, 0.017, 0.002)
    assert tol == pytest.approx(1e-3 * ABSOLUTE_BELOW / 0.013) and "zero crossing" in note
    assert production_tolerance(1e-3, 0.0001, 0.01)[0] == pytest.approx(1.0)  # |m| unknown: the pilot's length
    assert production_tolerance(1e-3, math.nan, 0.1) == (1e-3, "")


def test_b_near_the_boyle_temperature_stops_and_warns():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = vt.b2("argon", temperatures=[405.0], runs=2, dev_tol=1e-2, progress=False, results=False, workers=1,
                  method="mayer")
    assert any(issubclass(w.category, vt.ZeroCrossingWarning) for w in caught)
    assert any("absolute tolerance" in n for n in s[0].notes)
    assert abs(s[0].molar().value) < 3.0  # B(405 K) of Lennard-Jones argon is about -0.4 cm^3/mol
