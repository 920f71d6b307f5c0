"""C (B3) of one-site molecules by quadrature (`vicatools._engine.b3_quadrature`).

For spherical molecules (noble gases, united-atom methane, Mie beads) C is a
three-dimensional integral over the distances r12, r13 and r23:

    C = -(8 pi^2 / 3) int dr r f12(r) int ds s f13(s) int_{|r-s|}^{r+s} dt t f23(t),

which deterministic rules settle to any precision in a fraction of a CPU second
(docs/b3_quadrature.md).  One pass serves every temperature: each node's site
energy is computed once, then the Mayer function and its beta-derivatives at every
temperature.  The entries are those of `vica.Cms`: entry k = (beta^k / (k! 2^(k/2)))
d^k C / d beta^k, per molecule in Å⁶.  Every entry carries an error estimate (the
rules' estimates plus a bound on what lies beyond the cutoff) and each temperature
a ``converged`` flag: False when the evaluation budget ran out before every entry met
max(atol, rtol |C_k|).

`integrate_b3` is the plain function; `B3Cubature` puts it behind the `Method`
interface (``vt.b3(..., method="cubature")``; "auto" takes it for one-site models).
"""
from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass
from typing import Callable, ClassVar, FrozenSet, List, Optional, Sequence, Tuple, Union

from ..models.library import resolve_model
from ..models.mixing import check_mixing, law_entries
from ..models.model import LAWS, Model
from .base import Method, RunResult, RunTask, ScanSettings

DEFAULT_RTOL = 1e-8
"""Relative precision asked by default: about 0.1 CPU s for argon with two derivatives."""

DEFAULT_MAX_EVALUATIONS = 200_000_000
"""Site energies and look-ups of the tabulated r23 integral one call may make (some
seconds of CPU): the budget beyond which the integration stops and says it did not
converge."""


@dataclass(frozen=True)
class B3Integral:
    """C at one temperature by quadrature.

    Attributes:
        t_kelvin: temperature in K.
        entries: entry k = (beta^k / (k! 2^(k/2))) d^k C / d beta^k, k = 0..order_max,
            per molecule in Å⁶ (the convention of `vica.Cms`).
        errors: error estimate of each entry (Å⁶), the cutoff's bound included.
        converged: every entry met max(atol, rtol |entry|) (a floor of 1e-4 rtol times
            the integrand's magnitude applies to an entry that cancels to nearly 0).
        evaluations: site energies and look-ups of the tabulated r23 integral made by the
            whole pass (all temperatures).
        cpu_seconds: this temperature's share of the pass's CPU time, in s.
        cutoff: distance in Å beyond which r12 and r13 were not integrated.
        tail_bounds: the part of `errors` from beyond the cutoff.
        u_min: the energy floor used, in K (-inf: none).
    """

    t_kelvin: float
    entries: Tuple[float, ...]
    errors: Tuple[float, ...]
    converged: bool
    evaluations: int
    cpu_seconds: float
    cutoff: float
    tail_bounds: Tuple[float, ...]
    u_min: float = -math.inf


def one_site_refusal(models: Sequence[Model]) -> Optional[str]:
    """Why C of `models` cannot be integrated here (one line), or None."""
    if len(models) != 3:
        return f"C by quadrature needs three models (one repeated for a pure gas), got {len(models)}"
    for m in models:
        if len(m.sites) != 1:
            return (f"C by quadrature needs one-site models; {m.name!r} has {len(m.sites)} sites "
                    "(use method 'mayer' or 'walk')")
    for m in models:
        if m.sites[0].charge != 0.0:
            return (f"C by quadrature: {m.name!r} carries a charge; the 1/r law of charged one-site "
                    "molecules gives no finite C")
    return None


Table = Tuple[List[float], List[float]]


def site_laws(models: Sequence[Model], mixing: str = "lorentz-berthelot") -> Tuple[List[List[float]], List[Table]]:
    """The flat site-law entries (`vicatools.models.laws`) of the pairs (1, 2), (1, 3),
    (2, 3), in K and Å, and the tables they name (indices into that one list)."""
    check_mixing(mixing)
    entries: List[List[float]] = []
    tables: List[Table] = []
    for i, j in ((0, 1), (0, 2), (1, 2)):
        rows, own = law_entries(models[i], models[j], mixing)
        entry = list(rows[0][0])
        if int(entry[0]) == 6:
            table = own[int(entry[1])]
            if table not in tables:
                tables.append(table)
            entry = [6.0, float(tables.index(table))]
        entries.append(entry)
    return entries, tables


def floor_for(u_min: Optional[float] = None) -> float:
    """The energy floor in K: `u_min` when given, else none (-inf).  An exp-6 law that
    collapses inside its barrier needs none: it is infinite there (the form of Errington
    and Panagiotopoulos), as the engine takes it."""
    if u_min is None:
        return -math.inf
    if math.isnan(u_min) or u_min == math.inf:
        raise ValueError(f"u_min must be a number or -inf, got {u_min!r}")
    return float(u_min)


def _temperatures(temperatures: Sequence[float]) -> List[float]:
    ts = [float(t) for t in temperatures]
    if not ts:
        raise ValueError("give at least one temperature")
    for t in ts:
        if not (t > 0.0 and math.isfinite(t)):
            raise ValueError(f"temperature must be a finite number above 0 K, got {t!r}")
    return ts


def integrate_b3(
    models: Sequence[Union[Model, str, "os.PathLike[str]"]],
    mixing: str = "lorentz-berthelot",
    temperatures: Sequence[float] = (300.0,),
    order_max: int = 2,
    rtol: float = DEFAULT_RTOL,
    atol: float = 0.0,
    max_evaluations: int = DEFAULT_MAX_EVALUATIONS,
    u_min: Optional[float] = None,
) -> List[B3Integral]:
    """C (C123 for three species) of one-site `models` at each of `temperatures` (K),
    from one pass of the quadrature; one `B3Integral` per temperature, in the order given.

    `models`: three one-site models, library names or model files (repeat one for a pure
    gas; molecule 1 is the one at the origin, as for `vica.Cms`), of any site law
    (Lennard-Jones, Mie, exp-6, tables).  `u_min`: an energy floor in K (None: none; an
    exp-6 law is infinite inside its barrier, so it needs none).
    ValueError names the reason for models with more than one site, charged sites, bad
    temperatures or tolerances.
    """
    if isinstance(models, (str, Model)):
        raise ValueError("give three models (repeat one for a pure gas), not one")
    resolved = [resolve_model(m) for m in models]
    reason = one_site_refusal(resolved)
    if reason is not None:
        raise ValueError(reason)
    ts = _temperatures(temperatures)
    if isinstance(order_max, bool) or not isinstance(order_max, int) or not 0 <= order_max <= 169:
        raise ValueError(f"order_max must be an integer from 0 to 169, got {order_max!r}")
    if not (isinstance(rtol, (int, float)) and 1e-14 <= rtol < 1.0):
        raise ValueError(f"rtol must be a number from 1e-14 to below 1, got {rtol!r}")
    if not (isinstance(atol, (int, float)) and atol >= 0.0 and math.isfinite(atol)):
        raise ValueError(f"atol must be a finite number of at least 0 (angstrom^6), got {atol!r}")
    if isinstance(max_evaluations, bool) or not isinstance(max_evaluations, int) or max_evaluations < 1:
        raise ValueError(f"max_evaluations must be a positive integer, got {max_evaluations!r}")
    from .. import _engine

    laws, tables = site_laws(resolved, mixing)
    floor = floor_for(u_min)
    start = time.thread_time()
    out = _engine.b3_quadrature(laws, [[list(r), list(u)] for r, u in tables], ts, floor, order_max, float(rtol),
                                float(atol), max_evaluations)
    cpu = time.thread_time() - start
    share = cpu / len(ts)
    return [
        B3Integral(
            t_kelvin=t,
            entries=tuple(out["entries"][j]),
            errors=tuple(out["errors"][j]),
            converged=bool(out["converged"][j]),
            evaluations=int(out["evaluations"]),
            cpu_seconds=share,
            cutoff=float(out["cutoff"]),
            tail_bounds=tuple(out["tail_bounds"][j]),
            u_min=floor,
        )
        for j, t in enumerate(ts)
    ]


class B3Cubature(Method):
    """C of one-site models by quadrature: one run serves every temperature of a scan."""

    name: ClassVar[str] = "cubature"
    engine: ClassVar[str] = "b3-quadrature"
    error: ClassVar[str] = "integration"
    orders: ClassVar[Tuple[int, int]] = (3, 3)
    laws: ClassVar[FrozenSet[str]] = frozenset(LAWS)

    def refusal(self, order: int, models: Sequence[Model]) -> Optional[str]:
        reason = super().refusal(order, models)
        return reason if reason is not None else one_site_refusal(models)

    def tasks(self, settings: ScanSettings, missing: Sequence[Tuple[int, float, int]],
              log_path: Callable[[int, float, int], Optional[str]], nonce: str) -> List[Tuple[Tuple[int, ...], RunTask]]:
        # one run serves every temperature still missing
        if not missing:
            return []
        points = tuple(i for i, _, _ in missing)
        ts = tuple(t for _, t, _ in missing)
        return [(points, settings.task(ts[0], None, f"{nonce}-b3q", ts))]

    def run(self, task: RunTask) -> Tuple[RunResult, ...]:
        # the integration's relative precision: what the scan asks, and at least the default
        rtol = min(float(task.dev_tol), DEFAULT_RTOL)
        found = integrate_b3(task.models, task.mixing, task.all_temperatures, task.order_max, rtol,
                             u_min=task.u_min if task.u_min > -math.inf else None)
        return tuple(
            RunResult(
                r.entries,
                r.cpu_seconds,
                r.errors,
                r.converged,
                "" if r.converged else
                f"quadrature stopped at its budget ({r.evaluations} evaluations) before meeting rtol {rtol:g}",
                r.t_kelvin,
            )
            for r in found
        )
