"""Temperature derivatives, nearby temperatures and the Boyle temperature.

`vica` returns for a virial coefficient X at temperature T a list of entries
e_0 = X, e_1, ..., e_K (K = ``order_max``) with beta = 1/T:

* B (order 2, `vica.Bms`):  e_k = (beta^k / k!) d^k B / d beta^k
* C (order 3, `vica.Cms`):  e_k = (beta^k / (k! 2^(k/2))) d^k C / d beta^k
* B_n (order n >= 4, `vicatools.bn`):
  e_k = (beta^k / k!) d^k B_n / d beta^k, as for B

Since T d/dT = -beta d/d beta, the temperature derivatives follow as

* T dB/dT = -e_1,           T^2 d^2B/dT^2 = 2 e_1 + 2 e_2
* T dC/dT = -sqrt(2) e_1,   T^2 d^2C/dT^2 = 2 sqrt(2) e_1 + 4 e_2

in the unit of X.  These are computed for each run and then averaged over
runs (see `vicatools.estimate`), so their standard errors are those of the
run-to-run scatter.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence, Tuple

MAX_EPSILON = 0.1
"""Largest |epsilon| = |T/T' - 1| that `value_at` accepts by default.

The value at T' is the Taylor series in beta truncated after the last entry
(order K): its error is the first omitted term, about e_{K+1} epsilon^{K+1}.
For Lennard-Jones-like models near and above their Boyle temperature the
entries fall off roughly geometrically in k, so with K = 2 and |epsilon| <= 0.1
(T' within about 9 % below to 11 % above T) the truncation stays well under
the statistical error of a run; at low reduced temperatures the entries grow
with k and the range should be narrower.  Ask for a wider range at your own
risk with ``max_epsilon``."""

_SQRT2 = math.sqrt(2.0)


def _scale(order: int) -> float:
    """Factor per derivative order between the entries and (beta^k/k!) d^kX/d beta^k."""
    if order == 2 or order >= 4:
        return 1.0
    if order == 3:
        return _SQRT2
    raise ValueError(f"virial order must be 2 (B) or 3 (C), got {order}")


def derived(entries: Sequence[float], order: int) -> Tuple[float, float, float]:
    """(X, T dX/dT, T^2 d^2X/dT^2) of one run's entries, in the entries' unit.

    `order` is 2 for B (`vica.Bms` entries) and 3 for C (`vica.Cms` entries).
    A derivative needs entries up to its order; missing ones give NaN.
    """
    s = _scale(order)
    x = entries[0]
    e1 = entries[1] if len(entries) > 1 else math.nan
    e2 = entries[2] if len(entries) > 2 else math.nan
    t_dxdt = -s * e1
    t2_d2xdt2 = 2.0 * s * e1 + 2.0 * s * s * e2
    return x, t_dxdt, t2_d2xdt2


def epsilon(t_kelvin: float, t_prime: float) -> float:
    """Relative change of beta from T to T': epsilon = T/T' - 1."""
    return t_kelvin / t_prime - 1.0


def value_at(
    entries: Sequence[float], order: int, t_kelvin: float, t_prime: float, max_epsilon: float = MAX_EPSILON
) -> float:
    """Coefficient at a nearby temperature T' from one run's entries at T.

    B(T') = sum_k e_k epsilon^k and C(T') = sum_k e_k (sqrt(2) epsilon)^k with
    epsilon = T/T' - 1: the Taylor series in beta, truncated after the last
    entry.  Raises ValueError when |epsilon| exceeds `max_epsilon` (see
    `MAX_EPSILON` for the range of validity).
    """
    if not (t_prime > 0.0 and math.isfinite(t_prime)):
        raise ValueError(f"temperature must be above 0 K, got {t_prime!r}")
    eps = epsilon(t_kelvin, t_prime)
    if abs(eps) > max_epsilon:
        raise ValueError(
            f"T' = {t_prime:g} K is too far from T = {t_kelvin:g} K: |T/T' - 1| = {abs(eps):.3g} exceeds "
            f"{max_epsilon:g} (the truncated series in 1/T is not valid there)"
        )
    x = eps * _scale(order)
    total = 0.0
    for k, e in enumerate(entries):
        total += e * x**k
    return total


@dataclass(frozen=True)
class BoyleTemperature:
    """Temperature at which B = 0.

    Attributes:
        t_kelvin: the estimate in K.
        stderr: its standard error in K, from the standard errors of B at the
            two bracketing temperatures (interpolation error not included).
        bracket: the two scan temperatures in K between which B changes sign.
    """

    t_kelvin: float
    stderr: float
    bracket: Tuple[float, float]


def boyle_temperature(
    temperatures: Sequence[float], values: Sequence[float], stderrs: Sequence[float]
) -> BoyleTemperature:
    """Boyle temperature from a scan of B (any unit) at increasing temperatures.

    Takes the first pair of neighbouring temperatures where the mean of B
    changes sign and interpolates B linearly in beta = 1/T between them (B is
    close to linear in beta near its zero for simple gases: B ~ b - a/T).  The
    error from that interpolation shrinks with the square of the bracket width
    and is not part of `stderr`: scan densely near the zero for accuracy.
    Raises ValueError when B does not change sign over the scan.
    """
    pts = sorted(zip(temperatures, values, stderrs))
    for (t1, b1, s1), (t2, b2, s2) in zip(pts, pts[1:]):
        if b1 == 0.0 and b2 != 0.0:
            return BoyleTemperature(t1, s1 * t1 * t1 * abs((1 / t2 - 1 / t1) / (b2 - b1)), (t1, t2))
        if (b1 < 0.0) != (b2 < 0.0) and b2 != 0.0:
            x1, x2 = 1.0 / t1, 1.0 / t2
            x0 = x1 - b1 * (x2 - x1) / (b2 - b1)
            # d x0 / d b1 and d x0 / d b2 of the interpolation
            g1 = -(x2 - x1) * b2 / (b2 - b1) ** 2
            g2 = (x2 - x1) * b1 / (b2 - b1) ** 2
            sx = math.sqrt((g1 * s1) ** 2 + (g2 * s2) ** 2)
            return BoyleTemperature(1.0 / x0, sx / (x0 * x0), (t1, t2))
    raise ValueError("B does not change sign over the scanned temperatures: no Boyle temperature in range")
