"""Mayer sampling through `vica`: B by `vica.Bms`, C by `vica.Cms`.

Every run is independent (`vicatools.scan.executors` makes each on a new thread, so
with a freshly keyed generator); the estimate's error is the standard error over runs.
A run is made in a length unit of ``task.length_unit`` Å: `vica` pads its hard-sphere
reference by one unit of length, so this sets the padding (`vicatools.models.padding`);
positions and site-site laws are expressed in it and the entries converted back to Å.

Zero crossings.  `vica`'s stop rule is relative: a run ends when the spread of its last
ten running estimates falls under ``dev_tol`` times their mean.  Where X changes sign
(B near the Boyle temperature, C near its own zero) the mean is tiny, the rule cannot be
met and a run goes on for its 1000 blocks (10^9 steps).  So each run starts with a pilot
of the shortest length (10 production blocks).  When the pilot's |X| is under
`ABSOLUTE_BELOW` times |T dX/dT| (the scale on which X changes with temperature), the run
is made of such 10-block pieces instead, averaged until their standard error falls under
``dev_tol`` x |T dX/dT| (an absolute tolerance), at most `MAX_PIECES` of them; else the
pilot is set aside and the run made with the relative rule.  ``RunResult.note`` says when
a run stopped by the absolute tolerance or at the cap.  The progress lines are not read:
they go on to the run's log and its relay (`vicatools.scan.relay`) as for any run.
"""
from __future__ import annotations

import math
from typing import Any, Callable, ClassVar, List, Tuple

from ..models.mixing import pair_table
from ..models.model import Model
from .base import Method, RunResult, RunTask

ABSOLUTE_BELOW = 0.2
"""|X| / |T dX/dT| of the pilot under which a run stops by the absolute tolerance."""

PILOT_TOLERANCE = 1e300
"""A tolerance every finite spread meets: a piece stops at its tenth block."""

LOOSE = 1e3
"""A ``dev_tol`` this large stops a run at its tenth block unless |X| is under a thousandth
of its spread: such runs (quick checks) need no pilot."""

MIN_PIECES = 3
"""Fewest 10-block pieces of a run near a zero crossing (a spread needs a few)."""

MAX_PIECES = 100
"""Most 10-block pieces of a run near a zero crossing: 1000 blocks, `vica`'s own cap."""


def positions_in(model: Model, length_unit: float) -> List[List[float]]:
    """The model's site positions in units of `length_unit` Å."""
    return model.positions if length_unit == 1.0 else [[x / length_unit for x in p] for p in model.positions]


def near_zero(entries: List[float], order: int) -> Tuple[bool, float]:
    """Whether a pilot's X is under `ABSOLUTE_BELOW` x |T dX/dT|, and that scale |T dX/dT|."""
    # T dX/dT = -e_1 for B, -sqrt(2) e_1 for C, whose entries carry 1 / 2^(k/2)
    x = entries[0]
    scale = abs((math.sqrt(2.0) if order == 3 else 1.0) * entries[1]) if len(entries) > 1 else math.nan
    if not (math.isfinite(x) and math.isfinite(scale)) or scale == 0.0:
        return False, scale
    return abs(x) < ABSOLUTE_BELOW * scale, scale


def pieces_until(call: Callable[[], List[float]], first: List[float], order: int, target: float
                 ) -> Tuple[List[float], int]:
    """Mean entries of 10-block pieces (`first` the pilot), made until the standard error
    of their X falls under `target` (at least `MIN_PIECES`, at most `MAX_PIECES`); and how many."""
    pieces = [first]
    while len(pieces) < MAX_PIECES:
        if len(pieces) >= MIN_PIECES:
            xs = [p[0] for p in pieces]
            m = math.fsum(xs) / len(xs)
            se = math.sqrt(math.fsum((v - m) ** 2 for v in xs) / (len(xs) - 1) / len(xs))
            if se < target:
                break
        pieces.append(call())
    n = len(pieces)
    return [math.fsum(p[k] for p in pieces) / n for k in range(len(first))], n


class Mayer(Method):
    name: ClassVar[str] = "mayer"
    engine: ClassVar[str] = "vica"
    orders: ClassVar[Tuple[int, int]] = (2, 3)
    # Bump the revision whenever the numbers of its runs change (Bms / Cms, the tables or the
    # unit conversions): stored runs of another revision are then made again.  The fingerprint
    # is that of fixed-seed runs at this revision (tests/test_tools_revisions.py).
    revision: ClassVar[int] = 1
    fingerprint: ClassVar[str] = "190727a3fa1531b3"

    def run(self, task: RunTask) -> Any:
        import vica

        m = task.models
        a = task.length_unit

        def table(i: int, j: int) -> List[List[Any]]:
            return pair_table(m[i], m[j], task.mixing, a, task.core)

        call: Callable[[float, int], List[float]]
        if task.order == 2:
            bms = vica.Bms(positions_in(m[0], a), positions_in(m[1], a), table(0, 1))

            def call(tol: float, order_max: int) -> List[float]:
                return list(bms.run(task.t_kelvin, task.u_min, tol, order_max))
        else:
            cms = vica.Cms(positions_in(m[0], a), positions_in(m[1], a), positions_in(m[2], a), table(0, 1),
                           table(0, 2), table(1, 2))

            def call(tol: float, order_max: int) -> List[float]:
                return list(cms.run(task.t_kelvin, tol, order_max))

        # B is a volume (a^3), C a volume squared (a^6); every entry converts alike.
        factor = a ** (3 * (task.order - 1))
        keep = task.order_max + 1
        if task.dev_tol >= LOOSE:
            return [float(x) * factor for x in call(task.dev_tol, task.order_max)]
        wide = max(task.order_max, 1)  # the pilot needs T dX/dT for its scale
        pilot = call(PILOT_TOLERANCE, wide)
        close, scale = near_zero(pilot, task.order)
        if not close:
            return [float(x) * factor for x in call(task.dev_tol, task.order_max)]
        out, n = pieces_until(lambda: call(PILOT_TOLERANCE, wide), pilot, task.order, task.dev_tol * scale)
        note = (f"near a zero crossing (|X| under {ABSOLUTE_BELOW:g} |T dX/dT| at the pilot): "
                + ("stopped by the absolute tolerance dev_tol x |T dX/dT|" if n < MAX_PIECES
                   else f"stopped at the cap of {MAX_PIECES * 10} blocks before the absolute tolerance was met"))
        return RunResult(tuple(float(x) * factor for x in out[:keep]), 0.0, note=note)
