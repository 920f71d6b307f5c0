"""Virial coefficients with their uncertainties: `VirialEstimate` (one temperature)
and `VirialScan` (several).

A sampled estimate summarises independent runs: the mean and standard error over runs
of the coefficient, of its temperature derivatives T dX/dT and T^2 d^2X/dT^2 (computed
per run, `vicatools.results.thermo`), and of every returned entry, with the runs'
entries kept.  The standard error is the sample standard deviation over runs (n - 1 in
the denominator) divided by sqrt(n); with n runs, (mean - true) / stderr follows
Student's t distribution with n - 1 degrees of freedom.  An integrated estimate
(``error_kind`` "integration") holds one run, and its "standard errors" are the
integration's error estimates.

Units: per molecule, B in Å³ and C in Å⁶ (``unit`` "angstrom^3" / "angstrom^6");
``.molar()`` converts to cm³/mol and cm⁶/mol².
"""
from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Any, Iterable, Iterator, List, Optional, Sequence, Tuple, Union, overload

from ..models.cores import CoreChoice
from ..models.floors import UMinChoice
from ..models.padding import PaddingChoice
from ..models import units
from ..scan.driver import ScanFailure
from . import display, thermo
from .correlation import value_correlation, value_covariance
from .curve import Curve, CurvePoint, CurveRoot, curve_estimates, find_root
from .quantities import ReducedPoint, ValueAt, reduced

__all__ = ["ScanError", "ScanFailure", "VirialEstimate", "VirialScan", "mean_and_stderr"]


def mean_and_stderr(values: Sequence[float]) -> Tuple[float, float]:
    """Mean of `values` and its standard error (sample standard deviation / sqrt(n))."""
    n = len(values)
    if n < 2:
        raise ValueError("a standard error needs at least 2 values")
    mean = math.fsum(values) / n
    var = math.fsum((v - mean) ** 2 for v in values) / (n - 1)
    return mean, math.sqrt(var / n)


@dataclass(frozen=True)
class VirialEstimate:
    """A virial coefficient X (B or C) at one temperature from independent runs.

    All values are in `unit`: "angstrom^3" (B per molecule), "angstrom^6" (C per
    molecule), "cm^3/mol" or "cm^6/mol^2" (after `molar`).  A derivative whose
    order exceeds ``order_max`` is NaN.

    Attributes:
        order: 2 for B, 3 for C, n >= 4 for B_n.
        t_kelvin: temperature T in K.
        unit: unit of every value below.
        value, value_stderr: X and its standard error.
        t_dxdt, t_dxdt_stderr: T dX/dT and its standard error.
        t2_d2xdt2, t2_d2xdt2_stderr: T^2 d^2X/dT^2 and its standard error.
        entries_mean, entries_stderr: mean and standard error of each entry
            returned by `vica` (see `vicatools.results.thermo` for their meaning).
        runs: the entries of every run (one run for an integration).
        cpu_seconds: CPU time of every run in s (empty when unknown).
        method: the method that made the runs (`vicatools.methods`).
        error_kind: "statistical" (standard errors over independent runs) or
            "integration" (the integration's error estimates).
        converged: False when an integration could not meet its tolerance: its value
            is then no better than its error says, and may be worse.
        notes: what is worth knowing about how the runs ended (one line each).
        quantum: "none" (classical), or "first-order": the values, derivatives, entries
            and runs then include the first-order quantum correction (`vicatools.results.quantum`).
        classical_value, classical_value_stderr: X without the correction.
        quantum_correction, quantum_correction_stderr: the correction (0 for "none");
            quantum_entries, quantum_errors: its entries and their error estimates.
        run_ids: each run's id, in the order of `runs`, for runs that served several
            temperatures (the multi-walk): estimates sharing ids are correlated
            (`VirialScan.correlation`); empty or "" for runs of their own.
    """

    order: int
    t_kelvin: float
    unit: str
    value: float
    value_stderr: float
    t_dxdt: float
    t_dxdt_stderr: float
    t2_d2xdt2: float
    t2_d2xdt2_stderr: float
    entries_mean: Tuple[float, ...]
    entries_stderr: Tuple[float, ...]
    runs: Tuple[Tuple[float, ...], ...]
    cpu_seconds: Tuple[float, ...] = ()
    method: str = "mayer"
    error_kind: str = "statistical"
    converged: bool = True
    notes: Tuple[str, ...] = ()
    quantum: str = "none"
    classical_value: float = math.nan
    classical_value_stderr: float = math.nan
    quantum_correction: float = 0.0
    quantum_correction_stderr: float = 0.0
    quantum_entries: Tuple[float, ...] = ()
    quantum_errors: Tuple[float, ...] = ()
    run_ids: Tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if self.quantum == "none" and math.isnan(self.classical_value):
            object.__setattr__(self, "classical_value", self.value)
            object.__setattr__(self, "classical_value_stderr", self.value_stderr)

    @classmethod
    def from_runs(
        cls,
        order: int,
        t_kelvin: float,
        runs: Sequence[Sequence[float]],
        unit: str,
        cpu_seconds: Sequence[float] = (),
        method: str = "mayer",
        run_ids: Sequence[str] = (),
    ) -> VirialEstimate:
        """Summarise the entries of two or more runs (all of one length) at `t_kelvin`
        (with each run's CPU time in s, and its id, if known)."""
        if len(runs) < 2:
            raise ValueError(f"runs must be at least 2 (no error bar from one run), got {len(runs)}")
        rows = tuple(tuple(float(x) for x in r) for r in runs)
        derived = [thermo.derived(r, order) for r in rows]
        stats = [mean_and_stderr([d[i] for d in derived]) for i in range(3)]
        entries = [mean_and_stderr([r[k] for r in rows]) for k in range(len(rows[0]))]
        return cls(
            order=order,
            t_kelvin=float(t_kelvin),
            unit=unit,
            value=stats[0][0],
            value_stderr=stats[0][1],
            t_dxdt=stats[1][0],
            t_dxdt_stderr=stats[1][1],
            t2_d2xdt2=stats[2][0],
            t2_d2xdt2_stderr=stats[2][1],
            entries_mean=tuple(m for m, _ in entries),
            entries_stderr=tuple(s for _, s in entries),
            runs=rows,
            cpu_seconds=tuple(float(c) for c in cpu_seconds),
            method=method,
            run_ids=tuple(str(i) for i in run_ids) if any(run_ids) else (),
        )

    @classmethod
    def from_integral(
        cls,
        order: int,
        t_kelvin: float,
        entries: Sequence[float],
        errors: Sequence[float],
        unit: str,
        cpu_seconds: float = 0.0,
        converged: bool = True,
        note: str = "",
        method: str = "cubature",
    ) -> VirialEstimate:
        """An estimate from one integration: its `entries` and their error estimates
        `errors` (the derived quantities' errors bound by the sum of the entries' errors
        times the magnitudes of their coefficients)."""
        row = tuple(float(x) for x in entries)
        errs = tuple(abs(float(e)) for e in errors) or tuple(math.nan for _ in row)
        value = thermo.derived(row, order)
        zero = [0.0] * len(row)
        derived_err = [0.0, 0.0, 0.0]
        for k, e in enumerate(errs):
            unit_k = list(zero)
            unit_k[k] = 1.0
            coeffs = thermo.derived(unit_k, order)
            for i in range(3):
                c = coeffs[i]
                derived_err[i] += abs(c) * e if math.isfinite(c) else math.nan
        for i in range(3):
            if math.isnan(value[i]):
                derived_err[i] = math.nan
        return cls(
            order=order,
            t_kelvin=float(t_kelvin),
            unit=unit,
            value=value[0],
            value_stderr=derived_err[0],
            t_dxdt=value[1],
            t_dxdt_stderr=derived_err[1],
            t2_d2xdt2=value[2],
            t2_d2xdt2_stderr=derived_err[2],
            entries_mean=row,
            entries_stderr=errs,
            runs=(row,),
            cpu_seconds=(float(cpu_seconds),),
            method=method,
            error_kind="integration",
            converged=bool(converged),
            notes=(note,) if note else (),
        )

    @property
    def coefficient(self) -> str:
        """"B", "C", or "B4", "B5", ... for higher orders."""
        return "B" if self.order == 2 else "C" if self.order == 3 else f"B{self.order}"

    @property
    def n_runs(self) -> int:
        """Number of runs."""
        return len(self.runs)

    @property
    def is_molar(self) -> bool:
        """True when the values are molar (cm³/mol, cm⁶/mol²)."""
        return self.unit == units.molar_unit(self.order)

    def molar(self) -> VirialEstimate:
        """The same estimate in cm³/mol (B) or cm⁶/mol² (C)."""
        if self.is_molar:
            return self
        f = units.molar_factor(self.order)
        return replace(
            self,
            unit=units.molar_unit(self.order),
            value=self.value * f,
            value_stderr=self.value_stderr * f,
            t_dxdt=self.t_dxdt * f,
            t_dxdt_stderr=self.t_dxdt_stderr * f,
            t2_d2xdt2=self.t2_d2xdt2 * f,
            t2_d2xdt2_stderr=self.t2_d2xdt2_stderr * f,
            entries_mean=tuple(x * f for x in self.entries_mean),
            entries_stderr=tuple(x * f for x in self.entries_stderr),
            runs=tuple(tuple(x * f for x in r) for r in self.runs),
            classical_value=self.classical_value * f,
            classical_value_stderr=self.classical_value_stderr * f,
            quantum_correction=self.quantum_correction * f,
            quantum_correction_stderr=self.quantum_correction_stderr * f,
            quantum_entries=tuple(x * f for x in self.quantum_entries),
            quantum_errors=tuple(x * f for x in self.quantum_errors),
        )

    def to(self, unit: str) -> VirialEstimate:
        """The same estimate in `unit` ("cm^3/mol", "m^3/mol", "L/mol", "angstrom^3", "nm^3",
        "cm^6/mol^2", ...: `vicatools.models.units.coefficient_factor`)."""
        if unit == units.molar_unit(self.order):
            return self.molar()
        f = units.convert_coefficient(self.order, self.unit, unit)
        return replace(
            self, unit=unit, value=self.value * f, value_stderr=self.value_stderr * f, t_dxdt=self.t_dxdt * f,
            t_dxdt_stderr=self.t_dxdt_stderr * f, t2_d2xdt2=self.t2_d2xdt2 * f,
            t2_d2xdt2_stderr=self.t2_d2xdt2_stderr * f, entries_mean=tuple(x * f for x in self.entries_mean),
            entries_stderr=tuple(x * f for x in self.entries_stderr),
            runs=tuple(tuple(x * f for x in r) for r in self.runs),
        )

    def at(self, t_prime: float, max_epsilon: float = thermo.MAX_EPSILON) -> ValueAt:
        """X(T') and its standard error at a nearby temperature T', in `unit` (a `ValueAt`:
        ``x, s = e.at(t)`` unpacks it), from each run's truncated series in 1/T
        (`vicatools.results.thermo.value_at`; |T/T' - 1| must not exceed `max_epsilon`, 0.1 by default)."""
        values = [thermo.value_at(r, self.order, self.t_kelvin, t_prime, max_epsilon) for r in self.runs]
        if self.error_kind == "integration":
            # the truncated series' error is not known here: the entries' errors, summed
            eps = abs(thermo.epsilon(self.t_kelvin, t_prime))
            scale = math.sqrt(2.0) if self.order == 3 else 1.0
            err = math.fsum(e * (scale * eps) ** k for k, e in enumerate(self.entries_stderr))
            return ValueAt(values[0], err, self.unit, t_prime, self.order)
        return ValueAt(*mean_and_stderr(values), self.unit, t_prime, self.order)

    def _repr_html_(self) -> str:
        """A table in notebooks."""
        return display.estimate_html(self)


@dataclass(frozen=True)
class VirialScan:
    """Estimates of one coefficient at several temperatures.

    Attributes:
        order: 2 for B, 3 for C, n >= 4 for B_n.
        models: names of the models (one, or the two / three of a mixture).
        estimates: one `VirialEstimate` per temperature, in the order asked.
        dev_tol: the runs' relative stop tolerance.
        order_max: highest derivative order of the entries.
        mixing: mixing rule of the site-pair tables.
        u_min: the floor used (B only; None for C).
        reference_padding: the padding of the hard-sphere reference used by the runs
            (`vicatools.models.padding`); None when unknown.
        core: the core on bare attracting site pairs (`vicatools.models.cores`): for C
            always, for B when it runs without a floor; None when not used.
        results: path of the results store holding the runs (None when not stored).
        method: the method that made the runs (`vicatools.methods`).
        from_store: how many of the runs were taken from the results store (made earlier,
            with the same settings) rather than made by the call that returned the scan.
        integral_grid: integrated estimates at extra temperatures inside the scan's range,
            made by the same passes (`vicatools.results.integral_curve`); the curve runs
            through them.  Empty for sampled scans.
    """

    order: int
    models: Tuple[str, ...]
    estimates: Tuple[VirialEstimate, ...]
    dev_tol: float
    order_max: int
    mixing: str
    u_min: Optional[UMinChoice] = None
    reference_padding: Optional[PaddingChoice] = None
    core: Optional[CoreChoice] = None
    results: Optional[str] = None
    method: str = "mayer"
    from_store: int = 0
    integral_grid: Tuple[VirialEstimate, ...] = ()

    def __iter__(self) -> Iterator[VirialEstimate]:
        return iter(self.estimates)

    def __len__(self) -> int:
        return len(self.estimates)

    def __getitem__(self, i: int) -> VirialEstimate:
        return self.estimates[i]

    @property
    def temperatures(self) -> List[float]:
        """Temperatures in K."""
        return [e.t_kelvin for e in self.estimates]

    @property
    def quantum(self) -> str:
        """"none", or "first-order" when the values include the first-order quantum correction."""
        return self.estimates[0].quantum if self.estimates else "none"

    @property
    def unit(self) -> str:
        """Unit of the estimates' values."""
        return self.estimates[0].unit

    def molar(self) -> VirialScan:
        """The same scan in cm³/mol (B) or cm⁶/mol² (C)."""
        return replace(self, estimates=tuple(e.molar() for e in self.estimates),
                       integral_grid=tuple(e.molar() for e in self.integral_grid))

    def to(self, unit: str) -> VirialScan:
        """The same scan in `unit` (see `VirialEstimate.to`); its curves follow."""
        return replace(self, estimates=tuple(e.to(unit) for e in self.estimates),
                       integral_grid=tuple(e.to(unit) for e in self.integral_grid))

    def reduced(self) -> List[ReducedPoint]:
        """The scan in the reduced units of its one-site Lennard-Jones model: B_n / sigma^(3(n-1))
        at T* = k T / epsilon (`vicatools.results.quantities.ReducedPoint`); ValueError for
        other models."""
        return reduced(self)

    def interpolant(self) -> Curve:
        """The piecewise quintic Hermite curve through the scan (`vicatools.results.curve`), in `unit`;
        for an integrated scan also through its `integral_grid`.  Needs at least two temperatures
        and ``order_max`` of at least 2."""
        if self.order_max < 2:
            raise ValueError("the curve needs T^2 d2X/dT2 at every temperature: scan with order_max of at least 2")
        nodes = curve_estimates(self.estimates, self.integral_grid)
        return Curve([e.t_kelvin for e in nodes], [_curve_nodes(e) for e in nodes], self.unit)

    @overload
    def curve(self, t_kelvin: float) -> CurvePoint: ...

    @overload
    def curve(self, t_kelvin: Iterable[float]) -> List[CurvePoint]: ...

    def curve(self, t_kelvin: Union[float, Iterable[float]]) -> Union[CurvePoint, List[CurvePoint]]:
        """X, T dX/dT and T² d²X/dT² with standard errors and interpolation error at any
        temperature (K; a number, a sequence or a numpy array) inside the scan, from the
        curve of `interpolant` (in `unit`)."""
        c = self.interpolant()
        ts = units.temperatures(t_kelvin)
        ndim = getattr(t_kelvin, "ndim", None)
        if (ndim is None and isinstance(t_kelvin, Iterable)) or (ndim is not None and ndim > 0):
            return [c(t) for t in ts]
        return c(ts[0])

    def boyle_temperature(self) -> CurveRoot:
        """Temperature in K at which B = 0, solved on the curve (`interpolant`), with its
        standard error from the runs and its interpolation error (``uncertainty`` combines them)."""
        if self.order != 2:
            raise ValueError("the Boyle temperature is the zero of B, not of C")
        c = self.interpolant()
        try:
            return find_root(c, lambda n: n[0], lambda t: c.interpolation_errors(t)[0])
        except ValueError:
            raise ValueError(
                "B does not change sign over the scanned temperatures: no Boyle temperature in range"
            ) from None

    def inversion_temperature(self) -> CurveRoot:
        """Joule-Thomson inversion temperature at zero pressure in K: the zero of
        B - T dB/dT, solved on the curve as `boyle_temperature`."""
        if self.order != 2:
            raise ValueError("the Joule-Thomson inversion temperature is the zero of B - T dB/dT, a property of B")
        c = self.interpolant()

        def err(t: float) -> float:
            e0, e1 = c.interpolation_errors(t)
            return math.hypot(e0, e1)

        try:
            return find_root(c, lambda n: n[0] - n[1], err)
        except ValueError:
            raise ValueError(
                "B - T dB/dT does not change sign over the scanned temperatures: no inversion temperature in range"
            ) from None

    def covariance(self) -> List[List[float]]:
        """The covariance matrix of the values at the scan's temperatures, in `unit` squared:
        squared standard errors on the diagonal, and between temperatures that share runs (a
        multi-walk) their covariance through those runs; 0 between separate runs
        (`vicatools.results.correlation`)."""
        return value_covariance(self.estimates)

    def correlation(self) -> List[List[float]]:
        """The correlation matrix of the values at the scan's temperatures: the identity for
        temperatures of separate runs; for temperatures served by the same runs of a
        multi-walk, the correlation of their estimates through those runs.  A fit across
        temperatures must not treat correlated points as independent (`fit_b` takes it)."""
        return value_correlation(self.estimates)

    def _repr_html_(self) -> str:
        """A table in notebooks: one row per temperature."""
        return display.scan_html(self)

    def plot(self, path: Any = None, **kwargs: Any) -> Any:
        """Draw the standard figure of the scan (`vicatools.plot.plot_scan`: the molar
        coefficient against T with error bars and the curve through them; ``ax``,
        ``sigmas`` and ``reference`` as there), saved to `path` when given; returns
        the matplotlib Axes.  Needs matplotlib (the 'plot' extra)."""
        return display.plot(self, path, **kwargs)

    def to_dataframe(self) -> Any:
        """A pandas DataFrame of the scan in molar units, one row per temperature, with
        the CSV columns (`vicatools.io.csv_columns`).  Needs pandas (the 'pandas' extra)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("to_dataframe needs pandas: pip install pandas (or vica's 'pandas' extra)") from None
        from .rows import QUANTUM_COLUMNS, csv_columns, estimate_row

        cols = list(csv_columns(self.order)) + (list(QUANTUM_COLUMNS) if self.quantum != "none" else [])
        df = pandas.DataFrame([estimate_row(e) for e in self.estimates], columns=cols)
        df.attrs["unit"] = units.molar_unit(self.order)  # the frame names its unit, as every result does
        return df


def _curve_nodes(e: VirialEstimate) -> List[Tuple[float, float, float]]:
    """The nodes a curve takes from an estimate: each run's (X, T dX/dT, T^2 d2X/dT2); for an
    integration, its value shifted up and down by its error estimate (two "runs" whose mean is
    the value and whose standard error is the error estimate)."""
    if e.error_kind == "integration":
        up = (e.value + e.value_stderr, e.t_dxdt + e.t_dxdt_stderr, e.t2_d2xdt2 + e.t2_d2xdt2_stderr)
        down = (e.value - e.value_stderr, e.t_dxdt - e.t_dxdt_stderr, e.t2_d2xdt2 - e.t2_d2xdt2_stderr)
        return [up, down]
    return [thermo.derived(r, e.order) for r in e.runs]


class ScanError(RuntimeError):
    """Some runs of a scan failed.  Nothing is lost: every run that finished is in the
    results store, and a rerun of the same scan makes only the runs missing.

    Attributes:
        scan: the estimates at the temperatures with at least 2 successful runs (a
            `VirialScan`), or None when there is none.
        failures: one `ScanFailure` per temperature and reason.
        results: path of the results store (None when not stored).
    """

    def __init__(self, scan: Optional[VirialScan], failures: Sequence[ScanFailure], results: Optional[str]):
        self.scan = scan
        self.failures = tuple(failures)
        self.results = results
        n = sum(f.runs for f in self.failures)
        temps = sorted({f.t_kelvin for f in self.failures})
        super().__init__(
            f"{n} run(s) failed at {', '.join(f'{t:g}' for t in temps)} K; first: {self.failures[0]}"
            if self.failures
            else "the scan failed"
        )
