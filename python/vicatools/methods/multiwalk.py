"""One walk for many temperatures (`vicatools._engine.bn_multi_run`): B_n of n rigid
molecules, n = 2..8, at every temperature of a scan from the same samples (docs/multiwalk.md).

The walk's density covers all its temperatures at once,
pi = sum_k w_k |F(T_k)| + w_ref |F_ref|, with the weights tuned so that every
temperature holds an equal share; every step computes the site-site energies once and
the graph sums at every temperature from them.  A run returns one list of entries per
temperature, in the convention of the single-temperature walk ("walk").

Rules decided by measurement (benchmarks/scan_walk.py, docs/multiwalk.md):

- split (`split_temperatures`): one walk serves temperatures within a factor
  `MAX_SPAN` of its lowest one; a wider scan is cut into several walks, from the lowest
  temperature up.
- auto (`multi_walk_pays`): the multi-temperature walk is used for B3 and B4 when some
  walk of the split serves `MIN_TEMPERATURES` or more temperatures.  For three and four
  molecules the graph sum has a closed form that costs little per temperature beside the
  energies; from five molecules on the recursion over subsets at every temperature costs
  as much as one walk per temperature (measured: ten temperatures of argon B5 cost 8.3
  times one, before any loss of precision), and B2 has its quadrature.

Runs stay independent, so the standard error over runs at each temperature is honest.
The estimates at the temperatures of one walk share their samples and are correlated
(`temperature_correlation`): a fit of B(T) across them should use the covariance of the
runs, or at least not treat the points as independent.  Each run's results carry one
id (``RunResult.run_id``), kept in the results store and on the estimates, from which
``VirialScan.correlation()`` finds the runs that served several temperatures.

Zero crossings: as for the single-temperature walk (`vicatools.methods.walk`), a
temperature whose X is under `ABSOLUTE_BELOW` |T dX/dT| at a check of the stop rule is
held to the absolute tolerance ``dev_tol`` x |T dX/dT|; the run stops when every
temperature meets its rule, and the result at each temperature the absolute rule held
says so in its note.
"""
from __future__ import annotations

import math
import os
from typing import Any, Callable, ClassVar, FrozenSet, List, Optional, Sequence, Tuple

from ..models.model import LAWS, Model
from .base import Method, RunResult, RunTask, ScanSettings
from .mayer import ABSOLUTE_BELOW, LOOSE
from .walk import REFERENCE_WEIGHT, entries_in_angstrom, reference_padding, stop_note, walk_inputs

MAX_SPAN = 2.0
"""Widest ratio T_max / T_min that one walk serves (measured: docs/multiwalk.md)."""

MIN_TEMPERATURES = 2
"""Fewest temperatures of one walk for which "auto" takes the multi-temperature walk."""

AUTO_ORDERS = (3, 4)
"""The orders for which "auto" takes the multi-temperature walk."""

MAX_TEMPERATURES = 256
"""Most temperatures one walk takes (the engine's limit)."""


def split_temperatures(temperatures: Sequence[float], span: float = MAX_SPAN) -> List[Tuple[int, ...]]:
    """The walks of a scan: groups of indices into `temperatures`, each group's temperatures
    within a factor `span` of its lowest, filled from the lowest temperature up (at most
    `MAX_TEMPERATURES` per walk).  Every index is in exactly one group; equal temperatures
    share a group."""
    if not span >= 1.0:
        raise ValueError(f"span must be at least 1, got {span!r}")
    order = sorted(range(len(temperatures)), key=lambda i: float(temperatures[i]))
    groups: List[Tuple[int, ...]] = []
    current: List[int] = []
    low = 0.0
    for i in order:
        t = float(temperatures[i])
        if not (t > 0.0 and math.isfinite(t)):
            raise ValueError(f"temperatures must be finite and above 0 K, got {t!r}")
        if current and (t > low * span or len(current) == MAX_TEMPERATURES):
            groups.append(tuple(current))
            current = []
        if not current:
            low = t
        current.append(i)
    if current:
        groups.append(tuple(current))
    return groups


def multi_walk_pays(order: int, temperatures: Sequence[float], span: float = MAX_SPAN) -> bool:
    """The "auto" rule: True when a scan of `temperatures` (K) for B_`order` is cheaper by
    multi-temperature walks (split by `span`) than by one walk per temperature, for an
    error at every temperature at most that of the separate walks.  Measured
    (docs/multiwalk.md): for B3 and B4 a walk of two temperatures already costs less than
    two walks; for other orders the single-temperature methods are kept."""
    if order not in AUTO_ORDERS:
        return False
    groups = split_temperatures(temperatures, span)
    return any(len(g) >= MIN_TEMPERATURES for g in groups)


def run_multi_walk(task: Any, temperatures: Sequence[float]) -> List[List[float]]:
    """One multi-temperature run of the B_n engine for the settings of `task` (a `RunTask`
    of the walk: models, mixing, u_min, dev_tol, order_max, length_unit, core, block_steps,
    max_blocks; its own temperature is not read) at each of `temperatures` (K).

    Returns one list of entries per temperature, in the order given, per molecule in
    Å^(3(n-1)): (beta^k / k!) d^k B_n / d beta^k, with Cms's convention for n = 3 (entry k
    carries 1 / 2^(k/2)), exactly as the single-temperature walk gives them.  The run
    stops when the stop rule holds at every temperature."""
    from .. import _engine

    out = _engine.bn_multi_run(*_engine_arguments(task, temperatures))
    return [entries_in_angstrom(row, float(task.length_unit), len(task.models)) for row in out]


def _engine_arguments(task: Any, temperatures: Sequence[float]
                      ) -> Tuple[Any, Any, Any, List[float], float, float, int, int, int, float, float, float]:
    """The engine's arguments for `task` at `temperatures`, absolute_below aside."""
    ts = [float(t) for t in temperatures]
    if not ts:
        raise ValueError("give at least one temperature")
    m: Sequence[Model] = task.models
    molecules, tables, curves = walk_inputs(task)
    return (molecules, tables, curves, ts, task.u_min, task.dev_tol, task.order_max, task.block_steps,
            task.max_blocks, REFERENCE_WEIGHT, 0.0, reference_padding(m) / float(task.length_unit))


def run_multi_walk_stop(task: Any, temperatures: Sequence[float]) -> Tuple[List[List[float]], List[str]]:
    """`run_multi_walk` with the absolute rule near zero crossings (`ABSOLUTE_BELOW`): the
    entries at each temperature and what its result says of how the run stopped ("" for
    a temperature the relative rule held)."""
    from .. import _engine

    done = _engine.bn_multi_run_stop(*_engine_arguments(task, temperatures), absolute_below=ABSOLUTE_BELOW)
    rows = [entries_in_angstrom(row, float(task.length_unit), len(task.models)) for row in done["entries"]]
    return rows, [stop_note(held, done["met"], task.max_blocks) for held in done["absolute"]]


def temperature_correlation(values: Sequence[Sequence[float]]) -> List[List[Optional[float]]]:
    """The correlation between temperatures of the runs of multi-temperature walks:
    `values[r][k]` is run r's value at temperature k (every run serving every
    temperature).  Entry [k][l] is the sample correlation of the runs' values at T_k and
    T_l (None where a temperature's runs do not vary); two runs at least."""
    runs = len(values)
    if runs < 2:
        raise ValueError("the correlation needs at least two runs")
    width = len(values[0])
    if any(len(row) != width for row in values):
        raise ValueError("every run must have a value at every temperature")
    means = [math.fsum(row[k] for row in values) / runs for k in range(width)]
    dev = [[row[k] - means[k] for k in range(width)] for row in values]
    var = [math.fsum(d[k] * d[k] for d in dev) for k in range(width)]
    out: List[List[Optional[float]]] = []
    for k in range(width):
        line: List[Optional[float]] = []
        for j in range(width):
            if var[k] > 0.0 and var[j] > 0.0:
                line.append(math.fsum(d[k] * d[j] for d in dev) / math.sqrt(var[k] * var[j]))
            else:
                line.append(None)
        out.append(line)
    return out


class MultiWalk(Method):
    """The multi-temperature walk as a method: a scan's temperatures split into walks
    (`split_temperatures`), each run of a walk serving all of its temperatures."""

    name: ClassVar[str] = "multi-walk"
    engine: ClassVar[str] = "bn-multi"
    orders: ClassVar[Tuple[int, int]] = (2, 8)
    serves_many: ClassVar[bool] = True
    laws: ClassVar[FrozenSet[str]] = frozenset(LAWS)
    # Bump the revision whenever the numbers of its runs change; the fingerprint is that of
    # fixed-seed runs at this revision (tests/test_tools_revisions.py).
    revision: ClassVar[int] = 2  # 2: the absolute stop near zero crossings
    fingerprint: ClassVar[str] = "ad986629da1cc6f7"

    def suits(self, order: int, n_temperatures: int) -> bool:
        """Whether "auto" may take this method (the rule of `multi_walk_pays`, by count)."""
        return n_temperatures >= MIN_TEMPERATURES and order in AUTO_ORDERS

    def tasks(self, settings: ScanSettings, missing: Sequence[Tuple[int, float, int]],
              log_path: Callable[[int, float, int], Optional[str]], nonce: str) -> List[Tuple[Tuple[int, ...], RunTask]]:
        """One task per run of each walk of the split of the temperatures still missing
        runs; run r of a walk serves the temperatures that miss more than r runs."""
        out: List[Tuple[Tuple[int, ...], RunTask]] = []
        for group in split_temperatures([t for _, t, _ in missing]):
            members = [missing[j] for j in group]
            for r in range(max(count for _, _, count in members)):
                # a temperature listed twice gets runs of its own walk: one walk's values at
                # one temperature are one sample, never two
                rounds: List[List[Tuple[int, float]]] = []
                for i, t, count in members:
                    if count > r:
                        free = next((w for w in rounds if all(u != t for _, u in w)), None)
                        if free is None:
                            free = []
                            rounds.append(free)
                        free.append((i, t))
                for served in rounds:
                    i0, t0 = served[0]
                    task = settings.task(t0, log_path(i0, t0, r), f"{nonce}-{i0}-{r}",
                                         temperatures=tuple(t for _, t in served))
                    out.append((tuple(i for i, _ in served), task))
        return out

    def run(self, task: RunTask) -> Tuple[RunResult, ...]:
        ts = task.all_temperatures
        if task.dev_tol >= LOOSE:  # quick checks stop at the tenth block either way
            rows, notes = run_multi_walk(task, ts), [""] * len(ts)
        else:
            rows, notes = run_multi_walk_stop(task, ts)
        # one id on the results of every temperature: the estimates find the runs they share
        run_id = task.token or os.urandom(8).hex()
        return tuple(RunResult(tuple(row), 0.0, note=note, t_kelvin=t, run_id=run_id)
                     for t, row, note in zip(ts, rows, notes))
