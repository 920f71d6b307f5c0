"""A smooth B(T) or C(T) through a scan: piecewise quintic Hermite in 1/T.

At every scan temperature T_j the runs give the coefficient X, T dX/dT and
T² d²X/dT².  Between neighbouring temperatures the curve is the quintic in
x = 1/T that takes the value and the first two x-derivatives of both ends,

    dX/dx = -T (T dX/dT),   d²X/dx² = T² (2 T dX/dT + T² d²X/dT²),

so B = b - a/T (linear in x) and any polynomial in x of degree up to 5 is
reproduced exactly, and the curve has continuous value, slope and curvature.

Standard errors.  The curve at any T is a linear combination of the node data
(value, T dX/dT, T² d²X/dT² at each scan temperature), and the nodes are
independent sets of runs; so each node contributes the standard error of the
mean over its runs of that combination, and the contributions add in
quadrature.  A quantity that depends on the curve non-linearly (a root, a
product of B and C) is propagated the same way to first order: each run of a
node in turn replaces that node's mean (`propagate`).

Interpolation error.  On an interval of width h (in x) the error of quintic
Hermite interpolation is f^(6)(xi) / 720 (x - x0)^3 (x - x1)^3, at most
|f^(6)| h^6 / 46080 at the middle.  The curve's fifth x-derivative is constant
on each interval; its change between neighbouring intervals, divided by the
distance of their middles, estimates f^(6), and the bound is evaluated with it
(the larger of the estimates on the two sides); the error of T dX/dT takes the
largest |d/dx (x - x0)^3 (x - x1)^3| of the interval (0.0537 h^5) instead,
tapered to 0 at the ends, an over-estimate.  A scan of two temperatures has
no neighbour to compare with: there the difference between the quintic and
the cubic Hermite interpolant (values and slopes only), an over-estimate, is
taken instead.  At scan temperatures the interpolation error is 0.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, List, Sequence, Tuple

Node = Tuple[float, float, float]
"""(X, T dX/dT, T² d²X/dT²) at one temperature."""


@dataclass(frozen=True)
class CurvePoint:
    """The curve at one temperature.

    Attributes:
        t_kelvin: temperature T in K.
        unit: unit of the values (that of the scan).
        value, value_stderr: X(T) and its standard error from the runs.
        t_dxdt, t_dxdt_stderr: T dX/dT and its standard error.
        t2_d2xdt2, t2_d2xdt2_stderr: T² d²X/dT² and its standard error.
        interpolation_error: estimated interpolation error of X (0 at scan temperatures).
        t_dxdt_interpolation_error: the same for T dX/dT.
    """

    t_kelvin: float
    unit: str
    value: float
    value_stderr: float
    t_dxdt: float
    t_dxdt_stderr: float
    t2_d2xdt2: float
    t2_d2xdt2_stderr: float
    interpolation_error: float
    t_dxdt_interpolation_error: float

    @property
    def uncertainty(self) -> float:
        """Standard error and interpolation error of X combined in quadrature."""
        return math.hypot(self.value_stderr, self.interpolation_error)


def _to_x(t: float, node: Node) -> Tuple[float, float, float]:
    """(X, dX/dx, d²X/dx²) from (X, T dX/dT, T² d²X/dT²) at T, x = 1/T."""
    x, d1, d2 = node
    return x, -t * d1, t * t * (2.0 * d1 + d2)


def _from_x(t: float, f: float, fx: float, fxx: float) -> Node:
    """(X, T dX/dT, T² d²X/dT²) from (X, dX/dx, d²X/dx²) at T."""
    x = 1.0 / t
    return f, -x * fx, 2.0 * x * fx + x * x * fxx


def _quintic(x0: float, x1: float, a: Tuple[float, float, float], b: Tuple[float, float, float]) -> List[float]:
    """Coefficients c_0..c_5 in s = (x - x0)/(x1 - x0) of the quintic with value and first two
    x-derivatives `a` at x0 and `b` at x1."""
    h = x1 - x0
    c0, c1, c2 = a[0], h * a[1], 0.5 * h * h * a[2]
    r0 = b[0] - c0 - c1 - c2
    r1 = h * b[1] - c1 - 2.0 * c2
    r2 = h * h * b[2] - 2.0 * c2
    c3 = 10.0 * r0 - 4.0 * r1 + 0.5 * r2
    c4 = -15.0 * r0 + 7.0 * r1 - r2
    c5 = 6.0 * r0 - 3.0 * r1 + 0.5 * r2
    return [c0, c1, c2, c3, c4, c5]


def _poly(c: Sequence[float], s: float) -> Tuple[float, float, float]:
    """Value and first two s-derivatives of sum c_k s^k."""
    p = dp = ddp = 0.0
    for k in range(len(c) - 1, -1, -1):
        ddp = ddp * s + 2.0 * dp
        dp = dp * s + p
        p = p * s + c[k]
    return p, dp, ddp


class Curve:
    """Piecewise quintic Hermite interpolant of a scan (see the module doc).

    Built from the runs of every scan temperature: ``node_runs[j]`` holds
    (X, T dX/dT, T² d²X/dT²) of each run at ``temperatures[j]``.  Temperatures
    must be distinct; they are sorted here.  Values are in `unit`.
    """

    def __init__(
        self, temperatures: Sequence[float], node_runs: Sequence[Sequence[Node]], unit: str = ""
    ) -> None:
        if len(temperatures) != len(node_runs):
            raise ValueError("one set of runs per temperature is needed")
        if len(temperatures) < 2:
            raise ValueError("a curve needs at least 2 scan temperatures")
        order = sorted(range(len(temperatures)), key=lambda j: temperatures[j])
        self.temperatures: Tuple[float, ...] = tuple(float(temperatures[j]) for j in order)
        if any(a == b for a, b in zip(self.temperatures, self.temperatures[1:])):
            raise ValueError("a curve needs distinct temperatures")
        self.node_runs: Tuple[Tuple[Node, ...], ...] = tuple(
            tuple((float(n[0]), float(n[1]), float(n[2])) for n in node_runs[j]) for j in order
        )
        for t, runs in zip(self.temperatures, self.node_runs):
            if len(runs) < 2:
                raise ValueError(f"at least 2 runs are needed at every temperature, got {len(runs)} at {t:g} K")
            if not all(math.isfinite(v) for r in runs for v in r):
                raise ValueError(
                    f"the curve needs X, T dX/dT and T^2 d2X/dT2 at every temperature (order_max of at least 2); "
                    f"missing or not finite at {t:g} K"
                )
        self.unit = unit
        self.node_means: Tuple[Node, ...] = tuple(
            tuple(math.fsum(r[k] for r in runs) / len(runs) for k in range(3))  # type: ignore[misc]
            for runs in self.node_runs
        )
        self._f6 = self._sixth_derivatives(self.node_means)

    @property
    def t_min(self) -> float:
        """Lowest scan temperature in K."""
        return self.temperatures[0]

    @property
    def t_max(self) -> float:
        """Highest scan temperature in K."""
        return self.temperatures[-1]

    def _interval(self, t: float) -> int:
        if not (self.t_min <= t <= self.t_max):
            raise ValueError(
                f"T = {t:g} K is outside the scan ({self.t_min:g} K to {self.t_max:g} K): the curve does not "
                "extrapolate"
            )
        for i in range(len(self.temperatures) - 1):
            if t <= self.temperatures[i + 1]:
                return i
        return len(self.temperatures) - 2

    def _coefficients(self, nodes: Sequence[Node], i: int) -> Tuple[float, float, List[float]]:
        """(x0, h, coefficients) of interval i, oriented from its higher temperature (x0 = 1/T_{i+1})."""
        ta, tb = self.temperatures[i + 1], self.temperatures[i]
        x0, x1 = 1.0 / ta, 1.0 / tb
        return x0, x1 - x0, _quintic(x0, x1, _to_x(ta, nodes[i + 1]), _to_x(tb, nodes[i]))

    def evaluate(self, t: float, nodes: Sequence[Node] = ()) -> Node:
        """(X, T dX/dT, T² d²X/dT²) at `t` (K) of the curve through `nodes` (default: the
        runs' means)."""
        nodes = nodes or self.node_means
        i = self._interval(t)
        x0, h, c = self._coefficients(nodes, i)
        s = (1.0 / t - x0) / h
        p, dp, ddp = _poly(c, s)
        return _from_x(t, p, dp / h, ddp / (h * h))

    def _sixth_derivatives(self, nodes: Sequence[Node]) -> List[float]:
        """Estimated |d^6 X / dx^6| per interval (NaN for a single interval)."""
        n = len(self.temperatures) - 1
        if n < 2:
            return [math.nan]
        fifth, centre = [], []
        for i in range(n):
            x0, h, c = self._coefficients(nodes, i)
            fifth.append(120.0 * c[5] / h**5)
            centre.append(x0 + 0.5 * h)
        slopes = [abs((fifth[i + 1] - fifth[i]) / (centre[i + 1] - centre[i])) for i in range(n - 1)]
        return [max(slopes[max(i - 1, 0)], slopes[min(i, n - 2)]) for i in range(n)]

    def interpolation_errors(self, t: float) -> Tuple[float, float]:
        """Estimated interpolation errors of X and of T dX/dT at `t` (see the module doc)."""
        i = self._interval(t)
        x0, h, c = self._coefficients(self.node_means, i)
        x = 1.0 / t
        u, v = x - x0, x - (x0 + h)
        if len(self.temperatures) > 2:
            f6 = self._f6[i] / 720.0
            w = (u * v) ** 3
            # the slope's error is not f6 w' alone (xi moves with x, and w' = 0 at the middle):
            # take at least the largest |w'| of the interval, 0.0537 h^5, tapered to 0 at the nodes
            s = u / h
            dw = max(abs(3.0 * (u * v) ** 2 * (u + v)), 0.0537 * h**5 * 4.0 * s * (1.0 - s))
            return abs(f6 * w), abs(x * f6 * dw)
        # two temperatures: quintic against cubic Hermite
        ta, tb = self.temperatures[i + 1], self.temperatures[i]
        a, b = _to_x(ta, self.node_means[i + 1]), _to_x(tb, self.node_means[i])
        h3 = _cubic_hermite(a[0], a[1], b[0], b[1], h)
        s = u / h
        p5, dp5, _ = _poly(c, s)
        p3, dp3, _ = _poly(h3, s)
        return abs(p5 - p3), abs(x * (dp5 - dp3) / h)

    def propagate(self, fn: Callable[[Sequence[Node]], float]) -> Tuple[float, float]:
        """(value, standard error) of ``fn(nodes)`` for a function of the node data
        (e.g. a value of the curve, or a root): first-order propagation from the
        runs of each node (see the module doc)."""
        base = list(self.node_means)
        value = fn(base)
        var = 0.0
        for j, runs in enumerate(self.node_runs):
            vals = []
            for r in runs:
                trial = list(base)
                trial[j] = r
                vals.append(fn(trial))
            m = math.fsum(vals) / len(vals)
            var += math.fsum((v - m) ** 2 for v in vals) / (len(vals) - 1) / len(vals)
        return value, math.sqrt(var)

    def __call__(self, t: float) -> CurvePoint:
        """The curve at `t` (K, inside the scan) with standard errors and interpolation errors."""
        t = float(t)
        x, sx = self.propagate(lambda nodes: self.evaluate(t, nodes)[0])
        d1, s1 = self.propagate(lambda nodes: self.evaluate(t, nodes)[1])
        d2, s2 = self.propagate(lambda nodes: self.evaluate(t, nodes)[2])
        e0, e1 = self.interpolation_errors(t)
        return CurvePoint(t, self.unit, x, sx, d1, s1, d2, s2, e0, e1)

    def root(
        self, fn: Callable[[Node], float], nodes: Sequence[Node] = ()
    ) -> Tuple[float, Tuple[float, float]]:
        """Lowest temperature (K) at which ``fn(X, T dX/dT, T² d²X/dT²)`` of the curve through
        `nodes` (default: the means) changes sign, with the bracketing scan temperatures.
        Raises ValueError when it keeps its sign over the scan."""
        nodes = nodes or self.node_means

        def g(t: float) -> float:
            return fn(self.evaluate(t, nodes))

        for i in range(len(self.temperatures) - 1):
            ta, tb = self.temperatures[i], self.temperatures[i + 1]
            grid = [1.0 / (1.0 / ta + (1.0 / tb - 1.0 / ta) * k / 32.0) for k in range(33)]
            grid[0], grid[-1] = ta, tb  # 1 / (1 / T) need not give T back
            vals = [g(t) for t in grid]
            for k in range(32):
                if vals[k] == 0.0:
                    return grid[k], (ta, tb)
                if (vals[k] < 0.0) != (vals[k + 1] < 0.0):
                    return _bisect(g, grid[k], grid[k + 1], vals[k]), (ta, tb)
            if vals[-1] == 0.0:
                return tb, (ta, tb)
        raise ValueError("no sign change over the scanned temperatures")


def _cubic_hermite(f0: float, d0: float, f1: float, d1: float, h: float) -> List[float]:
    """Coefficients in s of the cubic with value and x-slope (f0, d0) at s = 0 and (f1, d1) at s = 1."""
    c1 = h * d0
    r0 = f1 - f0 - c1
    r1 = h * d1 - c1
    return [f0, c1, 3.0 * r0 - r1, -2.0 * r0 + r1, 0.0, 0.0]


def _bisect(g: Callable[[float], float], a: float, b: float, ga: float) -> float:
    for _ in range(200):
        m = 0.5 * (a + b)
        if m in (a, b):
            break
        gm = g(m)
        if gm == 0.0:
            return m
        if (gm < 0.0) == (ga < 0.0):
            a, ga = m, gm
        else:
            b = m
    return 0.5 * (a + b)


@dataclass(frozen=True)
class CurveRoot:
    """A temperature at which a function of the curve is zero.

    Attributes:
        t_kelvin: the root in K.
        stderr: its standard error in K from the runs.
        interpolation_error: its estimated interpolation error in K.
        bracket: the two scan temperatures in K between which it lies.
    """

    t_kelvin: float
    stderr: float
    interpolation_error: float
    bracket: Tuple[float, float]

    @property
    def uncertainty(self) -> float:
        """Standard error and interpolation error combined in quadrature, in K."""
        return math.hypot(self.stderr, self.interpolation_error)

    @property
    def unit(self) -> str:
        """The unit of the root and its errors: "K"."""
        return "K"


def find_root(curve: Curve, fn: Callable[[Node], float], error: Callable[[float], float]) -> CurveRoot:
    """The lowest root of ``fn`` on `curve` with its standard error (first-order
    propagation from the runs) and interpolation error: ``error(T)``, the
    interpolation error of fn's value at T, divided by the slope of fn in T."""
    t0, bracket = curve.root(fn)
    # each run of a node in turn: the root moves by -fn / slope to first order
    base = curve.node_means
    dt = 1e-6 * t0
    lo, hi = max(t0 - dt, curve.t_min), min(t0 + dt, curve.t_max)
    slope = (fn(curve.evaluate(hi)) - fn(curve.evaluate(lo))) / (hi - lo)
    var = 0.0
    for j, runs in enumerate(curve.node_runs):
        vals = []
        for r in runs:
            trial = list(base)
            trial[j] = r
            vals.append(t0 - fn(curve.evaluate(t0, trial)) / slope)
        m = math.fsum(vals) / len(vals)
        var += math.fsum((v - m) ** 2 for v in vals) / (len(vals) - 1) / len(vals)
    return CurveRoot(t0, math.sqrt(var), abs(error(t0) / slope) if slope != 0.0 else math.inf, bracket)


def curve_estimates(estimates: Sequence[Any], grid: Sequence[Any]) -> List[Any]:
    """The nodes of a scan's curve: its estimates and, for an integrated scan, the estimates of
    its integral grid (`vicatools.results.integral_curve`) inside the scan's range at
    temperatures the scan does not have."""
    if not grid or len(estimates) < 2:
        return list(estimates)
    ts = [e.t_kelvin for e in estimates]
    lo, hi = min(ts), max(ts)
    seen = set(ts)
    extra = []
    for g in grid:
        if lo < g.t_kelvin < hi and g.t_kelvin not in seen and math.isfinite(g.value):
            seen.add(g.t_kelvin)
            extra.append(g)
    return sorted(list(estimates) + extra, key=lambda e: e.t_kelvin)
