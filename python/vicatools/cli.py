"""Command line: ``python -m vicatools models | b2 | b3 | b4 | b5 | bn``.

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
        p.add_argument("--temperatures", "-t", nargs="+", type=float, required=True, metavar="T",
                       help="temperatures in K")
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


def _fmt(x: float, s: float) -> str:
    if not math.isfinite(x):
        return f"{'-':>22}"
    return f"{x:>12.4g} +/- {s:<7.2g}"


def _print_table(scan: Any) -> None:
    m = scan.molar()
    name = "B" if scan.order == 2 else "C" if scan.order == 3 else f"B{scan.order}"
    print(f"{name} of {' + '.join(scan.models)} in {m.unit} (mean +/- standard error over runs)")
    print(f"{'T/K':>9} {'runs':>5}  {name:>22}  {'T d' + name + '/dT':>22}  {'T^2 d2' + name + '/dT2':>22}")
    for e in m:
        print(
            f"{e.t_kelvin:>9.6g} {e.n_runs:>5}  {_fmt(e.value, e.value_stderr)}  "
            f"{_fmt(e.t_dxdt, e.t_dxdt_stderr)}  {_fmt(e.t2_d2xdt2, e.t2_d2xdt2_stderr)}"
        )


def _run(args: argparse.Namespace) -> int:
    from . import estimate, io
    from .library import UnknownModelError, resolve_model
    from .models import ModelFileError
    from .tables import can_collapse

    order = {"b2": 2, "b3": 3, "b4": 4, "b5": 5}.get(args.command, getattr(args, "order", 0))
    if not 2 <= order <= 8:
        raise _UsageError(f"--order must be from 2 to 8, got {order}")
    allowed = (1, 2) if order == 2 else (1, order)
    if len(args.models) not in allowed:
        raise _UsageError(f"{args.command} takes {' or '.join(map(str, allowed))} models, got {len(args.models)}")
    for t in args.temperatures:
        if not (t > 0.0 and math.isfinite(t)):
            raise _UsageError(f"temperature must be a finite number above 0 K, got {t:g}")
    if args.runs < 2:
        raise _UsageError(f"--runs must be at least 2 (no error bar from one run), got {args.runs}")
    if not (args.dev_tol > 0.0 and math.isfinite(args.dev_tol)):
        raise _UsageError(f"--dev-tol must be a number above 0, got {args.dev_tol:g}")
    if args.order_max < 0:
        raise _UsageError(f"--order-max must be at least 0, got {args.order_max}")
    if args.command in ("b4", "b5", "bn"):
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
        )
        if args.command in ("b4", "b5", "bn"):
            group = models[0] if len(models) == 1 else models
            choice = estimate.bn_u_min(models * order if len(models) == 1 else models, args.mixing, u_min)
            if not args.quiet:
                print(f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})", file=sys.stderr)
            scan = estimate.bn(group, order, u_min=choice, max_blocks=args.max_blocks,
                               block_steps=args.block_steps, **common)
        elif order == 2:
            if not args.quiet:
                from .umin import choose_u_min

                choice = choose_u_min(models, args.mixing, u_min)
                print(f"u_min = {choice.value:g} K ({choice.origin}: {choice.reason})", file=sys.stderr)
                scan = estimate.b2(*models, u_min=choice, **common)
            else:
                scan = estimate.b2(*models, u_min=u_min, **common)
        else:
            triple = models * 3 if len(models) == 1 else models
            pairs = ((triple[0], triple[1]), (triple[0], triple[2]), (triple[1], triple[2]))
            if not args.quiet and any(can_collapse(a, b, args.mixing) for a, b in pairs):
                print(
                    "note: bare charges of these models can fall onto each other and vica.Cms has no energy "
                    "floor: C may not converge and its error bars may not be meaningful",
                    file=sys.stderr,
                )
            scan = estimate.b3(*models, **common)
    finally:
        if client is not None:
            client.close()
    _print_table(scan)
    if args.csv:
        io.write_csv(scan, args.csv)
    if args.json:
        io.write_json(scan, args.json)
    if args.plot:
        from .plot import plot_scan

        plot_scan(scan, args.plot)
    return 0


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


