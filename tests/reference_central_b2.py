"""Second virial coefficient of a central (one-site) pair potential by 1-D quadrature.

An independent reference for the tools' engines on laws beyond Lennard-Jones, written
with scipy only (no vicatools code): B2 = -2 pi int_0^inf (exp(-u(r)/T) - 1) r^2 dr in
angstrom^3 per molecule, with f = -1 where u <= u_min (the energy floor, as the
engines apply it).

Potentials (r in angstrom, energies in K):

* exp-6 (modified Buckingham, well depth eps at r_min, steepness alpha):
  u = eps / (1 - 6/alpha) [(6/alpha) exp(alpha (1 - r/r_min)) - (r_min/r)^6].
  It falls to minus infinity at r -> 0 behind a barrier; with a floor u_min < 0 the
  region where u <= u_min (next to r = 0) counts as overlap.
* Mie: u = C eps [(sigma/r)^lr - (sigma/r)^la],
  C = lr/(lr - la) (lr/la)^(la/(lr - la)).

The integral is split at the floor crossing and at the barrier (exp-6) and at a few
multiples of the well position; beyond r_far only the leading tail u -> -c / r^p is kept:
-2 pi int_{r_far}^inf (-u/T) r^2 dr = -2 pi c r_far^(3-p) / ((p - 3) T).
"""
import math

from scipy import integrate, optimize


def exp6(eps, r_min, alpha):
    """u(r) of the modified Buckingham exp-6 law and its tail (c, p): u -> -c / r^p."""
    pre = eps / (1.0 - 6.0 / alpha)

    def u(r):
        return pre * (6.0 / alpha * math.exp(alpha * (1.0 - r / r_min)) - (r_min / r) ** 6)

    return u, (pre * r_min**6, 6.0)


def mie(eps, sigma, lr, la):
    """u(r) of the Mie law and its tail (c, p): u -> -c / r^p."""
    c = lr / (lr - la) * (lr / la) ** (la / (lr - la))

    def u(r):
        return c * eps * ((sigma / r) ** lr - (sigma / r) ** la)

    return u, (c * eps * sigma**la, la)


def barrier_top(u, r_well):
    """Where a law that collapses at r -> 0 (exp-6) has its inner maximum, in angstrom."""
    res = optimize.minimize_scalar(lambda r: -u(r), bounds=(0.02 * r_well, 0.9 * r_well), method="bounded",
                                   options={"xatol": 1e-10})
    return float(res.x)


def b2_central(u, tail, t_kelvin, u_min=-math.inf, r_well=4.0, collapses=False):
    """B2 in angstrom^3 of the central potential u at T (see the module doc); `r_well`
    (angstrom) places the integration's breakpoints; `collapses`: u falls to minus
    infinity at r -> 0 behind a barrier (exp-6), which the floor u_min must cut."""
    barrier = barrier_top(u, r_well) if collapses else 0.0
    def f(r):
        e = u(r)
        if e <= u_min:
            return -1.0
        x = -e / t_kelvin
        return math.expm1(x) if x < 700.0 else math.inf

    lo = 1e-9
    total = 0.0
    if barrier > 0.0:
        # [0, r_x]: f = -1 where u <= u_min (the collapse); r_x where u crosses u_min
        r_x = optimize.brentq(lambda r: u(r) - u_min, 1e-6, barrier, xtol=1e-14)
        total += -(r_x**3) / 3.0
        lo = r_x
    r_far = 12.0 * r_well
    cuts = [lo] + [x for x in (barrier, 0.5 * r_well, 0.8 * r_well, r_well, 1.5 * r_well, 3.0 * r_well) if x > lo]
    cuts.append(r_far)
    cuts = sorted(set(cuts))
    for a, b in zip(cuts, cuts[1:]):
        val, _ = integrate.quad(lambda r: f(r) * r * r, a, b, limit=400, epsabs=1e-12, epsrel=1e-13)
        total += val
    c, p = tail
    total += c * r_far ** (3.0 - p) / ((p - 3.0) * t_kelvin)
    return -2.0 * math.pi * total
