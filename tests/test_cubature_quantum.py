"""First-order (Wigner-Kirkwood) quantum correction to B2 from the B2 integrator.

    B_qu = (hbar^2 beta^3 / 48) int d^3r <e^{-beta U} [F^2 (1/m1 + 1/m2) + tau_1 I_1^-1 tau_1 + tau_2 I_2^-1 tau_2]>

Checked against references written here: the translational term of
Lennard-Jones atoms by a 1-D scipy quadrature (and its first beta derivative
by a difference quotient across temperatures), the rotational term of a rigid
linear molecule in its angular-Laplacian form (the torque-squared form
integrated by parts over the sphere of the axis) by a numpy product rule, the
1/m and 1/I scaling, and B itself independent of the masses.
"""
import math

import numpy as np
import pytest
from scipy import integrate

from vicatools import _engine

HBAR2_KB_U_A2 = 1.054571817e-34**2 / (1.380649e-23 * 1.66053906660e-27 * 1e-20)  # K A^2 (CODATA 2018)
EPS, SIGMA = 35.6, 2.749  # neon-like Lennard-Jones (K, A)
C6, C12 = -4.0 * EPS * SIGMA**6, 4.0 * EPS * SIGMA**12
ORIGIN = [[0.0, 0.0, 0.0]]


def run(m1, m2, laws, ts, masses, *, order_max=2, rtol=1e-8):
    out = _engine.b2_cubature(m1, m2, laws, [], ts, -math.inf, order_max, rtol, 0.0, 10**9, *masses)
    assert out["converged"], out["message"]
    return out["temperatures"]


def lj(r):
    x = (SIGMA / r) ** 6
    return 4.0 * EPS * (x * x - x)


def lj_slope(r):
    x = (SIGMA / r) ** 6
    return -24.0 * EPS * (2.0 * x * x - x) / r


def translational_reference(t, mass, k):
    """(beta^k/k!) d^k/d beta^k of (pi hbar^2 beta^3 / (6 m)) int r^2 e^{-beta u} u'^2 dr."""
    beta = 1.0 / t

    def g(r):
        bu = beta * lj(r)
        if bu > 700.0:
            return 0.0
        tt = -bu
        # Leibniz: (beta^k/k!) d^k (beta^3 e^{-beta u}) = beta^3 e^t sum_j C(3,j) t^(k-j)/(k-j)!
        s = sum(math.comb(3, j) * tt ** (k - j) / math.factorial(k - j) for j in range(min(3, k) + 1))
        return r * r * math.exp(tt) * lj_slope(r) ** 2 * s

    edges = [0.5 * SIGMA, 0.9 * SIGMA, 1.12 * SIGMA, 1.5 * SIGMA, 3.0 * SIGMA, 10.0 * SIGMA]
    parts = [integrate.quad(g, a, b, epsabs=0.0, epsrel=1e-12, limit=200)[0] for a, b in zip(edges[:-1], edges[1:])]
    parts.append(integrate.quad(g, edges[-1], math.inf, epsabs=1e-16, epsrel=1e-12, limit=200)[0])
    return math.pi * HBAR2_KB_U_A2 * beta**3 / (6.0 * mass) * math.fsum(parts)


@pytest.mark.parametrize("t", [25.0, 45.0, 150.0])
def test_lennard_jones_translational_term_against_quadrature(t):
    mass = 20.18
    (rec,) = run(ORIGIN, ORIGIN, [[[2.0, C6, C12]]], [t], ([mass], [mass]))
    for k in range(3):
        assert rec["translational"][k] == pytest.approx(translational_reference(t, mass, k), rel=1e-6)
    assert rec["rotational"] == [0.0, 0.0, 0.0]


def test_first_entry_is_the_beta_derivative():
    """entry 1 = beta dB_qu/dbeta, against a central difference over temperatures."""
    t, h = 40.0, 1e-3
    beta = 1.0 / t
    ts = [1.0 / (beta * (1 - h)), t, 1.0 / (beta * (1 + h))]
    lo, mid, hi = run(ORIGIN, ORIGIN, [[[2.0, C6, C12]]], ts, ([20.18], [20.18]), rtol=1e-10)
    derivative = beta * (hi["translational"][0] - lo["translational"][0]) / (2 * h * beta)
    assert mid["translational"][1] == pytest.approx(derivative, rel=1e-5)


# a rigid N2-like dumbbell without charges: LJ sites at +-0.55 A
Z = [-0.55, 0.55]
EPS_N, SIG_N, MASS_N = 36.0, 3.31, 14.007
DUMBBELL = [[0.0, 0.0, z] for z in Z]
DUMBBELL_LAWS = [[[2.0, -4.0 * EPS_N * SIG_N**6, 4.0 * EPS_N * SIG_N**12]] * 2] * 2


def site_law(d):
    """phi, phi', phi'' of the N2 site pair."""
    x = (SIG_N / d) ** 6
    phi = 4.0 * EPS_N * (x * x - x)
    d1 = -24.0 * EPS_N * (2.0 * x * x - x) / d
    d2 = 24.0 * EPS_N * (26.0 * x * x - 7.0 * x) / (d * d)
    return phi, d1, d2


def laplacian_form(t, n_cos=24, n_phi=16, r_min=2.0, r_max=26.0, n_panels=48, n_per_panel=8):
    """(lambda pi / 6) beta^2 / I int r^2 <e^{-beta U} Lap_S1 U> dr (beta^2: one beta
    of beta^3 cancelled by the integration by parts), both molecules alike."""
    beta = 1.0 / t
    c, wc = np.polynomial.legendre.leggauss(n_cos)
    phi = np.linspace(0.0, math.pi, n_phi + 1)
    wphi = np.full(n_phi + 1, 1.0 / n_phi)
    wphi[[0, -1]] *= 0.5
    c1, c2, ph = np.meshgrid(c, c, phi, indexing="ij")
    w = (wc[:, None, None] * wc[None, :, None] * wphi[None, None, :] / 4.0).ravel()
    s1, s2 = np.sqrt(1 - c1**2).ravel(), np.sqrt(1 - c2**2).ravel()
    u1 = np.stack([s1, np.zeros_like(s1), c1.ravel()], axis=1)
    u2 = np.stack([s2 * np.cos(ph.ravel()), s2 * np.sin(ph.ravel()), c2.ravel()], axis=1)
    # below r_min every orientation overlaps (e^{-beta U} = 0); composite Gauss-Legendre above
    x, wx = np.polynomial.legendre.leggauss(n_per_panel)
    edges = np.linspace(r_min, r_max, n_panels + 1)
    h = 0.5 * (edges[1:] - edges[:-1])
    rs = ((edges[:-1] + edges[1:])[:, None] * 0.5 + h[:, None] * x[None, :]).ravel()
    wr = (h[:, None] * wx[None, :]).ravel()
    inertia = MASS_N * sum(z * z for z in Z)
    total = 0.0
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for r, wgt in zip(rs, wr):
            energy = np.zeros(len(w))
            lap = np.zeros(len(w))
            for za in Z:
                for zb in Z:
                    dv = r * np.array([0.0, 0.0, 1.0]) + zb * u2 - za * u1  # site a of 1 to site b of 2
                    d = np.linalg.norm(dv, axis=1)
                    p0, p1, p2 = site_law(d)
                    energy += p0
                    ud = np.sum(u1 * dv, axis=1) / d  # u1 . d-hat
                    # g(u1) = phi(|R - za u1|): grad = -za phi' d-hat, Hessian = za^2 [phi'' dd + phi'/d (1 - dd)]
                    full = za * za * (p2 + 2.0 * p1 / d)
                    radial2 = za * za * (p2 * ud * ud + p1 / d * (1.0 - ud * ud))
                    radial1 = -za * p1 * ud
                    lap += full - radial2 - 2.0 * radial1
            boltz = np.exp(-beta * energy)
            term = np.where(np.isfinite(energy) & (beta * energy < 700), boltz * lap, 0.0)
            total += wgt * r * r * np.dot(w, term)
    return HBAR2_KB_U_A2 * math.pi / 6.0 * beta * beta / inertia * total


def test_rotational_term_torque_form_equals_laplacian_form():
    t = 80.0
    (rec,) = run(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [t], ([MASS_N] * 2, [MASS_N] * 2), order_max=0, rtol=1e-7)
    assert rec["rotational"][0] == pytest.approx(laplacian_form(t), rel=1e-6)


def test_scaling_with_mass_and_inertia_and_b_independent_of_masses():
    """Doubling every mass halves both terms; moving the centre of mass (unequal site
    masses) leaves B2 as it is, as does leaving the masses out."""
    t = 80.0
    (plain,) = run(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [t], ((), ()), rtol=1e-8)
    (one,) = run(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [t], ([MASS_N] * 2, [MASS_N] * 2), rtol=1e-8)
    (two,) = run(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [t], ([2 * MASS_N] * 2, [2 * MASS_N] * 2), rtol=1e-8)
    (lopsided,) = run(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [t], ([12.0, 16.0], [12.0, 16.0]), rtol=1e-8)
    assert two["translational"] == pytest.approx([0.5 * x for x in one["translational"]], rel=1e-6)
    assert two["rotational"] == pytest.approx([0.5 * x for x in one["rotational"]], rel=1e-6)
    for rec in (one, two, lopsided):
        assert rec["entries"] == pytest.approx(plain["entries"], rel=1e-7)
    assert one["rotational"][0] > 0.0 and one["translational"][0] > 0.0


def test_masses_are_checked():
    with pytest.raises(ValueError, match="one mass per site"):
        _engine.b2_cubature(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [], [80.0], -math.inf, 0, 1e-4, 0.0, 10**8, [1.0], [1.0, 1.0])
    with pytest.raises(ValueError, match="both molecules"):
        _engine.b2_cubature(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [], [80.0], -math.inf, 0, 1e-4, 0.0, 10**8, [1.0, 1.0], [])
    with pytest.raises(ValueError, match="more than 0"):
        _engine.b2_cubature(DUMBBELL, DUMBBELL, DUMBBELL_LAWS, [], [80.0], -math.inf, 0, 1e-4, 0.0, 10**8, [0.0, 0.0], [0.0, 0.0])


def test_python_entry_reports_both_parts():
    """integrate_b2 with per-site masses: the correction is positive, its parts add up."""
    from vicatools.methods.cubature import integrate_b2

    (rec,) = integrate_b2("trappe-n2", temperatures=[150.0], rtol=1e-5, masses=([14.007, 0.0, 14.007],) * 2)
    assert rec.converged and rec.translational[0] > 0.0 and rec.rotational[0] > 0.0
    assert rec.quantum_correction == pytest.approx(rec.translational[0] + rec.rotational[0])
    assert abs(rec.quantum_correction) < 0.1 * abs(rec.value)
