"""Command line: ``python -m vicatools models | b2 | b3``.

Bad input (unknown model, temperature not above 0, fewer than 2 runs, a model
file with a missing or wrong field, ...) prints one line on standard error and
exits with status 2; a failure while running (scheduler unreachable, a failing
run) prints one line and exits with status 1.  No traceback is shown.
"""
from __future__ import annotations

import argparse
import math
import os
import pathlib
import sys
from typing import Any, List, NoReturn, Optional, Sequence

from .cores import CoreRefusedError

PROG = "python -m vicatools"


class _UsageError(Exception):
    """Bad input: one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
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
    sub = parser.add_subparsers(dest="command", metavar="{models,b2,b3}", parser_class=_Parser)
    sub.required = True
    sub.add_parser("models", help="list the built-in models (name, sites, source)")
    for name in ("b2", "b3"):
        what = "second virial coefficient B" if name == "b2" else "third virial coefficient C"
        p = sub.add_parser(name, help=f"{what} with error bars over a temperature scan")
        nmax = "MODEL [MODEL2]" if name == "b2" else "MODEL [MODEL2 MODEL3]"
        p.add_argument("models", nargs="+", metavar="MODEL",
                       help=f"{nmax}: library names (see `models`) or model files (.json/.toml)")
        p.add_argument("--temperatures", "-t", nargs="+", type=float, default=None, metavar="T",
                       help="temperatures in K (default with --compare: those of the reference values)")
        p.add_argument("--compare", nargs="?", const="library", default=None, metavar="CSV",
                       help="print the model beside reference values: the shipped ones of the library gas, "
                            "or your CSV of T (K), value, uncertainty (cm^3/mol for B, cm^6/mol^2 for C)")
        p.add_argument("--runs", type=_positive_int, default=8, metavar="N",
                       help="independent runs per temperature, at least 2 (default 8)")
        p.add_argument("--dev-tol", type=float, default=1e-3, metavar="X",
                       help="relative stop tolerance of every run (default 1e-3)")
        p.add_argument("--order-max", type=_positive_int, default=2, metavar="K",
                       help="highest 1/T derivative order (default 2; 2 is needed for T^2 d2X/dT2)")
        if name == "b2":
            p.add_argument("--u-min", type=float, default=None, metavar="U",
                           help="energy floor in K (default: the model's recommendation or a derived one)")
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
        p.add_argument("--plot", default=None, metavar="FILE", help="write a PNG plot (needs matplotlib)")
        p.add_argument("--log-dir", default=None, metavar="DIR",
                       help="keep each run's progress lines in a file there (default: discard them)")
        p.add_argument("--quiet", "-q", action="store_true", help="no progress bar and no notes on standard error")
    return parser


def _print_models() -> None:
    from .library import LIBRARY

    width = max(len(n) for n in LIBRARY)
    for name, m in LIBRARY.items():
        sites = " ".join(s.name for s in m.sites)
        noun = "site" if len(m.sites) == 1 else "sites"
        print(f"{name:<{width}}  {len(m.sites)} {noun} ({sites})  {m.source}")


def _check_output(path: Optional[str], option: str) -> None:
    if path is None:
        return
    parent = pathlib.Path(path).resolve().parent
    if not parent.is_dir():
        raise _UsageError(f"{option}: directory {str(parent)!r} does not exist")
    if not os.access(parent, os.W_OK):
        raise _UsageError(f"{option}: directory {str(parent)!r} is not writable")


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
    name = "B" if scan.order == 2 else "C"
    print(f"{name} of {' + '.join(scan.models)} in {m.unit} (mean +/- standard error over runs)")
    print(f"{'T/K':>9} {'runs':>5}  {name:>24}  {'T d' + name + '/dT':>24}  {'T^2 d2' + name + '/dT2':>24}")
    for e in m:
        print(
            f"{e.t_kelvin:>9.6g} {e.n_runs:>5}  {_fmt(e.value, e.value_stderr)}  "
            f"{_fmt(e.t_dxdt, e.t_dxdt_stderr)}  {_fmt(e.t2_d2xdt2, e.t2_d2xdt2_stderr)}"
        )


def _run(args: argparse.Namespace) -> int:
    from . import estimate, io
    from .library import UnknownModelError, resolve_model
    from .models import ModelFileError

    order = 2 if args.command == "b2" else 3
    allowed = (1, 2) if order == 2 else (1, 3)
    if len(args.models) not in allowed:
        raise _UsageError(f"{args.command} takes {' or '.join(map(str, allowed))} models, got {len(args.models)}")
    reference = None
    if args.compare is not None:
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
    if not (args.dev_tol > 0.0 and math.isfinite(args.dev_tol)):
        raise _UsageError(f"--dev-tol must be a number above 0, got {args.dev_tol:g}")
    if args.order_max < 0:
        raise _UsageError(f"--order-max must be at least 0, got {args.order_max}")
    if args.workers is not None and args.workers < 1:
        raise _UsageError(f"--workers must be at least 1, got {args.workers}")
    core = _parse_core(args.core)
    u_min = getattr(args, "u_min", None)
    if u_min is not None and math.isnan(u_min):
        raise _UsageError("--u-min must be a number")
    for path, option in ((args.csv, "--csv"), (args.json, "--json"), (args.plot, "--plot")):
        _check_output(path, option)
    if args.plot is not None:
        from .plot import require_matplotlib

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

    from .padding import choose_padding

    triple = models * 3 if len(models) == 1 else models
    run_models = [models[0], models[-1]] if order == 2 else triple
    padding = choose_padding(run_models, args.reference_padding, args.mixing)
    # the core: refused before anything starts when it is needed, else stated
    if order == 3:
        _note_core(triple, args, core, "C")
    elif u_min == -math.inf:
        _note_core(models * 2 if len(models) == 1 else models, args, core, "B without a floor")
    if not args.quiet:
        print(f"reference padding = {padding.angstrom:g} A ({padding.origin}: {padding.reason})", file=sys.stderr)

    client = None
    executor = None
    if args.scheduler is not None:
        from .parallel import dask_executor

        _quiet_dask_logs()
        try:
            client, executor = dask_executor(args.scheduler)
        except ImportError as exc:
            raise _UsageError(f"--scheduler: {exc}") from None
    try:
        common: dict[str, Any] = dict(
            temperatures=args.temperatures,
            runs=args.runs,
            dev_tol=args.dev_tol,
            order_max=args.order_max,
            mixing=args.mixing,
            workers=args.workers,
            executor=executor,
            progress=not args.quiet,
            log_dir=args.log_dir,
            reference_padding=padding,
            core=core,
        )
        if order == 2:
            if not args.quiet:
                from .umin import choose_u_min

                choice = choose_u_min(models, args.mixing, u_min)
                print(f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})", file=sys.stderr)
                scan = estimate.b2(*models, u_min=choice, **common)
            else:
                scan = estimate.b2(*models, u_min=u_min, **common)
        else:
            scan = estimate.b3(*models, **common)
    finally:
        if client is not None:
            client.close()
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
    return 0


def _reference(option: str, model: str, order: int) -> Any:
    """The reference values of --compare: shipped ones for "library", else a CSV file."""
    from . import experiment

    coefficient = "B" if order == 2 else "C"
    try:
        if option == "library":
            from .library import LIBRARY

            name = model if model in LIBRARY else pathlib.Path(model).stem
            return experiment.experimental(name, coefficient)
        return experiment.read_csv(option, coefficient)
    except (ValueError, OSError) as exc:
        raise _UsageError(f"--compare: {exc}") from None


def _print_comparison(scan: Any, reference: Any) -> None:
    from .experiment import compare

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
    from .cores import CoreRefusedError, checked_core

    try:
        choice = checked_core(models, args.mixing, core, what)
    except CoreRefusedError as exc:
        raise _UsageError(str(exc)) from None
    if choice.applied and not args.quiet:
        print(f"core = {choice.distance:g} A ({choice.origin}: {choice.reason})", file=sys.stderr)


def _quiet_dask_logs() -> None:
    import logging

    for name in ("distributed", "tornado", "asyncio"):
        logging.getLogger(name).setLevel(logging.CRITICAL)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]) and return the exit status."""
    parser = _build_parser()
    try:
        args = parser.parse_args(list(argv) if argv is not None else None)
        if args.command == "models":
            _print_models()
            return 0
        return _run(args)
    except _UsageError as exc:
        print(f"{PROG}: error: {exc}" if not str(exc).startswith(PROG) else f"{exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except CoreRefusedError as exc:
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 2
    except (ValueError, OSError, RuntimeError, ImportError) as exc:
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # noqa: BLE001 - the command line shows no traceback
        print(f"{PROG}: error: {type(exc).__name__}: {_one_line(exc)}", file=sys.stderr)
        return 1


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def run() -> NoReturn:
    """Entry point of ``python -m vicatools``."""
    sys.exit(main())


