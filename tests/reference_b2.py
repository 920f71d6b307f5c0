"""Second virial coefficient of rigid linear molecules by deterministic quadrature.

An independent reference for the Monte Carlo estimates, written with numpy only.

Model: each molecule is a row of sites on its axis at positions z (angstrom);
site i carries a Lennard-Jones epsilon/k eps[i] (K), sigma[i] (angstrom) and a
charge q[i] (e).  Unlike sites mix by Lorentz-Berthelot (sigma_ij = (s_i+s_j)/2,
eps_ij = sqrt(e_i e_j)); charges interact through K q_i q_j / d with
K = e^2 / (4 pi eps0 k_B) = 167100.947 K angstrom / e^2.

With molecule 1 at the origin, molecule 2 at distance r on the z axis and the
axes u1 = (sin t1, 0, cos t1), u2 = (sin t2 cos phi, sin t2 sin phi, cos t2):

    B2 = -(1/2) int <f> d^3r = -2 pi int_0^inf r^2 <f>(r) dr,
    <f>(r) = (1/4)(1/2pi) int dcos t1 int dcos t2 int_0^2pi dphi f,

f = exp(-u/T) - 1, and f = -1 where u <= u_min.  The result is in angstrom^3
per molecule.

Quadrature:

* cos t1 and cos t2: Gauss-Legendre on [-1, 1].
* phi: f depends on phi only through cos phi (the mirror image through the
  plane of r and u1 has the same energy), so phi runs over [0, pi]; the
  integrand is then an even periodic function of phi, for which the
  trapezoidal rule with half-weight end points converges exponentially (faster
  than Gauss-Legendre would).
* r in [0, r_split]: composite Gauss-Legendre panels of equal width.  The
  repulsive core needs no special treatment: there f = -1 exactly (u = +inf
  after overflow, or exp(-u/T) underflowing to 0), a constant that the rule
  integrates exactly; site distances are clamped at 1e-12 angstrom so that
  coincident sites give a huge finite energy, never inf - inf.
* r in [r_split, r_far]: the substitution x = 1/r turns r^2 <f> dr into
  x^-4 <f>(1/x) dx on [1/r_far, 1/r_split], where <f> is smooth in x (it
  falls as x^6 for neutral molecules), integrated by Gauss-Legendre in x.
* r beyond r_far (default 6 r_split): only the leading term of <f> is kept,
  -beta <u> = beta C6 / r^6 with C6 = sum_ij 4 eps_ij sigma_ij^6 (the shell
  theorem makes the orientation average of the charge-charge energy of
  neutral molecules vanish there, and the next terms fall as r^-8 and
  faster), giving -2 pi beta C6 / (3 r_far^3).  The numerical tail stops at
  r_far on purpose: far out, the site-site charge energies cancel to a
  remainder below their rounding error, which the factor r^4 = x^-4 would
  magnify.

With u_min above the lowest energy the integrand jumps where u crosses u_min,
and the convergence becomes algebraic: refine the grids to check it.
"""
import math

import numpy as np

COULOMB_K_ANGSTROM = 167100.947  # e^2 / (4 pi eps0 k_B), K angstrom / e^2 (CODATA 2018)
A3_TO_CM3_PER_MOL = 0.602214076  # N_A * 1e-24


def _gauss_legendre(n, a, b):
    x, w = np.polynomial.legendre.leggauss(n)
    half = 0.5 * (b - a)
    return a + half * (x + 1.0), half * w


def _composite_gauss_legendre(n_panels, n_per_panel, a, b):
    edges = np.linspace(a, b, n_panels + 1)
    xs, ws = [], []
    for lo, hi in zip(edges[:-1], edges[1:]):
        x, w = _gauss_legendre(n_per_panel, lo, hi)
        xs.append(x)
        ws.append(w)
    return np.concatenate(xs), np.concatenate(ws)


def _site_pairs(z, eps, sigma, q):
    z = np.asarray(z, dtype=float)
    eps = np.asarray(eps, dtype=float)
    sigma = np.asarray(sigma, dtype=float)
    q = np.asarray(q, dtype=float)
    n = z.size
    if not (eps.size == sigma.size == q.size == n) or n == 0:
        raise ValueError("z, eps, sigma and q need one entry per site")
    z = z - z.mean()  # centre the molecule; B2 does not depend on the origin
    pairs = []
    for i in range(n):
        for j in range(n):
            e_ij = math.sqrt(eps[i] * eps[j])
            s_ij = 0.5 * (sigma[i] + sigma[j])
            pairs.append((z[i], z[j], 4.0 * e_ij * s_ij**12, 4.0 * e_ij * s_ij**6, COULOMB_K_ANGSTROM * q[i] * q[j]))
    return pairs


def _orientation_grid(n_cos, n_phi):
    """Nodes and weights of the orientation average <.>; the weights sum to 1."""
    c, wc = _gauss_legendre(n_cos, -1.0, 1.0)
    phi = np.linspace(0.0, math.pi, n_phi + 1)
    wphi = np.full(n_phi + 1, math.pi / n_phi)
    wphi[0] *= 0.5
    wphi[-1] *= 0.5
    c1, c2, ph = np.meshgrid(c, c, phi, indexing="ij")
    w = (wc[:, None, None] * wc[None, :, None] * wphi[None, None, :]) / (4.0 * math.pi)
    return c1.ravel(), c2.ravel(), np.cos(ph).ravel(), w.ravel()


def mean_mayer_f(r, z, eps, sigma, q, t_kelvin, u_min=float("-inf"), n_cos=24, n_phi=16):
    """<f>(r) for each distance in the array r (the orientation average above)."""
    pairs = _site_pairs(z, eps, sigma, q)
    c1, c2, cphi, w = _orientation_grid(n_cos, n_phi)
    s1 = np.sqrt(np.maximum(0.0, 1.0 - c1 * c1))
    s2 = np.sqrt(np.maximum(0.0, 1.0 - c2 * c2))
    dot = s1 * s2 * cphi + c1 * c2  # u1 . u2
    # d_ij^2 = r^2 + r a_ij + b_ij for site i of molecule 1 at z_i u1 and site j
    # of molecule 2 at r e_z + z_j u2
    geometry = []
    for zi, zj, c12, c6, cq in pairs:
        a = 2.0 * (zj * c2 - zi * c1)
        b = np.maximum(0.0, zi * zi + zj * zj - 2.0 * zi * zj * dot)
        geometry.append((a, b, c12, c6, cq))
    out = np.empty(len(r))
    beta = 1.0 / t_kelvin
    with np.errstate(over="ignore", invalid="ignore"):
        for k, rk in enumerate(np.asarray(r, dtype=float)):
            u = np.zeros_like(w)
            for a, b, c12, c6, cq in geometry:
                d2 = np.maximum(rk * rk + rk * a + b, 1e-24)
                inv6 = 1.0 / (d2 * d2 * d2)
                if c12 != 0.0 or c6 != 0.0:
                    u += (c12 * inv6 - c6) * inv6
                if cq != 0.0:
                    u += cq / np.sqrt(d2)
            f = np.expm1(-beta * u)
            f = np.where(u <= u_min, -1.0, f)
            out[k] = np.dot(w, f)
    return out


def b2_linear_quadrature(
    z,
    eps,
    sigma,
    q,
    t_kelvin,
    u_min=float("-inf"),
    *,
    n_cos=24,
    n_phi=16,
    r_split=None,
    n_panels=None,
    n_per_panel=8,
    n_tail=24,
    r_far=None,
):
    """B2 of two identical rigid linear molecules, in angstrom^3 per molecule.

    z: site positions on the axis (angstrom); eps: epsilon/k (K); sigma
    (angstrom); q: charges (e), one entry per site.  u_min (K): energies at or
    below it count as f = -1.  The keyword-only arguments set the grids: n_cos
    Gauss-Legendre nodes in each cos(theta), n_phi trapezoid intervals on
    [0, pi], composite Gauss-Legendre on [0, r_split] with n_panels panels of
    n_per_panel nodes (default: panels of about 0.5 angstrom), n_tail
    Gauss-Legendre nodes in x = 1/r on [1/r_far, 1/r_split].
    """
    z = np.asarray(z, dtype=float)
    span = float(np.ptp(z))
    if r_split is None:
        r_split = 4.0 * float(np.max(sigma)) + 2.0 * span
    if n_panels is None:
        n_panels = max(8, int(math.ceil(r_split / 0.5)))
    r_in, w_in = _composite_gauss_legendre(n_panels, n_per_panel, 0.0, r_split)
    if r_far is None:
        r_far = 6.0 * r_split
    x, w_x = _gauss_legendre(n_tail, 1.0 / r_far, 1.0 / r_split)
    r_out = 1.0 / x
    f = mean_mayer_f(np.concatenate([r_in, r_out]), z, eps, sigma, q, t_kelvin, u_min, n_cos, n_phi)
    inner = np.dot(w_in, r_in * r_in * f[: r_in.size])
    tail = np.dot(w_x, f[r_in.size :] / x**4)
    c6 = sum(p[3] for p in _site_pairs(z, eps, sigma, q))
    far = c6 / (t_kelvin * 3.0 * r_far**3)
    return -2.0 * math.pi * (inner + tail + far)


TRAPPE_CO2 = dict(
    z=[-1.16, 0.0, 1.16],
    eps=[79.0, 27.0, 79.0],
    sigma=[3.05, 2.80, 3.05],
    q=[-0.35, 0.70, -0.35],
)


if __name__ == "__main__":  # convergence table for TraPPE CO2 at 300 K
    import time

    for kw in (
        dict(),
        dict(n_cos=48, n_phi=32),
        dict(n_panels=68, n_per_panel=12),
        dict(r_split=30.0, n_tail=48),
        dict(n_cos=48, n_phi=32, n_panels=68, n_per_panel=12, r_split=30.0, n_tail=48),
    ):
        t0 = time.perf_counter()
        b = b2_linear_quadrature(**TRAPPE_CO2, t_kelvin=300.0, **kw)
        print(f"{kw!s:60} B2 = {b:.6f} A^3 = {b * A3_TO_CM3_PER_MOL:.6f} cm^3/mol  ({time.perf_counter() - t0:.1f} s)")
