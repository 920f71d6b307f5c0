"""Command line: ``python -m vicatools models | b2 | b3 | b4 | b5 | bn``.

Bad input (unknown model, temperature not above 0, fewer than 2 runs, a model
file with a missing or wrong field, an unusable output path, a floor above the
model's well, ...) prints one line on standard error and exits with status 2,
before any computation.  Runs that fail leave the others going: the table of
what succeeded is printed and written, then one line per temperature and cause,
and the status is 1; other failures while running (scheduler unreachable, a full
disk) print one line and exit with status 1.  SIGINT, SIGTERM and SIGHUP stop
the workers and exit with 130, 143 and 129; finished runs stay in the results
store either way.  No traceback is shown.
"""
from __future__ import annotations

import argparse
import math
import os
import pathlib
import re
import signal
import sys
from typing import Any, Dict, List, NoReturn, Optional, Sequence

from .models.cores import CoreRefusedError

PROG = "python -m vicatools"


class _UsageError(Exception):
    """Bad input: one line, exit status 2."""


class _Signalled(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised in the main thread so that the workers are stopped on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # a negative number in any form (-2e3, -.5, -inf) is a value, never an option
        self._negative_number_matcher = re.compile(
            r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$|^-(inf|infinity)$", re.IGNORECASE
        )

    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{self.prog}: error: {message}")


def _positive_int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _padding(text: str) -> Any:
    if text == "auto":
        return text
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not 'auto' nor a length in angstrom: {text!r}") from None
    if not (value > 0.0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be 'auto' or a finite length in angstrom above 0, got {text!r}")
    return value


def _build_parser() -> _Parser:
    parser = _Parser(prog=PROG, description="Virial coefficients with error bars from vica runs.")
    sub = parser.add_subparsers(dest="command", metavar="{models,b2,b3,b4,b5,bn}", parser_class=_Parser)
    sub.required = True
    sub.add_parser("models", help="list the built-in models (name, sites, source)")
    for name in ("b2", "b3", "b4", "b5", "bn"):
        what = {"b2": "second virial coefficient B", "b3": "third virial coefficient C",
                "b4": "fourth virial coefficient B4", "b5": "fifth virial coefficient B5",
                "bn": "n-th virial coefficient B_n (--order N)"}[name]
        p = sub.add_parser(name, help=f"{what} with error bars over a temperature scan")
        nmax = {"b2": "MODEL [MODEL2]", "b3": "MODEL [MODEL2 MODEL3]"}.get(name, "MODEL [one MODEL per molecule]")
        p.add_argument("models", nargs="+", metavar="MODEL",
                       help=f"{nmax}: library names (see `models`) or model files (.json/.toml)")
        p.add_argument("--temperatures", "-t", nargs="+", type=float, default=None, metavar="T",
                       help="temperatures in K (default with --compare: those of the reference values)")
        if name in ("b2", "b3"):
            p.add_argument("--compare", nargs="?", const="library", default=None, metavar="CSV",
                           help="print the model beside reference values: the shipped ones of the library gas, "
                                "or your CSV of T (K), value, uncertainty (cm^3/mol for B, cm^6/mol^2 for C)")
        p.add_argument("--runs", type=_positive_int, default=8, metavar="N",
                       help="independent runs per temperature, at least 2 (default 8)")
        p.add_argument("--dev-tol", type=float, default=1e-3, metavar="X",
                       help="relative stop tolerance of every run (default 1e-3)")
        p.add_argument("--order-max", type=_positive_int, default=2, metavar="K",
                       help="highest 1/T derivative order (default 2; 2 is needed for T^2 d2X/dT2)")
        if name == "bn":
            p.add_argument("--order", type=_positive_int, required=True, metavar="N",
                           help="the order n of B_n, 2 to 8")
        if name not in ("b2", "b3"):
            p.add_argument("--max-blocks", type=_positive_int, default=20, metavar="B",
                           help="production blocks per run at most (default 20; the error bar shrinks "
                                "as 1/sqrt of the run's length)")
            p.add_argument("--block-steps", type=_positive_int, default=1000000, metavar="S",
                           help="Monte Carlo steps per block, at least 1000 (default 1000000)")
        if name != "b3":
            p.add_argument("--u-min", type=float, default=None, metavar="U",
                           help="energy floor in K (default: the model's recommendation or a derived one)")
        if name in ("b2", "b3"):
            p.add_argument("--reference-padding", type=_padding, default="auto", metavar="{auto,A}",
                           help="padding of the hard-sphere reference in angstrom, or 'auto' (default): changes "
                           "the error bars, not the values; 1 gives runs made in angstrom")
            p.add_argument("--core", default="default", metavar="D|none",
                           help="core distance in angstrom on attracting site pairs with bare charges "
                                + ("(used for C; " if name == "b3" else "(used only with --u-min -inf; ")
                                + "default 0.1), or 'none' to refuse it")
        p.add_argument("--mixing", choices=("lorentz-berthelot", "geometric"), default="lorentz-berthelot",
                       help="mixing rule for unlike sites (default lorentz-berthelot)")
        p.add_argument("--workers", type=_positive_int, default=None, metavar="W",
                       help="worker processes (default: all cores)")
        p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="send the runs to a running Dask scheduler, e.g. tcp://host:8786")
        p.add_argument("--csv", default=None, metavar="FILE", help="write a CSV table (molar units)")
        p.add_argument("--json", default=None, metavar="FILE", help="write JSON with every run's entries")
        p.add_argument("--plot", default=None, metavar="FILE",
                       help="write a plot, .png, .pdf, .svg, .eps or .ps by its suffix (needs matplotlib)")
        p.add_argument("--results", default=None, metavar="FILE",
                       help="the results store, a JSON Lines file of every run (default: a file in the user's "
                       "data directory named after the scan's settings); runs already there are not made again")
        p.add_argument("--log-dir", default=None, metavar="DIR",
                       help="keep each run's progress lines in a file there (default: discard them)")
        p.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no notes on standard error")
    return parser


def _print_models() -> None:
    from .models.library import LIBRARY

    width = max(len(n) for n in LIBRARY)
    for name, m in LIBRARY.items():
        sites = " ".join(s.name for s in m.sites)
        noun = "site" if len(m.sites) == 1 else "sites"
        print(f"{name:<{width}}  {len(m.sites)} {noun} ({sites})  {m.source}")


PLOT_SUFFIXES = (".png", ".pdf", ".svg", ".eps", ".ps")


def _check_output(path: Optional[str], option: str) -> None:
    """Refuse an output path that cannot be written, before any computation."""
    if path is None:
        return
    p = pathlib.Path(path)
    if p.is_dir():
        raise _UsageError(f"{option}: {path!r} is a directory")
    parent = p.resolve().parent
    if not parent.is_dir():
        raise _UsageError(f"{option}: directory {str(parent)!r} does not exist")
    if p.exists() and not os.access(p, os.W_OK):
        raise _UsageError(f"{option}: {path!r} is not writable")
    if not os.access(parent, os.W_OK):
        raise _UsageError(f"{option}: directory {str(parent)!r} is not writable")


def _check_distinct(outputs: Sequence[tuple[Optional[str], str]], inputs: Sequence[str]) -> None:
    """Refuse two outputs on one path, or an output on a model file."""
    seen: Dict[str, str] = {}
    for path, option in outputs:
        if path is None:
            continue
        real = os.path.realpath(path)
        if real in seen:
            raise _UsageError(f"{option} and {seen[real]} name the same file {path!r}")
        seen[real] = option
    for model in inputs:
        if os.path.exists(model) and os.path.realpath(model) in seen:
            raise _UsageError(f"{seen[os.path.realpath(model)]}: {model!r} is a model file of this scan")


def format_value(x: float, s: float) -> str:
    """x +/- s with x given to the decimal place of the second significant digit of s."""
    if not math.isfinite(x):
        return "-"
    if not (s > 0.0 and math.isfinite(s)):
        return f"{x:.6g} +/- {s:g}"
    place = 1 - math.floor(math.log10(s))  # decimals for 2 significant digits of s
    if abs(x) >= 1e9 or place > 9:
        digits = max(math.floor(math.log10(abs(x))) - math.floor(math.log10(s)) + 1, 1) if x != 0.0 else 1
        return f"{x:.{digits}e} +/- {s:.1e}"
    if place <= 0:
        q = 10.0 ** (-place)
        return f"{round(x / q) * q:.0f} +/- {round(s / q) * q:.0f}"
    return f"{x:.{place}f} +/- {s:.{place}f}"


def _fmt(x: float, s: float) -> str:
    return f"{format_value(x, s):>24}"



def _print_table(scan: Any) -> None:
    m = scan.molar()
    name = "B" if scan.order == 2 else "C" if scan.order == 3 else f"B{scan.order}"
    print(f"{name} of {' + '.join(scan.models)} in {m.unit} (mean +/- standard error over runs)")
    print(f"{'T/K':>9} {'runs':>5}  {name:>24}  {'T d' + name + '/dT':>24}  {'T^2 d2' + name + '/dT2':>24}")
    for e in m:
        print(
            f"{e.t_kelvin:>9.6g} {e.n_runs:>5}  {_fmt(e.value, e.value_stderr)}  "
            f"{_fmt(e.t_dxdt, e.t_dxdt_stderr)}  {_fmt(e.t2_d2xdt2, e.t2_d2xdt2_stderr)}"
        )


def _run(args: argparse.Namespace) -> int:
    from .results import estimate
    from . import io
    from .models.library import UnknownModelError, resolve_model
    from .models.model import ModelFileError

    order = {"b2": 2, "b3": 3, "b4": 4, "b5": 5}.get(args.command, getattr(args, "order", 0))
    if not 2 <= order <= 8:
        raise _UsageError(f"--order must be from 2 to 8, got {order}")
    engine_bn = args.command in ("b4", "b5", "bn")
    allowed = (1, 2) if order == 2 else (1, order)
    if len(args.models) not in allowed:
        raise _UsageError(f"{args.command} takes {' or '.join(map(str, allowed))} models, got {len(args.models)}")
    reference = None
    if getattr(args, "compare", None) is not None:
        if len(set(args.models)) != 1:
            raise _UsageError("--compare needs one model (reference values are of pure gases)")
        reference = _reference(args.compare, args.models[0], order)
    if args.temperatures is None:
        if reference is None:
            raise _UsageError("the following arguments are required: --temperatures/-t")
        args.temperatures = reference.temperatures
    for t in args.temperatures:
        if not (t > 0.0 and math.isfinite(t)):
            raise _UsageError(f"temperature must be a finite number above 0 K, got {t:g}")
    if args.runs < 2:
        raise _UsageError(f"--runs must be at least 2 (no error bar from one run), got {args.runs}")
    if args.runs > estimate.MAX_RUNS:
        raise _UsageError(f"--runs must be at most {estimate.MAX_RUNS} per temperature, got {args.runs}")
    if not (args.dev_tol > 0.0 and math.isfinite(args.dev_tol)):
        raise _UsageError(f"--dev-tol must be a number above 0, got {args.dev_tol:g}")
    if args.order_max < 0:
        raise _UsageError(f"--order-max must be at least 0, got {args.order_max}")
    if args.order_max > estimate.MAX_ORDER_MAX:
        raise _UsageError(
            f"--order-max must be at most {estimate.MAX_ORDER_MAX} (from 170 on, k! overflows a double and the "
            f"runs fail), got {args.order_max}"
        )
    if engine_bn:
        if args.max_blocks < 1:
            raise _UsageError(f"--max-blocks must be at least 1, got {args.max_blocks}")
        if args.block_steps < 1000:
            raise _UsageError(f"--block-steps must be at least 1000, got {args.block_steps}")
        if args.order_max > 30:
            raise _UsageError(f"--order-max must be at most 30 for B_n, got {args.order_max}")
    if args.workers is not None and args.workers < 1:
        raise _UsageError(f"--workers must be at least 1, got {args.workers}")
    u_min = getattr(args, "u_min", None)
    if u_min is not None and math.isnan(u_min):
        raise _UsageError("--u-min must be a number")
    core = _parse_core(getattr(args, "core", "default"))
    outputs = ((args.csv, "--csv"), (args.json, "--json"), (args.plot, "--plot"), (args.results, "--results"))
    for path, option in outputs:
        _check_output(path, option)
    _check_distinct(outputs, args.models)
    if args.log_dir is not None:
        log_dir = pathlib.Path(args.log_dir)
        if log_dir.exists() and not log_dir.is_dir():
            raise _UsageError(f"--log-dir: {args.log_dir!r} is not a directory")
        if log_dir.is_dir() and not os.access(log_dir, os.W_OK):
            raise _UsageError(f"--log-dir: {args.log_dir!r} is not writable")
    if args.plot is not None:
        from .plot import require_matplotlib

        if pathlib.Path(args.plot).suffix.lower() not in PLOT_SUFFIXES:
            raise _UsageError(
                f"--plot: unknown suffix {pathlib.Path(args.plot).suffix or '(none)'!r} of {args.plot!r}; "
                f"use {', '.join(PLOT_SUFFIXES)}"
            )
        try:
            require_matplotlib()
        except ImportError as exc:
            raise _UsageError(f"--plot: {exc}") from None
    try:
        models = [resolve_model(m) for m in args.models]
    except (UnknownModelError, ModelFileError) as exc:
        raise _UsageError(str(exc)) from None
    except OSError as exc:
        raise _UsageError(f"cannot read model file: {exc}") from None

    choice = None
    extra: Dict[str, Any] = {}
    if engine_bn:
        choice = estimate.bn_u_min(models * order if len(models) == 1 else models, args.mixing, u_min)
        if not args.quiet:
            print(f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})", file=sys.stderr)
        extra = dict(u_min=choice, max_blocks=args.max_blocks, block_steps=args.block_steps)
    elif order == 2:
        from .models.floors import choose_u_min

        choice = choose_u_min(models, args.mixing, u_min)
        if choice.origin == "given":
            try:
                estimate.check_floor(models[0], models[-1], args.mixing, choice.value)
            except ValueError as exc:
                raise _UsageError(f"--u-min: {exc}") from None
        if not args.quiet:
            print(f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})", file=sys.stderr)
    if not engine_bn:
        from .models.padding import choose_padding

        triple = models * 3 if len(models) == 1 else models
        run_models = [models[0], models[-1]] if order == 2 else triple
        padding = choose_padding(run_models, args.reference_padding, args.mixing)
        # the core: refused before anything starts when it is needed, else stated
        if order == 3:
            _note_core(triple, args, core, "C")
        elif choice is not None and choice.value == -math.inf:
            _note_core(models * 2 if len(models) == 1 else models, args, core, "B without a floor")
        if not args.quiet:
            print(f"reference padding = {padding.angstrom:g} A ({padding.origin}: {padding.reason})", file=sys.stderr)
        extra = dict(reference_padding=padding, core=core)
        if order == 2:
            extra["u_min"] = choice

    client = None
    executor = None
    if args.scheduler is not None:
        from .scan.executors import dask_executor

        _quiet_dask_logs()
        try:
            client, executor = dask_executor(args.scheduler)
        except ImportError as exc:
            raise _UsageError(f"--scheduler: {exc}") from None
    failure: Optional[estimate.ScanError] = None
    scan: Optional[estimate.VirialScan] = None
    try:
        common: Dict[str, Any] = dict(
            temperatures=args.temperatures,
            runs=args.runs,
            dev_tol=args.dev_tol,
            order_max=args.order_max,
            mixing=args.mixing,
            workers=args.workers,
            executor=executor,
            progress=not args.quiet,
            log_dir=args.log_dir,
            results=args.results,
            **extra,
        )
        try:
            if engine_bn:
                scan = estimate.bn(models[0] if len(models) == 1 else models, order, **common)
            elif order == 2:
                scan = estimate.b2(*models, **common)
            else:
                scan = estimate.b3(*models, **common)
        except estimate.ScanError as exc:
            failure = exc
            scan = exc.scan
    finally:
        if client is not None:
            with _suppress_all():
                client.close(timeout=10)
    if scan is not None:
        _print_table(scan)
        if args.csv:
            io.write_csv(scan, args.csv)
        if args.json:
            io.write_json(scan, args.json)
        if reference is not None:
            _print_comparison(scan, reference)
        if args.plot:
            from .plot import plot_scan

            plot_scan(scan, args.plot, reference=reference)
    if failure is not None:
        for f in failure.failures:
            print(f"{PROG}: failed: {f}", file=sys.stderr)
        where = f" (finished runs are kept in {failure.results}; a rerun makes the missing ones)" if failure.results else ""
        print(f"{PROG}: error: {len(failure.failures)} failure(s){where}", file=sys.stderr)
        return 1
    return 0


def _reference(option: str, model: str, order: int) -> Any:
    """The reference values of --compare: shipped ones for "library", else a CSV file."""
    from .results import experiment

    coefficient = "B" if order == 2 else "C"
    try:
        if option == "library":
            from .models.library import LIBRARY

            name = model if model in LIBRARY else pathlib.Path(model).stem
            return experiment.experimental(name, coefficient)
        return experiment.read_csv(option, coefficient)
    except (ValueError, OSError) as exc:
        raise _UsageError(f"--compare: {exc}") from None


def _print_comparison(scan: Any, reference: Any) -> None:
    from .results.experiment import compare

    rows = compare(scan, reference)
    unit = reference.unit
    name = reference.coefficient
    print()
    print(f"{name} of {' + '.join(scan.models)} beside {reference.name} in {unit}: {reference.source}")
    if not rows:
        print("  no reference temperature inside the scan")
        return
    print(f"{'T/K':>9}  {'model':>24}  {'experiment':>24}  {'model - experiment':>24}  {'dev/unc':>7}")
    for r in rows:
        model_unc = math.hypot(r.model_stderr, r.model_interpolation_error)
        z = r.deviation / r.uncertainty if r.uncertainty > 0 else math.nan
        print(
            f"{r.t_kelvin:>9.6g}  {_fmt(r.model, model_unc)}  {_fmt(r.experiment, r.experiment_uncertainty)}  "
            f"{_fmt(r.deviation, r.uncertainty)}  {z:>7.2f}"
        )


def _parse_core(text: str) -> Any:
    """--core: "default", "none" or a distance in Å above 0."""
    if text in ("default", "none"):
        return text
    try:
        d = float(text)
    except ValueError:
        raise _UsageError(f"--core must be a distance in angstrom or 'none', got {text!r}") from None
    if not (d > 0.0 and math.isfinite(d)):
        raise _UsageError(f"--core must be a distance above 0 angstrom or 'none', got {text!r}")
    return d


def _note_core(models: List[Any], args: argparse.Namespace, core: Any, what: str) -> None:
    """Refuse (status 2) a run whose bare charges need the refused core; else print the core used."""
    from .models.cores import CoreRefusedError, checked_core

    try:
        choice = checked_core(models, args.mixing, core, what)
    except CoreRefusedError as exc:
        raise _UsageError(str(exc)) from None
    if choice.applied and not args.quiet:
        print(f"core = {choice.distance:g} A ({choice.origin}: {choice.reason})", file=sys.stderr)


class _suppress_all:
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]) and return the exit status."""
    parser = _build_parser()
    previous = _catch_termination()
    try:
        args = parser.parse_args(list(argv) if argv is not None else None)
        if args.command == "models":
            _print_models()
            return 0
        return _run(args)
    except _UsageError as exc:
        print(f"{PROG}: error: {exc}" if not str(exc).startswith(PROG) else f"{exc}", file=sys.stderr)
        return 2
    except CoreRefusedError as exc:
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt as exc:
        signum = exc.signum if isinstance(exc, _Signalled) else signal.SIGINT
        name = signal.Signals(signum).name
        print(f"{PROG}: stopped by {name}; finished runs are kept in the results store", file=sys.stderr)
        return 128 + int(signum)
    except (ValueError, OSError, RuntimeError, ImportError) as exc:
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # noqa: BLE001 - the command line shows no traceback
        print(f"{PROG}: error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1
    finally:
        _restore_handlers(previous)


def _raise_signalled(signum: int, frame: Any) -> None:
    raise _Signalled(signum)


def _catch_termination() -> Dict[int, Any]:
    """SIGTERM and SIGHUP end the command like Ctrl-C does: workers stopped, finished runs kept."""
    previous: Dict[int, Any] = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is None:
            continue
        try:
            previous[signum] = signal.signal(signum, _raise_signalled)
        except ValueError:  # not the main thread: leave the handlers alone
            break
    return previous


def _restore_handlers(previous: Dict[int, Any]) -> None:
    for signum, handler in previous.items():
        with _suppress_all():
            signal.signal(signum, handler)


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def run() -> NoReturn:
    """Entry point of ``python -m vicatools``."""
    sys.exit(main())


