"""The public entry points: `b2`, `b3`, `bn` (and `b4`, `b5`).

Each checks its arguments before any run, resolves the models, chooses the method
(`vicatools.methods`: by name, or "auto"), the floor, the core and the reference
padding, has the runs made (`vicatools.scan.driver.make_runs`: the results store,
executors, failures) and summarises them as a `VirialScan`.
"""
from __future__ import annotations

import concurrent.futures as cf
import math
import os
import warnings
from typing import Any, Iterable, List, Optional, Sequence, Tuple, Union

from .methods import choose_method
from .methods.base import Method, ScanSettings
from .methods.walk import reference_padding as bn_reference_padding
from .models.cores import CoreChoice, CoreLike, checked_core
from .models.floors import UMinChoice, bn_u_min, check_floor, check_floors, choose_u_min, lowest_dimer_energy
from .models.library import resolve_model
from .models.mixing import check_mixing
from .models.model import Model
from .models.padding import PaddingChoice, PaddingLike, choose_padding
from .models import units
from .results.estimate import ScanError, ScanFailure, VirialEstimate, VirialScan
from .results import quantum as quantum_results
from .results.integral_curve import grid_estimates
from .results.notes import with_notes
from .results.robust import MIN_RUNS_HIGH_ORDER
from .scan.pools import refuse_reimported_main
from .scan.driver import ResultsArg, make_runs

__all__ = ["MAX_BLOCKS", "MAX_BLOCK_STEPS", "MAX_ORDER_MAX", "MAX_RUNS", "ScanError", "VirialScan", "b2", "b3", "b4",
           "b5", "bn", "bn_u_min", "check_floor", "check_floors"]

ModelLike = Union[Model, str, "os.PathLike[str]"]

DEFAULT_RUNS = 8
DEFAULT_DEV_TOL = 1e-3
DEFAULT_ORDER_MAX = 2

MAX_ORDER_MAX = 169
"""Highest ``order_max`` the runs can hold: from order 170 on, the k! of the entries
overflows a double and a run fails after its first production block."""

MAX_RUNS = 100_000
"""Most runs per temperature (a bound against typing mistakes such as ``runs=10**9``)."""

MAX_BLOCKS = 1_000_000
"""Most production blocks of a B_n engine run (the engine's own bound)."""

MAX_BLOCK_STEPS = 10_000_000_000
"""Most Monte Carlo steps per block of a B_n engine run (the engine's own bound)."""



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
    method: str = "auto",
    quantum: str = "none",
) -> VirialScan:
    """Second virial coefficient B of `model` (or the cross coefficient B12 of `model` and
    `model2`) at each of `temperatures`, with its temperature derivatives and error bars.

    Parameters
    ----------
    model, model2 : Model, str or path
        `Model` objects, library names (`model_names`) or model-file paths; `model2` (default:
        `model` again) gives the cross coefficient B12.
    temperatures : float or sequence of float
        Temperatures in K (a number, a sequence or a numpy array).
    runs : int
        Independent runs per temperature (at least 2; default 8).  The error bar is the
        standard error of their mean and falls as 1/sqrt(runs).
    dev_tol : float
        Each run's relative stop tolerance (default 1e-3): a stop rule, not an error bar.
    order_max : int
        Highest derivative order of the entries (default 2: B, T dB/dT and T² d²B/dT²).
    u_min : float or UMinChoice, optional
        Energy floor in K; by default the rule of `vicatools.models.floors.choose_u_min`.  The
        floor used is in the result's ``u_min``.  A floor given above the models' lowest pair
        energy is refused (ValueError).
    core : "default", float or None
        The core on bare attracting charges for a run without floor (``u_min=-inf``,
        `vicatools.models.cores`): "default" for 0.1 Å, a distance in Å, or None to refuse it,
        which makes such a run an error.  The core used is in the result's ``core``.
    mixing : str
        "lorentz-berthelot" (default) or "geometric".
    workers : int, optional
        Worker processes of the pool the runs go to (default: all cores); 1 makes the runs in
        this process, with no pool.
    executor : concurrent.futures.Executor, optional
        Where to send the runs instead, for example a Dask client's executor.
    progress : bool
        A tqdm bar over the runs on standard error.
    log_dir : str or path, optional
        Keep each run's progress lines in its own file there (else they are discarded).
    reference_padding : "auto" or float
        The padding in Å of the runs' hard-sphere reference (`vicatools.models.padding`; 1 gives
        runs made in Å).  It changes the error bars, not the values; the padding used is in the
        result's ``reference_padding``.
    results : path, bool or None
        The results store (a JSON Lines file, `vicatools.scan.store`): by default a file in the
        user's data directory named after the scan's settings, ``False`` for none.  Every run is
        stored as it finishes, and runs already there with the same settings and temperature
        count, so repeating a call makes only the runs missing.
    method : str
        How (`vicatools.methods`): "auto" (default) takes the best registered method that can
        compute B for these models, "mayer" Mayer sampling through `vica.Bms`, "walk" the B_n
        engine; the result's ``method`` says which.
    quantum : str
        "none" (default: classical B) or "first-order": B with its first-order (Wigner–Kirkwood,
        ħ²) quantum correction, translational and rotational, from the site masses
        (`vicatools.results.quantum`).  The estimates then carry ``classical_value``,
        ``quantum_correction`` (with their errors) and ``value`` their sum, and a
        `QuantumWarning` is issued where the correction exceeds 10 % of |B|.

    Returns
    -------
    VirialScan
        One `VirialEstimate` per temperature, per molecule in Å³; ``.molar()`` gives cm³/mol.

    Raises
    ------
    ScanError
        When any run failed (a non-finite result, a refused setting, a worker that died three
        times, a lost cluster): the other runs go on, and at the end the error carries the
        estimates that could be made (``.scan``) and one `ScanFailure` per temperature and
        reason (``.failures``).
    ValueError, TypeError
        Bad arguments, before any run.

    Examples
    --------
    >>> scan = vt.b2("trappe-co2", temperatures=[250, 300, 400, 500], runs=4)   # doctest: +SKIP
    >>> scan.molar()[1].value                                                  # doctest: +SKIP
    -110.88...
    """
    refuse_reimported_main()
    ts = units.temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    check_mixing(mixing)
    quantum_results.check_quantum(quantum)
    first = resolve_model(model)
    second = first if model2 is None else resolve_model(model2)
    if quantum != "none":
        from .models.masses import site_masses

        site_masses(first), site_masses(second)  # MassError (a ValueError) before any run
    chosen = choose_method(method, "b2", 2, [first, second], len(ts))
    padding = choose_padding([first, second], reference_padding, mixing)
    choice = u_min if isinstance(u_min, UMinChoice) else choose_u_min([first, second], mixing, u_min)
    core_used: Optional[CoreChoice] = None
    if choice.value == -math.inf:
        core_used = checked_core([first, second], mixing, core, "B without an energy floor (u_min = -inf)")
    if choice.origin == "given":
        check_floors([first, second], mixing, choice.value)
    try:
        scan = _scan(
            2, [first, second], ts, runs, dev_tol, order_max, mixing, choice, padding, core_used, workers, executor,
            progress, log_dir, results, chosen,
        )
    except ScanError as exc:
        if quantum != "none" and exc.scan is not None:
            exc.scan = _with_quantum(exc.scan, first, second)
        raise
    return _with_quantum(scan, first, second) if quantum != "none" else scan


def _with_quantum(scan: VirialScan, first: Model, second: Model) -> VirialScan:
    """`scan` with the first-order quantum correction at each of its temperatures, computed
    to a tenth of the classical standard error (and 1e-4 of itself)."""
    from .methods.quantum import correction_terms

    errors = [e.value_stderr for e in scan.estimates if e.value_stderr > 0.0]
    core = scan.core.distance if scan.core is not None and scan.core.applied else 0.0
    how, terms = correction_terms(
        first, second, scan.temperatures, mixing=scan.mixing,
        u_min=scan.u_min.value if scan.u_min is not None else -math.inf, core=core, order_max=scan.order_max,
        atol=0.1 * min(errors) if errors else 0.0,
    )
    notes = [() if t.converged else (f"{t.message} ({how})",) for t in terms]
    return quantum_results.apply(scan, [(t.entries, t.errors, n) for t, n in zip(terms, notes)])


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
    method: str = "auto",
) -> VirialScan:
    """Third virial coefficient C of `model` (or C123 of three models) at each of
    `temperatures` (K), from `runs` independent runs per temperature (`vica.Cms` by default).

    Parameters
    ----------
    model, model2, model3 : Model, str or path
        One model, or three: for a binary mixture repeat one (``b3("a", "a", "b")`` is C_aab,
        molecule 1 being the one held fixed).
    core : "default", float or None
        `vica.Cms` has no energy floor: site pairs whose bare charges attract and can collapse
        get the r^-12 core of `vicatools.models.cores` ("default" for 0.1 Å, a distance in Å, or
        None to refuse it, which makes C of such models a ValueError); the core used is in the
        result's ``core``.
    temperatures, runs, dev_tol, order_max, mixing, workers, executor, progress, log_dir, reference_padding, results, method
        As for `b2`.

    Returns
    -------
    VirialScan
        Per molecule in Å⁶; ``.molar()`` gives cm⁶/mol².

    Raises
    ------
    ScanError
        As for `b2`.
    """
    refuse_reimported_main()
    ts = units.temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    check_mixing(mixing)
    if (model2 is None) != (model3 is None):
        raise ValueError("give one model or three for C")
    first = resolve_model(model)
    ms = [first, first, first]
    if model2 is not None and model3 is not None:
        ms = [first, resolve_model(model2), resolve_model(model3)]
    chosen = choose_method(method, "b3", 3, ms, len(ts))
    padding = choose_padding(ms, reference_padding, mixing)
    core_used = checked_core(ms, mixing, core, "C")
    return _scan(
        3, ms, ts, runs, dev_tol, order_max, mixing, None, padding, core_used, workers, executor, progress, log_dir,
        results, chosen,
    )



DEFAULT_BN_BLOCKS = 20
"""Production blocks of a B_n run by default (with `DEFAULT_BN_BLOCK_STEPS` steps each):
at n = 4 about ten CPU seconds for small rigid molecules (TraPPE CO2)."""

DEFAULT_BN_BLOCK_STEPS = 1000000


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
    method: str = "auto",
    force_runs: bool = False,
) -> VirialScan:
    """The n-th virial coefficient B_n (n = 2..8; B4, B5, ...) of `model` at each of
    `temperatures` (K), from `runs` independent runs of the B_n engine per temperature
    (`vicatools._engine`: the sum over biconnected graphs by a recursion over subsets,
    sampled against hard spheres).

    Parameters
    ----------
    model : Model, str, path, or a sequence of n of them
        One model, or n models for a mixture coefficient (molecule 1, held fixed, is the first).
    n : int
        The order, 2 to 8 (default 4).
    max_blocks, block_steps : int
        A run makes up to `max_blocks` blocks (default 20) of `block_steps` Monte Carlo steps
        (default 10⁶) after ten tuning cycles of a tenth of a block, and stops earlier when the
        spread of its last ten running estimates falls under `dev_tol` (relative); its length
        sets the error bar (about 1 / sqrt(steps)).
    u_min : float, optional
        Energy floor in K for models with bare charges (rules of `vicatools.models.floors`, the
        highest floor of every pair of models).
    method : str
        "auto" (default: the B_n engine's walk), "walk", or "mayer" for n = 2, 3.
    force_runs : bool
        B4 and higher have heavy-tailed run values (`vicatools.results.robust`): fewer than 8
        runs per temperature are refused (ValueError) unless this is True; a run far out from
        the others gives a `HeavyTailWarning` and a note on its estimate.
    temperatures, runs, dev_tol, order_max, mixing, workers, executor, progress, log_dir, results
        As for `b2`.  Use 8 runs or more from n = 4 on: single runs can lie far out.

    Returns
    -------
    VirialScan
        Per molecule in Å^(3(n-1)); ``.molar()`` gives cm^(3(n-1))/mol^(n-1).  The entries are
        (beta^k / k!) d^k B_n / d beta^k for k = 0..order_max (for n = 3 they follow Cms's
        convention, see `vicatools.results.thermo`).

    Raises
    ------
    ScanError
        As for `b2`.
    """
    if isinstance(n, bool) or not isinstance(n, int) or not 2 <= n <= 8:
        raise ValueError(f"n must be an integer from 2 to 8, got {n!r}")
    refuse_reimported_main()
    ts = units.temperatures(temperatures)
    _check_common(runs, dev_tol, order_max)
    if n >= 4 and runs < MIN_RUNS_HIGH_ORDER and not force_runs:
        raise ValueError(
            f"runs = {runs} is too few for B{n}: its run values are heavy-tailed, and with fewer than "
            f"{MIN_RUNS_HIGH_ORDER} runs the error bar is too small more often than not; give runs >= "
            f"{MIN_RUNS_HIGH_ORDER}, or force_runs=True to insist"
        )
    if order_max > 30:
        raise ValueError(f"order_max must be at most 30 for B_n, got {order_max}")
    for name, v, low, high in (("max_blocks", max_blocks, 1, MAX_BLOCKS),
                               ("block_steps", block_steps, 1000, MAX_BLOCK_STEPS)):
        if isinstance(v, bool) or not isinstance(v, int) or not low <= v <= high:
            raise ValueError(f"{name} must be an integer from {low} to {high}, got {v!r}")
    check_mixing(mixing)
    if isinstance(model, (Model, str, os.PathLike)):
        ms = [resolve_model(model)] * n
    else:
        group = list(model)
        if len(group) != n:
            raise ValueError(f"give one model or n = {n} models, got {len(group)}")
        ms = [resolve_model(m) for m in group]
    chosen = choose_method(method, "bn", n, ms, len(ts))
    choice = u_min if isinstance(u_min, UMinChoice) else bn_u_min(ms, mixing, u_min)
    if choice.origin == "given":
        check_floors(ms, mixing, choice.value)  # every pair of the n molecules meets it
    sigma = bn_reference_padding(ms)
    padding = PaddingChoice(
        sigma, "auto", f"the largest Lennard-Jones sigma of the models' sites ({sigma:g} A), as the B_n engine takes it"
    )
    return _scan(
        n, ms, ts, runs, dev_tol, order_max, mixing, choice, padding, None, workers, executor, progress, log_dir,
        results, chosen, block_steps=block_steps, max_blocks=max_blocks,
    )


def b4(model: Union[ModelLike, Sequence[ModelLike]], **kwargs: Any) -> VirialScan:
    """The fourth virial coefficient: ``bn(model, 4, ...)``.

    See Also
    --------
    bn : the arguments and the result.
    """
    return bn(model, 4, **kwargs)


def b5(model: Union[ModelLike, Sequence[ModelLike]], **kwargs: Any) -> VirialScan:
    """The fifth virial coefficient: ``bn(model, 5, ...)``.

    See Also
    --------
    bn : the arguments and the result.
    """
    return bn(model, 5, **kwargs)


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
    results: ResultsArg,
    method: Method,
    block_steps: int = 1000000,
    max_blocks: int = 1000,
) -> VirialScan:
    settings = ScanSettings(
        order=order,
        models=tuple(models),
        mixing=mixing,
        u_min=u_min.value if u_min is not None else -math.inf,
        dev_tol=dev_tol,
        order_max=order_max,
        length_unit=padding.angstrom,
        core=core.distance if core is not None and core.applied else 0.0,
        engine=method.engine,
        block_steps=block_steps,
        max_blocks=max_blocks,
        revision=method.revision,
    )
    need = method.runs_per_temperature(runs)
    made = make_runs(settings, method, temperatures, need, workers=workers, executor=executor, progress=progress,
                     log_dir=log_dir, results=results)
    unit = units.molecular_unit(order)
    estimates = []
    failures = list(made.failures)
    for t, chunk in zip(temperatures, made.runs):
        if method.error == "integration" and chunk:
            r = chunk[0]
            estimates.append(VirialEstimate.from_integral(order, t, r.entries, r.errors, unit, r.cpu_seconds,
                                                          r.converged, r.note, method.name))
        elif len(chunk) >= 2:
            est = VirialEstimate.from_runs(order, t, [r.entries for r in chunk], unit,
                                           [r.cpu_seconds for r in chunk], method=method.name,
                                           run_ids=[r.run_id for r in chunk])
            estimates.append(with_notes(est, chunk))
        else:
            failures.append(ScanFailure(t, 0, f"no estimate: {len(chunk)} successful run(s), {max(2, need)} needed"
                                        if method.error != "integration" else "no estimate: the integration failed"))
    grid = grid_estimates([row for chunk in made.runs for r in chunk for row in r.curve], order, unit, method.name)
    scan = VirialScan(
        order=order,
        models=tuple(m.name for m in models) if len({id(m) for m in models}) > 1 else (models[0].name,),
        estimates=tuple(estimates),
        dev_tol=dev_tol,
        order_max=order_max,
        mixing=mixing,
        u_min=u_min,
        reference_padding=padding,
        core=core,
        results=made.results,
        method=method.name,
        from_store=made.from_store,
        integral_grid=grid,
    )
    for e in estimates:
        if not e.converged:
            warnings.warn(f"{method.name}: T = {e.t_kelvin:g} K did not converge ({'; '.join(e.notes)}): its value "
                          "is no better than its error estimate says, and may be worse", RuntimeWarning, stacklevel=3)
    if failures:
        failures.sort(key=lambda f: (temperatures.index(f.t_kelvin), f.runs == 0))
        raise ScanError(scan if estimates else None, failures, scan.results)
    return scan
