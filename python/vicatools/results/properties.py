"""Thermodynamic properties of the dilute gas from B(T) (and C(T)), with standard errors.

Notation: molar B (m³/mol) and C (m⁶/mol²) with B1 = T dB/dT, B2 = T² d²B/dT²
(likewise C1, C2), R the molar gas constant, P = p / (R T).  The pressure
series of the virial equation, truncated after B ("order 2") or after C
("order 3", when a C scan is given)::

    Z        = 1 + B P + (C - B²) P²
    ln phi   = B P + (C - B²) P² / 2                       (fugacity coefficient phi)
    H_res    = p (B - B1) + (p P) [C - B² - (C1 - 2 B B1) / 2]
    S_res    = -p B1 / T + (p P / T) [(C - B²) / 2 - (C1 - 2 B B1) / 2]
    Cp_res   = -p B2 / T + (p P / T) (T Q' - Q),
               Q = C - B² - (C1 - 2 B B1) / 2,
               T Q' = (C1 - 2 B B1) / 2 - (C2 - 2 B1² - 2 B B2) / 2

(residual: the real gas minus the ideal gas at the same T and p; they follow
from G_res = R T ln phi by H_res = -R T² d(ln phi)/dT at constant p and
S_res = (H_res - G_res) / T, Cp_res = dH_res/dT).  At zero pressure::

    mu_JT    = (B1 - B) / cp0                              (Joule-Thomson coefficient)
    beta_a   = 2 B + 2 (g - 1) B1 + ((g - 1)² / g) B2       (second acoustic virial coefficient)

with cp0 the ideal-gas isobaric heat capacity and g = cp0 / cv0 the ideal-gas
heat-capacity ratio; by default the classical rigid-rotor value of the model's
geometry (`ideal_gamma`): 5/3 for one site, 7/5 for a linear molecule, 4/3
otherwise (no vibrational heat capacity).

Units: T in K, p in Pa; Z and phi dimensionless; H_res in J/mol; S_res and
Cp_res in J/(mol K); mu_JT in K/MPa; beta_a in cm³/mol.

Values come from the scans' curves (`vicatools.results.curve`) at any temperature
inside the scan, or from the runs at a scan temperature.  Standard errors are
first-order propagation from the runs: each run of each temperature of each
scan in turn replaces its temperature's mean, and the variances add (B and C
come from independent runs).  The curve's interpolation error is not included
here; at scan temperatures it is 0.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, List, Optional, Sequence, Tuple

from .curve import Curve, Node
from ..models.model import Model
from .thermo import derived
from ..models.units import MOLAR_GAS

if TYPE_CHECKING:
    from .estimate import VirialScan

_B_SI = 1e-6  # cm^3/mol -> m^3/mol
_C_SI = 1e-12  # cm^6/mol^2 -> m^6/mol^2


@dataclass(frozen=True)
class DerivedProperty:
    """A property derived from B (and C) at one state.

    Attributes:
        name: what it is, e.g. "Z".
        t_kelvin: temperature in K.
        p_pa: pressure in Pa (0 for zero-pressure properties).
        order: 2 when computed from B alone, 3 with C.
        value, stderr: the property and its standard error, in `unit`.
        unit: unit of value and stderr.
    """

    name: str
    t_kelvin: float
    p_pa: float
    order: int
    value: float
    stderr: float
    unit: str


class _Source:
    """(B-like node) of one scan at one temperature, from its runs: the node's runs
    directly at a scan temperature, else the curve."""

    def __init__(self, scan: VirialScan, t: float, factor: float) -> None:
        m = scan.molar()
        self.groups: List[Tuple[Node, ...]]
        hit = [e for e in m.estimates if e.t_kelvin == t]
        if hit:
            e = hit[0]
            runs = tuple(tuple(f * factor for f in derived(r, scan.order)) for r in e.runs)
            self.groups = [runs]  # type: ignore[list-item]
            self._curve: Optional[Curve] = None
        else:
            c = m.interpolant()
            self.groups = [tuple(tuple(f * factor for f in n) for n in runs) for runs in c.node_runs]  # type: ignore[misc]
            self._curve = Curve(c.temperatures, self.groups, "SI")
        self.t = t
        self.means: List[Node] = [
            tuple(math.fsum(r[k] for r in g) / len(g) for k in range(3)) for g in self.groups  # type: ignore[misc]
        ]

    def at(self, nodes: Sequence[Node]) -> Node:
        if self._curve is None:
            return nodes[0]
        return self._curve.evaluate(self.t, nodes)


def _propagate(sources: Sequence[_Source], fn: Callable[[Sequence[Node]], float]) -> Tuple[float, float]:
    """fn of the sources' values at their means, and its first-order standard error."""
    base = [list(s.means) for s in sources]

    def value(nodes: List[List[Node]]) -> float:
        return fn([s.at(n) for s, n in zip(sources, nodes)])

    v0 = value(base)
    var = 0.0
    for i, s in enumerate(sources):
        for j, runs in enumerate(s.groups):
            vals = []
            for r in runs:
                trial = [list(n) for n in base]
                trial[i][j] = r
                vals.append(value(trial))
            m = math.fsum(vals) / len(vals)
            var += math.fsum((v - m) ** 2 for v in vals) / (len(vals) - 1) / len(vals)
    return v0, math.sqrt(var)


def _check_state(b: VirialScan, c: Optional[VirialScan], t: float, p: float) -> None:
    if b.order != 2:
        raise ValueError("the first scan must be of B")
    if c is not None and c.order != 3:
        raise ValueError("the second scan must be of C")
    if not (t > 0.0 and math.isfinite(t)):
        raise ValueError(f"temperature must be a finite number above 0 K, got {t!r}")
    if not (p >= 0.0 and math.isfinite(p)):
        raise ValueError(f"pressure must be a finite number of at least 0 Pa, got {p!r}")


def _sources(b: VirialScan, c: Optional[VirialScan], t: float) -> List[_Source]:
    out = [_Source(b, t, _B_SI)]
    if c is not None:
        out.append(_Source(c, t, _C_SI))
    return out


def _series(name: str, b: VirialScan, c: Optional[VirialScan], t: float, p: float, unit: str,
            first: Callable[[Node, float, float], float],
            second: Callable[[Node, Node, float, float], float]) -> DerivedProperty:
    t, p = float(t), float(p)
    _check_state(b, c, t, p)
    src = _sources(b, c, t)

    def fn(v: Sequence[Node]) -> float:
        out = first(v[0], t, p)
        if len(v) > 1:
            out += second(v[0], v[1], t, p)
        return out

    value, err = _propagate(src, fn)
    return DerivedProperty(name, t, p, 3 if c is not None else 2, value, err, unit)


def compressibility_factor(b: VirialScan, t_kelvin: float, p_pa: float, c: Optional[VirialScan] = None
                           ) -> DerivedProperty:
    """Z = p V / (R T) at `t_kelvin` (K) and `p_pa` (Pa): 1 + B P (+ (C - B²) P² with C)."""
    def first(bn: Node, t: float, p: float) -> float:
        return 1.0 + bn[0] * p / (MOLAR_GAS * t)

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        return (cn[0] - bn[0] ** 2) * (p / (MOLAR_GAS * t)) ** 2

    return _series("Z", b, c, t_kelvin, p_pa, "1", first, second)


def fugacity_coefficient(b: VirialScan, t_kelvin: float, p_pa: float, c: Optional[VirialScan] = None
                         ) -> DerivedProperty:
    """phi = f / p: exp(B P (+ (C - B²) P² / 2 with C))."""
    def first(bn: Node, t: float, p: float) -> float:
        return bn[0] * p / (MOLAR_GAS * t)

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        return 0.5 * (cn[0] - bn[0] ** 2) * (p / (MOLAR_GAS * t)) ** 2

    ln = _series("ln phi", b, c, t_kelvin, p_pa, "1", first, second)
    phi = math.exp(ln.value)
    return DerivedProperty("phi", ln.t_kelvin, ln.p_pa, ln.order, phi, phi * ln.stderr, "1")


def _q(bn: Node, cn: Node) -> float:
    return cn[0] - bn[0] ** 2 - 0.5 * (cn[1] - 2.0 * bn[0] * bn[1])


def residual_enthalpy(b: VirialScan, t_kelvin: float, p_pa: float, c: Optional[VirialScan] = None
                      ) -> DerivedProperty:
    """H_res in J/mol (see the module doc)."""
    def first(bn: Node, t: float, p: float) -> float:
        return p * (bn[0] - bn[1])

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        return p * p / (MOLAR_GAS * t) * _q(bn, cn)

    return _series("H_res", b, c, t_kelvin, p_pa, "J/mol", first, second)


def residual_entropy(b: VirialScan, t_kelvin: float, p_pa: float, c: Optional[VirialScan] = None
                     ) -> DerivedProperty:
    """S_res in J/(mol K) (see the module doc)."""
    def first(bn: Node, t: float, p: float) -> float:
        return -p * bn[1] / t

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        return p * p / (MOLAR_GAS * t * t) * (0.5 * (cn[0] - bn[0] ** 2) - 0.5 * (cn[1] - 2.0 * bn[0] * bn[1]))

    return _series("S_res", b, c, t_kelvin, p_pa, "J/(mol K)", first, second)


def residual_isobaric_heat_capacity(b: VirialScan, t_kelvin: float, p_pa: float, c: Optional[VirialScan] = None
                                    ) -> DerivedProperty:
    """Cp_res in J/(mol K) (see the module doc)."""
    def first(bn: Node, t: float, p: float) -> float:
        return -p * bn[2] / t

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        tq = 0.5 * (cn[1] - 2.0 * bn[0] * bn[1]) - 0.5 * (cn[2] - 2.0 * bn[1] ** 2 - 2.0 * bn[0] * bn[2])
        return p * p / (MOLAR_GAS * t * t) * (tq - _q(bn, cn))

    return _series("Cp_res", b, c, t_kelvin, p_pa, "J/(mol K)", first, second)


def joule_thomson_coefficient(b: VirialScan, t_kelvin: float, cp0: float) -> DerivedProperty:
    """Zero-pressure Joule-Thomson coefficient (T dB/dT - B) / cp0 in K/MPa, with `cp0`
    the ideal-gas isobaric molar heat capacity in J/(mol K)."""
    if not (cp0 > 0.0 and math.isfinite(cp0)):
        raise ValueError(f"cp0 must be a heat capacity above 0 J/(mol K), got {cp0!r}")

    def first(bn: Node, t: float, p: float) -> float:
        return (bn[1] - bn[0]) / cp0 * 1e6

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        return 0.0

    return _series("mu_JT", b, None, t_kelvin, 0.0, "K/MPa", first, second)


def ideal_gamma(model: Model) -> float:
    """Classical rigid-rotor cp0/cv0 of `model`: 5/3 when its sites are all at one point,
    7/5 when they lie on a line, 4/3 otherwise."""
    pts = [tuple(p) for p in model.positions]
    origin = pts[0]
    vecs = [tuple(a - o for a, o in zip(p, origin)) for p in pts[1:]]
    vecs = [v for v in vecs if math.sqrt(sum(x * x for x in v)) > 1e-9]
    if not vecs:
        return 5.0 / 3.0
    u = vecs[0]
    nu = math.sqrt(sum(x * x for x in u))
    for v in vecs[1:]:
        cross = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
        if math.sqrt(sum(x * x for x in cross)) > 1e-9 * nu * math.sqrt(sum(x * x for x in v)):
            return 4.0 / 3.0
    return 7.0 / 5.0


def acoustic_virial(b: VirialScan, t_kelvin: float, gamma0: Optional[float] = None) -> DerivedProperty:
    """Second acoustic virial coefficient beta_a in cm³/mol (see the module doc); `gamma0`
    defaults to `ideal_gamma` of the scan's (single, library or named) model."""
    if gamma0 is None:
        if len(b.models) != 1:
            raise ValueError("give gamma0 for a mixture")
        from ..models.library import resolve_model

        try:
            gamma0 = ideal_gamma(resolve_model(b.models[0]))
        except ValueError:
            raise ValueError(f"cannot find model {b.models[0]!r} to take gamma0 from: give gamma0") from None
    g = float(gamma0)
    if not (g > 1.0 and math.isfinite(g)):
        raise ValueError(f"gamma0 must be a heat-capacity ratio above 1, got {gamma0!r}")

    def first(bn: Node, t: float, p: float) -> float:
        return (2.0 * bn[0] + 2.0 * (g - 1.0) * bn[1] + (g - 1.0) ** 2 / g * bn[2]) / _B_SI

    def second(bn: Node, cn: Node, t: float, p: float) -> float:
        return 0.0

    return _series("beta_a", b, None, t_kelvin, 0.0, "cm^3/mol", first, second)
