"""Short-range site laws: their formulas, how two sites' laws combine, and the
flat entries that the tools' own engines (the B2 integrator, the B_n walk) take.

Mixing, for two sites with short-range laws (a site without one, a bare charge,
gives the pair no short-range term, whatever the other's law):

* lj with lj: the run's rule, Lorentz-Berthelot (eps = sqrt(eps_a eps_b),
  sigma = (sigma_a + sigma_b) / 2) or geometric (sigma = sqrt(sigma_a sigma_b)).
* mie with mie (a Lennard-Jones site counting as Mie 12-6): eps and sigma as
  for lj, each exponent by lambda_ab - 3 = sqrt((lambda_a - 3)(lambda_b - 3))
  (the rule of SAFT-gamma Mie: T. Lafitte et al., J. Chem. Phys. 139, 154504
  (2013), eq. 47; that paper's extra sigma^3 factor on eps is not applied: give
  such a pair explicitly).
* exp6 with exp6: A = sqrt(A_a A_b), C6 = sqrt(C6_a C6_b), and B the arithmetic
  mean (Lorentz-Berthelot) or geometric mean (geometric) of B_a and B_b.
* table with table: the same table on both sites is that table.
* anything else (lj with exp6, two different tables, ...) has no rule: the
  model must give that pair explicitly (a `PairLaw`), and a run refuses it.

An explicit pair (`PairLaw` of either model, matched by site names) wins over
mixing.  Coulomb terms always come from the charges.

Flat entries (energies in K, lengths in the caller's unit):

    (0,)  (1, c1)  (2, c6, c12)  (3, c1, c6, c12)   u = c1/r + c6/r^6 + c12/r^12
    (4, c1, ca, la, cr, lr)                          u = c1/r + ca/r^la + cr/r^lr
    (5, c1, A, B, c6)                                u = c1/r + A exp(-B r) + c6/r^6
    (6, index)                                       table `index` of the tables list
"""
from __future__ import annotations

import bisect
import math
from typing import Any, List, Optional, Sequence, Tuple

from .model import PairLaw, Site


class MixingError(ValueError):
    """Two sites whose laws have no mixing rule and no explicit pair law."""


def mie_prefactor(lambda_r: float, lambda_a: float) -> float:
    """C = lambda_r / (lambda_r - lambda_a) (lambda_r / lambda_a)^(lambda_a / (lambda_r - lambda_a)),
    which makes the well depth of C eps [(s/r)^lr - (s/r)^la] equal eps (4 for 12-6)."""
    d = lambda_r - lambda_a
    return float(lambda_r / d * (lambda_r / lambda_a) ** (lambda_a / d))


def exp6_from_minimum(epsilon: float, r_min: float, alpha: float) -> Tuple[float, float, float]:
    """(A in K, B in 1/Å, C6 in K·Å⁶) of u = A exp(-B r) - C6/r^6 equal to the modified
    Buckingham form eps / (1 - 6/alpha) [(6/alpha) exp(alpha (1 - r/r_min)) - (r_min/r)^6]
    (well depth eps at r_min, steepness alpha > 6)."""
    a = epsilon * 6.0 / (alpha - 6.0) * math.exp(alpha)
    return a, alpha / r_min, epsilon * alpha / (alpha - 6.0) * r_min**6


def _mix_lambda(x: float, y: float) -> float:
    return 3.0 + math.sqrt((x - 3.0) * (y - 3.0))


def mixed_law(a: Site, b: Site, mixing: str, pairs: Sequence[PairLaw] = ()) -> Optional[PairLaw]:
    """The short-range law of sites `a` and `b` as an explicit `PairLaw`: from `pairs`
    when one names them, else by the mixing rules of the module doc; None when the
    pair has no short-range term.  Raises `MixingError` when no rule applies."""
    for p in pairs:
        if p.names(a.name, b.name):
            return p if p.has_core else None
    if not (a.has_core and b.has_core):
        return None
    la, lb = a.law, b.law
    lorentz = mixing == "lorentz-berthelot"
    if la in ("lj", "mie") and lb in ("lj", "mie"):
        eps = math.sqrt(a.epsilon * b.epsilon)
        sigma = 0.5 * (a.sigma + b.sigma) if lorentz else math.sqrt(a.sigma * b.sigma)
        if la == lb == "lj":
            return PairLaw(a.name, b.name, "lj", eps, sigma)
        lr = a.lambda_r if a.lambda_r == b.lambda_r else _mix_lambda(a.lambda_r, b.lambda_r)
        lam = a.lambda_a if a.lambda_a == b.lambda_a else _mix_lambda(a.lambda_a, b.lambda_a)
        return PairLaw(a.name, b.name, "mie", eps, sigma, lr, lam)
    if la == lb == "exp6":
        (a1, b1, c1), (a2, b2, c2) = a.exp6, b.exp6
        bb = 0.5 * (b1 + b2) if lorentz else math.sqrt(b1 * b2)
        return PairLaw(a.name, b.name, "exp6", exp6=(math.sqrt(a1 * a2), bb, math.sqrt(c1 * c2)))
    if la == lb == "table" and a.table == b.table:
        return PairLaw(a.name, b.name, "table", table=a.table)
    raise MixingError(
        f"sites {a.name!r} ({la}) and {b.name!r} ({lb}) have no mixing rule: give the pair's law explicitly "
        "(a [[pairs]] entry of the model file, or a PairLaw)"
    )


def law_entry(
    law: Optional[PairLaw], c1: float, length_unit: float, tables: List[Tuple[List[float], List[float]]]
) -> List[float]:
    """The flat entry of a pair with short-range law `law` (None: none) and Coulomb
    coefficient `c1` (K·Å), distances in units of `length_unit` Å; a table is appended
    to `tables` (once per distinct table) and named by its index.  Lennard-Jones (and
    Mie 12-6) pairs give PotK's kinds 0 to 3, with the arithmetic of
    `vicatools.models.mixing.pair_coefficients`."""
    a = length_unit
    if law is None or law.law == "lj" or (law.law == "mie" and law.lambda_r == 12.0 and law.lambda_a == 6.0):
        eps, sigma = (law.epsilon, law.sigma) if law is not None else (0.0, 0.0)
        s6 = sigma**6
        c6, c12 = -4.0 * eps * s6, 4.0 * eps * s6 * s6
        return potk_entry(c1, c6, c12, a)
    if law.law == "mie":
        c = mie_prefactor(law.lambda_r, law.lambda_a) * law.epsilon
        ca = -c * (law.sigma / a) ** law.lambda_a
        cr = c * (law.sigma / a) ** law.lambda_r
        return [4.0, c1 / a, ca, law.lambda_a, cr, law.lambda_r]
    if law.law == "exp6":
        big_a, big_b, c6 = law.exp6
        return [5.0, c1 / a, big_a, big_b * a, -c6 / a**6]
    if c1 != 0.0:
        raise MixingError(f"pair ({law.a!r}, {law.b!r}): a table is the whole pair energy, but the sites are charged")
    r, u = law.table
    entry = ([x / a for x in r], list(u))
    if entry not in tables:
        tables.append(entry)
    return [6.0, float(tables.index(entry))]


def potk_entry(c1: float, c6: float, c12: float, length_unit: float = 1.0) -> List[float]:
    """The smallest of PotK's kinds holding c1/r + c6/r^6 + c12/r^12 (Å, K), distances in
    units of `length_unit` Å, as a flat entry."""
    a = length_unit
    if a != 1.0:
        a6 = a**6
        c1, c6, c12 = c1 / a, c6 / a6, c12 / (a6 * a6)
    if c12 != 0.0 and c1 != 0.0:
        return [3.0, c1, c6, c12]
    if c12 != 0.0:
        return [2.0, c6, c12]
    if c1 != 0.0:
        return [1.0, c1]
    return [0.0]


def bounded_below(entry: Sequence[float]) -> bool:
    """True when the entry's energy does not fall to minus infinity as r -> 0."""
    kind = int(entry[0])
    if kind == 0 or kind == 6:
        return True
    if kind == 5:
        return entry[4] > 0.0 or (entry[4] == 0.0 and entry[1] >= 0.0)
    if kind == 4:
        terms = [(1.0, entry[1]), (entry[3], entry[2]), (entry[5], entry[4])]
    else:
        c = list(entry[1:]) + [0.0] * (4 - len(entry))
        terms = {1: [(1.0, c[0])], 2: [(6.0, c[0]), (12.0, c[1])], 3: [(1.0, c[0]), (6.0, c[1]), (12.0, c[2])]}[kind]
    present = [(p, c) for p, c in terms if c != 0.0]
    if not present:
        return True
    top = max(p for p, _ in present)
    return math.fsum(c for p, c in present if p == top) >= 0.0


def _spline(r: Sequence[float], u: Sequence[float]) -> List[float]:
    """Second derivatives of the natural cubic spline through (r, u)."""
    n = len(r)
    m, c, d = [0.0] * n, [0.0] * n, [0.0] * n
    for i in range(1, n - 1):
        h0, h1 = r[i] - r[i - 1], r[i + 1] - r[i]
        denom = (h0 + h1) / 3.0 - h0 / 6.0 * c[i - 1]
        c[i] = h1 / 6.0 / denom
        d[i] = ((u[i + 1] - u[i]) / h1 - (u[i] - u[i - 1]) / h0 - h0 / 6.0 * d[i - 1]) / denom
    for i in range(n - 2, 0, -1):
        m[i] = d[i] - c[i] * m[i + 1]
    return m


def entry_energy(entry: Sequence[float], tables: Sequence[Tuple[Sequence[float], Sequence[float]]], r: float) -> float:
    """The energy in K of a flat entry at distance r (for searches in Python, such as
    the dimer minimum of `vicatools.models.floors`; the engines evaluate their own)."""
    kind = int(entry[0])
    if kind == 0:
        return 0.0
    if kind <= 3:
        c = list(entry[1:]) + [0.0] * (4 - len(entry))
        c1, c6, c12 = (c[0], 0.0, 0.0) if kind == 1 else (0.0, c[0], c[1]) if kind == 2 else (c[0], c[1], c[2])
        i6 = 1.0 / r**6
        return c1 / r + c6 * i6 + c12 * i6 * i6
    if kind == 4:
        return float(entry[1] / r + entry[2] * r ** -entry[3] + entry[4] * r ** -entry[5])
    if kind == 5:
        return entry[1] / r + entry[2] * math.exp(-entry[3] * r) + entry[4] / r**6
    rs, us = tables[int(entry[1])]
    if r < rs[0]:
        return math.inf
    if r >= rs[-1]:
        return 0.0
    m = _spline(rs, us)
    hi = bisect.bisect_right(rs, r)
    lo = hi - 1
    h = rs[hi] - rs[lo]
    t = (r - rs[lo]) / h
    s = 1.0 - t
    return s * us[lo] + t * us[hi] + ((s**3 - s) * m[lo] + (t**3 - t) * m[hi]) * h * h / 6.0


def inner_barrier(entry: Sequence[float], tables: Sequence[Any] = ()) -> float:
    """For an entry that falls to minus infinity at short range with a repulsive
    barrier before it (exp-6), the distance of the barrier's top; 0 otherwise.
    Inside it the law is unphysical: a search for the dimer minimum treats it as a wall."""
    if bounded_below(entry) or int(entry[0]) != 5:
        return 0.0
    # scan inwards from where the repulsion dominates for the last maximum
    r, best_r, best_u = 20.0 / max(entry[3], 1e-9), 0.0, -math.inf
    while r > 1e-4:
        u = entry_energy(entry, tables, r)
        if u > best_u:
            best_r, best_u = r, u
        elif u < best_u and best_u > 0.0:
            break
        r *= 0.995
    return best_r


def contact_distance(law: PairLaw) -> float:
    """Where the pair's short-range energy crosses zero from above, in Å (sigma for
    lj and Mie; for exp-6 outside its inner barrier; for a table the last zero
    crossing from repulsion, or its first point): the pair's size."""
    if law.law in ("lj", "mie"):
        return law.sigma
    if law.law == "exp6":
        entry = [5.0, 0.0, law.exp6[0], law.exp6[1], -law.exp6[2]]
        lo = max(inner_barrier(entry), 1e-3)
        if entry_energy(entry, (), lo) <= 0.0:
            return lo
        hi = lo
        while entry_energy(entry, (), hi) > 0.0 and hi < 1e3:
            hi *= 1.1
        for _ in range(100):
            mid = 0.5 * (lo + hi)
            lo, hi = (mid, hi) if entry_energy(entry, (), mid) > 0.0 else (lo, mid)
        return hi
    r, u = law.table
    at = r[0]
    for i in range(1, len(r)):
        if u[i - 1] > 0.0 >= u[i]:
            at = r[i]
    return at
