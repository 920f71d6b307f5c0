"""Ways of computing a coefficient, one module each, behind `methods.base.Method`.

The registry below finds a method by the name users give (``method="mayer"``) or by
the tag its runs carry in the results store (``engine``).  A new method is one module
of this package and one line in `_REGISTERED`.
"""
from __future__ import annotations

from typing import Dict, List, Optional, Sequence

from ..models.model import Model
from .b3_quadrature import B3Cubature
from .base import Method, RunResult, RunTask, ScanSettings
from .by_order import by_order
from .cubature import Cubature
from .mayer import Mayer
from .walk import Walk

_REGISTERED: List[Method] = [
    Mayer(),
    Walk(),
    B3Cubature(),
    Cubature(),
]

_NAMED: Dict[str, List[Method]] = {}
for _m in _REGISTERED:
    _NAMED.setdefault(_m.name, []).append(_m)

METHODS: Dict[str, Method] = {n: ms[0] if len(ms) == 1 else by_order(ms) for n, ms in _NAMED.items()}
"""Every method by its name (methods sharing a name, each for its own orders, as one)."""

_BY_ENGINE: Dict[str, Method] = {m.engine: METHODS[m.name] for m in _REGISTERED}


def get_method(name: str) -> Method:
    """The method called `name`; ValueError naming the known ones otherwise."""
    try:
        return METHODS[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown method {name!r} (use one of: auto, {', '.join(METHODS)})") from None


def method_of(engine: str) -> Method:
    """The method whose runs carry the store tag `engine`."""
    try:
        return _BY_ENGINE[engine]
    except KeyError:
        raise ValueError(f"no method makes runs tagged {engine!r} (known: {', '.join(_BY_ENGINE)})") from None


AUTO_PREFERENCE: Dict[str, Sequence[str]] = {
    # "cubature" computes B2 but joins "auto" once curves and derived properties take
    # a scan of one integration run per temperature (they ask for >= 2 runs)
    "b2": ("mayer",),
    "b3": ("cubature", "mayer"),
    "bn": ("multi-walk", "walk"),
}
"""Which methods "auto" tries, best first, for `vt.b2`, `vt.b3` and `vt.bn` (the first
that can compute the coefficient for the models is taken)."""


def choose_method(requested: str, kind: str, order: int, models: Sequence[Model], n_temperatures: int = 1) -> Method:
    """The method to use: `requested` by name (ValueError with its reason when it cannot
    compute `order` for `models`), or for "auto" the first of `AUTO_PREFERENCE[kind]`
    that is registered and can."""
    if requested != "auto":
        method = get_method(requested)
        refused = method.refusal(order, models)
        if refused is not None:
            raise ValueError(refused)
        return method
    reasons: List[str] = []
    for name in AUTO_PREFERENCE[kind]:
        candidate = METHODS.get(name)
        if candidate is None or (candidate.serves_many and n_temperatures < 2):
            continue
        reason: Optional[str] = candidate.refusal(order, models)
        if reason is None:
            return candidate
        reasons.append(reason)
    raise ValueError("no method can compute this: " + "; ".join(reasons))


__all__ = ["METHODS", "Method", "RunResult", "RunTask", "ScanSettings", "choose_method", "get_method", "method_of"]
