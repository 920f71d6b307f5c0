"""Runs near a zero crossing stop by an absolute tolerance and say so."""
import warnings

import pytest

import vicatools as vt
from vicatools.methods.mayer import ABSOLUTE_BELOW, MAX_PIECES, MIN_PIECES, near_zero, pieces_until


def test_the_scale_and_the_pieces():
    # B entries (B, -T dB/dT, ...): T dB/dT = 40, B = -1: near zero; B = -15 (0.375 of it): not
    assert near_zero([-1.0, -40.0, 0.0], 2) == (True, 40.0)
    assert near_zero([-15.0, -40.0, 0.0], 2)[0] is False
    assert near_zero([-1.0, 0.0, 0.0], 2)[0] is False  # no scale: the relative rule
    assert ABSOLUTE_BELOW == 0.2
    # pieces alternate 3, 1, 3, ... after a pilot of 1: stop at the first k >= 3 whose standard error < 0.25
    seq = [1.0] + [3.0, 1.0] * 100
    values = iter(seq[1:])
    out, n = pieces_until(lambda: [next(values), 0.0], [seq[0], 0.0], 2, target=0.25)

    def se(k):
        xs = seq[:k]
        m = sum(xs) / k
        return (sum((v - m) ** 2 for v in xs) / (k - 1) / k) ** 0.5

    assert MIN_PIECES <= n < MAX_PIECES and se(n) < 0.25 <= se(n - 1)
    assert out[0] == pytest.approx(sum(seq[:n]) / n)
    _, n = pieces_until(lambda: [float(next(values)), 0.0], [1.0, 0.0], 2, target=0.0)
    assert n == MAX_PIECES


def test_b_near_the_boyle_temperature_stops_and_warns():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = vt.b2("argon", temperatures=[405.0], runs=2, dev_tol=1e-2, progress=False, results=False, workers=1,
                  method="mayer")
    assert any(issubclass(w.category, vt.ZeroCrossingWarning) for w in caught)
    assert any("absolute tolerance" in n for n in s[0].notes)
    assert abs(s[0].molar().value) < 3.0  # B(405 K) of Lennard-Jones argon is about -0.4 cm^3/mol
