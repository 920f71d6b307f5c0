"""B2 and C (B3) with error bars from independent `vica` runs.

`b2` and `b3` make `runs` independent runs per temperature (in parallel, see
`vicatools.parallel`) and summarise them as `VirialEstimate` records: the mean
and standard error over runs of the coefficient, of its temperature
derivatives T dX/dT and T^2 d^2X/dT^2 (computed per run, `vicatools.thermo`),
and of every returned entry, with the runs' entries kept.  The standard error
is the sample standard deviation over runs (n - 1 in the denominator) divided
by sqrt(n); with n runs, (mean - true) / stderr follows Student's t
distribution with n - 1 degrees of freedom.

Units: per molecule, B in Å³ and C in Å⁶ (``unit`` "angstrom^3" /
"angstrom^6"); ``.molar()`` converts to cm³/mol and cm⁶/mol².
"""
from __future__ import annotations

import concurrent.futures as cf
import decimal
import math
import numbers
import os
import pathlib
import sys
from dataclasses import dataclass, replace
from typing import Any, Iterable, Iterator, List, Optional, Sequence, Tuple, Union, overload

from . import thermo

from ..models import units
from .curve import Curve, CurvePoint, CurveRoot, find_root
from ..models.cores import CoreChoice, CoreLike, checked_core
from ..models.library import resolve_model
from ..models.model import Model
from ..models.padding import PaddingChoice, PaddingLike, choose_padding
from ..scan.executors import RunFailure, RunResult, RunTask, run_each
from ..scan.executors import reference_padding as bn_reference_padding
from ..scan.store import RunRecord, RunStore, ScanSettings, default_store_path, versions
from ..models.mixing import check_mixing
from ..models.floors import UMinChoice, choose_u_min, lowest_dimer_energy

ModelLike = Union[Model, str, "os.PathLike[str]"]

DEFAULT_RUNS = 8
DEFAULT_DEV_TOL = 1e-3
DEFAULT_ORDER_MAX = 2

MAX_ORDER_MAX = 169
"""Highest ``order_max`` the runs can hold: from order 170 on, the k! of the entries
overflows a double and a run fails after its first production block."""

MAX_RUNS = 100_000
"""Most runs per temperature (a bound against typing mistakes such as ``runs=10**9``)."""

ResultsArg = Union[None, bool, str, "os.PathLike[str]"]


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
            returned by `vica` (see `vicatools.thermo` for their meaning).
        runs: the entries of every run.
        cpu_seconds: CPU time of every run in s (empty when unknown).
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

    @classmethod
    def from_runs(
        cls,
        order: int,
        t_kelvin: float,
        runs: Sequence[Sequence[float]],
        unit: str,
        cpu_seconds: Sequence[float] = (),
    ) -> VirialEstimate:
        """Summarise the entries of two or more runs (all of one length) at `t_kelvin`
        (with each run's CPU time in s, if known)."""
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
        )

    def at(self, t_prime: float, max_epsilon: float = thermo.MAX_EPSILON) -> Tuple[float, float]:
        """(X(T'), standard error) at a nearby temperature T', in `unit`, from each
        run's truncated series in 1/T (`vicatools.thermo.value_at`; |T/T' - 1| must
        not exceed `max_epsilon`, 0.1 by default)."""
        return mean_and_stderr([thermo.value_at(r, self.order, self.t_kelvin, t_prime, max_epsilon) for r in self.runs])


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
            (`vicatools.padding`); None when unknown.
        core: the core on bare attracting site pairs (`vicatools.cores`): for C
            always, for B when it runs without a floor; None when not used.
        results: path of the results store holding the runs (None when not stored).
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
    def unit(self) -> str:
        """Unit of the estimates' values."""
        return self.estimates[0].unit

    def molar(self) -> VirialScan:
        """The same scan in cm³/mol (B) or cm⁶/mol² (C)."""
        return replace(self, estimates=tuple(e.molar() for e in self.estimates))

    def interpolant(self) -> Curve:
        """The piecewise quintic Hermite curve through the scan (`vicatools.curve`), in `unit`.
        Needs at least two temperatures and ``order_max`` of at least 2."""
        if self.order_max < 2:
            raise ValueError("the curve needs T^2 d2X/dT2 at every temperature: scan with order_max of at least 2")
        return Curve(
            self.temperatures, [[thermo.derived(r, self.order) for r in e.runs] for e in self.estimates], self.unit
        )

    @overload
    def curve(self, t_kelvin: float) -> CurvePoint: ...

    @overload
    def curve(self, t_kelvin: Iterable[float]) -> List[CurvePoint]: ...

    def curve(self, t_kelvin: Union[float, Iterable[float]]) -> Union[CurvePoint, List[CurvePoint]]:
        """X, T dX/dT and T² d²X/dT² with standard errors and interpolation error at any
        temperature (K; a number, a sequence or a numpy array) inside the scan, from the
        curve of `interpolant` (in `unit`)."""
        c = self.interpolant()
        ts = _temperatures(t_kelvin)
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

    def to_dataframe(self) -> Any:
        """A pandas DataFrame of the scan in molar units, one row per temperature, with
        the CSV columns (`vicatools.io.csv_columns`).  Needs pandas (the 'pandas' extra)."""
        try:
            import pandas
        except ImportError:
            raise ImportError("to_dataframe needs pandas: pip install pandas (or vica's 'pandas' extra)") from None
        from ..io import csv_columns, estimate_row

        cols = list(csv_columns(self.order))
        return pandas.DataFrame([estimate_row(e) for e in self.estimates], columns=cols)


def _temperature(t: object) -> float:
    """One temperature as a float: a real number (Python, numpy or Decimal), not a bool, string or bytes."""
    if isinstance(t, (str, bytes, bytearray, bool)) or type(t).__name__ == "bool_":
        raise TypeError(f"a temperature must be a number in K, got {t!r}")
    if not isinstance(t, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"a temperature must be a number in K, got {t!r}")
    value = float(t)
    if not (value > 0.0 and math.isfinite(value)):
        raise ValueError(f"temperature must be a finite number above 0 K, got {value:g}")
    return value


def _temperatures(temperatures: Union[float, Iterable[float]]) -> List[float]:
    """Temperatures in K from a number, a sequence or a numpy scalar or 1-d array."""
    if isinstance(temperatures, (str, bytes, bytearray, bool)):
        raise TypeError(f"temperatures must be numbers in K (a number or a list of them), got {temperatures!r}")
    ndim = getattr(temperatures, "ndim", None)
    if ndim is not None and ndim > 1:
        raise ValueError(f"temperatures must be a number or a 1-d sequence, got an array of {ndim} dimensions")
    if ndim == 0 and hasattr(temperatures, "item"):
        temperatures = temperatures.item()
    if isinstance(temperatures, Iterable):
        ts = [_temperature(t) for t in temperatures]
    else:
        ts = [_temperature(temperatures)]
    if not ts:
        raise ValueError("no temperature given")
    return ts


def _check_common(runs: int, dev_tol: float, order_max: int) -> None:
    if isinstance(runs, bool) or not isinstance(runs, int) or runs < 2:
        raise ValueError(f"runs must be an integer of at least 2 (no error bar from one run), got {runs!r}")
    if runs > MAX_RUNS:
        raise ValueError(f"runs must be at most {MAX_RUNS} per temperature, got {runs}")
    if isinstance(dev_tol, bool) or not (dev_tol > 0.0) or math.isnan(dev_tol):
        raise ValueError(f"dev_tol must be above 0, got {dev_tol!r}")
    if isinstance(order_max, bool) or not isinstance(order_max, int) or order_max < 0:
        raise ValueError(f"order_max must be an integer of at least 0, got {order_max!r}")
    if order_max > MAX_ORDER_MAX:
        raise ValueError(
            f"order_max must be at most {MAX_ORDER_MAX} (from 170 on, k! overflows a double and "
            f"the runs fail), got {order_max}"
        )


def check_floor(first: Model, second: Model, mixing: str, u_min: float) -> None:
    """Refuse a floor above the lowest pair energy of the two models (found by
    `vicatools.umin.lowest_dimer_energy`): every configuration at or below the floor
    counts as a full overlap, so such a floor would cut into the attractive well."""
    if not math.isfinite(u_min):
        return
    e_min = lowest_dimer_energy(first, second, mixing)
    if u_min > e_min:
        pair = first.name if first is second or first == second else f"{first.name} + {second.name}"
        raise ValueError(
            f"u_min = {u_min:g} K is above the lowest pair energy of {pair} ({e_min:.4g} K): every "
            f"configuration at or below the floor counts as a full overlap (f = -1), so this floor "
            f"would cut off part of the attractive well and give a wrong B; give a floor below "
            f"{e_min:.4g} K, or none"
        )


@dataclass(frozen=True)
class ScanFailure:
    """Runs at one temperature that failed with one reason.

    Attributes:
        t_kelvin: temperature in K.
        runs: how many runs failed so (0: the temperature has too few successful runs
            for an estimate, `reason` says how many).
        reason: one line.
    """

    t_kelvin: float
    runs: int
    reason: str

    def __str__(self) -> str:
        what = f"{self.runs} run{'s' if self.runs != 1 else ''} failed: " if self.runs else ""
        return f"T = {self.t_kelvin:g} K: {what}{self.reason}"


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


def open_store(results: ResultsArg, settings: ScanSettings) -> Optional[RunStore]:
    """The results store of a scan: `results` False -> none; None or True -> the default
    file of these settings (`vicatools.store.default_store_path`); else that path."""
    if results is False:
        return None
    path = default_store_path(settings) if results is None or results is True else pathlib.Path(results)
    return RunStore(path)


def _scan(
    order: int,
    models: Sequence[Model],
    temperatures: List[float],
    runs: int,
    dev_tol: float,
    order_max: int,
    mixing: str,
    u_min: Optional[UMinChoice],
    padding: PaddingChoice,
    core: Optional[CoreChoice],
    workers: Optional[int],
    executor: Optional[cf.Executor],
    progress: bool,
    log_dir: Optional[Union[str, "os.PathLike[str]"]],
    results: ResultsArg = None,
    engine: str = "vica",
    block_steps: int = 1000000,
    max_blocks: int = 1000,
) -> VirialScan:
    name = f"b{order}"
    settings = ScanSettings(
        order=order,
        models=tuple(models),
        mixing=mixing,
        u_min=u_min.value if u_min is not None else -math.inf,
        dev_tol=dev_tol,
        order_max=order_max,
        length_unit=padding.angstrom,
        core=core.distance if core is not None and core.applied else 0.0,
        engine=engine,
        block_steps=block_steps,
        max_blocks=max_blocks,
    )
    store = open_store(results, settings)
    log_base = None
    if log_dir is not None:
        # absolute: the runs may be made in processes with other working directories (Dask)
        log_base = pathlib.Path(log_dir).resolve()
        log_base.mkdir(parents=True, exist_ok=True)
    try:
        return _scan_with_store(
            name, settings, temperatures, runs, u_min, padding, core, workers, executor, progress, log_base, store
        )
    finally:
        if store is not None:
            store.close()


def _scan_with_store(
    name: str,
    settings: ScanSettings,
    temperatures: List[float],
    runs: int,
    u_min: Optional[UMinChoice],
    padding: PaddingChoice,
    core: Optional[CoreChoice],
    workers: Optional[int],
    executor: Optional[cf.Executor],
    progress: bool,
    log_base: Optional[pathlib.Path],
    store: Optional[RunStore],
) -> VirialScan:
    order = settings.order
    ts = temperatures
    # stored runs of the same settings, by temperature; a temperature given twice (two
    # independent estimates) takes them in turn
    stored: dict[float, List[RunResult]] = {t: [] for t in ts}
    if store is not None:
        key = settings.key
        for rec in store.records():
            if rec.ok and rec.key == key and rec.t_kelvin in stored:
                stored[rec.t_kelvin].append(RunResult(rec.entries, rec.cpu_seconds))
    made: List[List[RunResult]] = []
    for t in ts:
        made.append(stored[t][:runs])
        del stored[t][:runs]
    nonce = os.urandom(8).hex()
    tasks: List[RunTask] = []
    point: List[int] = []
    for i, t in enumerate(ts):
        for r in range(len(made[i]), runs):
            log = None if log_base is None else str(log_base / f"{name}_{i:03d}_T{t:g}K_run{r:02d}.log")
            point.append(i)
            tasks.append(
                RunTask(
                    order=order,
                    models=settings.models,
                    mixing=settings.mixing,
                    t_kelvin=t,
                    u_min=settings.u_min,
                    dev_tol=settings.dev_tol,
                    order_max=settings.order_max,
                    log_path=log,
                    token=f"{nonce}-{i}-{r}",
                    length_unit=settings.length_unit,
                    core=settings.core,
                    engine=settings.engine,
                    block_steps=settings.block_steps,
                    max_blocks=settings.max_blocks,
                )
            )
    if progress and store is not None:
        print(
            f"results: {store.path} ({sum(map(len, made))} of {runs * len(ts)} runs already there, "
            f"{len(tasks)} to make)",
            file=sys.stderr,
            flush=True,
        )
    failed: dict[Tuple[float, str], int] = {}
    stamp = versions()

    def on_done(i: int, outcome: Union[RunResult, RunFailure]) -> None:
        task = tasks[i]
        if isinstance(outcome, RunResult):
            record = RunRecord(settings, task.t_kelvin, "ok", outcome.entries, outcome.cpu_seconds, versions=stamp)
            made[point[i]].append(outcome)
        else:
            record = RunRecord(settings, task.t_kelvin, "failed", reason=outcome.reason, versions=stamp)
            failed[(task.t_kelvin, outcome.reason)] = failed.get((task.t_kelvin, outcome.reason), 0) + 1
        if store is not None:
            try:
                store.append(record)
            except OSError as exc:
                raise OSError(f"cannot write the results store {str(store.path)!r}: {exc.strerror or exc}") from None

    if tasks:
        run_each(tasks, on_done, executor=executor, workers=workers, progress=progress, description=name)
    unit = units.molecular_unit(order)
    estimates = []
    failures = [ScanFailure(t, n, reason) for (t, reason), n in failed.items()]
    for t, chunk in zip(ts, made):
        if len(chunk) >= 2:
            estimates.append(
                VirialEstimate.from_runs(order, t, [r.entries for r in chunk], unit, [r.cpu_seconds for r in chunk])
            )
        else:
            failures.append(ScanFailure(t, 0, f"no estimate: {len(chunk)} successful run(s), 2 needed"))
    models = settings.models
    scan = VirialScan(
        order=order,
        models=tuple(m.name for m in models) if len({id(m) for m in models}) > 1 else (models[0].name,),
        estimates=tuple(estimates),
        dev_tol=settings.dev_tol,
        order_max=settings.order_max,
        mixing=settings.mixing,
        u_min=u_min,
        reference_padding=padding,
        core=core,
        results=None if store is None else str(store.path),
    )
    if failures:
        failures.sort(key=lambda f: (ts.index(f.t_kelvin), f.runs == 0))
        raise ScanError(scan if estimates else None, failures, scan.results)
    return scan


def b2(
    model: ModelLike,
    model2: Optional[ModelLike] = None,
    *,
    temperatures: Union[float, Iterable[float]],
    runs: int = DEFAULT_RUNS,
    dev_tol: float = DEFAULT_DEV_TOL,
    order_max: int = DEFAULT_ORDER_MAX,
    u_min: Optional[Union[float, UMinChoice]] = None,
    core: CoreLike = "default",
    mixing: str = "lorentz-berthelot",
    workers: Optional[int] = None,
    executor: Optional[cf.Executor] = None,
    progress: bool = True,
    log_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    reference_padding: PaddingLike = "auto",
    results: ResultsArg = None,
) -> VirialScan:
    """Second virial coefficient B of `model` (or the cross coefficient B12 of
    `model` and `model2`) at each of `temperatures` (K), from `runs` independent
    `vica.Bms` runs per temperature.

    Models are `Model` objects, library names or model-file paths.  `u_min`
    (K) defaults to the rule of `vicatools.umin.choose_u_min`; the floor used is
    in the result's ``u_min``.  A run without floor (``u_min=-inf``) of models whose
    bare charges can collapse takes the core of `vicatools.cores` (`core`: "default"
    for 0.1 Å, a distance in Å, or None to refuse it, which makes such a run an
    error); the core used is in the result's ``core``.  `dev_tol` and `order_max` go to every run.  Runs go
    to `executor` if given, else to a process pool of `workers` processes (all
    cores by default).  `progress` shows a tqdm bar over runs on standard error;
    `log_dir` keeps each run's progress lines in its own file there (else they are
    discarded).  `reference_padding` is "auto" (default) or a length in Å: the runs'
    hard-sphere reference diameter is the molecules' radii plus this padding
    (`vicatools.padding`; 1 gives runs made in Å); the padding used is in the
    result's ``reference_padding``.  It changes the error bars, not the values.
    Values are per molecule in Å³; ``.molar()`` gives cm³/mol.

    Every run is stored as it finishes in the results store `results` (a JSON Lines
    file, `vicatools.store`): by default a file in the user's data directory named
    after the scan's settings, ``False`` for none.  Runs already in the store with
    the same settings and temperature count, so repeating a call makes only the
    runs missing.  A floor given above the models' lowest pair energy is refused
    (ValueError).  When any run fails (a non-finite result, a refused setting, a
    worker that died three times, a lost cluster) the others go on, and at the end
    `ScanError` is raised, carrying the estimates that could be made (``.scan``) and
    one `ScanFailure` per temperature and reason (``.failures``).
    """
    ts = _temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    check_mixing(mixing)
    first = resolve_model(model)
    second = first if model2 is None else resolve_model(model2)
    padding = choose_padding([first, second], reference_padding, mixing)
    choice = u_min if isinstance(u_min, UMinChoice) else choose_u_min([first, second], mixing, u_min)
    core_used: Optional[CoreChoice] = None
    if choice.value == -math.inf:
        core_used = checked_core([first, second], mixing, core, "B without an energy floor (u_min = -inf)")
    if choice.origin == "given":
        check_floor(first, second, mixing, choice.value)
    return _scan(
        2, [first, second], ts, runs, dev_tol, order_max, mixing, choice, padding, core_used, workers, executor,
        progress, log_dir, results,
    )


def b3(
    model: ModelLike,
    model2: Optional[ModelLike] = None,
    model3: Optional[ModelLike] = None,
    *,
    temperatures: Union[float, Iterable[float]],
    runs: int = DEFAULT_RUNS,
    dev_tol: float = DEFAULT_DEV_TOL,
    order_max: int = DEFAULT_ORDER_MAX,
    core: CoreLike = "default",
    mixing: str = "lorentz-berthelot",
    workers: Optional[int] = None,
    executor: Optional[cf.Executor] = None,
    progress: bool = True,
    log_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    reference_padding: PaddingLike = "auto",
    results: ResultsArg = None,
) -> VirialScan:
    """Third virial coefficient C of `model` (or C123 of three models) at each of
    `temperatures` (K), from `runs` independent `vica.Cms` runs per temperature.

    Give one model or three (for a binary mixture repeat one: ``b3("a", "a", "b")`` is
    C_aab, molecule 1 being the one held fixed).  `vica.Cms` has no energy floor: site pairs whose
    bare charges attract and can collapse get the r^-12 core of `vicatools.cores` (`core`:
    "default" for 0.1 Å, a distance in Å, or None to refuse it, which makes C of such models a
    ValueError); the core used is in the result's ``core``.  Other arguments,
    `reference_padding`, the results store and `ScanError` among them, as for `b2`.  Values are per
    molecule in Å⁶; ``.molar()`` gives cm⁶/mol².
    """
    ts = _temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    check_mixing(mixing)
    if (model2 is None) != (model3 is None):
        raise ValueError("give one model or three for C")
    first = resolve_model(model)
    ms = [first, first, first]
    if model2 is not None and model3 is not None:
        ms = [first, resolve_model(model2), resolve_model(model3)]
    padding = choose_padding(ms, reference_padding, mixing)
    core_used = checked_core(ms, mixing, core, "C")
    return _scan(
        3, ms, ts, runs, dev_tol, order_max, mixing, None, padding, core_used, workers, executor, progress, log_dir,
        results,
    )



DEFAULT_BN_BLOCKS = 20
"""Production blocks of a B_n run by default (with `DEFAULT_BN_BLOCK_STEPS` steps each):
at n = 4 about ten CPU seconds for small rigid molecules (TraPPE CO2)."""

DEFAULT_BN_BLOCK_STEPS = 1000000


def bn_u_min(models: Sequence[Model], mixing: str, u_min: Optional[float]) -> UMinChoice:
    """The energy floor of a B_n run: the rule of `vicatools.umin` for each pair of
    distinct models, the highest floor of them all."""
    distinct: List[Model] = []
    for m in models:
        if all(m is not d for d in distinct):
            distinct.append(m)
    if len(distinct) == 1:
        return choose_u_min(distinct, mixing, u_min)
    choices = [
        choose_u_min([a, b], mixing, u_min) for i, a in enumerate(distinct) for b in distinct[i:]
    ]
    return max(choices, key=lambda c: c.value)


def bn(
    model: Union[ModelLike, Sequence[ModelLike]],
    n: int = 4,
    *,
    temperatures: Union[float, Iterable[float]],
    runs: int = DEFAULT_RUNS,
    dev_tol: float = DEFAULT_DEV_TOL,
    order_max: int = DEFAULT_ORDER_MAX,
    u_min: Optional[Union[float, UMinChoice]] = None,
    max_blocks: int = DEFAULT_BN_BLOCKS,
    block_steps: int = DEFAULT_BN_BLOCK_STEPS,
    mixing: str = "lorentz-berthelot",
    workers: Optional[int] = None,
    executor: Optional[cf.Executor] = None,
    progress: bool = True,
    log_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    results: ResultsArg = None,
) -> VirialScan:
    """The n-th virial coefficient B_n (n = 2..8; B4, B5, ...) of `model` at each of
    `temperatures` (K), from `runs` independent runs of the B_n engine per temperature
    (`vicatools._engine`: the sum over biconnected graphs by a recursion over subsets,
    sampled against hard spheres).

    `model` is one model, or a sequence of n models for a mixture coefficient (molecule
    1, held fixed, is the first).  A run makes up to `max_blocks` blocks of
    `block_steps` Monte Carlo steps after ten tuning cycles of a tenth of a block, and
    stops earlier when the spread of its last ten running estimates falls under
    `dev_tol` (relative); its length sets the error bar (about 1 / sqrt(steps)).
    `u_min` (K) is an energy floor for models with bare charges (rules of
    `vicatools.umin`, the highest floor of every pair of models).  The entries are
    (beta^k / k!) d^k B_n / d beta^k for k = 0..order_max (for n = 3 they follow Cms's
    convention, see `vicatools.thermo`).  Values are per molecule in Å^(3(n-1));
    ``.molar()`` gives cm^(3(n-1))/mol^(n-1).  Other arguments as for `b2` (the results
    store and `ScanError` among them).
    """
    if isinstance(n, bool) or not isinstance(n, int) or not 2 <= n <= 8:
        raise ValueError(f"n must be an integer from 2 to 8, got {n!r}")
    ts = _temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    if order_max > 30:
        raise ValueError(f"order_max must be at most 30 for B_n, got {order_max}")
    for name, v, low in (("max_blocks", max_blocks, 1), ("block_steps", block_steps, 1000)):
        if isinstance(v, bool) or not isinstance(v, int) or v < low:
            raise ValueError(f"{name} must be an integer of at least {low}, got {v!r}")
    check_mixing(mixing)
    if isinstance(model, (Model, str, os.PathLike)):
        ms = [resolve_model(model)] * n
    else:
        group = list(model)
        if len(group) != n:
            raise ValueError(f"give one model or n = {n} models, got {len(group)}")
        ms = [resolve_model(m) for m in group]
    choice = u_min if isinstance(u_min, UMinChoice) else bn_u_min(ms, mixing, u_min)
    sigma = bn_reference_padding(ms)
    padding = PaddingChoice(
        sigma, "auto", f"the largest Lennard-Jones sigma of the models' sites ({sigma:g} A), as the B_n engine takes it"
    )
    return _scan(
        n, ms, ts, runs, dev_tol, order_max, mixing, choice, padding, None, workers, executor, progress, log_dir,
        results, engine="bn", block_steps=block_steps, max_blocks=max_blocks,
    )


def b4(model: Union[ModelLike, Sequence[ModelLike]], **kwargs: Any) -> VirialScan:
    """The fourth virial coefficient: ``bn(model, 4, ...)``."""
    return bn(model, 4, **kwargs)


def b5(model: Union[ModelLike, Sequence[ModelLike]], **kwargs: Any) -> VirialScan:
    """The fifth virial coefficient: ``bn(model, 5, ...)``."""
    return bn(model, 5, **kwargs)
