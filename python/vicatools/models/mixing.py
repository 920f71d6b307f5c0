"""Site-pair tables for `vica` from two models: mixing rules and the Coulomb term.

The energy of site a of one molecule and site b of another at distance r (Å) is,
in kelvin,

    u(r) = C q_a q_b / r + 4 eps_ab [(sigma_ab / r)^12 - (sigma_ab / r)^6]

with C = e² / (4 π ε0 k_B) = 167100.947 K·Å/e² and eps_ab, sigma_ab from the
mixing rule.  As a `vica.PotK` that is ``R1R6R12(C q_a q_b, -4 eps sigma^6,
4 eps sigma^12)``; a pair without charge product uses ``R6R12``, a pair without
Lennard-Jones core ``R1``, a pair with neither ``R0``.

A table for the ordered pair (first, second) has one row per site of the first
model and, in each row, one entry per site of the second: the orientation that
`vica.Bms` and `vica.Cms` read.

Laws beyond Lennard-Jones (Mie, exp-6, tables; `vicatools.models.laws`) reach the
tools' own engines as flat entries from `law_entries`; `pair_table` refuses them.
"""
from __future__ import annotations

import math
from typing import Any, List, Sequence, Tuple

from .laws import MixingError, bounded_below, law_entry, mixed_law, potk_entry
from .model import Model, PairLaw, Site
from .units import COULOMB_K_ANGSTROM

__all__ = ["LawError", "MixingError", "MIXING_RULES", "can_collapse", "check_mixing", "core_c12", "law_entries",
           "mix", "pair_coefficients", "pair_table", "site_potk"]

LAW_METHODS = ("cubature", "walk")
"""The methods whose engines take the flat entries of `law_entries` (every law)."""

RUN_ELSEWHERE = "use method=" + " or ".join(f"'{m}'" for m in LAW_METHODS)
"""What a refusal of a law by vica tells the user."""


class LawError(ValueError):
    """A site law that the chosen method (vica's Bms/Cms) cannot run; the message names the methods that can."""


def core_c12(c1: float, distance: float) -> float:
    """c12 in K·Å¹² of the core term for a pair with Coulomb coefficient `c1` (K·Å, < 0)
    and core distance `distance` (Å): |c1| (distance / 2)^11."""
    return abs(c1) * (0.5 * distance) ** 11


MIXING_RULES = ("lorentz-berthelot", "geometric")
"""Lorentz-Berthelot: eps_ab = sqrt(eps_a eps_b), sigma_ab = (sigma_a + sigma_b) / 2.
Geometric: eps_ab = sqrt(eps_a eps_b), sigma_ab = sqrt(sigma_a sigma_b)."""


def check_mixing(mixing: str) -> str:
    """Return `mixing` if it names a known rule, else raise ValueError."""
    if mixing not in MIXING_RULES:
        raise ValueError(f"unknown mixing rule {mixing!r} (use one of {', '.join(MIXING_RULES)})")
    return mixing


def _pairs(first: Model, second: Model) -> Tuple[PairLaw, ...]:
    """The explicit pair laws of `first`, then those of `second` not already given."""
    out = list(first.pairs)
    for p in second.pairs:
        if not any(q.names(p.a, p.b) for q in out):
            out.append(p)
    return tuple(out)


def mix(a: Site, b: Site, mixing: str = "lorentz-berthelot", pairs: Sequence[PairLaw] = ()) -> Tuple[float, float]:
    """(epsilon/k_B in K, sigma in Å) of the Lennard-Jones term between sites `a` and `b`
    (an explicit pair in `pairs` first, then the mixing rule).

    A pair in which either site has no core (epsilon or sigma 0) gets (0, 0); a pair
    whose law is not Lennard-Jones raises `LawError` naming the methods that run it.
    """
    check_mixing(mixing)
    law = mixed_law(a, b, mixing, pairs)
    if law is None:
        return 0.0, 0.0
    if law.law_name != "lj":
        raise LawError(
            f"sites {a.name!r} and {b.name!r} interact by the {law.law} law, which only the tools' own engines "
            f"run: {RUN_ELSEWHERE}"
        )
    return law.epsilon, law.sigma


def pair_coefficients(
    a: Site, b: Site, mixing: str = "lorentz-berthelot", pairs: Sequence[PairLaw] = ()
) -> Tuple[float, float, float]:
    """(c1, c6, c12) of u(r) = c1 / r + c6 / r^6 + c12 / r^12 between sites `a` and `b`
    (K·Å, K·Å⁶, K·Å¹²); Lennard-Jones pairs only (see `mix`)."""
    eps, sigma = mix(a, b, mixing, pairs)
    c1 = COULOMB_K_ANGSTROM * a.charge * b.charge
    s6 = sigma**6
    return c1, -4.0 * eps * s6, 4.0 * eps * s6 * s6


def _entry(
    a: Site, b: Site, mixing: str, pairs: Sequence[PairLaw], length_unit: float, core: float,
    tables: List[Tuple[List[float], List[float]]],
) -> List[float]:
    law = mixed_law(a, b, mixing, pairs)
    if law is None or law.law_name == "lj":
        c1, c6, c12 = pair_coefficients(a, b, mixing, pairs)
        if core > 0.0 and c1 < 0.0 and c12 == 0.0:
            c12 = core_c12(c1, core)
        return potk_entry(c1, c6, c12, length_unit)
    return law_entry(law, COULOMB_K_ANGSTROM * a.charge * b.charge, length_unit, tables)


def law_entries(
    first: Model, second: Model, mixing: str = "lorentz-berthelot", length_unit: float = 1.0, core: float = 0.0
) -> Tuple[List[List[List[float]]], List[Tuple[List[float], List[float]]]]:
    """The site laws of the pair (first, second) as flat entries (`vicatools.models.laws`)
    for the tools' own engines, and the list of tables the entries name: row i for site
    i of `first`, entry j of a row for site j of `second`; distances in units of
    `length_unit` Å; the charge core of distance `core` Å (0: none) on bare attracting
    pairs as in `pair_table`.  Lennard-Jones pairs give the same numbers as
    `pair_table`'s PotK values.  Raises `MixingError` for a pair of laws without a
    rule and without an explicit pair law."""
    check_mixing(mixing)
    _check_core(core)
    pairs = _pairs(first, second)
    tables: List[Tuple[List[float], List[float]]] = []
    rows = [[_entry(a, b, mixing, pairs, length_unit, core, tables) for b in second.sites] for a in first.sites]
    return rows, tables


def _check_core(core: float) -> None:
    if not (core >= 0.0 and math.isfinite(core)):
        raise ValueError(f"core distance must be a finite number of at least 0 angstrom, got {core!r}")


def site_potk(
    a: Site, b: Site, mixing: str = "lorentz-berthelot", length_unit: float = 1.0, core: float = 0.0,
    pairs: Sequence[PairLaw] = (),
) -> Any:
    """The `vica.PotK` for sites `a` and `b`: the smallest kind holding their terms.

    With `length_unit` a (in Å) the coefficients are those of the same law for
    distances measured in units of a: c1 / a, c6 / a^6, c12 / a^12 (energies stay in K).
    With `core` d > 0 (Å), a pair that attracts by its charges and has no
    Lennard-Jones core gets the r^-12 core term of `vicatools.models.cores`."""
    from vica import PotK

    c1, c6, c12 = pair_coefficients(a, b, mixing, pairs)
    if core > 0.0 and c1 < 0.0 and c12 == 0.0:
        c12 = core_c12(c1, core)
    if length_unit != 1.0:
        a6 = length_unit**6
        c1, c6, c12 = c1 / length_unit, c6 / a6, c12 / (a6 * a6)
    if c12 != 0.0 and c1 != 0.0:
        return PotK.R1R6R12(c1, c6, c12)
    if c12 != 0.0:
        return PotK.R6R12(c6, c12)
    if c1 != 0.0:
        return PotK.R1(c1)
    return PotK.R0()


def pair_table(
    first: Model, second: Model, mixing: str = "lorentz-berthelot", length_unit: float = 1.0, core: float = 0.0
) -> List[List[Any]]:
    """The site-pair table of `vica.PotK` for (first, second): row i for site i of
    `first`, entry j of a row for site j of `second`; distances in units of
    `length_unit` Å, and the core of distance `core` Å (0: none) on bare attracting
    pairs (see `site_potk`).

    `vica` runs Lennard-Jones and Coulomb only: a pair of models with another law
    raises `LawError` naming the methods that can run it."""
    check_mixing(mixing)
    _check_core(core)
    other = (first.laws | second.laws) - {"lj"}
    if other:
        raise LawError(
            f"models {first.name!r} and {second.name!r} use the {', '.join(sorted(other))} law(s), which vica's "
            f"Lennard-Jones and Coulomb terms cannot express: {RUN_ELSEWHERE}"
        )
    pairs = _pairs(first, second)
    return [[site_potk(a, b, mixing, length_unit, core, pairs) for b in second.sites] for a in first.sites]


def can_collapse(first: Model, second: Model, mixing: str = "lorentz-berthelot") -> bool:
    """True when some site pair attracts by its charges and has no Lennard-Jones
    core, so that the pair energy has no lower bound (the two sites fall onto
    each other): such a pair needs an energy floor ``u_min`` in `vica.Bms`.  So does
    a pair of any other law that falls to minus infinity at short range (exp-6)."""
    rows, _ = law_entries(first, second, mixing)
    return not all(bounded_below(e) for row in rows for e in row)
