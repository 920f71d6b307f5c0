"""Named values with their unit: `ValueAt`, what `VirialEstimate.at` returns, and
`ReducedPoint`, a coefficient of a one-site Lennard-Jones model in reduced units.

Every result object of vicatools carries its unit: estimates and scans ``unit`` (per
molecule, Å^(3(n-1)), as the engines return them, until ``.molar()`` or ``.to(...)``),
curve points the scan's unit, derived properties theirs, comparisons with reference
values and fitted B(T) the molar unit of the reference, temperatures K.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, List, Tuple

from ..models import units


class ValueAt(Tuple[float, float]):
    """X(T') and its standard error at a temperature T', in `unit`: a pair (so that
    ``x, s = e.at(t)`` unpacks) with its names.

    Attributes:
        value, stderr: X(T') and its standard error.
        unit: their unit.
        t_kelvin: T' in K.
        order: 2 for B, 3 for C, n for B_n.
    """

    value: float
    stderr: float
    unit: str
    t_kelvin: float
    order: int

    def __new__(cls, value: float, stderr: float, unit: str, t_kelvin: float, order: int) -> "ValueAt":
        self = super().__new__(cls, (float(value), float(stderr)))
        object.__setattr__(self, "unit", unit)
        object.__setattr__(self, "t_kelvin", float(t_kelvin))
        object.__setattr__(self, "order", int(order))
        return self

    def __getattr__(self, name: str) -> float:
        if name == "value":
            return self[0]
        if name == "stderr":
            return self[1]
        raise AttributeError(name)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("ValueAt is read-only")

    def __repr__(self) -> str:
        return f"ValueAt(value={self[0]!r}, stderr={self[1]!r}, unit={self.unit!r}, t_kelvin={self.t_kelvin!r})"

    def to(self, unit: str) -> "ValueAt":
        """The same value in another unit of the coefficient (`vicatools.models.units.coefficient_factor`)."""
        f = units.convert_coefficient(self.order, self.unit, unit)
        return ValueAt(self[0] * f, self[1] * f, unit, self.t_kelvin, self.order)

    def molar(self) -> "ValueAt":
        """The same value in cm^3/mol (B), cm^6/mol^2 (C), ..."""
        return self.to(units.molar_unit(self.order))


@dataclass(frozen=True)
class ReducedPoint:
    """A coefficient in the reduced units of a one-site Lennard-Jones or Mie model: B_n* =
    B_n / sigma^(3(n-1)) per molecule at T* = k T / epsilon.

    Attributes:
        t_star: reduced temperature.
        value, stderr: B_n* and its standard error.
        t_dxdt, t_dxdt_stderr: T* dB_n*/dT* (= T dB_n/dT / sigma^(3(n-1))).
        t2_d2xdt2, t2_d2xdt2_stderr: T*^2 d2B_n*/dT*^2.
        unit: "sigma^3", "sigma^6", ... (per molecule).
        t_kelvin: the temperature in K.
    """

    t_star: float
    value: float
    stderr: float
    t_dxdt: float
    t_dxdt_stderr: float
    t2_d2xdt2: float
    t2_d2xdt2_stderr: float
    unit: str
    t_kelvin: float


def lj_parameters(scan: Any) -> Tuple[float, float]:
    """(epsilon/k in K, sigma in Å) of the scan's model when it is one Lennard-Jones or Mie
    site without charge (a library model or a model file that can be found again); ValueError else."""
    from ..models.library import resolve_model

    if len(scan.models) != 1:
        raise ValueError("reduced units need one model (a mixture has no single epsilon and sigma)")
    try:
        model = resolve_model(scan.models[0])
    except Exception:  # noqa: BLE001 - any failure to find the model again
        raise ValueError(f"cannot find model {scan.models[0]!r} to take epsilon and sigma from") from None
    site = model.sites[0] if len(model.sites) == 1 else None
    law = getattr(site, "law", "lj")
    if (site is None or not (site.epsilon > 0.0 and site.sigma > 0.0) or site.charge != 0.0
            or law not in ("lj", "mie") or bool(model.pairs)):
        raise ValueError(
            f"reduced units are for one-site Lennard-Jones or Mie models without charge; {model.name!r} has "
            f"{len(model.sites)} site(s)" + (f" of law {law!r}" if site is not None else "")
            + (" with a charge" if any(s.charge for s in model.sites) else "")
        )
    return site.epsilon, site.sigma


def reduced(scan: Any) -> List[ReducedPoint]:
    """The scan in the reduced units of its one-site Lennard-Jones model (`ReducedPoint`)."""
    eps, sigma = lj_parameters(scan)
    p = 3 * (scan.order - 1)
    f = units.convert_coefficient(scan.order, scan.unit, units.molecular_unit(scan.order)) / sigma**p
    out = []
    for e in scan:
        out.append(ReducedPoint(
            e.t_kelvin / eps, e.value * f, e.value_stderr * f, e.t_dxdt * f, e.t_dxdt_stderr * f,
            e.t2_d2xdt2 * f, e.t2_d2xdt2_stderr * f, f"sigma^{p}", e.t_kelvin,
        ))
    return out
