"""Command line: ``python -m vicatools models | b2 | b3 | b4 | b5 | bn | boyle | inversion | properties``.

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

import signal
import sys
import warnings
from typing import Any, Dict, List, NoReturn, Optional, Sequence

from ..models.cores import CoreRefusedError
from .command import run_command, suppress_all
from .derived import COMMANDS as DERIVED, add_parsers as add_derived_parsers, run_derived
from .output import format_value, print_models
from .parser import PROG, _UsageError, build_parser

__all__ = ["PROG", "format_value", "main", "run"]


class _Signalled(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised in the main thread so that the workers are stopped on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]) and return the exit status."""
    from ..scan.store import StoreError

    parser = build_parser(add_derived_parsers)
    del _FIRST_SIGNAL[:]
    previous = _catch_termination()
    shown = warnings.showwarning
    warnings.showwarning = _one_line_warning
    try:
        args = parser.parse_args(list(argv) if argv is not None else None)
        if args.command == "models":
            print_models()
            return 0
        if args.command in DERIVED:
            return run_derived(args)
        return run_command(args)
    except _UsageError as exc:
        print(f"{PROG}: error: {exc}" if not str(exc).startswith(PROG) else f"{exc}", file=sys.stderr)
        return 2
    except (CoreRefusedError, StoreError) as exc:
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
        warnings.showwarning = shown
        _restore_handlers(previous)


_FIRST_SIGNAL: List[int] = []
"""The signal that is stopping the command, once one has arrived."""


def _raise_signalled(signum: int, frame: Any) -> None:
    # the first signal decides how the command ends; later ones (HUP then TERM, a second
    # Ctrl-C) would only cut short the stopping of the workers
    if _FIRST_SIGNAL:
        return
    _FIRST_SIGNAL.append(signum)
    raise _Signalled(signum)


def _one_line_warning(message: Any, category: Any, filename: str, lineno: int, file: Any = None,
                      line: Optional[str] = None) -> None:
    print(f"{PROG}: warning: {_one_line(message) if isinstance(message, BaseException) else message}",
          file=sys.stderr)


def _catch_termination() -> Dict[int, Any]:
    """SIGTERM and SIGHUP end the command like Ctrl-C does: workers stopped, finished runs kept.
    SIGINT too, when it is not ignored (a command started in the background keeps ignoring it)."""
    previous: Dict[int, Any] = {}
    names = ["SIGTERM", "SIGHUP"]
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        names.append("SIGINT")
    for name in names:
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
        if _FIRST_SIGNAL:
            handler = signal.SIG_IGN  # stopping: a later signal must not change how the command ends
        with suppress_all():
            signal.signal(signum, handler)


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def run() -> NoReturn:
    """Entry point of ``python -m vicatools``."""
    sys.exit(main())
