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
import math
import os
import pathlib
from dataclasses import dataclass, replace
from typing import Any, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from . import thermo, units
from .library import resolve_model
from .models import Model
from .parallel import RunTask, execute
from .tables import check_mixing
from .umin import UMinChoice, choose_u_min

ModelLike = Union[Model, str, "os.PathLike[str]"]

DEFAULT_RUNS = 8
DEFAULT_DEV_TOL = 1e-3
DEFAULT_ORDER_MAX = 2


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
    """

    order: int
    models: Tuple[str, ...]
    estimates: Tuple[VirialEstimate, ...]
    dev_tol: float
    order_max: int
    mixing: str
    u_min: Optional[UMinChoice] = None

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

    def boyle_temperature(self) -> thermo.BoyleTemperature:
        """Temperature in K at which B = 0, interpolated in 1/T (`vicatools.thermo.boyle_temperature`)."""
        if self.order != 2:
            raise ValueError("the Boyle temperature is the zero of B, not of C")
        return thermo.boyle_temperature(
            self.temperatures, [e.value for e in self.estimates], [e.value_stderr for e in self.estimates]
        )


def _temperatures(temperatures: Union[float, Iterable[float]]) -> List[float]:
    ts = [float(temperatures)] if isinstance(temperatures, (int, float)) else [float(t) for t in temperatures]
    if not ts:
        raise ValueError("no temperature given")
    for t in ts:
        if not (t > 0.0 and math.isfinite(t)):
            raise ValueError(f"temperature must be a finite number above 0 K, got {t:g}")
    return ts


def _check_common(runs: int, dev_tol: float, order_max: int) -> None:
    if isinstance(runs, bool) or not isinstance(runs, int) or runs < 2:
        raise ValueError(f"runs must be an integer of at least 2 (no error bar from one run), got {runs!r}")
    if not (dev_tol > 0.0) or math.isnan(dev_tol):
        raise ValueError(f"dev_tol must be above 0, got {dev_tol!r}")
    if isinstance(order_max, bool) or not isinstance(order_max, int) or order_max < 0:
        raise ValueError(f"order_max must be an integer of at least 0, got {order_max!r}")


def _scan(
    order: int,
    models: Sequence[Model],
    temperatures: List[float],
    runs: int,
    dev_tol: float,
    order_max: int,
    mixing: str,
    u_min: Optional[UMinChoice],
    workers: Optional[int],
    executor: Optional[cf.Executor],
    progress: bool,
    log_dir: Optional[Union[str, "os.PathLike[str]"]],
    engine: str = "vica",
    block_steps: int = 1000000,
    max_blocks: int = 1000,
) -> VirialScan:
    name = f"b{order}"
    log_base = None
    if log_dir is not None:
        log_base = pathlib.Path(log_dir)
        log_base.mkdir(parents=True, exist_ok=True)
    nonce = os.urandom(8).hex()
    tasks = []
    for i, t in enumerate(temperatures):
        for r in range(runs):
            log = None if log_base is None else str(log_base / f"{name}_{i:03d}_T{t:g}K_run{r:02d}.log")
            tasks.append(
                RunTask(
                    order=order,
                    models=tuple(models),
                    mixing=mixing,
                    t_kelvin=t,
                    u_min=u_min.value if u_min is not None else -math.inf,
                    dev_tol=dev_tol,
                    order_max=order_max,
                    log_path=log,
                    token=f"{nonce}-{i}-{r}",
                    engine=engine,
                    block_steps=block_steps,
                    max_blocks=max_blocks,
                )
            )
    results = execute(tasks, executor=executor, workers=workers, progress=progress, description=name)
    unit = units.molecular_unit(order)
    estimates = []
    for i, t in enumerate(temperatures):
        chunk = results[i * runs : (i + 1) * runs]
        estimates.append(
            VirialEstimate.from_runs(order, t, [r.entries for r in chunk], unit, [r.cpu_seconds for r in chunk])
        )
    return VirialScan(
        order=order,
        models=tuple(m.name for m in models) if len({id(m) for m in models}) > 1 else (models[0].name,),
        estimates=tuple(estimates),
        dev_tol=dev_tol,
        order_max=order_max,
        mixing=mixing,
        u_min=u_min,
    )


def b2(
    model: ModelLike,
    model2: Optional[ModelLike] = None,
    *,
    temperatures: Union[float, Iterable[float]],
    runs: int = DEFAULT_RUNS,
    dev_tol: float = DEFAULT_DEV_TOL,
    order_max: int = DEFAULT_ORDER_MAX,
    u_min: Optional[Union[float, UMinChoice]] = None,
    mixing: str = "lorentz-berthelot",
    workers: Optional[int] = None,
    executor: Optional[cf.Executor] = None,
    progress: bool = True,
    log_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
) -> VirialScan:
    """Second virial coefficient B of `model` (or the cross coefficient B12 of
    `model` and `model2`) at each of `temperatures` (K), from `runs` independent
    `vica.Bms` runs per temperature.

    Models are `Model` objects, library names or model-file paths.  `u_min`
    (K) defaults to the rule of `vicatools.umin.choose_u_min`; the floor used is
    in the result's ``u_min``.  `dev_tol` and `order_max` go to every run.  Runs go
    to `executor` if given, else to a process pool of `workers` processes (all
    cores by default).  `progress` shows a tqdm bar over runs on standard error;
    `log_dir` keeps each run's progress lines in its own file there (else they are
    discarded).  Values are per molecule in Å³; ``.molar()`` gives cm³/mol.
    """
    ts = _temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    check_mixing(mixing)
    first = resolve_model(model)
    second = first if model2 is None else resolve_model(model2)
    choice = u_min if isinstance(u_min, UMinChoice) else choose_u_min([first, second], mixing, u_min)
    return _scan(2, [first, second], ts, runs, dev_tol, order_max, mixing, choice, workers, executor, progress, log_dir)


def b3(
    model: ModelLike,
    model2: Optional[ModelLike] = None,
    model3: Optional[ModelLike] = None,
    *,
    temperatures: Union[float, Iterable[float]],
    runs: int = DEFAULT_RUNS,
    dev_tol: float = DEFAULT_DEV_TOL,
    order_max: int = DEFAULT_ORDER_MAX,
    mixing: str = "lorentz-berthelot",
    workers: Optional[int] = None,
    executor: Optional[cf.Executor] = None,
    progress: bool = True,
    log_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
) -> VirialScan:
    """Third virial coefficient C of `model` (or C123 of three models) at each of
    `temperatures` (K), from `runs` independent `vica.Cms` runs per temperature.

    Give one model or three (for a binary mixture repeat one: ``b3("a", "a", "b")`` is
    C_aab, molecule 1 being the one held fixed).  `vica.Cms` has no energy floor: models whose bare
    charges can collapse (see `vicatools.umin`) are not suited.  Other arguments
    as for `b2`.  Values are per molecule in Å⁶; ``.molar()`` gives cm⁶/mol².
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
    return _scan(3, ms, ts, runs, dev_tol, order_max, mixing, None, workers, executor, progress, log_dir)


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
    ``.molar()`` gives cm^(3(n-1))/mol^(n-1).  Other arguments as for `b2`.
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
    return _scan(
        n, ms, ts, runs, dev_tol, order_max, mixing, choice, workers, executor, progress, log_dir,
        engine="bn", block_steps=block_steps, max_blocks=max_blocks,
    )


def b4(model: Union[ModelLike, Sequence[ModelLike]], **kwargs: Any) -> VirialScan:
    """The fourth virial coefficient: ``bn(model, 4, ...)``."""
    return bn(model, 4, **kwargs)


def b5(model: Union[ModelLike, Sequence[ModelLike]], **kwargs: Any) -> VirialScan:
    """The fifth virial coefficient: ``bn(model, 5, ...)``."""
    return bn(model, 5, **kwargs)
