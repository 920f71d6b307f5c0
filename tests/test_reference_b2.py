"""The linear-molecule B2 quadrature of reference_b2 checked on its own.

One-dimensional scipy quadratures of the radial integral stand for the cases
whose orientation average is trivial; a plain Monte Carlo average over random
rotations in three dimensions checks the geometry of the orientation grid;
grid refinement and the z -> -z mirror check the rest.
"""
import math

import numpy as np
import pytest
from scipy import integrate
from scipy.spatial.transform import Rotation

from reference_b2 import COULOMB_K_ANGSTROM, TRAPPE_CO2, b2_linear_quadrature, mean_mayer_f

# Monte Carlo runs or quadratures against physical references: left out of the sanitizer run.
pytestmark = pytest.mark.physics


def lj(r, eps, sigma):
    x = (sigma / r) ** 6
    return 4.0 * eps * (x * x - x)


def radial_b2(u, t, u_min=-math.inf, breaks=()):
    """-2 pi int_0^inf r^2 (exp(-u/T) - 1) dr by adaptive quadrature."""

    def integrand(r):
        e = u(r)
        return -1.0 * r * r if e <= u_min else math.expm1(-e / t) * r * r

    lo = 0.5
    parts = [-(lo**3) / 3.0]  # f = -1 below r = 0.5 angstrom for every case here
    edges = [lo] + sorted(breaks) + [40.0]
    for a, b in zip(edges[:-1], edges[1:]):
        parts.append(integrate.quad(integrand, a, b, epsabs=0.0, epsrel=1e-12, limit=400)[0])
    parts.append(integrate.quad(integrand, 40.0, math.inf, epsabs=1e-13, epsrel=1e-12, limit=400)[0])
    return -2.0 * math.pi * math.fsum(parts)


@pytest.mark.parametrize("t", [60.0, 300.0, 2000.0])
def test_one_site_lennard_jones(t):
    eps, sigma = 119.8, 3.405
    ref = radial_b2(lambda r: lj(r, eps, sigma), t, breaks=(3.0, 3.4, 3.8, 4.5, 6.0, 10.0))
    got = b2_linear_quadrature([0.0], [eps], [sigma], [0.0], t)
    assert got == pytest.approx(ref, rel=1e-7, abs=1e-6)


def test_coincident_sites_sum_their_mixed_energies():
    """Two unlike sites at one point: the molecule is a sphere whose pair energy is
    u_AA + 2 u_AB + u_BB with Lorentz-Berthelot u_AB; opposite charges on the
    same point cancel."""
    ea, sa, eb, sb = 79.0, 3.05, 27.0, 2.80
    eab, sab = math.sqrt(ea * eb), 0.5 * (sa + sb)

    def u(r):
        return lj(r, ea, sa) + 2.0 * lj(r, eab, sab) + lj(r, eb, sb)

    for t in (150.0, 500.0):
        ref = radial_b2(u, t, breaks=(2.6, 3.0, 3.4, 4.0, 6.0, 10.0))
        got = b2_linear_quadrature([0.0, 0.0], [ea, eb], [sa, sb], [0.4, -0.4], t)
        assert got == pytest.approx(ref, rel=1e-7)


def test_energy_floor_on_one_site():
    """u <= u_min counts as f = -1.  With a floor inside the well the integrand jumps
    where u crosses it, which the r rule resolves only to first order in the panel
    width: hence fine panels (and a trivial angle grid, the site being alone) and a
    loose tolerance; a floor ignored or applied the wrong way is off by half."""
    eps, sigma, t = 119.8, 3.405, 100.0
    u_min = -0.5 * eps
    # the two distances where u = -eps/2: (s/r)^6 = (1 -+ sqrt(1/2)) / 2
    r_in, r_out = (sigma / ((1.0 + s * math.sqrt(0.5)) / 2.0) ** (1.0 / 6.0) for s in (1.0, -1.0))
    ref = radial_b2(lambda r: lj(r, eps, sigma), t, u_min, breaks=(r_in, r_out, 6.0, 10.0))
    without_floor = b2_linear_quadrature([0.0], [eps], [sigma], [0.0], t)
    got = b2_linear_quadrature([0.0], [eps], [sigma], [0.0], t, u_min, n_panels=2000, n_per_panel=4, n_cos=2, n_phi=1)
    assert abs(without_floor - ref) > 0.5 * abs(ref)  # the floor matters here
    assert got == pytest.approx(ref, rel=1e-2)


def test_orientation_average_against_random_rotations():
    """<f>(r) from the (cos t1, cos t2, phi) grid equals a Monte Carlo average over
    uniformly random rotations of both molecules, sites placed in 3-D."""
    z = np.array(TRAPPE_CO2["z"])
    eps = np.array(TRAPPE_CO2["eps"])
    sigma = np.array(TRAPPE_CO2["sigma"])
    q = np.array(TRAPPE_CO2["q"])
    t = 300.0
    n = 200_000
    rng = np.random.default_rng(20261208)
    axis1 = Rotation.random(n, random_state=rng).apply([0.0, 0.0, 1.0])
    axis2 = Rotation.random(n, random_state=rng).apply([0.0, 0.0, 1.0])
    for r in (3.6, 4.5, 6.0):
        u = np.zeros(n)
        for i in range(3):
            for j in range(3):
                d = np.linalg.norm(np.array([0.0, 0.0, r]) + z[j] * axis2 - z[i] * axis1, axis=1)
                e, s = math.sqrt(eps[i] * eps[j]), 0.5 * (sigma[i] + sigma[j])
                u += lj(d, e, s) + COULOMB_K_ANGSTROM * q[i] * q[j] / d
        f = np.expm1(-u / t)
        mc, err = f.mean(), f.std() / math.sqrt(n)
        grid = mean_mayer_f([r], z, eps, sigma, q, t)[0]
        assert abs(grid - mc) < 5.0 * err, (r, grid, mc, err)


def test_co2_converged_under_grid_refinement():
    base = b2_linear_quadrature(**TRAPPE_CO2, t_kelvin=300.0)
    finer = b2_linear_quadrature(
        **TRAPPE_CO2, t_kelvin=300.0, n_cos=32, n_phi=20, n_panels=44, n_per_panel=10, r_split=20.0, n_tail=32
    )
    coarse = b2_linear_quadrature(**TRAPPE_CO2, t_kelvin=300.0, n_cos=12, n_phi=8, n_panels=20, n_per_panel=6)
    assert finer == pytest.approx(base, rel=1e-6)
    # the coarse grid is visibly off, so the agreement above is no accident
    assert abs(coarse - base) > 10.0 * abs(finer - base)


def test_mirror_z_gives_the_same_b2():
    asymmetric = dict(z=[-1.3, 0.1, 1.0], eps=[79.0, 27.0, 60.0], sigma=[3.05, 2.8, 3.2], q=[-0.3, 0.7, -0.4])
    b = b2_linear_quadrature(**asymmetric, t_kelvin=250.0)
    mirrored = dict(asymmetric, z=[-v for v in asymmetric["z"]])
    assert b2_linear_quadrature(**mirrored, t_kelvin=250.0) == pytest.approx(b, rel=1e-12)
    # and the site order does not matter
    rev = {k: v[::-1] for k, v in asymmetric.items()}
    assert b2_linear_quadrature(**rev, t_kelvin=250.0) == pytest.approx(b, rel=1e-12)
