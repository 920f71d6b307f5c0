"""Process pools of our own: started by "spawn", workers that die with their parent,
stopped when a scan is interrupted, rebuilt when a worker dies; the progress bar."""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import multiprocessing
import os
import sys
import tempfile
from typing import Any, Callable, Iterator, Optional

from .lifeline import die_with_parent, worker_initializer

__all__ = ["MAX_WORKERS", "InProcessExecutor", "UnguardedMainError", "available_cores", "check_reimported_main",
           "check_workers", "default_executor", "die_with_parent", "own_executor", "pool_for_one_worker", "rebuild",
           "reason_of", "refuse_reimported_main", "stop_workers"]


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


class InProcessExecutor(cf.Executor):
    """Makes each submitted call at once, in the calling process (``workers=1``): no pool, no
    worker process, no module imported again.  A run still gets a thread of its own
    (`vicatools.scan.executors.run_task`), hence a freshly keyed random generator; an interrupt
    (Ctrl-C) is seen when the run in progress ends, since a run holds the interpreter lock."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> cf.Future[Any]:
        fut: cf.Future[Any] = cf.Future()
        if fut.set_running_or_notify_cancel():
            try:
                fut.set_result(fn(*args, **kwargs))
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as exc:  # noqa: BLE001 - handed to the caller through the future
                fut.set_exception(exc)
        return fut


_ONE_IN_PROCESS = [True]


@contextlib.contextmanager
def pool_for_one_worker() -> Iterator[None]:
    """Within this, one worker is a pool of one process, not the calling process: the command
    line keeps it so, so that a signal stops a run at once (a run in the calling process holds
    the interpreter lock, and the signal would wait for its end)."""
    _ONE_IN_PROCESS.append(False)
    try:
        yield
    finally:
        _ONE_IN_PROCESS.pop()


def own_executor(workers: Optional[int] = None) -> cf.Executor:
    """The executor of a scan given none: `InProcessExecutor` for one worker (except within
    `pool_for_one_worker`), else `default_executor(workers)`."""
    if workers == 1 and _ONE_IN_PROCESS[-1]:
        return InProcessExecutor()
    _clear_mark()
    return default_executor(workers)


UNGUARDED_MAIN = (
    "the worker processes of this scan import your script again (they are started by 'spawn'), and "
    "the script, unguarded, starts the scan again in each of them: put the code that starts it under "
    "`if __name__ == \"__main__\":`, or pass workers=1 to make the runs in this process"
)


class UnguardedMainError(RuntimeError):
    """A scan was started at the top level of a script without the ``__main__`` guard, so each
    worker process, importing the script, started it again.  The message says how to fix it."""


def _mark(pid: int) -> str:
    return os.path.join(tempfile.gettempdir(), f"vicatools-unguarded-main-{pid}")


def _clear_mark() -> None:
    with contextlib.suppress(OSError):
        os.remove(_mark(os.getpid()))


def refuse_reimported_main() -> None:
    """Called where a scan starts.  In a worker process that is still importing its parent's
    main module (started by "spawn"), a scan can only have been started by that module's top
    level, unguarded, and would start workers of its own in every worker, each failing with a
    traceback: leave a mark for the parent and end this process at once, quietly.  The parent
    raises `UnguardedMainError` when its pool breaks (`check_reimported_main`)."""
    if not getattr(multiprocessing.current_process(), "_inheriting", False):
        return
    with contextlib.suppress(OSError):
        with open(_mark(os.getppid()), "a"):
            pass
    os._exit(3)


def check_reimported_main() -> None:
    """In the parent, once its pool has broken: raise `UnguardedMainError` when a worker left the
    mark of `refuse_reimported_main`."""
    path = _mark(os.getpid())
    if os.path.exists(path):
        _clear_mark()
        raise UnguardedMainError(UNGUARDED_MAIN)


def rebuild(pool: cf.Executor, workers: Optional[int]) -> cf.Executor:
    stop_workers(pool)
    check_reimported_main()
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
