"""One walk for many temperatures (vicatools._engine.bn_multi_run) and the site laws of
the B_n walks: the same chain as the single-temperature walk, Lennard-Jones B3 against a
quadrature written here, hard spheres against their exact values, a table law and an
exp-6 law against one-dimensional quadratures of B2, Mie 12-6 as Lennard-Jones bit for
bit, honest error bars over repeats, and the split of a scan into walks."""
import math
import os
import statistics

import numpy as np
import pytest

import _vica_testing as vt_testing
import vicatools as vt
from vicatools import _engine
from vicatools.methods.multiwalk import (MAX_SPAN, MIN_TEMPERATURES, multi_walk_pays, run_multi_walk,
                                         split_temperatures, temperature_correlation)
from reference_lj_virial import Radial, mayer
from run_spread import assert_statistically_equal

_POINT = [[0.0, 0.0, 0.0]]
_LJ = [[[2.0, -4.0, 4.0, 0.0]]]  # epsilon = 1 K, sigma = 1
_FREE = dict(u_min=-math.inf, dev_tol=1e300)


def _quiet(fn, *args, **kwargs):
    """Call fn with file descriptor 1 sent to the null device (the engine's progress lines)."""
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        return fn(*args, **kwargs)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def _multi(n, temperatures, table=_LJ, law_tables=(), order_max=0, block_steps=20000, blocks=10, u_min=-math.inf,
           hard_sphere_diameter=0.0, padding=1.0):
    return _quiet(_engine.bn_multi_run, [_POINT] * n, [table] * (n * (n - 1) // 2), list(law_tables),
                  list(temperatures), u_min, 1e300, order_max, block_steps, blocks, -0.1, hard_sphere_diameter,
                  padding)


def _keyed(n, table, temperatures, multi, seed=3, law_tables=(), order_max=2, molecules=None, block_steps=2000):
    molecules = molecules or [_POINT] * n
    return _quiet(vt_testing.bn_keyed_run, molecules, [table] * (n * (n - 1) // 2), list(law_tables),
                  list(temperatures), -math.inf, 1e300, order_max, block_steps, 3, -0.1, seed, multi)


# ---------------------------------------------------------------- the same chain as bn_run

@pytest.mark.parametrize("n", [2, 3, 4, 5])
def test_one_temperature_walks_the_chain_of_bn_run(n):
    # Same generator, same moves and tuning: one temperature gives bn_run's entries.  For
    # two to four molecules the multi-temperature walk takes F in closed form where bn_run
    # takes the recursion over subsets, which rounds 1 + f: equal to 1e-9, not bit for bit;
    # from five on both take the recursion, bit for bit.
    single = _keyed(n, _LJ, [1.3], 0)
    multi = _keyed(n, _LJ, [1.3], 1)
    if n >= 5:
        assert multi == single
    else:
        assert np.allclose(multi, single, rtol=1e-9, atol=0.0)
    # several temperatures: another chain (the density covers all), the same kind of numbers
    several = _keyed(n, _LJ, [1.3, 2.0, 4.0], 1)
    assert len(several) == 3 and all(len(row) == 3 and all(math.isfinite(x) for x in row) for row in several)


# ---------------------------------------------------------------- site laws

def test_mie_12_6_is_lennard_jones_bit_for_bit():
    # A Mie law of exponents 6 and 12 runs on the vector kernels of PotK's R6R12 (with a
    # charge term, R1R6R12): the same bits, in bn_run and in the multi-temperature walk.
    mie = [[[4.0, 0.0, -4.0, 6.0, 4.0, 12.0]]]
    for multi in (0, 1):
        assert _keyed(3, mie, [1.5], multi) == _keyed(3, _LJ, [1.5], multi)
    # two-site neutral molecules with charges: (3, c1, c6, c12) against Mie with c1
    mol = [[0.0, 0.0, -0.3], [0.0, 0.0, 0.3]]

    def charged(like, unlike):
        return [[like, unlike], [unlike, like]]

    lj_q = charged([3.0, 1.0, -4.0, 4.0], [3.0, -1.0, -4.0, 4.0])
    mie_q = charged([4.0, 1.0, -4.0, 6.0, 4.0, 12.0], [4.0, -1.0, -4.0, 6.0, 4.0, 12.0])
    two = dict(molecules=[mol] * 3, block_steps=20000)
    assert _keyed(3, mie_q, [2.0], 0, **two) == _keyed(3, lj_q, [2.0], 0, **two)
    # other exponents leave the vector kernels: a different law, other numbers
    assert _keyed(3, [[[4.0, 0.0, -4.0, 6.0, 4.0, 13.0]]], [1.5], 0) != _keyed(3, _LJ, [1.5], 0)


def _b2_quadrature(u, t, u_min=-math.inf, r_max=12.0):
    """B2 = -2 pi int f r^2 dr of a spherical law u(r) at T (f = -1 where u <= u_min),
    composite Gauss-Legendre on 4000 panels of (0, r_max]."""
    x, w = np.polynomial.legendre.leggauss(8)
    edges = np.linspace(0.0, r_max, 4001)
    a, b = edges[:-1, None], edges[1:, None]
    r = ((b - a) / 2 * x + (a + b) / 2).ravel()
    wr = ((b - a) / 2 * w).ravel()
    uu = u(r)
    with np.errstate(over="ignore", invalid="ignore"):
        f = np.where(uu <= u_min, -1.0, np.expm1(-uu / t))
    f = np.where(np.isnan(f), -1.0, f)
    return -2 * math.pi * float(np.sum(wr * f * r * r))


def _lj(r):
    return 4.0 * (r ** -12.0 - r ** -6.0)


def test_table_law_b2_against_quadrature():
    # Lennard-Jones given as a table (r, u) from 0.8 sigma to 6 sigma (a natural cubic
    # spline in between, a hard core below): B2 at three temperatures from one walk,
    # against the quadrature of the same table's law (hard core below 0.8, LJ above;
    # the spline's own error is far below the runs' spread).  sd_run: the spread of one
    # run over 16 runs (0.106, 0.047, 0.021), rounded up by half.
    r = np.linspace(0.8, 6.0, 800)
    points = [[float(x), float(_lj(x))] for x in r]
    ts = [1.0, 2.0, 4.0]
    runs = [[row[0] for row in _multi(2, ts, table=[[[6.0, 0.0]]], law_tables=[points])] for _ in range(6)]

    def core_lj(x):
        return np.where(x < 0.8, np.inf, np.where(x >= 6.0, 0.0, _lj(np.maximum(x, 1e-9))))

    ref = [_b2_quadrature(core_lj, t, r_max=6.0) for t in ts]
    assert_statistically_equal(runs, ref, [0.16, 0.07, 0.032])


def test_exp6_law_b2_against_quadrature():
    # Buckingham exp-6, u = A exp(-B r) - C / r^6 with A = 2e5, B = 12, C = 2 (energies in
    # K, a well of -0.8 K near r = 1, a barrier of some 2700 K near r = 0.3), infinite inside
    # its barrier's top (the collapse beyond it is no part of the law): B2 at two
    # temperatures against a quadrature with the barrier found here by a scan of u.
    # sd_run over 16 runs (0.071, 0.023, measured with a floor in place of the barrier,
    # which moves B2 by less than 1e-3), rounded up by half.
    a, b, c = 2e5, 12.0, 2.0

    def exp6(x):
        return a * np.exp(-b * x) - c / x**6

    grid = np.linspace(0.05, 1.0, 200001)
    top = grid[np.argmax(exp6(grid))]

    def walled(x):
        return np.where(x < top, np.inf, exp6(np.maximum(x, 1e-9)))

    ts = [1.0, 3.0]
    runs = [[row[0] for row in _multi(2, ts, table=[[[5.0, 0.0, a, b, -c]]])] for _ in range(6)]
    ref = [_b2_quadrature(walled, t) for t in ts]
    assert_statistically_equal(runs, ref, [0.11, 0.034])


def test_bad_law_entries_are_refused():
    with pytest.raises(ValueError, match="tag"):
        _multi(2, [1.0], table=[[[9.0, 0.0]]])
    with pytest.raises(ValueError, match="names table"):
        _multi(2, [1.0], table=[[[6.0, 2.0]]], law_tables=[[[1.0, 0.0], [2.0, 0.0], [3.0, 0.0], [4.0, 0.0]]])
    with pytest.raises(ValueError, match="increasing"):
        _multi(2, [1.0], table=[[[6.0, 0.0]]], law_tables=[[[1.0, 0.0], [3.0, 0.0], [2.0, 0.0], [4.0, 0.0]]])
    with pytest.raises(ValueError, match="Mie exponents"):
        _multi(2, [1.0], table=[[[4.0, 0.0, -1.0, 0.0, 1.0, 12.0]]])
    with pytest.raises(ValueError, match="temperatures|t_kelvin"):
        _multi(2, [1.0, -2.0])
    with pytest.raises(ValueError, match="no temperatures"):
        _multi(2, [])
    with pytest.raises(ValueError, match="pair tables"):
        _quiet(_engine.bn_multi_run, [_POINT] * 3, [_LJ], [], [1.0], -math.inf, 1e300, 0, 1000, 1, -0.1, 0.0, 1.0)
    # bn_run takes the same entries, its law tables as an optional last argument
    out = _quiet(_engine.bn_run, [_POINT] * 2, [[[[5.0, 0.0, 2e5, 12.0, -2.0]]]], 2.0, -math.inf, 1e300, 0, 10000, 1,
                 -0.1, 0.0, 1.0)
    assert len(out) == 1 and math.isfinite(out[0])
    out = _quiet(_engine.bn_run, [_POINT] * 2, [[[[6.0, 0.0]]]], 2.0, -math.inf, 1e300, 0, 10000, 1, -0.1, 0.0, 1.0,
                 [[[0.8, 100.0], [1.0, 0.0], [1.5, -1.0], [3.0, 0.0]]])
    assert len(out) == 1 and math.isfinite(out[0])


# ---------------------------------------------------------------- physics

def _lj_b3_reference(t_star):
    """B3 of Lennard-Jones in sigma^6: -(1/3) int f (f * f) d^3r by sine transforms."""
    grid = Radial(0.005, 40.0)
    f = mayer(grid.r, t_star)
    g2 = grid.inverse(grid.forward(f) ** 2)
    return -grid.integral(f * g2) / 3.0


def test_lj_b3_reference_meets_the_published_value():
    # B3* = B3 / b^2 = 0.4297 at T* = 1 (b = 2 pi / 3): 1.8849 sigma^6
    assert _lj_b3_reference(1.0) == pytest.approx(1.8849, abs=2e-4)


def test_lj_b3_at_four_temperatures_from_one_walk():
    # T* = 1, 1.5, 2.5, 4 in one walk (beyond the split's span, on purpose), value and
    # first derivative entry (beta dB3/dbeta = -T dB3/dT, by central differences of the
    # reference).  sd_run: the spread of one run of 2.2e5 steps over 24 runs, value
    # (0.29, 0.088, 0.034, 0.021) and entry 1 (1.09, 0.23, 0.059, 0.023), rounded up by half.
    ts = [1.0, 1.5, 2.5, 4.0]
    runs = [_multi(3, ts, order_max=1) for _ in range(6)]
    ref0 = [_lj_b3_reference(t) for t in ts]
    ref1 = [-t * (_lj_b3_reference(t * 1.001) - _lj_b3_reference(t * 0.999)) / (0.002 * t) for t in ts]
    values = [[row[0] for row in r] for r in runs]
    slopes = [[row[1] for row in r] for r in runs]
    assert_statistically_equal(values, ref0, [0.43, 0.13, 0.051, 0.031])
    assert_statistically_equal(slopes, ref1, [1.6, 0.35, 0.088, 0.035])


def test_hard_spheres_are_the_same_at_every_temperature():
    # A hard-sphere target does not depend on T: every temperature has the same samples,
    # so the same entries; B3 = 5/8 b^2 and B4 = 0.2869495 b^3 of diameter 1.4 against the
    # reference of diameter 1.  sd_run over 16 runs: B3/b^2 0.009, B4/b^3 0.017, rounded up by half.
    b = 2 * math.pi * 1.4**3 / 3
    hs_b4 = (2707 * math.pi + 438 * math.sqrt(2) - 4131 * math.acos(1 / 3)) / (4480 * math.pi)
    r0 = [[[0.0, 0.0, 0.0, 0.0]]]
    for n, exact, sd in ((3, 5 / 8, 0.014), (4, hs_b4, 0.026)):
        runs = []
        for _ in range(4):
            rows = _multi(n, [100.0, 300.0, 1000.0], table=r0, hard_sphere_diameter=1.4)
            assert rows[0] == rows[1] == rows[2]
            runs.append([rows[0][0] / b ** (n - 1)])
        assert_statistically_equal(runs, [exact], [sd])


@pytest.mark.physics
def test_multi_walk_agrees_with_single_walks_at_every_temperature():
    # Lennard-Jones B4 at T* = 2 and 3 from one walk: the median of 8 multi-temperature
    # runs against the median of 8 single-temperature runs per temperature, within 5
    # standard errors of the difference (medians: 1.2 times the spread of means).  sd_run
    # of one run of 1.1e6 steps over 30 runs: 0.127 and 0.045 (multi), 0.104 and 0.029
    # (single), the larger rounded up by half.  (At T* = 1.5 the runs of this length have
    # a heavy tail: two means of 16 runs each came out 3 standard errors apart.)
    ts = [2.0, 3.0]
    sd = np.array([0.19, 0.068])
    multi = np.array([[row[0] for row in _multi(4, ts, block_steps=100000)] for _ in range(8)])
    single = np.array([[_quiet(_engine.bn_run, [_POINT] * 4, [_LJ] * 6, t, -math.inf, 1e300, 0, 100000, 10, -0.1,
                               0.0, 1.0)[0] for t in ts] for _ in range(8)])
    diff = np.abs(np.median(multi, axis=0) - np.median(single, axis=0))
    assert np.all(diff <= 5 * 1.2 * sd * math.sqrt(2 / 8)), (np.median(multi, axis=0), np.median(single, axis=0))


def test_error_bars_are_honest_over_repeats():
    # 48 repeats of a "scan" of 5 runs (LJ B3 at T* = 1.5, 2, 3, one walk per run): the
    # spread of the repeats' means against their reported standard errors.  Per
    # temperature the ratio sd(means) / rms(stderr) is uncertain by about 10 %; its mean
    # over the three temperatures must lie in 0.7 .. 1.3.  The temperatures share the
    # samples: their values correlate positively.
    ts = [1.5, 2.0, 3.0]
    runs = [[row[0] for row in _multi(3, ts, block_steps=10000)] for _ in range(240)]
    ratios = []
    for k in range(3):
        groups = [[runs[5 * g + i][k] for i in range(5)] for g in range(48)]
        means = [statistics.fmean(x) for x in groups]
        se2 = [statistics.variance(x) / 5 for x in groups]
        ratios.append(statistics.stdev(means) / math.sqrt(statistics.fmean(se2)))
    assert 0.7 <= statistics.fmean(ratios) <= 1.3, ratios
    corr = temperature_correlation(runs)
    assert corr[0][0] == pytest.approx(1.0) and corr[0][1] > 0.2 and corr[1][2] > 0.2, corr


# ---------------------------------------------------------------- the tools layer

def test_split_and_auto_rules():
    ts = [100.0, 150.0, 199.0, 201.0, 300.0, 1000.0, 120.0]
    groups = split_temperatures(ts, 2.0)
    assert sorted(i for g in groups for i in g) == list(range(len(ts)))
    assert [sorted(ts[i] for i in g) for g in groups] == [[100.0, 120.0, 150.0, 199.0], [201.0, 300.0], [1000.0]]
    assert all(max(ts[i] for i in g) <= MAX_SPAN * min(ts[i] for i in g) for g in split_temperatures(ts))
    assert split_temperatures([300.0, 300.0]) == [(0, 1)]
    assert len(split_temperatures([200.0, 800.0], 4.0)) == 1 and len(split_temperatures([200.0, 801.0], 4.0)) == 2
    with pytest.raises(ValueError):
        split_temperatures([300.0, -1.0])
    assert multi_walk_pays(3, [200.0 + 60.0 * k for k in range(10)])
    assert multi_walk_pays(4, [300.0, 400.0][:MIN_TEMPERATURES])
    assert not multi_walk_pays(3, [300.0])
    assert not multi_walk_pays(3, [100.0, 1000.0, 10000.0])  # every walk of the split serves one
    assert not multi_walk_pays(5, [300.0, 400.0]) and not multi_walk_pays(2, [300.0, 400.0])


def test_run_multi_walk_from_a_task():
    # Argon B3 through the tools' path (Å, K, Cms's convention for the entries) at two
    # temperatures, against the quadrature in reduced units.  sd_run in sigma^6 units
    # over 16 runs (0.137, 0.030), rounded up by half.
    from types import SimpleNamespace

    ar = vt.resolve_model("argon")
    eps, sigma = ar.sites[0].epsilon, ar.sites[0].sigma
    task = SimpleNamespace(models=(ar, ar, ar), mixing="lorentz-berthelot", u_min=-math.inf, dev_tol=1e300,
                           order_max=2, length_unit=1.0, core=0.0, block_steps=20000, max_blocks=10)
    ts = [1.5 * eps, 3.0 * eps]
    runs = [[row[0] / sigma**6 for row in _quiet(run_multi_walk, task, ts)] for _ in range(4)]
    assert_statistically_equal(runs, [_lj_b3_reference(1.5), _lj_b3_reference(3.0)], [0.21, 0.045])


def test_scans_by_multi_walk_and_the_choice_of_auto():
    from vicatools.methods import choose_method

    s = vt.bn("argon", 3, temperatures=[150.0, 200.0, 1000.0], method="multi-walk", runs=2, block_steps=20000,
              max_blocks=2, progress=False, results=False, workers=1)
    assert s.method == "multi-walk" and [e.t_kelvin for e in s] == [150.0, 200.0, 1000.0]
    assert all(len(e.runs) == 2 and e.value_stderr > 0.0 for e in s)
    co2 = vt.resolve_model("trappe-co2")
    assert choose_method("auto", "bn", 4, [co2] * 4, 2).name == "multi-walk"
    assert choose_method("auto", "bn", 4, [co2] * 4, 1).name == "walk"
    assert choose_method("auto", "bn", 5, [co2] * 5, 10).name == "walk"
    assert choose_method("auto", "b3", 3, [co2] * 3, 10).name == "multi-walk"
    assert choose_method("auto", "b3", 3, [co2] * 3, 1).name == "mayer"
    assert choose_method("multi-walk", "bn", 5, [co2] * 5, 1).name == "multi-walk"


def test_an_exp6_model_against_its_quadrature():
    # The library's exp-6 methane (one site, infinite inside its barrier): C at three
    # temperatures from multi-temperature walks through the tools' path (the site law as a
    # flat entry, the padding from its contact distance) against the one-site quadrature.
    # sd_run over 12 runs (211, 104, 64 A^6), rounded up by half.
    ts = [250.0, 350.0, 500.0]
    s = vt.bn("exp6-methane", 3, temperatures=ts, runs=6, block_steps=50000, max_blocks=4, method="multi-walk",
              progress=False, results=False, workers=1)
    ref = vt.b3("exp6-methane", temperatures=ts, method="cubature", progress=False, results=False)
    runs = [[e.runs[r][0] for e in s] for r in range(6)]
    assert_statistically_equal(runs, [e.value for e in ref], [320.0, 160.0, 97.0])
