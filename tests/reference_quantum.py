"""First-order (ħ²) quantum correction to B2: references written apart from vicatools.

Wigner–Kirkwood to order ħ² (Hirschfelder, Curtiss & Bird, Molecular Theory of Gases and
Liquids, §6.5; R. T. Pack, J. Chem. Phys. 78, 7217 (1983); G. K. Schenter, J. Chem.
Phys. 117, 6573 (2002)), for two rigid molecules with masses M_i and principal moments
I_{i,a}, energies in K, lengths in Å, masses in u:

    dB = (hbar^2 beta^3 / 48) int d^3r < exp(-beta U) G >                      (torque form)
    G  = |F|^2 (1/M_1 + 1/M_2) + sum_i sum_a tau_{i,a}^2 / I_{i,a}

and, integrating by parts (in r, and over the rotation group, whose generators keep
the orientation measure), the same number as

    dB = (hbar^2 beta^2 / 48) int d^3r < exp(-beta U) L >                      (Laplacian form)
    L  = lap_R U (1/M_1 + 1/M_2) + sum_i sum_a (d^2 U / d theta_{i,a}^2) / I_{i,a}

with theta_{i,a} a turn of molecule i about its principal axis a through its centre of
mass.  For one-site molecules (atoms) both reduce to 1-D integrals:

    dB = (pi hbar^2 beta^3 / 6 m) int exp(-beta u) u'^2 r^2 dr
       = (pi hbar^2 beta^2 / 6 m) int exp(-beta u) (u'' + 2 u'/r) r^2 dr,

and for Lennard-Jones, in reduced form dB = Lambda*^2 (2 pi sigma^3 / 3) B_I*(T*) with
Lambda*^2 = h^2 / (sigma^2 m epsilon) and

    B_I*(T*) = 1 / (16 pi^2 T*^3) int_0^inf exp(-phi(x)/T*) phi'(x)^2 x^2 dx,
    phi(x) = 4 (x^-12 - x^-6),

which the power series of exp(4 x^-6 / T*) turns into a sum of Gamma functions
(`lj_reduced_series`).

Nothing here imports vicatools.
"""
import math

import numpy as np
from scipy import integrate, special

HBAR_SQUARED = (6.62607015e-34 / (2 * math.pi)) ** 2 / (1.380649e-23 * 1.66053906660e-27 * 1e-20)  # K u A^2
COULOMB = 167100.947  # K A / e^2


# --- atoms ------------------------------------------------------------------------------


def _lj(eps, sigma):
    def u(r):
        s6 = (sigma / r) ** 6
        return 4 * eps * (s6 * s6 - s6)

    def du(r):
        s6 = (sigma / r) ** 6
        return 4 * eps * (-12 * s6 * s6 + 6 * s6) / r

    def d2u(r):
        s6 = (sigma / r) ** 6
        return 4 * eps * (156 * s6 * s6 - 42 * s6) / (r * r)

    return u, du, d2u


def _quad(f, sigma):
    total = 0.0
    for a, b in ((0.3 * sigma, sigma), (sigma, 2 * sigma), (2 * sigma, 6 * sigma), (6 * sigma, np.inf)):
        total += integrate.quad(f, a, b, epsabs=0.0, epsrel=1e-13, limit=400)[0]
    return total


def lj_first_order(t_kelvin, eps, sigma, mass, k=0):
    """(beta^k / k!) d^k dB / d beta^k of Lennard-Jones atoms, in A^3, torque (force) form."""
    u, du, _ = _lj(eps, sigma)
    beta = 1.0 / t_kelvin

    def f(r):
        y = beta * u(r)
        # (beta^k/k!) d^k/dbeta^k [beta^3 exp(-beta u)] = beta^3 exp(-y) sum_j C(k,j) 3!/(3-j)! (-y)^(k-j) / k!
        poly = sum(math.comb(k, j) * math.perm(3, j) * (-y) ** (k - j) for j in range(min(k, 3) + 1))
        return math.exp(-y) * poly / math.factorial(k) * du(r) ** 2 * r * r

    return math.pi * HBAR_SQUARED * beta**3 / (6 * mass) * _quad(f, sigma)


def lj_first_order_laplacian(t_kelvin, eps, sigma, mass):
    """dB of Lennard-Jones atoms in A^3, Laplacian form."""
    u, du, d2u = _lj(eps, sigma)
    beta = 1.0 / t_kelvin
    f = lambda r: math.exp(-beta * u(r)) * (d2u(r) + 2 * du(r) / r) * r * r  # noqa: E731
    return math.pi * HBAR_SQUARED * beta**2 / (6 * mass) * _quad(f, sigma)


def lj_reduced_series(t_star, terms=200):
    """B_I*(T*) of Lennard-Jones from the Gamma-function series (see the module doc)."""
    a = 4.0 / t_star

    def moment(p):  # int_0^inf exp(-a x^-12) x^-p dx
        return math.exp((1 - p) / 12 * math.log(a) + special.gammaln((p - 1) / 12)) / 12

    total = 0.0
    for j in range(terms):
        c = math.exp(j * math.log(a) - special.gammaln(j + 1))
        total += c * (2304 * moment(24 + 6 * j) - 2304 * moment(18 + 6 * j) + 576 * moment(12 + 6 * j))
    return total / (16 * math.pi**2 * t_star**3)


def lj_reduced_to_angstrom3(b_star, eps, sigma, mass):
    """Lambda*^2 (2 pi sigma^3 / 3) B_I*: the reduced correction in A^3."""
    lambda2 = 4 * math.pi**2 * HBAR_SQUARED / (sigma**2 * mass * eps)
    return lambda2 * 2 * math.pi * sigma**3 / 3 * b_star


# --- rigid molecules ----------------------------------------------------------------------


def principal_frame(positions, masses):
    """Site positions about the centre of mass on the principal axes, and the moments."""
    x = np.asarray(positions, float)
    m = np.asarray(masses, float)
    x = x - (m[:, None] * x).sum(0) / m.sum()
    tensor = sum(mi * (xi @ xi * np.eye(3) - np.outer(xi, xi)) for mi, xi in zip(m, x))
    moments, axes = np.linalg.eigh(tensor)
    order = [1, 2, 0]  # smallest moment last: a linear molecule lies along body z
    return (x @ axes)[:, order], moments[order]


def _euler(alpha, cb, gamma):
    """Rz(alpha) Ry(beta) Rz(gamma), written as a product of the three matrices."""
    n = len(alpha)
    sb = np.sqrt(1 - cb * cb)

    def rz(a):
        r = np.zeros((n, 3, 3))
        r[:, 0, 0] = r[:, 1, 1] = np.cos(a)
        r[:, 0, 1], r[:, 1, 0] = -np.sin(a), np.sin(a)
        r[:, 2, 2] = 1
        return r

    ry = np.zeros((n, 3, 3))
    ry[:, 0, 0] = ry[:, 2, 2] = cb
    ry[:, 0, 2], ry[:, 2, 0] = sb, -sb
    ry[:, 1, 1] = 1
    return rz(alpha) @ ry @ rz(gamma)


def orientation_rule(linear1, linear2, n_cos, n_angle):
    """Rotations of both molecules and weights (sum 1): alpha_1 = 0, Gauss-Legendre in
    cos(beta) on [-1, 1], trapezoid over [0, 2 pi) in alpha_2 and in gamma (no gamma for
    a linear molecule), without any use of symmetry."""
    c, wc = np.polynomial.legendre.leggauss(n_cos)
    wc = wc / 2
    ang = np.arange(n_angle) * 2 * np.pi / n_angle
    wa = np.full(n_angle, 1.0 / n_angle)
    one = (np.zeros(1), np.ones(1))
    axes = [one, (c, wc), one if linear1 else (ang, wa), (ang, wa), (c, wc), one if linear2 else (ang, wa)]
    grid = np.meshgrid(*[a for a, _ in axes], indexing="ij")
    w = np.ones(grid[0].shape)
    for i, (_, wi) in enumerate(axes):
        shape = [1] * 6
        shape[i] = len(wi)
        w = w * wi.reshape(shape)
    g = [x.ravel() for x in grid]
    return _euler(g[0], g[1], g[2]), _euler(g[3], g[4], g[5]), w.ravel()


def _pair_law(p, q):
    """(c1, c6, c12) of u = c1/d + c6/d^6 + c12/d^12 for sites p, q = (eps, sigma, charge)."""
    eps = math.sqrt(p[0] * q[0])
    sig = 0.5 * (p[1] + q[1])
    return COULOMB * p[2] * q[2], -4 * eps * sig**6, 4 * eps * sig**12


def rigid_terms(r, rot1, rot2, mol1, mol2):
    """At distances r (A) and orientations: U, the torque-form G and the Laplacian-form L
    (each (len(r), n_orient)).  mol = (body positions about the centre of mass on the
    principal axes, moments, total mass, sites (eps, sigma, charge))."""
    body1, mom1, m1, sites1 = mol1
    body2, mom2, m2, sites2 = mol2
    x = np.einsum("nij,aj->ani", rot1, body1)  # (sites, orient, 3)
    y = np.einsum("nij,aj->ani", rot2, body2)
    nr, no = len(r), rot1.shape[0]
    U = np.zeros((nr, no))
    F = np.zeros((nr, no, 3))
    grad1 = np.zeros((len(body1), nr, no, 3))  # dU/dx_a
    grad2 = np.zeros((len(body2), nr, no, 3))
    lap = np.zeros((nr, no))
    axes1 = [rot1[:, :, k] for k in range(3)]
    axes2 = [rot2[:, :, k] for k in range(3)]
    second = {(i, k): np.zeros((nr, no)) for i in (0, 1) for k in range(3)}
    shift = np.zeros((nr, 1, 3))
    shift[:, 0, 2] = r
    for a, p in enumerate(sites1):
        for b, q in enumerate(sites2):
            c1, c6, c12 = _pair_law(p, q)
            d = x[a][None] - (y[b][None] + shift)  # from site b to site a
            dist = np.sqrt((d * d).sum(-1))
            U += c1 / dist + c6 / dist**6 + c12 / dist**12
            du = -c1 / dist**2 - 6 * c6 / dist**7 - 12 * c12 / dist**13
            d2u = 2 * c1 / dist**3 + 42 * c6 / dist**8 + 156 * c12 / dist**14
            unit = d / dist[..., None]
            g = du[..., None] * unit  # dU/dx_a; dU/dy_b = -g
            grad1[a] += g
            grad2[b] -= g
            lap += d2u + 2 * du / dist
            for i, axes, pos, sign in ((0, axes1, x[a], 1.0), (1, axes2, y[b], -1.0)):
                for k in range(3):
                    e = axes[k][None]
                    v = np.cross(e, pos[None])  # velocity of the site under a unit turn about e
                    vd = (v * unit).sum(-1)
                    acc = np.cross(e, v)
                    second[i, k] += d2u * vd**2 + du / dist * ((v * v).sum(-1) - vd**2) + sign * (g * acc).sum(-1)
    F = grad1.sum(0)
    G = (F * F).sum(-1) * (1 / m1 + 1 / m2)
    L = lap * (1 / m1 + 1 / m2)
    for i, (grad, pos, axes, mom) in enumerate(((grad1, x, axes1, mom1), (grad2, y, axes2, mom2))):
        tau = sum(np.cross(pos[s][None], -grad[s]) for s in range(len(pos)))
        for k in range(3):
            if mom[k] > 1e-9 * max(mom):
                G += (tau * axes[k][None]).sum(-1) ** 2 / mom[k]
                L += second[i, k] / mom[k]
    return U, G, L


def radial_rule(r_lo, r_split, n_panels, n_per_panel, n_tail):
    """Nodes and weights (r^2 included) on [r_lo, r_split] by Gauss-Legendre panels and on
    [r_split, inf) by Gauss-Legendre in x = 1/r."""
    x, w = np.polynomial.legendre.leggauss(n_per_panel)
    edges = np.linspace(r_lo, r_split, n_panels + 1)
    rs, ws = [], []
    for a, b in zip(edges[:-1], edges[1:]):
        h = (b - a) / 2
        rr = a + h * (x + 1)
        rs.append(rr)
        ws.append(h * w * rr * rr)
    xt, wt = np.polynomial.legendre.leggauss(n_tail)
    xx = (xt + 1) / (2 * r_split)
    rs.append(1 / xx)
    ws.append(wt / (2 * r_split) / xx**4)
    return np.concatenate(rs), np.concatenate(ws)


def rigid_first_order(mol1, mol2, t_kelvin, linear1, linear2, n_cos, n_angle, radial, chunk=4):
    """(dB by the torque form, dB by the Laplacian form, classical B2), all in A^3."""
    rot1, rot2, w_or = orientation_rule(linear1, linear2, n_cos, n_angle)
    r, w_r = radial
    beta = 1.0 / t_kelvin
    torque = lapl = classical = 0.0
    for s in range(0, len(r), chunk):
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            U, G, L = rigid_terms(r[s : s + chunk], rot1, rot2, mol1, mol2)
            boltz = np.exp(-beta * U)
            live = boltz > 0
            torque += w_r[s : s + chunk] @ (np.where(live, boltz * G, 0.0) @ w_or)
            lapl += w_r[s : s + chunk] @ (np.where(live, boltz * L, 0.0) @ w_or)
            classical += w_r[s : s + chunk] @ (np.expm1(-beta * U) @ w_or)
    factor = 4 * math.pi * HBAR_SQUARED / 48
    return factor * beta**3 * torque, factor * beta**2 * lapl, -2 * math.pi * classical


def lj_feynman_hibbs_b2(t_kelvin, eps, sigma, mass):
    """B2 in A^3 of Lennard-Jones atoms with the quadratic Feynman-Hibbs potential
    u + (beta hbar^2 / 24 mu) (u'' + 2 u'/r), mu = m/2, by scipy quadrature."""
    u, du, d2u = _lj(eps, sigma)
    beta = 1.0 / t_kelvin
    c = beta * HBAR_SQUARED / (24 * mass / 2)
    f = lambda r: math.expm1(-beta * (u(r) + c * (d2u(r) + 2 * du(r) / r))) * r * r  # noqa: E731
    return -2 * math.pi * (_quad(f, sigma) + integrate.quad(f, 0.0, 0.3 * sigma)[0])
