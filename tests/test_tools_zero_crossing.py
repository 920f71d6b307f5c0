"""Runs near a zero crossing stop by an absolute tolerance and say so."""
import math
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


# --- the B_n walks ("walk", "multi-walk") at the Boyle temperature of Lennard-Jones argon ---

EPS, SIGMA = 119.8, 3.405  # the library's argon


def _lj_b2(t):
    """B2 (A^3) and T dB2/dT of Lennard-Jones argon by a 1-D quadrature, apart from any engine."""
    from scipy import integrate

    def part(g):
        out = 0.0
        for lo, hi in ((1e-6, SIGMA), (SIGMA, 3 * SIGMA), (3 * SIGMA, 60 * SIGMA)):
            out += integrate.quad(g, lo, hi, limit=400, epsabs=1e-9, epsrel=1e-10)[0]
        return out

    def u(r):
        return 4 * EPS * ((SIGMA / r) ** 12 - (SIGMA / r) ** 6)

    b = -2 * math.pi * part(lambda r: (math.exp(-u(r) / t) - 1.0) * r * r)
    # T dB/dT = -2 pi int (u / T) exp(-u / T) r^2 dr
    t_db = -2 * math.pi * part(lambda r: (u(r) / t) * math.exp(-u(r) / t) * r * r)
    return b, t_db


def _boyle():
    from scipy.optimize import brentq

    return brentq(lambda t: _lj_b2(t)[0], 300.0, 500.0, xtol=1e-10)


def test_the_walk_engines_stop_near_zero_by_the_absolute_tolerance():
    """At the Boyle temperature the relative rule cannot be met: with the absolute rule the
    walk stops well before its cap, and says the absolute tolerance held it; away from the
    zero the relative rule does."""
    from vicatools import _engine
    from vicatools.methods.base import ScanSettings
    from vicatools.methods.walk import walk_inputs

    tb = _boyle()
    ar = vt.get_model("argon")
    task = ScanSettings(2, (ar, ar), "lorentz-berthelot", -math.inf, 1e-3, 2, length_unit=SIGMA,
                        engine="bn").task(tb)
    mol, tab, cur = walk_inputs(task)
    args = (-math.inf, 1e-3, 2, 10000, 2000, -0.1, 0.0, 1.0)
    one = _engine.bn_run_stop(mol, tab, tb, *args, cur, ABSOLUTE_BELOW)
    assert one["met"] and one["absolute"] == [True] and 10 <= one["blocks"] < 2000
    far = _engine.bn_run_stop(mol, tab, 150.0, *args, cur, ABSOLUTE_BELOW)
    assert far["met"] and far["absolute"] == [False]
    many = _engine.bn_multi_run_stop(mol, tab, cur, [0.6 * tb, tb], *args, ABSOLUTE_BELOW)
    assert many["met"] and many["absolute"] == [False, True] and many["blocks"] < 2000
    # without it (absolute_below 0) a run at the zero goes to its cap
    capped = _engine.bn_run_stop(mol, tab, tb, -math.inf, 1e-3, 2, 1000, 60, -0.1, 0.0, 1.0, cur, 0.0)
    assert not capped["met"] and capped["blocks"] == 60


@pytest.mark.physics
@pytest.mark.parametrize("method", ["walk", "multi-walk"])
def test_the_walks_at_the_boyle_temperature(method):
    """Every run stops by the absolute tolerance with the reason on the estimate and a
    warning; the error bar is honest against the quadrature (Student's t, 7 degrees of
    freedom, two-sided 99.9 %: 5.41)."""
    tb = _boyle()
    ts = [tb] if method == "walk" else [tb, 1.05 * tb]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = vt.bn("argon", 2, temperatures=ts, runs=8, dev_tol=1e-3, block_steps=10000, max_blocks=2000,
                  method=method, progress=False, results=False, workers=1)
    assert any(issubclass(w.category, vt.ZeroCrossingWarning) for w in caught)
    for e in s:
        assert any(n.startswith("8 of 8 runs") and "stopped by the absolute tolerance" in n for n in e.notes)
        b, t_db = _lj_b2(e.t_kelvin)
        assert abs(e.value - b) < 5.41 * e.value_stderr
        assert abs(e.t_dxdt - t_db) < 5.41 * e.t_dxdt_stderr
