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

