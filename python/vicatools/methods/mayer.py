"""Mayer sampling through `vica`: B by `vica.Bms`, C by `vica.Cms`.

Every run is independent (`vicatools.scan.executors` makes each on a new thread, so
with a freshly keyed generator); the estimate's error is the standard error over runs.
A run is made in a length unit of ``task.length_unit`` Å: `vica` pads its hard-sphere
reference by one unit of length, so this sets the padding (`vicatools.models.padding`);
positions and site-site laws are expressed in it and the entries converted back to Å.
"""
from __future__ import annotations

from typing import Any, ClassVar, List, Tuple

from ..models.mixing import pair_table
from ..models.model import Model
from .base import Method, RunTask


def positions_in(model: Model, length_unit: float) -> List[List[float]]:
    """The model's site positions in units of `length_unit` Å."""
    return model.positions if length_unit == 1.0 else [[x / length_unit for x in p] for p in model.positions]


class Mayer(Method):
    name: ClassVar[str] = "mayer"
    engine: ClassVar[str] = "vica"
    orders: ClassVar[Tuple[int, int]] = (2, 3)

    def run(self, task: RunTask) -> List[float]:
        import vica

        m = task.models
        a = task.length_unit

        def table(i: int, j: int) -> List[List[Any]]:
            return pair_table(m[i], m[j], task.mixing, a, task.core)

        if task.order == 2:
            bms = vica.Bms(positions_in(m[0], a), positions_in(m[1], a), table(0, 1))
            out = bms.run(task.t_kelvin, task.u_min, task.dev_tol, task.order_max)
        else:
            cms = vica.Cms(positions_in(m[0], a), positions_in(m[1], a), positions_in(m[2], a), table(0, 1),
                           table(0, 2), table(1, 2))
            out = cms.run(task.t_kelvin, task.dev_tol, task.order_max)
        # B is a volume (a^3), C a volume squared (a^6); every entry converts alike.
        factor = a ** (3 * (task.order - 1))
        return [float(x) * factor for x in out]
