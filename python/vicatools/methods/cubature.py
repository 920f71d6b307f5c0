"""B2 by deterministic integration (`vicatools._engine.b2_cubature`).

For two rigid site models the second virial coefficient is a six-dimensional
integral that integration rules converge on geometrically, where Mayer
sampling converges as one over the square root of the work.  The engine
integrates r by adaptive Gauss-Kronrod panels (mapped to infinity beyond a
split radius: no cutoff) and the orientations by product rules (Gauss in cos
theta, trapezoid in the periodic angles, the molecules' symmetry used),
refining until the estimated error meets ``max(atol, rtol |B|)`` for every
temperature and derivative entry.  Every temperature comes from the same pair
energies, so a scan of 100 temperatures costs little more than one.

The floor ``u_min`` and the core follow the rules of `vicatools.b2`
(`vicatools.models.floors.choose_u_min`, `vicatools.models.cores`), so the
integral is the one Mayer sampling estimates.

Two ways in: `integrate_b2`, a plain function, and `Cubature`, the method
"cubature" of the registry (`vicatools.methods`), which the scan layer runs.  The errors are integration error estimates, not
statistical standard errors.

With site masses (u) the first-order Wigner-Kirkwood quantum correction comes
from the same nodes (docs/quantum.md).
"""
from __future__ import annotations

import math
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, ClassVar, Iterable, List, Optional, Sequence, Tuple, Union

from ..models.cores import CoreLike, checked_core
from ..models.floors import UMinChoice, choose_u_min
from ..models.library import resolve_model
from ..models.mixing import check_mixing, pair_table
from ..models.model import Model
from .base import Method, RunResult, RunTask, ScanSettings
from .walk import engine_table

DEFAULT_RTOL = 1e-6
"""Default relative tolerance of every entry."""

DEFAULT_MAX_EVALUATIONS = 2_000_000_000
"""Default budget in pair energies (about a minute of one core for water)."""


GRID_NODES = 33
"""Temperatures of the curve grid of one pass (uniform in ln T, both ends included)."""


def grid_temperatures(temperatures: Sequence[float], nodes: int = GRID_NODES) -> List[float]:
    """The extra temperatures a pass over `temperatures` integrates for the scan's curve
    (`vicatools.results.integral_curve`): `nodes` temperatures uniform in ln T from the lowest to
    the highest (uniform in 1/T would leave the hot end coarse, where B(1/T) bends as T^-1/4 or
    so), less those within a quarter of the spacing of a temperature of the pass; none for a
    single temperature."""
    lo, hi = min(temperatures), max(temperatures)
    if not hi > lo:
        return []
    y0, y1 = math.log(lo), math.log(hi)
    h = (y1 - y0) / (nodes - 1)
    ys = [math.log(t) for t in temperatures]
    out = []
    for i in range(nodes):
        y = y0 + h * i
        if all(abs(y - z) > 0.25 * h for z in ys):
            out.append(math.exp(y))
    return out


class CubatureWarning(RuntimeWarning):
    """An integration that stopped before meeting its tolerance."""


@dataclass(frozen=True)
class CubatureRecord:
    """B2 at one temperature by integration.

    Attributes:
        t_kelvin: temperature in K.
        entries: (beta^k / k!) d^k B / d beta^k for k = 0..order_max, per molecule in Å³
            (the convention of `vica.Bms`; `vicatools.results.thermo.derived(entries, 2)` gives T dB/dT ...).
        errors: integration error estimate of each entry, Å³ (not a statistical error).
        converged: every entry met max(atol, rtol |entry|).
        message: why not, when not converged; else "".
        evaluations: pair energies of the whole pass (shared by all its temperatures).
        cpu_seconds: CPU time of the whole pass.
        u_min: the floor used (K); core: the core distance used (Å, 0: none).
        geometry: the molecules as the integrator saw them (symmetries used).
        translational, rotational: first-order quantum correction entries (Å³, same convention),
            empty without masses; quantum_errors: error estimate of their sum.
    """

    t_kelvin: float
    entries: Tuple[float, ...]
    errors: Tuple[float, ...]
    converged: bool
    message: str
    evaluations: int
    cpu_seconds: float
    u_min: float
    core: float
    geometry: str
    translational: Tuple[float, ...] = field(default=())
    rotational: Tuple[float, ...] = field(default=())
    quantum_errors: Tuple[float, ...] = field(default=())

    @property
    def value(self) -> float:
        """Classical B2 in Å³ per molecule."""
        return self.entries[0]

    @property
    def error(self) -> float:
        """Integration error estimate of `value`, Å³."""
        return self.errors[0]

    @property
    def quantum_correction(self) -> float:
        """First-order quantum correction to B2 in Å³ (NaN without masses)."""
        if not self.translational:
            return math.nan
        return self.translational[0] + self.rotational[0]


def _temperatures(temperatures: Union[float, Iterable[float]]) -> List[float]:
    ts = [float(temperatures)] if isinstance(temperatures, (int, float)) else [float(t) for t in temperatures]
    if not ts:
        raise ValueError("give at least one temperature")
    for t in ts:
        if not (t > 0.0 and math.isfinite(t)):
            raise ValueError(f"temperatures must be finite and above 0 K, got {t!r}")
    return ts


def _check_number(name: str, value: float, low: float = 0.0) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not (value >= low and math.isfinite(value)):
        raise ValueError(f"{name} must be a finite number of at least {low:g}, got {value!r}")
    return float(value)


def _masses(model: Model, given: Optional[Sequence[float]]) -> List[float]:
    if given is None:
        masses = getattr(model, "masses", None)
        if masses is None:
            raise ValueError(f"model {model.name!r} carries no site masses; give them (u, one per site)")
        given = masses
    out = [float(m) for m in given]
    if len(out) != len(model.sites):
        raise ValueError(f"model {model.name!r} has {len(model.sites)} sites but {len(out)} masses were given")
    return out


def _integrate(a: Model, b: Model, mixing: str, core: float, ts: Sequence[float], u_min: float, order_max: int,
               rtol: float, atol: float, max_evaluations: int, m1: Sequence[float], m2: Sequence[float]) -> Tuple[Any, float]:
    """One pass of the engine over every temperature: its result dict and the CPU seconds."""
    from .. import _engine

    laws = engine_table(pair_table(a, b, mixing, 1.0, core))
    start = time.thread_time()
    out = _engine.b2_cubature(a.positions, b.positions, laws, [], list(ts), u_min, order_max, rtol, atol,
                              max_evaluations, list(m1), list(m2))
    return out, time.thread_time() - start


def integrate_b2(
    first: Any,
    second: Any = None,
    *,
    temperatures: Union[float, Iterable[float]],
    mixing: str = "lorentz-berthelot",
    u_min: Optional[Union[float, UMinChoice]] = None,
    core: CoreLike = "default",
    order_max: int = 2,
    rtol: float = DEFAULT_RTOL,
    atol: float = 0.0,
    max_evaluations: int = DEFAULT_MAX_EVALUATIONS,
    masses: Optional[Tuple[Sequence[float], Sequence[float]]] = None,
    quantum: bool = False,
) -> List[CubatureRecord]:
    """B2 of `first` (or B12 of `first` and `second`) at each temperature (K) by integration.

    Models are `Model` objects, library names or model-file paths.  `u_min` and `core`
    mean what they mean for `vicatools.b2` (a floor in K, default by
    `vicatools.models.floors.choose_u_min`; the core only without a floor).  `rtol` and `atol`
    (Å³) set the error asked of every entry: max(atol, rtol |entry|).  The pass stops
    at `max_evaluations` pair energies with ``converged=False`` (and a
    `CubatureWarning`).  With `quantum` (or `masses`, a pair of per-site mass lists
    in u) the first-order quantum correction is computed too.

    Returns one `CubatureRecord` per temperature, in the order given.
    """
    ts = _temperatures(temperatures)
    check_mixing(mixing)
    if isinstance(order_max, bool) or not isinstance(order_max, int) or not 0 <= order_max <= 30:
        raise ValueError(f"order_max must be an integer from 0 to 30, got {order_max!r}")
    rtol = _check_number("rtol", rtol)
    atol = _check_number("atol", atol)
    if rtol == 0.0 and atol == 0.0:
        raise ValueError("rtol and atol cannot both be 0")
    if isinstance(max_evaluations, bool) or not isinstance(max_evaluations, int) or max_evaluations < 1:
        raise ValueError(f"max_evaluations must be a positive integer, got {max_evaluations!r}")
    a = resolve_model(first)
    b = a if second is None else resolve_model(second)
    choice = u_min if isinstance(u_min, UMinChoice) else choose_u_min([a, b], mixing, u_min)
    core_distance = 0.0
    if choice.value == -math.inf:
        core_distance = checked_core([a, b], mixing, core, "B without an energy floor (u_min = -inf)").distance
    m1: List[float] = []
    m2: List[float] = []
    if masses is not None or quantum:
        given = masses if masses is not None else (None, None)
        if len(given) != 2:
            raise ValueError("masses must be a pair: (masses of the first model, masses of the second)")
        m1, m2 = _masses(a, given[0]), _masses(b, given[1])
    out, cpu = _integrate(a, b, mixing, core_distance, ts, choice.value, order_max, rtol, atol, max_evaluations, m1, m2)
    if not out["converged"]:
        warnings.warn(f"B2 by integration of {a.name}/{b.name}: {out['message']}", CubatureWarning, stacklevel=2)
    records = []
    for t, rec in zip(ts, out["temperatures"]):
        records.append(
            CubatureRecord(
                t_kelvin=t,
                entries=tuple(rec["entries"]),
                errors=tuple(rec["errors"]),
                converged=bool(rec["converged"]),
                message="" if rec["converged"] else out["message"] or "not converged at this temperature",
                evaluations=int(out["evaluations"]),
                cpu_seconds=cpu,
                u_min=choice.value,
                core=core_distance,
                geometry=out["geometry"],
                translational=tuple(rec.get("translational", ())),
                rotational=tuple(rec.get("rotational", ())),
                quantum_errors=tuple(rec.get("quantum_errors", ())),
            )
        )
    return records


def _net_charge_refusal(models: Sequence[Model]) -> Optional[str]:
    for m in models:
        if abs(m.net_charge) > 1e-9:
            return f"model {m.name!r} carries a net charge of {m.net_charge:g} e: B2 of ions is not integrated"
    return None


class Cubature(Method):
    """B2 by integration: one run per scan serves every temperature (its error is an
    integration error estimate).  The relative precision asked is the settings'
    ``dev_tol`` or `DEFAULT_RTOL`, whichever is smaller (so the sampling default of 1e-3
    still gives six digits); a run that cannot meet it says so (``converged=False`` and a note)."""

    name: ClassVar[str] = "cubature"
    engine: ClassVar[str] = "cubature"
    # Bump the revision whenever the numbers of the integration change; the fingerprint is that of
    # the runs of tests/test_tools_revisions.py at this revision.
    revision: ClassVar[int] = 2
    fingerprint: ClassVar[str] = "cb0522d0a15011eb"
    error: ClassVar[str] = "integration"
    orders: ClassVar[Tuple[int, int]] = (2, 2)
    # one pass serves any number of temperatures, and one temperature is no worse
    # served by it: "auto" should take it for a single temperature too
    serves_many: ClassVar[bool] = False

    def refusal(self, order: int, models: Sequence[Model]) -> Optional[str]:
        return super().refusal(order, models) or _net_charge_refusal(models)

    def tasks(self, settings: ScanSettings, missing: Sequence[Tuple[int, float, int]],
              log_path: Callable[[int, float, int], Optional[str]], nonce: str) -> List[Tuple[Tuple[int, ...], RunTask]]:
        """One task for every temperature still missing."""
        todo = [(i, t) for i, t, count in missing if count > 0]
        if not todo:
            return []
        i0, t0 = todo[0]
        task = settings.task(t0, log_path(i0, t0, 0), f"{nonce}-all", tuple(t for _, t in todo))
        return [(tuple(i for i, _ in todo), task)]

    def run(self, task: RunTask) -> Tuple[RunResult, ...]:
        a, b = task.models[0], task.models[1]
        ts = task.all_temperatures
        rtol = min(float(task.dev_tol), DEFAULT_RTOL)
        grid = grid_temperatures(ts) if task.order_max >= 2 else []
        out, cpu = _integrate(a, b, task.mixing, task.core, list(ts) + grid, task.u_min, task.order_max, rtol, 0.0,
                              DEFAULT_MAX_EVALUATIONS, (), ())
        share = cpu / len(ts)
        rows = tuple((t, tuple(rec["entries"]), tuple(rec["errors"]))
                     for t, rec in zip(grid, out["temperatures"][len(ts):]))
        results: List[RunResult] = []
        for t, rec in zip(ts, out["temperatures"]):
            note = ""  # said only when the integration falls short
            if not rec["converged"]:
                note = (f"{out['message'] or 'not converged at this temperature'}; integration ({out['geometry']}): "
                        f"{out['evaluations']} pair energies for {len(ts)} temperature(s)")
            results.append(RunResult(tuple(rec["entries"]), share, tuple(rec["errors"]), bool(rec["converged"]), note,
                                     t, curve=rows if not results else ()))
        return tuple(results)
