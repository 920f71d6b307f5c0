"""Physical constants and unit conversions used throughout vicatools.

Conventions: lengths in angstrom (Å), energies in kelvin (energy divided by
Boltzmann's constant, as ``vica`` expects), charges in elementary charges (e).
``vica`` returns virial coefficients per molecule: B in Å³ and C in Å⁶.  The
molar forms are B in cm³/mol and C in cm⁶/mol².

All constants are exact SI values (2019 redefinition) or derived from them,
except the Coulomb constant, which carries the CODATA 2018 value of the
vacuum permittivity.
"""
from __future__ import annotations

import decimal
import math
import numbers
import re
from typing import Iterable, List, Union

AVOGADRO = 6.02214076e23
"""Avogadro constant N_A, 1/mol (exact)."""

BOLTZMANN = 1.380649e-23
"""Boltzmann constant k_B, J/K (exact)."""

MOLAR_GAS = AVOGADRO * BOLTZMANN
"""Molar gas constant R = N_A k_B, J/(mol K) (8.31446261815324)."""

COULOMB_K_ANGSTROM = 167100.947
"""e² / (4 π ε0 k_B) in K·Å per e² (CODATA 2018): two unit charges 1 Å apart
interact with 167100.947 K."""

A3_TO_CM3_PER_MOL = 0.602214076
"""Å³ per molecule to cm³/mol: N_A · 1e-24."""

A6_TO_CM6_PER_MOL2 = A3_TO_CM3_PER_MOL**2
"""Å⁶ per molecule² to cm⁶/mol²: (N_A · 1e-24)²."""

KJ_PER_MOL_TO_K = 1000.0 / MOLAR_GAS
"""1 kJ/mol in kelvin (about 120.272 K)."""

KCAL_PER_MOL_TO_K = 4184.0 / MOLAR_GAS
"""1 kcal/mol (thermochemical calorie) in kelvin (about 503.220 K)."""

NM_TO_ANGSTROM = 10.0
"""1 nm in Å."""

_ENERGY_UNITS = {
    "k": 1.0,
    "kelvin": 1.0,
    "kj/mol": KJ_PER_MOL_TO_K,
    "kcal/mol": KCAL_PER_MOL_TO_K,
}
_LENGTH_UNITS = {
    "angstrom": 1.0,
    "å": 1.0,
    "a": 1.0,
    "nm": NM_TO_ANGSTROM,
}

ENERGY_UNITS = ("K", "kJ/mol", "kcal/mol")
"""Energy units accepted in model files."""

LENGTH_UNITS = ("angstrom", "nm")
"""Length units accepted in model files."""


def energy_factor(unit: str) -> float:
    """Factor that turns an energy in `unit` ("K", "kJ/mol" or "kcal/mol") into kelvin."""
    try:
        return _ENERGY_UNITS[unit.strip().lower()]
    except KeyError:
        raise ValueError(f"unknown energy unit {unit!r} (use one of {', '.join(ENERGY_UNITS)})") from None


def length_factor(unit: str) -> float:
    """Factor that turns a length in `unit` ("angstrom" or "nm") into Å."""
    try:
        return _LENGTH_UNITS[unit.strip().lower()]
    except KeyError:
        raise ValueError(f"unknown length unit {unit!r} (use one of {', '.join(LENGTH_UNITS)})") from None


def to_kelvin(value: float, unit: str) -> float:
    """An energy in `unit` expressed in kelvin (energy / k_B)."""
    return value * energy_factor(unit)


def to_angstrom(value: float, unit: str) -> float:
    """A length in `unit` expressed in Å."""
    return value * length_factor(unit)


def molar_factor(order: int) -> float:
    """Factor from the per-molecule unit of the virial coefficient of `order`
    (2 for B in Å³, 3 for C in Å⁶) to its molar unit (cm³/mol, cm⁶/mol²)."""
    if order < 2:
        raise ValueError("virial order must be 2 or more")
    return A3_TO_CM3_PER_MOL ** (order - 1)


def molecular_unit(order: int) -> str:
    """Name of the per-molecule unit of the virial coefficient of `order`."""
    return f"angstrom^{3 * (order - 1)}"


def molar_unit(order: int) -> str:
    """Name of the molar unit of the virial coefficient of `order`."""
    return "cm^3/mol" if order == 2 else f"cm^{3 * (order - 1)}/mol^{order - 1}"



_LENGTHS_M = {"angstrom": 1e-10, "a": 1e-10, "å": 1e-10, "nm": 1e-9, "cm": 1e-2, "dm": 1e-1, "m": 1.0}
_COEFF_UNIT = re.compile(r"^(angstrom|a|å|nm|cm|dm|m|l)(?:\^?(\d+))?(?:/mol(?:\^?(\d+))?)?$")


def coefficient_factor(order: int, unit: str) -> float:
    """Factor from the per-molecule unit of the virial coefficient of `order` (Å^(3(n-1)))
    to `unit`: a length to the power 3(n-1), per molecule ("angstrom^3", "nm^3") or per
    mole to the power n-1 ("cm^3/mol", "m^3/mol", "L/mol", "cm^6/mol^2", "cm6/mol2");
    ValueError for anything else, a wrong power included."""
    if order < 2:
        raise ValueError("virial order must be 2 or more")
    text = unit.strip().lower().replace(" ", "").replace("³", "^3").replace("⁶", "^6")
    m = _COEFF_UNIT.match(text)
    p_want, q_want = 3 * (order - 1), order - 1
    example = f"{molecular_unit(order)}, {molar_unit(order)} or m^{p_want}/mol" + (f"^{q_want}" if q_want > 1 else "")
    if m is None:
        raise ValueError(f"unknown unit {unit!r} of a virial coefficient of order {order} (use e.g. {example})")
    name, power, per_mol = m.group(1), m.group(2), m.group(3)
    p = int(power) if power else 1
    if name == "l":  # litre: dm^3
        name, p = "dm", 3 * p
    molar = "/mol" in text
    q = (int(per_mol) if per_mol else 1) if molar else 0
    if p != p_want or (molar and q != q_want):
        raise ValueError(f"unit {unit!r} does not fit a virial coefficient of order {order} (use e.g. {example})")
    factor: float = (1e-10 / _LENGTHS_M[name]) ** p
    if molar:
        factor *= AVOGADRO**q
    return factor


def convert_coefficient(order: int, from_unit: str, to_unit: str) -> float:
    """Factor that turns a virial coefficient of `order` in `from_unit` into `to_unit`."""
    return coefficient_factor(order, to_unit) / coefficient_factor(order, from_unit)


def temperature(t: object) -> float:
    """One temperature as a float: a real number (Python, numpy or Decimal), not a bool, string or bytes."""
    if isinstance(t, (str, bytes, bytearray, bool)) or type(t).__name__ == "bool_":
        raise TypeError(f"a temperature must be a number in K, got {t!r}")
    if not isinstance(t, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"a temperature must be a number in K, got {t!r}")
    value = float(t)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"temperature must be a finite number above 0 K, got {value:g}")
    return value


def temperatures(temperatures: Union[float, Iterable[float]]) -> List[float]:
    """Temperatures in K from a number, a sequence or a numpy scalar or 1-d array."""
    if isinstance(temperatures, (str, bytes, bytearray, bool)):
        raise TypeError(f"temperatures must be numbers in K (a number or a list of them), got {temperatures!r}")
    ndim = getattr(temperatures, "ndim", None)
    if ndim is not None and ndim > 1:
        raise ValueError(f"temperatures must be a number or a 1-d sequence, got an array of {ndim} dimensions")
    if ndim == 0 and hasattr(temperatures, "item"):
        temperatures = temperatures.item()
    if isinstance(temperatures, Iterable):
        ts = [temperature(t) for t in temperatures]
    else:
        ts = [temperature(temperatures)]
    if not ts:
        raise ValueError("no temperature given")
    return ts
