"""First-order quantum (Wigner–Kirkwood) correction to B2 of rigid molecules, by a product rule.

To first order in ħ² the second virial coefficient of two rigid molecules is
B = B_classical + ΔB with

    ΔB = (ħ² β³ / 48) ∫ d³r < exp(-β U) G >,
    G  = |F|² (1/M_1 + 1/M_2) + Σ_i Σ_α τ_{i,α}² / I_{i,α},

< > the average over both orientations, U the pair energy, F the force between
the molecules, M_i their masses, τ_{i,α} the torque on molecule i about its
centre of mass along its principal axis α and I_{i,α} the principal moment
(a linear molecule has two equal moments and no torque along its axis).  This
is the ħ² term of the Wigner–Kirkwood expansion with the Laplacians integrated
by parts (Hirschfelder, Curtiss & Bird, Molecular Theory of Gases and Liquids,
§6.5, for atoms; R. T. Pack, J. Chem. Phys. 78, 7217 (1983) for linear
molecules; G. K. Schenter, J. Chem. Phys. 117, 6573 (2002) for nonlinear ones;
see docs/quantum.md).  For atoms it is (π ħ² β³ / 6m) ∫ exp(-β u) u'² r² dr.
The exchange (Bose/Fermi) term, of order exp(-const/T) for molecules with a
repulsive core, is not included.

Configurations at or below the energy floor ``u_min`` count as overlaps in B
and contribute nothing here, as do their β-derivatives; the r^-12 core on bare
attracting charges (``core``) enters forces and torques like any site law.

`first_order_b2` returns for each temperature the entries (β^k / k!) d^kΔB/dβ^k,
k = 0..order_max (the convention of the classical entries, so that the two add
entry by entry), with an integration error estimate per entry: the difference
between the last two refinement levels of the rule (`quantum_rule`).  It refines
until the estimate is within ``rtol`` |ΔB| + ``atol`` at every temperature or the
next level would exceed ``max_nodes`` evaluations; then ``converged`` is False
and ``message`` says so.  Energies and forces at each node are computed once for
all temperatures.
"""
from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

from ..models.masses import HBAR_SQUARED
from ..models.mixing import check_mixing
from ..models.model import Model
from . import quantum_rule as rule

DEFAULT_RTOL = 1e-4
"""Default relative tolerance on the correction ΔB (not on B)."""

DEFAULT_MAX_NODES = 60_000_000
"""Default budget: pair-configuration evaluations of the finest level."""

_CHUNK = 120_000  # nodes per kernel call (memory: about 1 kB per node for water)


@dataclass(frozen=True)
class QuantumTerm:
    """The first-order quantum correction ΔB at one temperature, per molecule in Å³.

    Attributes:
        t_kelvin: temperature in K.
        entries: (β^k / k!) d^kΔB/dβ^k for k = 0..order_max (entries[0] = ΔB).
        errors: integration error estimate of each entry (difference of the
            last two refinement levels).
        translational, rotational: the parts of ΔB from forces and from torques.
        converged: every error within the tolerance asked.
        message: empty, or why it did not converge.
        nodes: evaluations of the last level; cpu_seconds: CPU time of the whole
            computation (all temperatures), in s.
    """

    t_kelvin: float
    entries: Tuple[float, ...]
    errors: Tuple[float, ...]
    translational: float
    rotational: float
    converged: bool
    message: str
    nodes: int
    cpu_seconds: float

    @property
    def value(self) -> float:
        """ΔB in Å³."""
        return self.entries[0]

    @property
    def error(self) -> float:
        """Error estimate of ΔB in Å³."""
        return self.errors[0]


def _series_polynomials(order_max: int) -> List[List[float]]:
    """Coefficients c_{k,m} with (β^k/k!) d^k/dβ^k [β³ e^{-βU}] = β³ e^{-βU} Σ_m c_{k,m} (βU)^m."""
    out = []
    for k in range(order_max + 1):
        c = [0.0] * (k + 1)
        for j in range(min(k, 3) + 1):
            falling = math.factorial(3) / math.factorial(3 - j)
            c[k - j] += math.comb(k, j) * falling * (-1.0) ** (k - j) / math.factorial(k)
        out.append(c)
    return out


def _level(level: int) -> Tuple[int, int, int, int]:
    """(n_cos, n_periodic, radial panels, tail nodes) of refinement `level`."""
    g = 1.5**level
    n_cos = int(round(6 * g))  # the polar angles need refining most (water: measured)
    n_per = 2 * int(round(4 * 1.25**level))
    return n_cos, n_per, int(round(8 * g)), int(round(10 * g))


def _length_scale(first: Model, second: Model, laws: Sequence[Tuple[int, int, float, float, float]]) -> float:
    sigma = 0.0
    for _, _, _, c6, c12 in laws:
        if c6 < 0.0 and c12 > 0.0:
            sigma = max(sigma, (c12 / -c6) ** (1.0 / 6.0))
    extent = max(math.dist(s.position, t.position) for m in (first, second) for s in m.sites for t in m.sites)
    return max(sigma, 1.0) + extent


def _check(first: Model, second: Model, temperatures: Sequence[float], order_max: int, rtol: float, atol: float) -> None:
    for m in (first, second):
        if abs(m.net_charge) > 1e-9:
            raise ValueError(f"model {m.name!r} carries a net charge of {m.net_charge:g} e: B2 of ions diverges")
    if not temperatures:
        raise ValueError("no temperatures given")
    for t in temperatures:
        if not (isinstance(t, (int, float)) and math.isfinite(t) and t > 0.0):
            raise ValueError(f"temperature must be a finite number above 0 K, got {t!r}")
    if not (isinstance(order_max, int) and 0 <= order_max <= 20):
        raise ValueError(f"order_max must be an integer from 0 to 20, got {order_max!r}")
    if not (rtol > 0.0 and math.isfinite(rtol)) or not (atol >= 0.0 and math.isfinite(atol)):
        raise ValueError(f"rtol must be above 0 and atol at least 0, got rtol={rtol!r}, atol={atol!r}")


def _integrate_level(
    b1: rule.RigidBody,
    b2: rule.RigidBody,
    laws: Sequence[Tuple[int, int, float, float, float]],
    betas: Any,
    u_min: float,
    order_max: int,
    level: int,
    r_lo: float,
    r_far: float,
) -> Tuple[Any, Any, int, float]:
    """Entries (n_T, order_max + 1), the (translational, rotational) parts (n_T, 2), the
    evaluations and the smallest r (Å) at which some node counted."""
    n_cos, n_per, n_panels, n_tail = _level(level)
    rot1, rot2, w_or = rule.orientation_nodes(b1, b2, n_cos, n_per)
    r, w_r = rule.radial_nodes(r_lo, r_far, n_panels, 8, n_tail)
    first_live = math.inf
    x1 = np.einsum("nij,aj->ani", rot1, b1.body)
    y2 = np.einsum("nij,aj->ani", rot2, b2.body)
    poly = _series_polynomials(order_max)
    inv_mass = 1.0 / b1.mass + 1.0 / b2.mass
    entries = np.zeros((len(betas), order_max + 1))
    parts = np.zeros((len(betas), 2))
    step = max(1, _CHUNK // len(w_or))
    for start in range(0, len(r), step):
        rr, wr = r[start : start + step], w_r[start : start + step]
        u, f2, rot = rule.kernel(rr, x1, y2, rot1, rot2, b1, b2, laws)
        trans = f2 * inv_mass
        keep = u > u_min
        with np.errstate(over="ignore", invalid="ignore"):
            for it, beta in enumerate(betas):
                e = np.where(keep, np.exp(-beta * u), 0.0)
                live = e > 0.0
                rows = np.flatnonzero(live.any(axis=1))
                if rows.size:
                    first_live = min(first_live, float(rr[rows[0]]))
                wt = np.where(live, e * trans, 0.0)
                wrot = np.where(live, e * rot, 0.0)
                y = np.where(live, beta * u, 0.0)
                parts[it, 0] += wr @ (wt @ w_or)
                parts[it, 1] += wr @ (wrot @ w_or)
                total = wt + wrot
                power = np.ones_like(y)
                sums = []
                for m in range(order_max + 1):
                    sums.append(wr @ ((total * power) @ w_or))
                    power = power * y
                for k, c in enumerate(poly):
                    entries[it, k] += sum(ck * sums[m] for m, ck in enumerate(c))
    scale = math.pi * HBAR_SQUARED / 12.0 * betas**3
    return entries * scale[:, None], parts * scale[:, None], len(w_or) * len(r), first_live


def first_order_b2(
    first: Model,
    second: Optional[Model] = None,
    temperatures: Sequence[float] = (300.0,),
    *,
    mixing: str = "lorentz-berthelot",
    u_min: float = -math.inf,
    core: float = 0.0,
    order_max: int = 2,
    rtol: float = DEFAULT_RTOL,
    atol: float = 0.0,
    max_nodes: int = DEFAULT_MAX_NODES,
) -> List[QuantumTerm]:
    """The first-order quantum correction ΔB (Å³ per molecule) of B2 (or of the
    cross coefficient B12 with `second`) at each temperature (K); see the module doc.

    Raises `vicatools.models.masses.MassError` when a site has no mass and
    ValueError on bad arguments."""
    second = first if second is None else second
    check_mixing(mixing)
    temps = [float(t) if isinstance(t, (int, float)) and not isinstance(t, bool) else t for t in temperatures]
    _check(first, second, temps, order_max, rtol, atol)
    if not (u_min < 0.0 or u_min == -math.inf):
        raise ValueError(f"u_min must be below 0 K (or -inf), got {u_min!r}")
    clock = time.process_time()
    b1, b2 = rule.rigid_body(first), rule.rigid_body(second)
    laws = rule.pair_laws(first, second, mixing, core)
    betas = 1.0 / np.array(temps, dtype=float)
    r_far = 2.0 * _length_scale(first, second, laws)
    previous, _, _, first_live = _integrate_level(b1, b2, laws, betas, u_min, order_max, 0, 0.0, r_far)
    r_lo = 0.7 * first_live if first_live < r_far else 0.0
    level, message = 1, ""
    while True:
        entries, parts, nodes, _ = _integrate_level(b1, b2, laws, betas, u_min, order_max, level, r_lo, r_far)
        errors = np.abs(entries - previous)
        ok = bool(np.all(errors[:, 0] <= rtol * np.abs(entries[:, 0]) + atol)) and bool(np.all(np.isfinite(entries)))
        if ok:
            break
        n_cos, n_per, n_panels, n_tail = _level(level + 1)
        o1 = rule.orientation_nodes(b1, b2, n_cos, n_per)[2].size
        if o1 * (n_panels * 8 + n_tail) > max_nodes:
            worst = float(np.max(errors[:, 0] / np.maximum(np.abs(entries[:, 0]), 1e-300)))
            message = (
                f"first-order quantum correction not converged: relative error estimate {worst:.2g} above "
                f"rtol {rtol:g} at the node budget ({max_nodes} evaluations)"
            )
            break
        previous, level = entries, level + 1
    cpu = time.process_time() - clock
    out = []
    for it, t in enumerate(temps):
        err = errors[it]
        conv = bool(err[0] <= rtol * abs(entries[it, 0]) + atol) and bool(np.all(np.isfinite(entries[it])))
        out.append(
            QuantumTerm(
                t_kelvin=float(t),
                entries=tuple(float(x) for x in entries[it]),
                errors=tuple(float(x) for x in err),
                translational=float(parts[it, 0]),
                rotational=float(parts[it, 1]),
                converged=conv,
                message="" if conv else (message or "first-order quantum correction not converged"),
                nodes=nodes,
                cpu_seconds=cpu,
            )
        )
    return out


def correction_terms(
    first: Model,
    second: Model,
    temperatures: Sequence[float],
    *,
    mixing: str,
    u_min: float,
    core: float,
    order_max: int,
    rtol: float = DEFAULT_RTOL,
    atol: float = 0.0,
) -> Tuple[str, List[QuantumTerm]]:
    """(what computed it, one `QuantumTerm` per temperature): the B2 integrator of
    `vicatools.methods.cubature` when it is there and computes the correction (same
    nodes, forces and torques as its B2), else `first_order_b2`."""
    integrate = _integrator_with_correction()
    if integrate is None:
        terms = first_order_b2(first, second, temperatures, mixing=mixing, u_min=u_min, core=core,
                               order_max=order_max, rtol=rtol, atol=atol)
        return "product rule (vicatools.methods.quantum)", terms
    records = integrate(first, second, temperatures=list(temperatures), mixing=mixing, u_min=u_min,
                        core=core if core > 0.0 else None, order_max=order_max, quantum=True)
    out = []
    for rec in records:
        trans, rot = tuple(rec.translational), tuple(rec.rotational)
        entries = tuple(a + b for a, b in zip(trans, rot))
        out.append(QuantumTerm(rec.t_kelvin, entries, tuple(rec.quantum_errors), trans[0], rot[0], rec.converged,
                               rec.message, rec.evaluations, rec.cpu_seconds))
    return "B2 integrator (vicatools.methods.cubature)", out


def _integrator_with_correction() -> Any:
    """`integrate_b2` of the cubature method if it takes ``quantum``, else None."""
    import importlib
    import inspect

    try:
        module = importlib.import_module(f"{__package__}.cubature")
    except ImportError:
        return None
    integrate = getattr(module, "integrate_b2", None)
    if integrate is None or "quantum" not in inspect.signature(integrate).parameters:
        return None
    return integrate


def feynman_hibbs_b2(first: Model, temperatures: Sequence[float], second: Optional[Model] = None,
                     *, nodes: int = 400) -> List[Tuple[float, float, float]]:
    """(classical B2, B2 with the quadratic Feynman–Hibbs potential, error estimate of the
    latter), in Å³ per molecule, at each temperature (K), for one-site Lennard-Jones models:
    u_FH(r) = u + (β ħ² / 24μ) (u'' + 2u'/r) with μ the reduced mass (R. P. Feynman,
    A. R. Hibbs, Quantum Mechanics and Path Integrals, 1965).  Its first-order expansion
    is the Wigner–Kirkwood correction; beyond, it is a check of that term at low T.
    The error estimate compares `nodes` and `nodes` / 2 radial nodes."""
    second = first if second is None else second
    for m in (first, second):
        if len(m.sites) != 1:
            raise ValueError(f"model {m.name!r}: the Feynman-Hibbs potential here is for one-site models")
    (a,), (b,) = first.sites, second.sites
    ma, mb = a.mass, b.mass
    if ma is None or mb is None or not (ma > 0.0 and mb > 0.0):
        raise ValueError("the Feynman-Hibbs potential needs a mass above 0 u on both sites")
    laws = rule.pair_laws(first, second, "lorentz-berthelot", 0.0)
    if not laws or laws[0][2] != 0.0:
        raise ValueError("the Feynman-Hibbs potential here is for neutral Lennard-Jones sites")
    _, _, _, c6, c12 = laws[0]
    mu = ma * mb / (ma + mb)
    sigma = (c12 / -c6) ** (1.0 / 6.0) if c6 < 0.0 else 1.0

    def b2(beta: float, n: int, fh: bool) -> float:
        r, w = rule.radial_nodes(0.0, 3.0 * sigma, n // 8, 8, n // 4)
        inv6 = r**-6
        u = (c6 + c12 * inv6) * inv6
        if fh:
            lap = (30.0 * c6 + 132.0 * c12 * inv6) * inv6 / (r * r)  # u'' + 2u'/r
            u = u + beta * HBAR_SQUARED / (24.0 * mu) * lap
        with np.errstate(over="ignore"):
            return float(-2.0 * math.pi * (w @ np.expm1(-beta * u)))

    out = []
    for t in temperatures:
        beta = 1.0 / float(t)
        fine = b2(beta, nodes, True)
        out.append((b2(beta, nodes, False), fine, abs(fine - b2(beta, nodes // 2, True))))
    return out
