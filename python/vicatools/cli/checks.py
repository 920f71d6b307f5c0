"""Bad input refused before any run: numbers out of range, output paths that cannot be
written, two outputs on one file, an output on a model file."""
from __future__ import annotations

import argparse
import math
import os
import pathlib
import stat
from typing import Dict, Optional, Sequence

from ..api import MAX_BLOCK_STEPS, MAX_BLOCKS, MAX_ORDER_MAX, MAX_RUNS
from ..scan.pools import MAX_WORKERS
from .parser import _UsageError

PLOT_SUFFIXES = (".png", ".pdf", ".svg", ".eps", ".ps")


def check_numbers(args: argparse.Namespace, walk: bool) -> None:
    """Refuse temperatures, run counts and tolerances out of range (`walk`: the B_n engine's
    own bounds too)."""
    for t in args.temperatures:
        if not (t > 0.0 and math.isfinite(t)):
            raise _UsageError(f"temperature must be a finite number above 0 K, got {t:g}")
    if args.runs < 2:
        raise _UsageError(f"--runs must be at least 2 (no error bar from one run), got {args.runs}")
    if args.runs > MAX_RUNS:
        raise _UsageError(f"--runs must be at most {MAX_RUNS} per temperature, got {args.runs}")
    if not (args.dev_tol > 0.0 and math.isfinite(args.dev_tol)):
        raise _UsageError(f"--dev-tol must be a number above 0, got {args.dev_tol:g}")
    if args.order_max < 0:
        raise _UsageError(f"--order-max must be at least 0, got {args.order_max}")
    if args.order_max > MAX_ORDER_MAX:
        raise _UsageError(
            f"--order-max must be at most {MAX_ORDER_MAX} (from 170 on, k! overflows a double and the "
            f"runs fail), got {args.order_max}"
        )
    if walk:
        if not 1 <= args.max_blocks <= MAX_BLOCKS:
            raise _UsageError(f"--max-blocks must be from 1 to {MAX_BLOCKS}, got {args.max_blocks}")
        if not 1000 <= args.block_steps <= MAX_BLOCK_STEPS:
            raise _UsageError(f"--block-steps must be from 1000 to {MAX_BLOCK_STEPS:.0e}, got {args.block_steps}")
        if args.order_max > 30:
            raise _UsageError(f"--order-max must be at most 30 for B_n, got {args.order_max}")
    if args.workers is not None and not 1 <= args.workers <= MAX_WORKERS:
        raise _UsageError(f"--workers must be from 1 to {MAX_WORKERS}, got {args.workers}")
    u_min = getattr(args, "u_min", None)
    if u_min is not None and math.isnan(u_min):
        raise _UsageError("--u-min must be a number")


def check_paths(args: argparse.Namespace) -> None:
    """Refuse unusable output paths, the log directory and a plot nobody can draw."""
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
        from ..plot import require_matplotlib

        if pathlib.Path(args.plot).suffix.lower() not in PLOT_SUFFIXES:
            raise _UsageError(
                f"--plot: unknown suffix {pathlib.Path(args.plot).suffix or '(none)'!r} of {args.plot!r}; "
                f"use {', '.join(PLOT_SUFFIXES)}"
            )
        try:
            require_matplotlib()
        except ImportError as exc:
            raise _UsageError(f"--plot: {exc}") from None


def _check_output(path: Optional[str], option: str) -> None:
    """Refuse an output path that cannot be written, before any computation.  Outputs are
    written to a temporary file beside them and renamed (a pipe or a device directly), so their
    directory must be writable; the results store is checked as a store (a read-only store is
    read, and refused later only if runs would have to be written to it)."""
    if path is None:
        return
    p = pathlib.Path(path)
    if p.is_dir() or path.endswith(("/", os.sep)):
        raise _UsageError(f"{option}: {path!r} is a directory")
    if option == "--results":
        from ..scan.store import StoreError, check_store_path

        try:
            check_store_path(p)
        except StoreError as exc:
            raise _UsageError(f"{option}: {exc}") from None
    parent = p.resolve().parent
    if not parent.is_dir():
        raise _UsageError(f"{option}: directory {str(parent)!r} does not exist")
    if option == "--results":
        return
    if p.exists() and not os.access(p, os.W_OK):
        raise _UsageError(f"{option}: {path!r} is not writable")
    if p.exists() and not stat.S_ISREG(p.stat().st_mode):
        return  # a pipe or a device, written directly
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
