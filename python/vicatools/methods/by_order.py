"""Methods that share a name, each for its own orders: B2 and the C of one-site
molecules are both "cubature", by different engines.  The registry puts them behind
one `Method` that hands every call to the member whose orders hold it."""
from __future__ import annotations

from typing import Any, Callable, ClassVar, List, Optional, Sequence, Tuple

from ..models.model import Model
from .base import Method, RunTask, ScanSettings


def by_order(members: Sequence[Method]) -> Method:
    """One method over `members` (same name and kind of error, orders apart)."""
    first = members[0]
    if any(m.name != first.name or m.error != first.error for m in members):
        raise ValueError("methods combined by order must share their name and kind of error")
    parts = list(members)

    class ByOrder(Method):
        name: ClassVar[str] = first.name
        engine: ClassVar[str] = first.engine
        error: ClassVar[str] = first.error
        orders: ClassVar[Tuple[int, int]] = (min(m.orders[0] for m in parts), max(m.orders[1] for m in parts))
        serves_many: ClassVar[bool] = any(m.serves_many for m in parts)
        members: ClassVar[List[Method]] = parts

        def member(self, order: int) -> Optional[Method]:
            return next((m for m in parts if m.orders[0] <= order <= m.orders[1]), None)

        def refusal(self, order: int, models: Sequence[Model]) -> Optional[str]:
            m = self.member(order)
            return super().refusal(order, models) if m is None else m.refusal(order, models)

        def tasks(self, settings: ScanSettings, missing: Sequence[Tuple[int, float, int]],
                  log_path: Callable[[int, float, int], Optional[str]],
                  nonce: str) -> List[Tuple[Tuple[int, ...], RunTask]]:
            return self._part(settings.order).tasks(settings, missing, log_path, nonce)

        def run(self, task: RunTask) -> Any:
            return self._part(task.order).run(task)

        def _part(self, order: int) -> Method:
            m = self.member(order)
            if m is None:
                raise ValueError(f"method {self.name!r} computes no order {order}")
            return m

    return ByOrder()
