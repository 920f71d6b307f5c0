"""B2 by integration (vicatools._engine.b2_cubature, vicatools.methods.cubature).

References written apart from the engine: one-dimensional scipy quadratures
for one-site models (B2 and its beta-derivative entries), the numpy product
rule of reference_b2 for linear molecules, and Mayer sampling (vica.Bms) for a
charged model.
"""
import functools
import math
import warnings

import numpy as np
import pytest
from scipy import integrate

from reference_b2 import TRAPPE_CO2, b2_linear_quadrature
from vicatools import _engine
from vicatools.methods.cubature import CubatureWarning, integrate_b2
from vicatools.models import Model, Site

LJ = [[[2.0, -4.0, 4.0]]]  # c6 = -4 eps sigma^6, c12 = 4 eps sigma^12 with eps = sigma = 1
ORIGIN = [[0.0, 0.0, 0.0]]


def engine(m1, m2, laws, temperatures, *, u_min=-math.inf, order_max=2, rtol=1e-6, atol=0.0, budget=10**9, masses=((), ())):
    return _engine.b2_cubature(m1, m2, laws, [], temperatures, u_min, order_max, rtol, atol, budget, *masses)


@functools.lru_cache(maxsize=None)
def lj_entries(t, order_max=2):
    """(beta^k/k!) d^k B2/d beta^k of reduced Lennard-Jones atoms, k = 0..order_max, by scipy quad."""
    beta = 1.0 / t

    def u(r):
        x = r**-6
        return 4.0 * (x * x - x)

    out = []
    for k in range(order_max + 1):
        if k == 0:
            def g(r):
                return r * r * math.expm1(-beta * u(r))
        else:
            def g(r, k=k):
                v = -beta * u(r)
                return r * r * math.exp(v) * v**k / math.factorial(k)
        edges = [0.3, 0.8, 1.0, 1.12, 1.5, 2.5, 6.0]
        parts = [-(0.3**3) / 3.0 if k == 0 else 0.0]  # exp(-beta u) < 1e-300 below 0.3 sigma
        for a, b in zip(edges[:-1], edges[1:]):
            parts.append(integrate.quad(g, a, b, epsabs=0.0, epsrel=1e-13, limit=200)[0])
        parts.append(integrate.quad(g, 6.0, math.inf, epsabs=1e-15, epsrel=1e-13, limit=200)[0])
        out.append(-2.0 * math.pi * math.fsum(parts))
    return out


T_STARS = [0.5, 0.7, 1.0, 1.5, 2.0, 3.0, 5.0, 10.0, 20.0, 50.0]


def test_lennard_jones_entries_against_one_dimensional_quadrature():
    """All temperatures from one pass, each entry to ~1e-8 relative of the entries' scale."""
    out = engine(ORIGIN, ORIGIN, LJ, T_STARS, rtol=1e-10)
    assert out["converged"]
    for t, rec in zip(T_STARS, out["temperatures"]):
        ref = lj_entries(t)
        scale = max(abs(x) for x in ref)
        for got, want, err in zip(rec["entries"], ref, rec["errors"]):
            assert got == pytest.approx(want, rel=1e-8, abs=1e-8 * scale), t
            assert abs(got - want) <= err + 1e-10 * scale  # the reference itself is good to ~1e-11


def test_error_estimate_bounds_true_error_over_temperatures():
    ts = list(np.geomspace(0.5, 50.0, 24))
    hits, total = 0, 0
    for rtol in (1e-4, 1e-6):
        out = engine(ORIGIN, ORIGIN, LJ, ts, rtol=rtol)
        for t, rec in zip(ts, out["temperatures"]):
            for got, want, err in zip(rec["entries"], lj_entries(t), rec["errors"]):
                total += 1
                hits += abs(got - want) <= err
                assert abs(got - want) <= max(10.0 * err, rtol * abs(want))
    assert hits >= 0.95 * total


def test_error_estimate_bounds_true_error_for_a_linear_molecule():
    """The angular part of the estimate: a LJ dumbbell over temperatures at two
    tolerances, against a run a thousand times tighter."""
    m = [[0.0, 0.0, -0.5], [0.0, 0.0, 0.5]]
    laws = [[[2.0, -4.0, 4.0]] * 2] * 2
    ts = [0.8, 1.2, 2.0, 3.0, 5.0, 8.0]
    truth = engine(m, m, laws, ts, rtol=1e-8)["temperatures"]
    hits, total = 0, 0
    for rtol in (1e-4, 1e-5):
        for ref, rec in zip(truth, engine(m, m, laws, ts, rtol=rtol)["temperatures"]):
            for got, want, err in zip(rec["entries"], ref["entries"], rec["errors"]):
                total += 1
                hits += abs(got - want) <= err
    assert hits >= 0.95 * total


def _dumbbell(bond=1.0, eps=1.0, sigma=1.0):
    return Model("dumbbell", (Site("A", (0.0, 0.0, -bond / 2), eps, sigma), Site("A", (0.0, 0.0, bond / 2), eps, sigma)))


@pytest.mark.parametrize("t", [1.5, 4.0])
def test_rigid_dumbbell_against_numpy_product_rule(t):
    ref = b2_linear_quadrature(
        [-0.5, 0.5], [1.0, 1.0], [1.0, 1.0], [0.0, 0.0], t, n_cos=40, n_phi=28, n_per_panel=12, n_tail=40, r_far=140.0
    )
    rec = integrate_b2(_dumbbell(), temperatures=t, rtol=1e-7, u_min=-math.inf)[0]
    assert rec.converged
    # the reference's own grid is good to about 1e-7 of B's scale (B crosses 0 near T* = 4)
    assert rec.value == pytest.approx(ref, abs=1e-6)
    assert rec.error < 2e-6
    assert rec.geometry.startswith("linear (inversion)")


def test_cross_coefficient_is_symmetric_and_mixes_shapes():
    """B12 of an atom and a bent three-site molecule, either way round, and an
    off-centre atom (a linear molecule without inversion) gives the atom's B2."""
    bent = [[0.0, 0.0, 0.0], [0.8, 0.0, 0.6], [-0.8, 0.0, 0.6]]
    laws_ab = [[[2.0, -4.0, 4.0], [2.0, -2.0, 1.0], [2.0, -2.0, 1.0]]]
    laws_ba = [[law] for law in laws_ab[0]]
    ab = engine(ORIGIN, bent, laws_ab, [2.0], rtol=1e-8)
    ba = engine(bent, ORIGIN, laws_ba, [2.0], rtol=1e-8)
    assert ab["temperatures"][0]["entries"] == pytest.approx(ba["temperatures"][0]["entries"], rel=1e-7)
    assert "2-fold" in ab["geometry"]
    moved = engine([[0.3, -0.2, 0.5]], ORIGIN, LJ, [2.0], rtol=1e-10)
    assert moved["temperatures"][0]["entries"] == pytest.approx(lj_entries(2.0), rel=1e-8)


def test_floor_counts_energies_at_or_below_it_as_overlaps():
    """With u_min = -0.5 eps the LJ well below -0.5 counts as f = -1 (the rule of vica.Bms);
    the jump makes convergence algebraic, so the comparison is at 1e-5."""
    t = 1.0

    def g(r):
        x = r**-6
        u = 4.0 * (x * x - x)
        return -r * r if u <= -0.5 else r * r * math.expm1(-u / t)

    lo, hi = 2 ** (1 / 6) * (2 / (1 + math.sqrt(0.5))) ** (1 / 6), 2 ** (1 / 6) * (2 / (1 - math.sqrt(0.5))) ** (1 / 6)
    parts = [-(0.3**3) / 3.0]
    for a, b in zip([0.3, lo, hi], [lo, hi, math.inf]):
        parts.append(integrate.quad(g, a, b, epsrel=1e-12, epsabs=1e-14, limit=200)[0])
    ref = -2.0 * math.pi * math.fsum(parts)
    out = engine(ORIGIN, ORIGIN, LJ, [t], u_min=-0.5, rtol=1e-6, order_max=0)
    rec = out["temperatures"][0]
    assert rec["entries"][0] == pytest.approx(ref, rel=1e-5)


def test_budget_gives_converged_false_and_a_warning():
    with pytest.warns(CubatureWarning, match="max_evaluations"):
        recs = integrate_b2("trappe-co2", temperatures=[300.0, 400.0], rtol=1e-9, max_evaluations=200_000)
    assert not any(r.converged for r in recs)
    assert all("max_evaluations" in r.message and math.isfinite(r.value) and r.error > 0.0 for r in recs)


@pytest.mark.parametrize(
    "kwargs, match",
    [
        (dict(temperatures=[-1.0]), "temperatures"),
        (dict(temperatures=[]), "temperature"),
        (dict(temperatures=300.0, rtol=0.0, atol=0.0), "both be 0"),
        (dict(temperatures=300.0, rtol=-1e-3), "rtol"),
        (dict(temperatures=300.0, order_max=-1), "order_max"),
        (dict(temperatures=300.0, max_evaluations=0), "max_evaluations"),
        (dict(temperatures=300.0, masses=([1.0], [1.0])), "masses"),
        (dict(temperatures=300.0, mixing="arithmetic"), "mixing"),
    ],
)
def test_bad_input_is_refused(kwargs, match):
    with pytest.raises(ValueError, match=match):
        integrate_b2("trappe-co2", **kwargs)


@pytest.mark.parametrize(
    "m1, m2, laws, match",
    [
        ([], ORIGIN, [], "without sites"),
        (ORIGIN, ORIGIN, [[]], "one law per site"),
        (ORIGIN, ORIGIN, [[[9.0]]], "kind"),
        (ORIGIN, ORIGIN, [[[1.0, -1000.0]]], "net charge"),
        (ORIGIN, ORIGIN, [[[4.0, 0.0, -1.0, 3.0, 1.0, 12.0]]], "diverges"),
        ([[math.nan, 0.0, 0.0]], ORIGIN, LJ, "non-finite"),
    ],
)
def test_engine_refuses_bad_models(m1, m2, laws, match):
    with pytest.raises(ValueError, match=match):
        engine(m1, m2, laws, [1.0])


def test_collapse_without_floor_is_an_error_not_a_number():
    """Bare opposite charges beside a dipole partner: with neither floor nor core the
    Boltzmann factor overflows; the engine says so."""
    a = [[0.0, 0.0, -0.5], [0.0, 0.0, 0.5]]
    laws = [[[3.0, 1e4, -1.0, 1.0], [1.0, -1e4]], [[1.0, -1e4], [3.0, 1e4, -1.0, 1.0]]]
    with pytest.raises(FloatingPointError, match="u_min"):
        engine(a, a, laws, [1.0], rtol=1e-3)


@pytest.mark.physics
def test_trappe_co2_against_numpy_product_rule():
    ref = b2_linear_quadrature(**TRAPPE_CO2, t_kelvin=300.0, n_cos=40, n_phi=28, n_per_panel=10, n_tail=40)
    rec = integrate_b2("trappe-co2", temperatures=300.0, rtol=1e-7)[0]
    assert rec.converged
    # the reference stops at 6 r_split with only the dispersion tail beyond
    assert rec.value == pytest.approx(ref, rel=3e-6)


@pytest.mark.physics
def test_spce_against_mayer_sampling():
    """Cubature against vica.Bms runs (vt.b2) within their standard error."""
    import vicatools as vt

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scan = vt.b2("spce", temperatures=[500.0], runs=8, progress=False, results=False, method="mayer")
    est = scan.estimates[0]
    rec = integrate_b2("spce", temperatures=500.0, rtol=1e-5, order_max=0)[0]
    assert rec.converged
    assert abs(rec.value - est.value) < 4.0 * est.value_stderr + 4.0 * rec.error
