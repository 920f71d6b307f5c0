"""One coefficient over a temperature scan from the command line: ``b2``, ``b3``, ``b4``,
``b5`` and ``bn``.  Bad input is refused before any run; then the floor, the reference
padding and the core are chosen and stated, the runs made, and the table printed and
written."""
from __future__ import annotations

import argparse
import math
import pathlib
import sys
import warnings
from typing import Any, Dict, List, Optional, Tuple

from .checks import check_numbers, check_paths
from .output import print_comparison, print_reduced, print_table
from .parser import PROG, _UsageError, parse_core


def run_command(args: argparse.Namespace) -> int:
    """Run a scan command; the exit status (0, or 1 when runs failed)."""
    from .. import io

    order = {"b2": 2, "b3": 3, "b4": 4, "b5": 5}.get(args.command, getattr(args, "order", 0))
    if not 2 <= order <= 8:
        raise _UsageError(f"--order must be from 2 to 8, got {order}")
    walk = args.command in ("b4", "b5", "bn")
    allowed = (1, 2) if order == 2 else (1, order)
    read = _read_model_file(args)
    count = len(args.models) + (read is not None)
    if count not in allowed:
        raise _UsageError(f"{args.command} takes {' or '.join(map(str, allowed))} models, got {count}")
    reference = None
    if getattr(args, "compare", None) is not None:
        if read is not None or len(set(args.models)) != 1:
            raise _UsageError("--compare needs one model (reference values are of pure gases)")
        reference = _reference(args.compare, args.models[0], order)
    if args.temperatures is None:
        if reference is None:
            raise _UsageError("the following arguments are required: --temperatures/-t")
        args.temperatures = reference.temperatures
    check_numbers(args, walk)
    if walk and order >= 4 and args.runs < 8 and not args.force_runs:
        raise _UsageError(f"--runs {args.runs} is too few for B{order}: its run values are heavy-tailed and the error "
                          "bar of fewer than 8 runs is too small more often than not; give --runs 8 or more, or "
                          "--force-runs to insist")
    core = parse_core(getattr(args, "core", "default"))
    check_paths(args)
    models = _models(args.models) + ([read] if read is not None else [])
    if args.reduced and (len(models) != 1 or len(models[0].sites) != 1 or models[0].sites[0].charge
                         or models[0].sites[0].law not in ("lj", "mie") or not models[0].sites[0].epsilon > 0.0):
        raise _UsageError("--reduced is for one one-site Lennard-Jones or Mie model (no charge)")
    extra = _walk_settings(args, models, order) if walk else _mayer_settings(args, models, order, core)
    scan, failure = _compute(args, models, order, walk, extra)
    if scan is not None:
        print_table(scan)
        if args.reduced:
            try:
                print_reduced(scan)
            except ValueError as exc:
                print(f"{PROG}: --reduced: {exc}", file=sys.stderr)
        if args.csv:
            io.write_csv(scan, args.csv)
        if args.json:
            io.write_json(scan, args.json)
        if reference is not None:
            print_comparison(scan, reference)
        if args.plot:
            from ..plot import plot_scan

            plot_scan(scan, args.plot, reference=reference, style=args.plot_style)
    unconverged = [e for e in (scan or ()) if not e.converged]
    for e in unconverged:
        print(f"{PROG}: warning: T = {e.t_kelvin:g} K did not converge: {'; '.join(e.notes) or 'no reason given'}",
              file=sys.stderr)
    if failure is not None:
        for f in failure.failures:
            print(f"{PROG}: failed: {f}", file=sys.stderr)
        where = f" (finished runs are kept in {failure.results}; a rerun makes the missing ones)" if failure.results else ""
        print(f"{PROG}: error: {len(failure.failures)} failure(s){where}", file=sys.stderr)
        return 1
    return 1 if unconverged else 0


def _models(names: List[str]) -> List[Any]:
    from ..models.library import UnknownModelError, resolve_model
    from ..models.model import ModelFileError

    try:
        return [resolve_model(m) for m in names]
    except (UnknownModelError, ModelFileError) as exc:
        raise _UsageError(str(exc)) from None
    except OSError as exc:
        raise _UsageError(f"cannot read model file: {exc}") from None


def _read_model_file(args: argparse.Namespace) -> Any:
    """The model of --model-file (with --coordinates, --molecule, --parameters), or None."""
    from ..models.model import ModelFileError
    from ..models.readers import load_model

    if args.model_file is None:
        if args.coordinates is not None or args.molecule is not None or args.parameters:
            raise _UsageError("--coordinates, --molecule and --parameters go with --model-file")
        return None
    options = {"parameters": args.parameters} if args.parameters else {}
    try:
        return load_model(args.model_file, coordinates=args.coordinates, molecule=args.molecule, **options)
    except ModelFileError as exc:
        raise _UsageError(str(exc)) from None
    except OSError as exc:
        raise _UsageError(f"cannot read model file: {exc}") from None


def _say(args: argparse.Namespace, text: str) -> None:
    if not args.quiet:
        print(text, file=sys.stderr)


def _walk_settings(args: argparse.Namespace, models: List[Any], order: int) -> Dict[str, Any]:
    """The floor of a B_n engine run, stated; the engine's own settings."""
    from .. import api

    group = models * order if len(models) == 1 else models
    choice = api.bn_u_min(group, args.mixing, args.u_min)
    if choice.origin == "given":
        try:
            api.check_floors(group, args.mixing, choice.value)
        except ValueError as exc:
            raise _UsageError(f"--u-min: {exc}") from None
    _say(args, f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})")
    return dict(u_min=choice, max_blocks=args.max_blocks, block_steps=args.block_steps)


def _mayer_settings(args: argparse.Namespace, models: List[Any], order: int, core: Any) -> Dict[str, Any]:
    """The floor (B), the reference padding and the core of B or C runs: refused before
    anything starts when unusable, else stated."""
    from .. import api
    from ..models.floors import choose_u_min
    from ..models.padding import choose_padding

    choice = None
    if order == 2:
        choice = choose_u_min(models, args.mixing, args.u_min)
        if choice.origin == "given":
            try:
                api.check_floors([models[0], models[-1]], args.mixing, choice.value)
            except ValueError as exc:
                raise _UsageError(f"--u-min: {exc}") from None
        _say(args, f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})")
    triple = models * 3 if len(models) == 1 else models
    run_models = [models[0], models[-1]] if order == 2 else triple
    padding = choose_padding(run_models, args.reference_padding, args.mixing)
    if order == 3:
        _note_core(triple, args, core, "C")
    elif choice is not None and choice.value == -math.inf:
        _note_core(models * 2 if len(models) == 1 else models, args, core, "B without a floor")
    _say(args, f"reference padding = {padding.angstrom:g} A ({padding.origin}: {padding.reason})")
    extra: Dict[str, Any] = dict(reference_padding=padding, core=core)
    if order == 2:
        extra["u_min"] = choice
    return extra


def _compute(args: argparse.Namespace, models: List[Any], order: int, walk: bool,
             extra: Dict[str, Any]) -> Tuple[Optional[Any], Optional[Any]]:
    """The scan (or what of it could be made) and the failure, if runs failed."""
    from .. import api
    from ..scan.pools import pool_for_one_worker

    client = None
    executor = None
    if args.scheduler is not None:
        from ..scan.dask import dask_executor

        _quiet_dask_logs()
        try:
            client, executor = dask_executor(args.scheduler)
        except ImportError as exc:
            raise _UsageError(f"--scheduler: {exc}") from None
    common: Dict[str, Any] = dict(
        temperatures=args.temperatures, runs=args.runs, dev_tol=args.dev_tol, order_max=args.order_max,
        mixing=args.mixing, workers=args.workers, executor=executor, progress=not args.quiet,
        log_dir=args.log_dir, results=args.results, method=args.method, **extra,
    )
    from ..results.quantum import QuantumWarning

    caught: List[Any] = []
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            warnings.simplefilter("ignore", QuantumWarning)  # the table prints the same as a note
            try:
                # --workers 1 keeps a worker process, so that a signal stops the run at once
                with pool_for_one_worker():
                    return _scan_of(args, models, order, walk, common), None
            except api.ScanError as exc:
                return exc.scan, exc
    except ValueError as exc:
        if "method" in str(exc):
            raise _UsageError(f"--method: {exc}") from None
        if getattr(args, "quantum", "none") != "none" and ("mass" in str(exc) or "net charge" in str(exc)):
            raise _UsageError(f"--quantum: {exc}") from None
        raise
    finally:
        for w in caught:  # one line each, as the command line's other messages
            if not args.quiet:
                print(f"{PROG}: warning: {w.message}", file=sys.stderr)
        if client is not None:
            with suppress_all():
                client.close(timeout=10)


def _scan_of(args: argparse.Namespace, models: List[Any], order: int, walk: bool, common: Dict[str, Any]) -> Any:
    from .. import api

    if walk:
        return api.bn(models[0] if len(models) == 1 else models, order, force_runs=args.force_runs, **common)
    if order == 2:
        return api.b2(*models, quantum=getattr(args, "quantum", "none"), **common)
    return api.b3(*models, **common)


def _reference(option: str, model: str, order: int) -> Any:
    """The reference values of --compare: shipped ones for "library", else a CSV file."""
    from ..results import experiment

    coefficient = "B" if order == 2 else "C"
    try:
        if option == "library":
            from ..models.library import LIBRARY

            name = model if model in LIBRARY else pathlib.Path(model).stem
            return experiment.experimental(name, coefficient)
        if not pathlib.Path(option).exists() and not option.lower().endswith(".csv"):
            # "measured", "equation" or shipped set keys (comma-separated) of the model's gas
            from ..models.library import LIBRARY

            name = model if model in LIBRARY else pathlib.Path(model).stem
            keys = option.split(",")
            return experiment.experimental(name, coefficient, source=keys[0] if len(keys) == 1 else keys)
        return experiment.read_csv(option, coefficient)
    except (ValueError, OSError) as exc:
        raise _UsageError(f"--compare: {exc}") from None


def _note_core(models: List[Any], args: argparse.Namespace, core: Any, what: str) -> None:
    """Refuse (status 2) a run whose bare charges need the refused core; else print the core used."""
    from ..models.cores import CoreRefusedError, checked_core

    try:
        choice = checked_core(models, args.mixing, core, what)
    except CoreRefusedError as exc:
        raise _UsageError(str(exc)) from None
    if choice.applied and not args.quiet:
        print(f"core = {choice.distance:g} A ({choice.origin}: {choice.reason})", file=sys.stderr)


class suppress_all:
    """Ignore any exception (closing a client whose scheduler is gone)."""

    def __enter__(self) -> None:
        return None

    def __exit__(self, *exc: object) -> bool:
        return True


def _quiet_dask_logs() -> None:
    """Dask's own log lines (tracebacks of a lost scheduler included) stay off the terminal: the
    command says what failed in its own lines."""
    import logging

    try:
        import distributed  # noqa: F401 - configures its loggers, which are then silenced
    except ImportError:
        pass
    prefixes = ("distributed", "tornado", "asyncio")
    names = [n for n in list(logging.root.manager.loggerDict) if n.split(".")[0] in prefixes]
    for name in set(names) | set(prefixes):
        logging.getLogger(name).setLevel(logging.CRITICAL + 1)
