"""The B_n engine's walk (`vicatools._engine.bn_run`): B_n of n rigid molecules,
n = 2..8, one temperature per walk (docs/bn.md).

Runs are independent, as for Mayer sampling.  For C the entries follow Cms's
convention (entry k carries 1 / 2^(k/2)), so that they mean the same whichever
method made them.

Zero crossings.  The walk's stop rule is relative (the spread of its last ten running
estimates under ``dev_tol`` times their mean), which cannot be met where X changes sign.
As for Mayer sampling (`vicatools.methods.mayer`), a run whose X is under
`ABSOLUTE_BELOW` times |T dX/dT| is held instead to the absolute tolerance
``dev_tol`` x |T dX/dT|; the engine applies the rule at every check of the stop rule
(``_engine.bn_run_stop``), so no pilot run is spent: a walk is only 10 to 20 blocks by
default, and a pilot of 10 would double it.  `stop_note` says on the result when a run
stopped so, or at ``max_blocks`` before the absolute tolerance was met.
"""
from __future__ import annotations

import math
from typing import Any, ClassVar, FrozenSet, List, Sequence, Tuple

from ..models.laws import contact_distance, mixed_law
from ..models.mixing import law_entries
from ..models.model import LAWS, Model
from .base import Method, RunResult, RunTask
from .mayer import ABSOLUTE_BELOW, LOOSE, positions_in

REFERENCE_WEIGHT = -0.1
"""The B_n engine's reference weight: tuned so that the hard-sphere reference
takes about a tenth of the walk's weight (see docs/bn.md for the measurement)."""


def reference_padding(models: Sequence[Model]) -> float:
    """The B_n engine's reference padding in Å: the largest Lennard-Jones diameter of
    the models' sites (1 Å when no site has a core), so that the hard-sphere reference
    covers the configurations where the molecules' cores overlap."""
    sigmas = [s.sigma for m in models for s in m.sites if s.law in ("lj", "mie") and s.sigma > 0.0]
    # other laws (exp-6, tables): the contact distance of the site with itself
    for m in models:
        for s in m.sites:
            if s.law not in ("lj", "mie") and s.has_core:
                law = mixed_law(s, s, "lorentz-berthelot")
                if law is not None:
                    sigmas.append(contact_distance(law))
    return max(sigmas) if sigmas else 1.0


def engine_table(table: Sequence[Sequence[Any]]) -> List[List[List[float]]]:
    """A site-pair table of `vica.PotK` values as the B_n engine takes it: each entry
    (tag, p0, p1, p2) with tag 0..3 for R0, R1, R6R12, R1R6R12."""
    tags = {"R0": 0, "R1": 1, "R6R12": 2, "R1R6R12": 3}
    rows: List[List[List[float]]] = []
    for row in table:
        out: List[List[float]] = []
        for p in row:
            # the variant class, also for a user's subclass of it
            tag = next(tags[c.__name__] for c in type(p).__mro__ if c.__name__ in tags)
            params = [float(getattr(p, name)) for name in ("_0", "_1", "_2")[:tag]]
            out.append([float(tag)] + params + [0.0] * (3 - tag))
        rows.append(out)
    return rows


def engine_laws(models: Sequence[Model], mixing: str, length_unit: float = 1.0,
                core: float = 0.0) -> Tuple[List[List[List[List[float]]]], List[List[List[float]]]]:
    """The site-pair tables of the pairs (0,1), (0,2), ..., (n-2,n-1) of `models` as flat
    site-law entries (`vicatools.models.mixing.law_entries`; Lennard-Jones and charges as
    PotK's kinds, Mie, exp-6 and tables as their own), distances in units of
    `length_unit` Å, and the (r, u) tables they name, as points, indices into one list."""
    n = len(models)
    tables: List[List[List[List[float]]]] = []
    curves: List[Tuple[List[float], List[float]]] = []
    for i in range(n):
        for j in range(i + 1, n):
            rows, own = law_entries(models[i], models[j], mixing, length_unit, core)
            for row in rows:
                for k, e in enumerate(row):
                    if int(e[0]) == 6:
                        curve = own[int(e[1])]
                        if curve not in curves:
                            curves.append(curve)
                        row[k] = [6.0, float(curves.index(curve))]
            # PotK's kinds as (tag, p0, p1, p2), the form every binding of the walk reads
            tables.append([[[float(x) for x in e] + [0.0] * (4 - len(e) if e[0] <= 3 else 0) for e in row]
                           for row in rows])
    return tables, [[[r, u] for r, u in zip(*c)] for c in curves]


def walk_inputs(task: RunTask) -> Tuple[List[List[List[float]]], Any, Any]:
    """The task's molecules in its length unit, and its site-pair entries and (r, u) tables."""
    m = task.models
    a = task.length_unit
    tables, curves = engine_laws(m, task.mixing, a, task.core)
    return [positions_in(model, a) for model in m], tables, curves


def entries_in_angstrom(out: Sequence[float], length_unit: float, n: int) -> List[float]:
    """A walk's entries converted from its length unit to Å; for C (n = 3) in Cms's convention
    (entry k carries 1 / 2^(k/2))."""
    factor = length_unit ** (3 * (n - 1))
    scale = math.sqrt(0.5) if n == 3 else 1.0
    return [float(x) * factor * scale**k for k, x in enumerate(out)]


def stop_note(absolute: bool, met: bool, max_blocks: int) -> str:
    """What a result says of a run that the absolute rule held (`absolute`), by whether it
    met its tolerance (`met`) or stopped at `max_blocks`; "" for a run of the relative rule."""
    if not absolute:
        return ""
    return (f"near a zero crossing (|X| under {ABSOLUTE_BELOW:g} |T dX/dT| at the stop): "
            + ("stopped by the absolute tolerance dev_tol x |T dX/dT|" if met
               else f"stopped at the cap of {max_blocks} blocks before the absolute tolerance was met"))


class Walk(Method):
    name: ClassVar[str] = "walk"
    engine: ClassVar[str] = "bn"
    orders: ClassVar[Tuple[int, int]] = (2, 8)
    # Bump the revision whenever the numbers of its runs change (the B_n engine, the tables or the
    # unit conversions): stored runs of another revision are then made again.  The fingerprint
    # is that of fixed-seed runs at this revision (tests/test_tools_revisions.py).
    revision: ClassVar[int] = 2  # 2: the absolute stop near zero crossings
    fingerprint: ClassVar[str] = "99aff8d09a2fe70f"
    laws: ClassVar[FrozenSet[str]] = frozenset(LAWS)

    def run(self, task: RunTask) -> Any:
        from .. import _engine

        m = task.models
        molecules, tables, curves = walk_inputs(task)
        args = (molecules, tables, task.t_kelvin, task.u_min, task.dev_tol, task.order_max, task.block_steps,
                task.max_blocks, REFERENCE_WEIGHT, 0.0, reference_padding(m) / task.length_unit)
        if task.dev_tol >= LOOSE:
            # a run of quick checks stops at its tenth block either way; the (r, u) tables that
            # entries name are an argument only when there are any
            out = _engine.bn_run(*args, *([curves] if curves else []))
            return entries_in_angstrom(out, task.length_unit, len(m))
        done = _engine.bn_run_stop(*args, curves, ABSOLUTE_BELOW)
        entries = entries_in_angstrom(done["entries"], task.length_unit, len(m))
        note = stop_note(done["absolute"][0], done["met"], task.max_blocks)
        return RunResult(tuple(entries), 0.0, note=note)
