"""The B_n engine's walk (`vicatools._engine.bn_run`): B_n of n rigid molecules,
n = 2..8, one temperature per walk (docs/bn.md).

Runs are independent, as for Mayer sampling.  For C the entries follow Cms's
convention (entry k carries 1 / 2^(k/2)), so that they mean the same whichever
method made them.
"""
from __future__ import annotations

import math
from typing import Any, ClassVar, List, Sequence, Tuple

from ..models.mixing import pair_table
from ..models.model import Model
from .base import Method, RunTask
from .mayer import positions_in

REFERENCE_WEIGHT = -0.1
"""The B_n engine's reference weight: tuned so that the hard-sphere reference
takes about a tenth of the walk's weight (see docs/bn.md for the measurement)."""


def reference_padding(models: Sequence[Model]) -> float:
    """The B_n engine's reference padding in Å: the largest Lennard-Jones diameter of
    the models' sites (1 Å when no site has a core), so that the hard-sphere reference
    covers the configurations where the molecules' cores overlap."""
    sigmas = [s.sigma for m in models for s in m.sites if s.sigma > 0.0]
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


class Walk(Method):
    name: ClassVar[str] = "walk"
    engine: ClassVar[str] = "bn"
    orders: ClassVar[Tuple[int, int]] = (2, 8)
    # Bump the revision whenever the numbers of its runs change (the B_n engine, the tables or the
    # unit conversions): stored runs of another revision are then made again.  The fingerprint
    # is that of fixed-seed runs at this revision (tests/test_tools_revisions.py).
    revision: ClassVar[int] = 1
    fingerprint: ClassVar[str] = "99aff8d09a2fe70f"

    def run(self, task: RunTask) -> List[float]:
        from .. import _engine

        m = task.models
        a = task.length_unit
        n = len(m)
        molecules = [positions_in(m[i], a) for i in range(n)]
        tables = [engine_table(pair_table(m[i], m[j], task.mixing, a, task.core))
                  for i in range(n) for j in range(i + 1, n)]
        out = _engine.bn_run(
            molecules,
            tables,
            task.t_kelvin,
            task.u_min,
            task.dev_tol,
            task.order_max,
            task.block_steps,
            task.max_blocks,
            REFERENCE_WEIGHT,
            0.0,
            reference_padding(m) / a,
        )
        factor = a ** (3 * (n - 1))
        scale = math.sqrt(0.5) if n == 3 else 1.0
        return [float(x) * factor * scale**k for k, x in enumerate(out)]
