"""vicatools estimates against independent quadratures, and the honesty of their error bars.

Runs use dev_tol = 1e300, so every vica run stops at its earliest point (11 million
steps).  Tolerances come from single-run spreads measured over 16 runs (12 for C)
at the same settings:

- one-site LJ argon, B at 300 K: sd 0.252 A^3; T dB/dT 0.66 A^3; T^2 d2B/dT2 1.51 A^3
- TraPPE CO2, B at 300 K: sd 0.81 A^3
- argon with TraPPE methane, B12 at 300 K: sd 0.55 A^3 (12 runs)
- one-site LJ argon, C at 300 K: sd 89 A^6; T dC/dT 48 A^6; T^2 d2C/dT2 163 A^6
"""
import math
import statistics
import sys
import pathlib

import pytest

import vicatools as vt  # noqa: E402

# Monte Carlo runs or quadratures against physical references: left out of the sanitizer run.
pytestmark = pytest.mark.physics
np = pytest.importorskip("numpy")
stats = pytest.importorskip("scipy.stats")
integrate = pytest.importorskip("scipy.integrate")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from reference_b2 import b2_linear_quadrature  # noqa: E402

EPS, SIG = 119.8, 3.405  # argon, K and angstrom
B_SD, TDB_SD, T2DB_SD = 0.252, 0.66, 1.51  # measured single-run spreads, A^3 (see above)
CO2_SD = 0.81
CROSS_SD = 0.55  # B12 of argon with TraPPE methane at 300 K, measured over 12 runs, A^3
C_SD, TDC_SD, T2DC_SD = 89.0, 48.0, 163.0  # A^6, measured single-run spreads of C (see above)
MARGIN = 1.5  # on a spread measured from 12 to 16 runs


def lj_b_quadrature(t, eps=EPS, sig=SIG):
    """(B, T dB/dT, T^2 d2B/dT2) of one-site LJ in A^3 by adaptive quadrature of
    B = -2 pi int f r^2 dr and of its beta-derivatives (beta d/dbeta f = -beta u e^{-beta u})."""

    def integral(g):
        def h(r):
            x = (sig / r) ** 6
            bu = 4.0 * eps * (x * x - x) / t
            return g(bu) * r * r if bu < 700.0 else g(math.inf) * r * r

        pts = [0.9 * sig, sig, 2 ** (1 / 6) * sig, 1.5 * sig, 3 * sig]
        return -2.0 * math.pi * integrate.quad(h, 0.0, 80 * sig, points=pts, limit=500, epsabs=1e-10, epsrel=1e-12)[0]

    b = integral(lambda bu: -1.0 if bu == math.inf else math.expm1(-bu))
    beta_db = integral(lambda bu: 0.0 if bu == math.inf else -bu * math.exp(-bu))  # beta dB/dbeta
    beta2_d2b = integral(lambda bu: 0.0 if bu == math.inf else bu * bu * math.exp(-bu))
    return b, -beta_db, 2.0 * beta_db + beta2_d2b


def lj_c_quadrature(t, n=1500, r_max_sigma=6.0):
    """(C, T dC/dT, T^2 d2C/dT2) of one-site LJ in A^6 from the bipolar form
    C = -(8 pi^2 / 3) int_0^inf int_0^inf r s f(r) f(s) [int_{|r-s|}^{r+s} f(t) t dt] dr ds
    (trapezoid grid; converged to about 1e-4 relative at n = 1500)."""
    r = np.linspace(0.0, r_max_sigma * SIG, n + 1)
    h = r[1] - r[0]
    x = np.zeros_like(r)
    x[1:] = (SIG / r[1:]) ** 6
    bu = np.full_like(r, np.inf)
    bu[1:] = 4.0 * EPS * (x[1:] ** 2 - x[1:]) / t
    inside = bu < 700.0
    e = np.where(inside, np.exp(-np.where(inside, bu, 0.0)), 0.0)
    f = e - 1.0
    g = np.where(inside, -np.where(inside, bu, 0.0) * e, 0.0)  # beta df/dbeta
    q = np.where(inside, np.where(inside, bu, 0.0) ** 2 * e, 0.0)  # beta^2 d2f/dbeta2
    w = np.full(n + 1, h)
    w[0] = w[-1] = h / 2
    idx = np.arange(n + 1)
    upper = np.minimum(idx[:, None] + idx[None, :], n)
    lower = np.abs(idx[:, None] - idx[None, :])

    def tri(a, b, c):
        ct = c * r
        cum = np.concatenate([[0.0], np.cumsum((ct[1:] + ct[:-1]) * h / 2)])
        return np.einsum("i,j,ij->", w * a * r, w * b * r, cum[upper] - cum[lower])

    k = -8.0 * math.pi**2 / 3.0
    c = k * tri(f, f, f)
    beta_dc = k * 3.0 * tri(g, f, f)
    beta2_d2c = k * (3.0 * tri(q, f, f) + 6.0 * tri(g, g, f))
    return c, -beta_dc, 2.0 * beta_dc + beta2_d2c


K_GROUPS, N_RUNS = 5, 4


@pytest.fixture(scope="module")
def lj_scan():
    """Five independent estimates of B(300 K) of LJ argon, four runs each, at the padding at which
    the single-run spreads above were measured."""
    return vt.b2(
        "argon", temperatures=[300.0] * K_GROUPS, runs=N_RUNS, dev_tol=1e300, progress=False, reference_padding=1.0,
        method="mayer",
    )


def test_error_bars_are_honest(lj_scan):
    ref = lj_b_quadrature(300.0)[0]
    assert ref == pytest.approx(-25.6794, abs=1e-3)  # the quadrature itself, to 1e-3 A^3
    means = [e.value for e in lj_scan]
    errs = [e.value_stderr for e in lj_scan]
    values = [r[0] for e in lj_scan for r in e.runs]
    assert len(set(values)) == len(values)  # every run its own stream
    k, n = K_GROUPS, N_RUNS
    dof = k * (n - 1)
    pooled_var = statistics.fmean(s * s * n for s in errs)  # sample variance of one run
    # 1. z-scores against the exact value, with the pooled variance: sum z^2 / k ~ F(k, k(n-1))
    z2 = sum((m - ref) ** 2 for m in means) / k / (pooled_var / n)
    assert stats.f.ppf(1e-5, k, dof) < z2 < stats.f.ppf(1 - 1e-5, k, dof)
    # 2. scatter of the means against the reported errors: ~ F(k - 1, k(n-1))
    scatter = statistics.variance(means) / (pooled_var / n)
    assert stats.f.ppf(1e-5, k - 1, dof) < scatter < stats.f.ppf(1 - 1e-5, k - 1, dof)
    # 3. the reported errors against the single-run spread measured over 16 runs: ~ F(dof, 15)
    ratio = pooled_var / B_SD**2
    assert stats.f.ppf(1e-5, dof, 15) < ratio < stats.f.ppf(1 - 1e-5, dof, 15)
    # 4. each estimate on its own: (mean - exact) / stderr follows Student's t with n - 1 dof
    t_max = stats.t.ppf(1 - 1e-6, n - 1)
    assert all(abs(m - ref) / s < t_max for m, s in zip(means, errs))


def test_derivatives_and_nearby_temperature(lj_scan):
    runs = [r for e in lj_scan for r in e.runs]
    est = vt.VirialEstimate.from_runs(2, 300.0, runs, "angstrom^3")
    b, t_db, t2_d2b = lj_b_quadrature(300.0)
    n = len(runs)
    assert est.value == pytest.approx(b, abs=5 * MARGIN * B_SD / math.sqrt(n))
    assert est.t_dxdt == pytest.approx(t_db, abs=5 * MARGIN * TDB_SD / math.sqrt(n))
    assert est.t2_d2xdt2 == pytest.approx(t2_d2b, abs=5 * MARGIN * T2DB_SD / math.sqrt(n))
    # B at 285 K and 315 K from the series in 1/T of every run (|epsilon| about 0.05)
    for t_prime in (285.0, 315.0):
        value, err = est.at(t_prime)
        assert value == pytest.approx(lj_b_quadrature(t_prime)[0], abs=5 * MARGIN * (B_SD + 0.05 * TDB_SD) / math.sqrt(n))
        assert 0 < err < 1.0
    with pytest.raises(ValueError, match="too far"):
        est.at(400.0)
    # molar units: N_A 1e-24 per A^3
    m = est.molar()
    assert (m.unit, m.value, m.t2_d2xdt2_stderr) == ("cm^3/mol", est.value * 0.602214076, est.t2_d2xdt2_stderr * 0.602214076)
    assert m.runs[3][1] == est.runs[3][1] * 0.602214076


def test_summary_of_hand_made_runs():
    # B entries [B, e1, e2] of three runs; mean, sample sd / sqrt(n) and derivatives by hand
    runs = [[-10.0, -20.0, 4.0], [-12.0, -22.0, 6.0], [-14.0, -24.0, 2.0]]
    e = vt.VirialEstimate.from_runs(2, 300.0, runs, "angstrom^3")
    assert (e.value, e.value_stderr) == pytest.approx((-12.0, 2.0 / math.sqrt(3)))
    assert (e.t_dxdt, e.t_dxdt_stderr) == pytest.approx((22.0, 2.0 / math.sqrt(3)))  # -e1
    # 2 e1 + 2 e2 per run: -32, -32, -44
    assert (e.t2_d2xdt2, e.t2_d2xdt2_stderr) == pytest.approx((-36.0, math.sqrt(48.0) / math.sqrt(3)))
    assert e.entries_mean == pytest.approx((-12.0, -22.0, 4.0)) and e.n_runs == 3
    # C entries carry 2^(k/2): T dC/dT = -sqrt(2) e1, T^2 d2C/dT2 = 2 sqrt(2) e1 + 4 e2
    c = vt.VirialEstimate.from_runs(3, 300.0, [[100.0, 10.0, 1.0], [100.0, 10.0, 1.0]], "angstrom^6")
    assert (c.t_dxdt, c.t2_d2xdt2, c.t_dxdt_stderr) == pytest.approx((-10 * math.sqrt(2), 20 * math.sqrt(2) + 4, 0.0))
    # values at T' = 250 K: epsilon = 300/250 - 1 = 0.2 (allowed here by max_epsilon)
    assert e.at(250.0, max_epsilon=0.25)[0] == pytest.approx(-12.0 - 22.0 * 0.2 + 4.0 * 0.04)
    assert c.at(250.0, max_epsilon=0.25)[0] == pytest.approx(100.0 + 10.0 * 0.2 * math.sqrt(2) + 1.0 * 0.08)
    with pytest.raises(ValueError, match="at least 2"):
        vt.VirialEstimate.from_runs(2, 300.0, runs[:1], "angstrom^3")


def test_boyle_temperature_interpolates_in_inverse_temperature():
    # LJ Boyle temperature: the zero of the quadrature B, T* = 3.418
    exact = __import__("scipy.optimize", fromlist=["brentq"]).brentq(lambda t: lj_b_quadrature(t)[0], 300.0, 500.0)
    assert exact / EPS == pytest.approx(3.418, abs=2e-3)
    ts = [300.0, 380.0, 440.0, 600.0]
    bs = [lj_b_quadrature(t)[0] for t in ts]
    boyle = vt.boyle_temperature(ts, bs, [0.1] * 4)
    assert boyle.bracket == (380.0, 440.0)
    assert boyle.t_kelvin == pytest.approx(exact, rel=2e-3)  # B is nearly linear in 1/T here
    assert 0 < boyle.stderr < 5.0
    with pytest.raises(ValueError, match="does not change sign"):
        vt.boyle_temperature(ts[:2], bs[:2], [0.1, 0.1])


def test_co2_b2_against_quadrature():
    scan = vt.b2("trappe-co2", temperatures=[300.0], runs=2, dev_tol=1e300, progress=False)
    assert scan.u_min is not None and scan.u_min.value == -math.inf  # every CO2 site has a core
    ref = b2_linear_quadrature([-1.16, 0.0, 1.16], [79.0, 27.0, 79.0], [3.05, 2.80, 3.05], [-0.35, 0.70, -0.35], 300.0)
    assert ref == pytest.approx(-184.04, abs=0.01)
    assert scan[0].value == pytest.approx(ref, abs=5 * MARGIN * CO2_SD / math.sqrt(2))
    assert scan.molar()[0].value == pytest.approx(ref * 0.602214076, abs=5 * MARGIN * CO2_SD)


def test_cross_coefficient_of_two_models_against_quadrature():
    # argon with TraPPE methane: one Lennard-Jones site each, Lorentz-Berthelot mixing
    scan = vt.b2("argon", "trappe-methane", temperatures=[300.0], runs=2, dev_tol=1e300, progress=False)
    assert scan.models == ("argon", "trappe-methane")
    ref = lj_b_quadrature(300.0, eps=math.sqrt(119.8 * 148.0), sig=(3.405 + 3.730) / 2)[0]
    assert ref == pytest.approx(-42.605, abs=1e-3)
    assert scan[0].value == pytest.approx(ref, abs=5 * MARGIN * CROSS_SD / math.sqrt(2))


def test_c_and_its_derivatives_against_quadrature():
    ref = lj_c_quadrature(300.0)
    scan = vt.b3("argon", temperatures=[300.0], runs=4, dev_tol=1e300, progress=False)
    e = scan[0]
    n = e.n_runs
    assert e.unit == "angstrom^6" and e.molar().unit == "cm^6/mol^2"
    assert e.molar().value == pytest.approx(e.value * 0.602214076**2, rel=1e-15)
    assert e.value == pytest.approx(ref[0], abs=5 * MARGIN * C_SD / math.sqrt(n))
    # the C entries carry 2^(k/2): T dC/dT = -sqrt(2) e1, T^2 d2C/dT2 = 2 sqrt(2) e1 + 4 e2
    assert e.t_dxdt == pytest.approx(ref[1], abs=5 * MARGIN * TDC_SD / math.sqrt(n))
    assert e.t2_d2xdt2 == pytest.approx(ref[2], abs=5 * MARGIN * T2DC_SD / math.sqrt(n))


def test_bad_arguments_are_refused_before_any_run():
    with pytest.raises(ValueError, match="at least 2"):
        vt.b2("argon", temperatures=[300.0], runs=1)
    with pytest.raises(ValueError, match="above 0"):
        vt.b2("argon", temperatures=[300.0, 0.0])
    with pytest.raises(ValueError, match="above 0"):
        vt.b3("argon", temperatures=[float("nan")])
    with pytest.raises(ValueError, match="one model or three"):
        vt.b3("argon", "argon", temperatures=[300.0])
    with pytest.raises(ValueError, match="mixing"):
        vt.b2("argon", temperatures=[300.0], mixing="arithmetic")
    with pytest.raises(vt.UnknownModelError, match="known models: argon"):
        vt.b2("helium", temperatures=[300.0])
    for bad in ("555", b"300", True, [300.0, True]):  # once run at 5, 5, 5 K / 51, 48, 48 K / 1 K
        with pytest.raises(TypeError, match="number"):
            vt.b2("argon", temperatures=bad)
    with pytest.raises(ValueError, match="at most 169"):
        vt.b3("argon", temperatures=[300.0], order_max=170)
    with pytest.raises(ValueError, match="at most 100000"):
        vt.b2("argon", temperatures=[300.0], runs=10**9)
    with pytest.raises(ValueError, match="above the lowest pair energy"):  # would give B = +1086 cm^3/mol
        vt.b2("argon", temperatures=[300.0], u_min=-1.0)
