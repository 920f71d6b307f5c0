"""Site masses and the molecule's mass, centre of mass and moments of inertia.

Masses are in unified atomic mass units u (g/mol), moments of inertia in u·Å².

A site that names no mass gets one from its name:

* a united-atom group (``CH4`` 16.043, ``CH3`` 15.035, ``CH2`` 14.027, ``CH``
  13.019, ``CF3``, ``CF2``, also followed by a separator and an index such as
  ``CH3_1``): the sum of its atoms' standard atomic weights;
* a charge-only or virtual site (``M``, ``MW``, ``COM``, ``X``, ``EP``, ``LP``,
  ``L``, ``D``, ``DUM``, ``VS``, with or without digits): mass 0;
* a whole molecule as one site, by its formula (``N2`` 28.014, ``O2``,
  ``CO2`` 44.009, ``H2O``, ``NH3``, ``SF6``, ...);
* an element symbol, as written in force-field files: the whole name
  (``Ar``, ``Cl``; in upper case only the noble gases and common ions ``NE``,
  ``CL``, ``NA``, ...), else its leading element letters, digits being an index
  (``OW`` and ``O1`` are oxygen, ``HW2`` hydrogen, ``Cl3`` chlorine, ``CA`` carbon):
  the conventional standard atomic weight (IUPAC, Pure Appl. Chem. 94, 573
  (2022), abridged values);
* anything else: no mass (None).  Classical coefficients do not need one; the
  quantum corrections refuse such a model and ask for a ``mass`` in the model file.

Rotation is about the centre of mass and the principal axes of the inertia
tensor; a linear molecule has two equal moments and a third that is exactly 0.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple

Model = Any  # a `vicatools.models.model.Model` (not imported: model.py imports this module)

HBAR_SQUARED = (6.62607015e-34 / (2.0 * math.pi)) ** 2 / (1.380649e-23 * 1.66053906660e-27 * 1e-20)
"""ħ² / k_B in K·u·Å² (about 48.508): ħ² β F² / m is dimensionless with β in 1/K, F in K/Å
and m in u.  h and k_B are exact; the atomic mass constant is CODATA 2018."""

ELEMENT_MASSES: Dict[str, float] = {
    "H": 1.008, "He": 4.0026, "Li": 6.94, "Be": 9.0122, "B": 10.81, "C": 12.011, "N": 14.007,
    "O": 15.999, "F": 18.998, "Ne": 20.180, "Na": 22.990, "Mg": 24.305, "Al": 26.982, "Si": 28.085,
    "P": 30.974, "S": 32.06, "Cl": 35.45, "Ar": 39.95, "K": 39.098, "Ca": 40.078, "Br": 79.904,
    "Kr": 83.798, "I": 126.90, "Xe": 131.29,
}
"""Conventional standard atomic weights in u (IUPAC 2021, abridged)."""

GROUP_MASSES: Dict[str, float] = {
    "CH4": 16.043, "CH3": 15.035, "CH2": 14.027, "CH": 13.019, "CF3": 69.005, "CF2": 50.007,
}
"""United-atom groups: the sum of their atoms' weights in u."""

MOLECULE_MASSES: Dict[str, float] = {
    "H2": 2.016, "N2": 28.014, "O2": 31.998, "F2": 37.996, "Cl2": 70.90, "CO2": 44.009, "H2O": 18.015,
    "NH3": 17.031, "SF6": 146.05,
}
"""Whole molecules as one site (a one-site N2 or CO2 model), by formula (also all upper case)."""

_UPPER_ELEMENTS = ("HE", "NE", "AR", "KR", "XE", "CL", "BR", "NA", "MG")
"""Two-letter element symbols that force-field files write in upper case (ions, noble
gases); other upper-case pairs are an element and a label (CA: a carbon, not calcium)."""

VIRTUAL_NAMES = ("M", "MW", "COM", "X", "EP", "LP", "L", "D", "DUM", "VS", "Q")
"""Names (before any digits) of massless sites: charge-only and virtual sites."""

_GROUP = re.compile(r"^(CH4|CH3|CH2|CH|CF3|CF2)(?![a-z0-9])")
_SPLIT = re.compile(r"^([A-Za-z]+)[0-9'_\-+*]*$")


def default_mass(name: str) -> Optional[float]:
    """The mass in u of a site called `name` (see the module doc), or None when the
    name says nothing about it."""
    text = name.strip()
    group = _GROUP.match(text)
    if group:
        return GROUP_MASSES[group.group(1)]
    for formula, mass in MOLECULE_MASSES.items():
        if text in (formula, formula.upper()):
            return mass
    match = _SPLIT.match(text)
    letters = match.group(1) if match else ""
    if not letters:
        return None
    if letters.upper() in VIRTUAL_NAMES:
        return 0.0
    whole = letters[0].upper() + letters[1:].lower()
    if whole in ELEMENT_MASSES and (letters == whole or letters.upper() == letters and
                                    (len(letters) == 1 or letters in _UPPER_ELEMENTS)):
        return ELEMENT_MASSES[whole]
    two = letters[:2]
    if len(two) == 2 and two[0].isupper() and two[1].islower() and two in ELEMENT_MASSES:
        return ELEMENT_MASSES[two]
    one = letters[0].upper()
    if letters[0].isupper() and one in ELEMENT_MASSES:
        return ELEMENT_MASSES[one]
    return None


class MassError(ValueError):
    """A model whose masses cannot give what was asked (a site without mass, no mass at all)."""


@dataclass(frozen=True)
class Inertia:
    """Mass distribution of a rigid molecule.

    Attributes:
        mass: total mass in u.
        centre: centre of mass (x, y, z) in Å, in the model's own frame.
        moments: principal moments of inertia about the centre of mass in u·Å²,
            ascending; a linear molecule has (0, I, I), a single site (0, 0, 0).
        axes: the principal axes (unit vectors in the model's frame), one per moment.
        linear: True when all massive sites lie on one line (one or two moments 0).
    """

    mass: float
    centre: Tuple[float, float, float]
    moments: Tuple[float, float, float]
    axes: Tuple[Tuple[float, float, float], Tuple[float, float, float], Tuple[float, float, float]]
    linear: bool


def site_masses(model: Model) -> Tuple[float, ...]:
    """The mass of every site in u; raises `MassError` naming the sites without one."""
    missing = [f"{i} ({s.name!r})" for i, s in enumerate(model.sites) if s.mass is None]
    if missing:
        raise MassError(
            f"model {model.name!r}: no mass for site(s) {', '.join(missing)}: the name is neither an element "
            "nor a united-atom group; give each site a 'mass' in u in the model file"
        )
    masses = tuple(float(s.mass) for s in model.sites if s.mass is not None)
    if not math.fsum(masses) > 0.0:
        raise MassError(f"model {model.name!r}: the site masses add up to 0 u")
    return masses


def _positions(model: Model) -> Sequence[Tuple[float, float, float]]:
    return [s.position for s in model.sites]


def inertia(model: Model) -> Inertia:
    """Total mass, centre of mass and principal moments and axes of `model`.

    Raises `MassError` when a site has no mass or all masses are 0."""
    import numpy as np

    m = np.array(site_masses(model))
    x = np.array(_positions(model), dtype=float)
    total = float(math.fsum(m))
    centre = (m[:, None] * x).sum(axis=0) / total
    d = x - centre
    tensor = np.zeros((3, 3))
    for mi, di in zip(m, d):
        tensor += mi * (float(di @ di) * np.eye(3) - np.outer(di, di))
    values, vectors = np.linalg.eigh(tensor)
    scale = max(float(values[-1]), 0.0)
    # moments below rounding of the largest are exactly 0 (a linear molecule, one site)
    moments = [0.0 if v <= 1e-12 * scale else float(v) for v in values]
    if scale == 0.0:
        moments = [0.0, 0.0, 0.0]
    linear = moments[0] == 0.0
    if linear and moments[1] > 0.0:
        # the two moments of a linear molecule are equal up to rounding: make them so
        mean = 0.5 * (moments[1] + moments[2])
        moments[1] = moments[2] = mean
    axes = tuple(tuple(float(c) for c in vectors[:, k]) for k in range(3))
    return Inertia(
        mass=total,
        centre=(float(centre[0]), float(centre[1]), float(centre[2])),
        moments=(moments[0], moments[1], moments[2]),
        axes=axes,  # type: ignore[arg-type]
        linear=linear,
    )
