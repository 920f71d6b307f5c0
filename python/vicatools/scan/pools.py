"""Process pools of our own: started by "spawn", workers that die with their parent,
stopped when a scan is interrupted, rebuilt when a worker dies; the progress bar."""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import multiprocessing
import os
import sys
from typing import Any, Optional

from .lifeline import die_with_parent, worker_initializer

__all__ = ["MAX_WORKERS", "available_cores", "check_workers", "default_executor", "die_with_parent", "rebuild",
           "reason_of", "stop_workers"]


def reason_of(exc: BaseException) -> str:
    """One line: the exception's type and message."""
    text = " ".join(str(exc).split())
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


def available_cores() -> int:
    """Cores this process may run on (its CPU affinity where the platform tells it)."""
    getaffinity = getattr(os, "sched_getaffinity", None)
    if getaffinity is not None:
        return max(1, len(getaffinity(0)))
    return os.cpu_count() or 1


MAX_WORKERS = 1024
"""Most worker processes of a pool of our own (a bound against typing mistakes)."""


def check_workers(workers: Optional[int]) -> None:
    """Refuse a worker count that is not None or an integer from 1 to `MAX_WORKERS`."""
    if workers is None:
        return
    if isinstance(workers, bool) or not isinstance(workers, int) or not 1 <= workers <= MAX_WORKERS:
        raise ValueError(f"workers must be an integer from 1 to {MAX_WORKERS}, got {workers!r}")


def default_executor(workers: Optional[int] = None) -> cf.ProcessPoolExecutor:
    """A process pool of `workers` processes (default: all cores this process may use), started by
    "spawn": every worker is a child of this process, so that it can die with it (see
    `die_with_parent`; a forkserver's children would outlive a killed caller, each holding the
    pipes that keep the forkserver and the others waiting)."""
    check_workers(workers)
    if workers is None:
        workers = available_cores()
    # the workers' initializer asks for their death with this process before they import
    # anything of ours, and ends a worker whose parent is already gone (`lifeline`)
    return cf.ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context("spawn"), initializer=worker_initializer()
    )


def rebuild(pool: cf.Executor, workers: Optional[int]) -> cf.Executor:
    stop_workers(pool)
    shutdown(pool, wait=True)
    return default_executor(workers)


def shutdown(pool: cf.Executor, wait: bool) -> None:
    with contextlib.suppress(Exception):
        pool.shutdown(wait=wait, cancel_futures=True)


class NoBar:
    """Stands in for a tqdm bar when progress is off (tqdm would still start its monitor thread)."""

    def __enter__(self) -> NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: int = 1) -> None:
        return None


def progress_bar(total: int, description: str, show: bool) -> Any:
    if not show:
        return NoBar()
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit="run", file=sys.stderr)


def abandon(pool: cf.Executor, timeout: float = 10.0) -> None:
    """Stop a pool we own whose runs are given up (an interrupt, a failed run): terminate its
    workers, cancel what waits, and give its manager thread up to `timeout` s to wind down.
    That thread closes the pool's wake-up pipe as it ends; left running, it can close the pipe
    while the interpreter's exit hook writes to it (a traceback at exit, seen on Python 3.9)."""
    # shutdown() forgets the thread and the processes: take them first
    manager = getattr(pool, "_executor_manager_thread", None)
    processes = list((getattr(pool, "_processes", None) or {}).values())
    stop_workers(pool)
    shutdown(pool, wait=False)
    for waitable in [manager, *processes]:
        if waitable is not None:
            with contextlib.suppress(Exception):
                waitable.join(timeout)


def stop_workers(pool: cf.Executor) -> None:
    """Terminate the worker processes of a process pool we own (a run cannot be
    interrupted from outside, and would otherwise keep the interpreter from exiting)."""
    processes = getattr(pool, "_processes", None) or {}
    for proc in list(processes.values()):
        with contextlib.suppress(Exception):
            proc.terminate()
