"""Process pools of our own: started by "spawn", workers that die with their parent,
stopped when a scan is interrupted, rebuilt when a worker dies; the progress bar."""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import multiprocessing
import os
import signal
import sys
from typing import Any, Optional


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


def default_executor(workers: Optional[int] = None) -> cf.ProcessPoolExecutor:
    """A process pool of `workers` processes (default: all cores this process may use), started by
    "spawn": every worker is a child of this process, so that it can die with it (see
    `die_with_parent`; a forkserver's children would outlive a killed caller, each holding the
    pipes that keep the forkserver and the others waiting)."""
    if workers is None:
        workers = available_cores()
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    return cf.ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context("spawn"), initializer=_ignore_interrupts
    )


def _ignore_interrupts() -> None:
    """Initializer of pool workers: a keyboard interrupt is left to the caller, which stops them
    (no traceback from each), and a worker dies with its parent (see `die_with_parent`)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    die_with_parent()


def die_with_parent() -> bool:
    """Ask the kernel to kill this process (SIGKILL) when its parent dies; Linux only
    (``prctl(PR_SET_PDEATHSIG)``).  Returns whether it was set.

    A run holds the interpreter lock for its whole length, so no thread of the worker
    could watch its parent meanwhile: the kernel has to.  The workers of `default_executor`
    are children of the caller, so none outlives the command that started it, however
    that ends (``kill -9`` included)."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        if libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0) != 0:
            return False
    except (OSError, AttributeError):
        return False
    return True


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
