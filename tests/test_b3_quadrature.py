"""C of one-site molecules by quadrature (vicatools._engine.b3_quadrature and
vicatools.methods.b3_quadrature) against references written apart from it.

The reference is the Fourier route: with f^(k) = 4 pi int r^2 f(r) sin(kr)/(kr) dr,

    C123 = -(1/3) int f^12 f^13 f^23 d^3k / (2 pi)^3 = -(1/(6 pi^2)) int k^2 f^12 f^13 f^23 dk,

both integrals by fixed Gauss-Legendre panels in numpy (r up to 50 sigma, k up to
100 / sigma).  It agrees with itself on finer grids to about 1e-12 relative for
Lennard-Jones at T* >= 0.7.  Derivative entries are checked against finite
differences of it in beta.  Reduced units: sigma = epsilon = 1, so T = T*.
"""
from __future__ import annotations

import concurrent.futures as cf
import functools
import math

import numpy as np
import pytest

import vicatools as vt
from vicatools import _engine
from vicatools.methods.b3_quadrature import integrate_b3
from vicatools.models.model import Model, Site

LJ = [2.0, -4.0, 4.0]  # u = 4 (r^-12 - r^-6) as a PotK R6R12 entry
REF_REL = 1e-11  # the reference's own precision (measured against finer grids)


def _panels(breaks: np.ndarray, q: int):
    x, w = np.polynomial.legendre.leggauss(q)
    a, b = breaks[:-1], breaks[1:]
    h, c = (b - a) / 2, (a + b) / 2
    return (c[:, None] + h[:, None] * x).ravel(), (h[:, None] * w).ravel()


_R, _WR = _panels(np.concatenate([np.arange(0.5, 2.0, 0.05), np.arange(2.0, 6.0, 0.25), np.arange(6.0, 50.0001, 1.0)]), 20)
_K, _WK = _panels(np.concatenate([np.arange(0.0, 5.0, 0.05), np.arange(5.0, 100.0001, 0.5)]), 12)
_KR = np.sinc(np.outer(_K, _R) / np.pi)  # j0(k r)


def _fhat(f) -> np.ndarray:
    """4 pi int r^2 f(r) j0(kr) dr at the k nodes; f = -1 below r = 0.5 (a hard core
    in every law tested here) done in closed form."""
    ka = _K * 0.5
    core = -4 * np.pi * (np.sin(ka) - ka * np.cos(ka)) / np.maximum(_K, 1e-300) ** 3
    core = np.where(ka > 1e-2, core, -4 * np.pi * 0.5**3 / 3 * (1 - ka**2 / 10))
    return _KR @ (4 * np.pi * _R * _R * _WR * f(_R)) + core


def _c_fourier(*fs) -> float:
    hats = [_fhat(f) for f in fs]
    if len(hats) == 1:
        hats = hats * 3
    return float(-(_WK * _K**2 * hats[0] * hats[1] * hats[2]).sum() / (6 * np.pi**2))


def mie_f(beta: float, eps: float = 1.0, sig: float = 1.0, lr: float = 12.0, la: float = 6.0):
    c = lr / (lr - la) * (lr / la) ** (la / (lr - la))
    return lambda r: np.expm1(-beta * c * eps * ((sig / r) ** lr - (sig / r) ** la))


@functools.lru_cache(maxsize=None)
def c_lj(beta: float) -> float:
    return _c_fourier(mie_f(beta))


def fd_entries(beta: float, h: float = 0.01):
    """Entries 1 and 2 of C (vica.Cms's convention) from finite differences of the
    reference: g(x) = C(beta (1 + x)) = sum_k e_k (sqrt(2) x)^k."""
    g = {i: c_lj(beta * (1 + i * h)) for i in (-2, -1, 0, 1, 2)}
    d1 = (8 * (g[1] - g[-1]) - (g[2] - g[-2])) / (12 * h)
    d2 = (-g[2] + 16 * g[1] - 30 * g[0] + 16 * g[-1] - g[-2]) / (12 * h * h) / 2
    return d1 / math.sqrt(2), d2 / 2


def run(laws, temperatures, order_max=2, rtol=1e-9, tables=(), budget=400_000_000, u_min=-math.inf):
    return _engine.b3_quadrature(laws, list(tables), list(temperatures), u_min, order_max, rtol, 0.0, budget)


def test_lennard_jones_against_the_fourier_route_and_published_values():
    ts = [0.7, 1.0, 2.0, 5.0]
    out = run([LJ] * 3, ts, order_max=0, rtol=1e-9)
    assert out["converged"] == [True] * 4
    for t, entries, errors in zip(ts, out["entries"], out["errors"]):
        ref = c_lj(1.0 / t)
        assert abs(entries[0] - ref) <= errors[0] + REF_REL * abs(ref), t
        assert errors[0] <= 1e-9 * abs(ref)
    # Barker, Leonard and Pompe's table: C / b0^2 = 0.4297 at T* = 1 (b0 = 2 pi sigma^3 / 3),
    # that is C = 1.8849 sigma^6
    c1 = out["entries"][1][0]
    assert c1 / (2 * math.pi / 3) ** 2 == pytest.approx(0.4297, abs=5e-5)
    assert c1 == pytest.approx(1.8849, abs=2e-4)


def test_derivative_entries_against_finite_differences_of_the_reference():
    ts = [1.0, 2.0]
    out = run([LJ] * 3, ts, order_max=2, rtol=1e-9)
    for t, entries, errors in zip(ts, out["entries"], out["errors"]):
        e1, e2 = fd_entries(1.0 / t)
        # the differences carry an h^4 error of about 1e-9 relative here
        assert entries[1] == pytest.approx(e1, rel=1e-7, abs=errors[1])
        assert entries[2] == pytest.approx(e2, rel=1e-6, abs=errors[2])


def test_the_error_estimate_bounds_the_true_error():
    ts = [0.7, 1.0, 3.0]
    for rtol in (1e-4, 1e-6, 1e-8):
        out = run([LJ] * 3, ts, order_max=0, rtol=rtol)
        for t, entries, errors, target in zip(ts, out["entries"], out["errors"], out["targets"]):
            ref = c_lj(1.0 / t)
            assert abs(entries[0] - ref) <= errors[0] + REF_REL * abs(ref), (rtol, t)
            assert errors[0] <= target[0] <= max(rtol * abs(ref) * 1.01, 1e-300), (rtol, t)


def test_mie_laws_hard_spheres_and_a_mixture():
    # Mie 12-6 is Lennard-Jones, bit for bit
    mie = [4.0, 0.0, -4.0, 6.0, 4.0, 12.0]
    assert run([mie] * 3, [1.3])["entries"] == run([LJ] * 3, [1.3])["entries"]
    # Mie 14-7: u = 4 (r^-14 - r^-7)
    out = run([[4.0, 0.0, -4.0, 7.0, 4.0, 14.0]] * 3, [1.0], order_max=0)
    ref = _c_fourier(mie_f(1.0, lr=14.0, la=7.0))
    assert abs(out["entries"][0][0] - ref) <= out["errors"][0][0] + REF_REL * abs(ref)
    # exp-6 (Errington and Panagiotopoulos: epsilon = 1, r_min = 2^(1/6), alpha = 15), infinite
    # inside its barrier (at r = 0.19; u(0.5) = 2519, so f = -1 below 0.5 as the reference takes it)
    from vicatools.models.laws import exp6_from_minimum

    big_a, big_b, c6 = exp6_from_minimum(1.0, 2 ** (1 / 6), 15.0)
    out = run([[5.0, 0.0, big_a, big_b, -c6]] * 3, [1.5], order_max=0)
    ref = _c_fourier(lambda x: np.expm1(-(big_a * np.exp(-big_b * x) - c6 / x**6) / 1.5))
    assert abs(out["entries"][0][0] - ref) <= out["errors"][0][0] + REF_REL * abs(ref)
    # hard spheres of diameter 1 as a table (u = 0 from r = 1 on, +inf below): 5 pi^2 / 18
    hs = [[1.0, 1.5, 2.0, 2.5], [0.0, 0.0, 0.0, 0.0]]
    out = run([[6.0, 0.0]] * 3, [1.0, 7.0], tables=[hs])
    for entries, errors in zip(out["entries"], out["errors"]):
        assert entries[0] == pytest.approx(5 * math.pi**2 / 18, rel=1e-12, abs=errors[0])
        assert entries[1:] == [0.0, 0.0]
    # C123 of three Lennard-Jones species (Lorentz-Berthelot), T = 1.2
    sp = [(1.0, 1.0), (1.1, 1.2), (0.92, 0.8)]

    def pair(i, j):
        return math.sqrt(sp[i][1] * sp[j][1]), (sp[i][0] + sp[j][0]) / 2

    laws, fs = [], []
    for i, j in ((0, 1), (0, 2), (1, 2)):
        e, s = pair(i, j)
        laws.append([2.0, -4 * e * s**6, 4 * e * s**12])
        fs.append(mie_f(1 / 1.2, e, s))
    out = run(laws, [1.2], order_max=0)
    ref = _c_fourier(*fs)
    assert abs(out["entries"][0][0] - ref) <= out["errors"][0][0] + REF_REL * abs(ref)


def test_many_temperatures_in_one_pass():
    ts = [0.8 + 0.4 * i for i in range(10)]
    many = run([LJ] * 3, ts, rtol=1e-8)
    one = run([LJ] * 3, [ts[3]], rtol=1e-8)
    for k in range(3):
        assert abs(many["entries"][3][k] - one["entries"][0][k]) <= many["errors"][3][k] + one["errors"][0][k]
    # every node's energy serves all ten temperatures: far from ten times the nodes
    assert many["evaluations"] < 4 * one["evaluations"]


def test_budget_and_refusals():
    out = run([LJ] * 3, [1.0], rtol=1e-10, budget=200_000)
    assert out["converged"] == [False]
    assert any(e > t for e, t in zip(out["errors"][0], out["targets"][0]))
    for laws, tables, match in [
        ([[1.0, 5.0]] * 3, [], "faster than r\\^-3"),  # bare charges
        ([[4.0, 0.0, -1.0, 3.0, 1.0, 12.0]] * 3, [], "faster than r\\^-3"),
        ([[4.0, 0.0, -1.0, 12.0, 1.0, 6.0]] * 3, [], "without bound"),  # attraction wins at short range
        ([LJ] * 2, [], "three entries"),
        ([[6.0, 1.0]] * 3, [[[1.0, 2.0], [0.0, 0.0]]], "table 0|names table"),
        ([[6.0, 0.0]] * 3, [[[1.0, 2.0, 3.0, 4.0], [0.0, 0.0, 0.0]]], "equal count"),
    ]:
        with pytest.raises(ValueError, match=match):
            run(laws, [1.0], tables=tables)
    for temps in ([], [0.0], [float("nan")]):
        with pytest.raises(ValueError, match="temperature"):
            run([LJ] * 3, temps)
    with pytest.raises(ValueError, match="rtol"):
        run([LJ] * 3, [1.0], rtol=0.0)
    with pytest.raises(OverflowError):
        run([LJ] * 3, [1.0], order_max=-1)

    ar = vt.get_model("argon")
    co2 = vt.get_model("trappe-co2")
    ion = Model("ion", (Site("X", (0.0, 0.0, 0.0), 100.0, 3.0, 1.0),))
    with pytest.raises(ValueError, match="one-site models; 'trappe-co2' has 3 sites"):
        integrate_b3([ar, ar, co2], temperatures=[300.0])
    with pytest.raises(ValueError, match="charge"):
        integrate_b3([ion] * 3, temperatures=[300.0])
    with pytest.raises(ValueError, match="temperature"):
        integrate_b3([ar] * 3, temperatures=[-1.0])
    with pytest.raises(ValueError, match="rtol"):
        integrate_b3([ar] * 3, temperatures=[300.0], rtol=2.0)
    with pytest.raises(ValueError, match="three models"):
        integrate_b3("argon", temperatures=[300.0])
    # a site without any interaction: C = 0 exactly
    ghost = Model("ghost", (Site("G", (0.0, 0.0, 0.0)),))
    assert integrate_b3([ghost] * 3, temperatures=[300.0])[0].entries == (0.0, 0.0, 0.0)


def test_argon_through_vt_b3():
    ar = vt.get_model("argon")
    (mine,) = integrate_b3(["argon", ar, "argon"], temperatures=[300.0], rtol=1e-9)
    beta_star = 119.8 / 300.0
    ref = c_lj(beta_star) * 3.405**6
    assert abs(mine.entries[0] - ref) <= mine.errors[0] + REF_REL * abs(ref)
    assert mine.converged and mine.evaluations > 0 and mine.cutoff > 10 * 3.405
    with cf.ThreadPoolExecutor(1) as pool:
        scan = vt.b3("argon", temperatures=[300.0, 150.0], executor=pool, progress=False)
    assert scan.method == "cubature"
    e = scan[0]
    assert e.error_kind == "integration" and e.converged and e.n_runs == 1
    assert e.value == pytest.approx(ref, rel=1e-7)
    with pytest.raises(ValueError, match="one-site"):
        vt.b3("trappe-co2", temperatures=[300.0], method="cubature")


def test_methods_sharing_a_name_are_one_method_by_order():
    from vicatools.methods import METHODS, choose_method
    from vicatools.methods.b3_quadrature import B3Cubature
    from vicatools.methods.base import Method
    from vicatools.methods.by_order import by_order

    class B2Stub(Method):
        name = "cubature"
        engine = "cubature-b2-stub"
        error = "integration"
        orders = (2, 2)

        def run(self, task):
            return "b2"

    both = by_order([B2Stub(), B3Cubature()])
    ar, co2 = vt.get_model("argon"), vt.get_model("trappe-co2")
    assert both.orders == (2, 3) and both.name == "cubature"
    assert both.refusal(2, [co2, co2]) is None  # the B2 member takes molecules
    assert "one-site" in both.refusal(3, [co2] * 3)
    assert "orders 2 to 3" in both.refusal(4, [ar] * 4)
    assert choose_method("auto", "b3", 3, [ar] * 3).name == "cubature"
    assert METHODS["cubature"].refusal(3, [ar] * 3) is None


def test_a_tabulated_law_with_a_hard_core():
    from scipy.interpolate import CubicSpline

    # Lennard-Jones tabulated from r = 0.8 (a hard core below) to 6 (u = 0 beyond: f jumps there)
    r = np.concatenate([np.linspace(0.8, 2.0, 49), np.linspace(2.1, 6.0, 40)])
    u = 4.0 * (r**-12 - r**-6)
    spline = CubicSpline(r, u, bc_type="natural")
    beta = 1.0 / 1.5

    def f(x):
        inside = (x >= r[0]) & (x < r[-1])
        return np.where(inside, np.expm1(-beta * spline(np.clip(x, r[0], r[-1]))), np.where(x < r[0], -1.0, 0.0))

    out = run([[6.0, 0.0]] * 3, [1.5], order_max=0, rtol=1e-7, tables=[[list(r), list(u)]])
    ref = _c_fourier(f)
    assert out["converged"] == [True] and out["tail_bounds"] == [[0.0]]
    # the jump of f at r = 6 leaves the Fourier route a k^-4 tail: about 1e-8 here
    assert abs(out["entries"][0][0] - ref) <= out["errors"][0][0] + 1e-7 * abs(ref)
    assert out["entries"][0][0] == pytest.approx(c_lj(beta), rel=1e-3)  # close to the law it samples


def test_soft_spheres_scale_exactly_with_temperature():
    # u = 4 r^-n: C = c beta^(6/n), so entry k = C binom(6/n, k) / 2^(k/2), and C(T) / C(T') = (T'/T)^(6/n)
    for n, law in ((12.0, [2.0, 0.0, 4.0]), (9.0, [4.0, 0.0, 0.0, 6.0, 4.0, 9.0])):
        a = 6.0 / n
        out = run([law] * 3, [0.5, 1.0, 10.0], order_max=3, rtol=1e-10)
        c1 = out["entries"][1][0]
        for t, entries, errors in zip([0.5, 1.0, 10.0], out["entries"], out["errors"]):
            c = c1 * t**-a
            binom = [1.0, a, a * (a - 1) / 2, a * (a - 1) * (a - 2) / 6]
            for k in range(4):
                assert abs(entries[k] - c * binom[k] / 2 ** (k / 2)) <= 2e-9 * abs(c) + errors[k], (n, t, k)


def test_library_laws_beyond_lennard_jones_through_the_tools():
    # mie-methane: Mie 14-6, epsilon 161 K, sigma 3.74 A; in reduced units against the Fourier route
    (mie,) = integrate_b3(["mie-methane"] * 3, temperatures=[300.0], rtol=1e-9)
    ref = _c_fourier(mie_f(161.0 / 300.0, lr=14.0, la=6.0)) * 3.74**6
    assert mie.converged and abs(mie.entries[0] - ref) <= mie.errors[0] + REF_REL * abs(ref)
    # exp6-methane collapses inside its barrier: infinite there, no floor needed
    (e6,) = integrate_b3(["exp6-methane"] * 3, temperatures=[300.0])
    assert e6.converged and e6.u_min == -math.inf
    assert 0.9 * mie.entries[0] < e6.entries[0] < 1.1 * mie.entries[0]  # two fits of methane
    with cf.ThreadPoolExecutor(1) as pool:
        scan = vt.b3("exp6-methane", temperatures=[300.0], executor=pool, progress=False, results=False)
    assert scan.method == "cubature" and scan[0].value == pytest.approx(e6.entries[0], rel=1e-7)
