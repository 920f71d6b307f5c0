"""Making runs in worker processes, whatever their method.

Every run is a `RunTask` that `run_task` executes in a worker: it has the
method the task names (`vicatools.methods`) make the run, sends the run's
progress lines (which the engines write to file descriptor 1 from C++,
bypassing `sys.stdout`) to a per-run log file or discards them, and returns
what the run gave.

Independence.  `vica` draws from a generator per thread, keyed from the
operating system's entropy when the thread first needs it.  `run_task` makes
every run on a new thread, so each run has a freshly keyed generator even in
a worker forked from a process that had already drawn (a forked child
inherits its parent's generator state).  Runs are thus statistically
independent whatever the start method or executor.

Executors.  By default the runs go to a `concurrent.futures.ProcessPoolExecutor`
over all cores, started with the "spawn" method (each worker a child of the
caller, which it does not outlive).  Any `concurrent.futures.Executor` is accepted instead,
for example ``distributed.Client(address).get_executor()`` for a Dask
cluster (see `dask_executor`).  A run holds the interpreter lock of its
process for its whole length, so threads give no parallelism.
"""
from __future__ import annotations

import concurrent.futures as cf
from concurrent.futures.process import BrokenProcessPool
import contextlib
import math
import os
import sys
import threading
import time
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ..methods import method_of
from ..methods.base import RunResult, RunTask
from .dask import check_dask_workers, dask_executor
from .pools import abandon, available_cores, default_executor, die_with_parent, progress_bar, reason_of as _reason
from .pools import check_reimported_main, own_executor, rebuild, refuse_reimported_main, shutdown
from .relay import direct_fd1, relayed_fd1

__all__ = ["RunFailure", "RunResult", "RunTask", "available_cores", "check_dask_workers", "dask_executor",
           "default_executor", "die_with_parent", "execute", "redirect_fd1", "run_each", "run_task"]

_FD1_LOCK = threading.Lock()


@contextlib.contextmanager
def redirect_fd1(path: Optional[str]) -> Iterator[None]:
    """Point file descriptor 1 at `path` (or the null device) for the duration, then
    restore it.  Holds a process-wide lock, so threads of one process take turns."""
    with _FD1_LOCK:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        with direct_fd1(path):
            yield


def _call(task: RunTask) -> Any:
    """Make the task's run by the method it names."""
    return method_of(task.engine).run(task)


def _on_new_thread(fn: Callable[[], Any]) -> Tuple[Any, float]:
    """Call `fn` on a new thread (so with a freshly keyed `vica` generator) and return its
    result and the thread's CPU time in s."""
    box: List[Any] = []

    def target() -> None:
        start = time.thread_time()
        try:
            out = fn()
            box.append(("ok", (out, time.thread_time() - start)))
        except BaseException as exc:  # noqa: BLE001 - carried to the caller below
            box.append(("error", exc))

    thread = threading.Thread(target=target, name="vicatools-run")
    thread.start()
    thread.join()
    kind, value = box[0]
    if kind == "error":
        if isinstance(value, Exception):
            raise value
        # vica's internal failure (pyo3_runtime.PanicException) derives from
        # BaseException and does not travel between processes: carry its text.
        raise RuntimeError(f"vica run failed: {type(value).__name__}: {value}")
    result: Tuple[Any, float] = value
    return result


RunOutcome = Union[RunResult, Tuple[RunResult, ...]]
"""What a run gives: one `RunResult`, or one per temperature of a run that serves several."""


def run_task(task: RunTask) -> RunOutcome:
    """Execute one run (in a worker) and return its entries, per molecule (Å³ or Å⁶),
    and its CPU time; a method that gives one `RunResult` per temperature has them
    returned as a tuple (each with its share of the CPU time when it did not say)."""
    failure: Optional[Exception] = None
    # the progress lines go through a relay, which keeps a failing log from failing the run
    # and stops a run that cannot reach its reference (`relay`)
    with relayed_fd1(task.log_path, _FD1_LOCK) as relay:
        try:
            out, cpu = _on_new_thread(lambda: _call(task))
        except Exception as exc:  # noqa: BLE001 - re-raised below, or the relay's reason instead
            failure = exc
    if failure is not None:
        if relay.reason:
            raise RuntimeError(relay.reason) from None
        raise failure
    if isinstance(out, RunResult):  # one run at one temperature, with what the method says of it
        return out if out.cpu_seconds else replace(out, cpu_seconds=cpu)
    if not (out and isinstance(out[0], RunResult)):
        return RunResult(tuple(float(x) for x in out), cpu)
    share = cpu / len(out)
    return tuple(r if r.cpu_seconds else replace(r, cpu_seconds=share) for r in out)


def execute(
    tasks: Sequence[RunTask],
    executor: Optional[cf.Executor] = None,
    workers: Optional[int] = None,
    progress: bool = True,
    description: str = "runs",
) -> List[RunOutcome]:
    """Run `tasks` on `executor` (default: `default_executor(workers)`, shut down
    afterwards) and return their results in task order.  One tqdm progress bar on
    standard error counts finished runs unless `progress` is False.  The first
    failing run cancels the runs not yet started and its exception is raised."""
    refuse_reimported_main()
    own = executor is None
    pool: cf.Executor = own_executor(workers) if executor is None else executor
    futures: List[cf.Future[RunOutcome]] = []
    ok = False
    try:
        futures = [pool.submit(run_task, t) for t in tasks]
        index = {id(f): i for i, f in enumerate(futures)}
        results: List[Optional[RunOutcome]] = [None] * len(futures)
        with progress_bar(len(futures), description, progress) as bar:
            for fut in cf.as_completed(futures):
                try:
                    results[index[id(fut)]] = fut.result()
                except BrokenProcessPool as exc:
                    check_reimported_main()
                    raise RuntimeError(
                        "a worker process died (killed, out of memory, or failed at start: in a script, call "
                        "vicatools under `if __name__ == '__main__':`, since the workers import the main module)"
                    ) from exc
                bar.update(1)
        ok = True
        return [r for r in results if r is not None]
    finally:
        if not ok:
            for f in futures:
                f.cancel()
        if own:
            if ok:
                pool.shutdown(wait=True, cancel_futures=True)
            else:
                abandon(pool)


@dataclass(frozen=True)
class RunFailure:
    """A run that gave no usable result.

    Attributes:
        reason: one line: the exception's type and message, or what was wrong with the result.
        worker_died: True when the run's worker process died (killed, out of memory) every time
            it was tried.
    """

    reason: str
    worker_died: bool = False


OWN_FAILURES = (ValueError, ArithmeticError, RuntimeError, MemoryError)
"""Exceptions by which a run fails on its own (a refused setting, a non-finite estimate, ...):
such a run is recorded as failed and not retried in the same scan."""

WORKER_RETRIES = 2
"""How many times a run whose worker process died is made again in a new pool."""


def check_finite(task: RunTask, result: RunOutcome) -> Optional[RunFailure]:
    """A failure when the run's entries are not all finite (else None)."""
    results = result if isinstance(result, tuple) else (result,)
    bad = [(k, x) for r in results for k, x in enumerate(r.entries) if not math.isfinite(x)]
    if not bad:
        return None
    k, x = bad[0]
    what = "the estimate" if k == 0 else f"entry {k}"
    return RunFailure(
        f"non-finite result ({what} = {x!r}): the run never reached the hard-sphere reference, so its "
        f"estimate is not a number; a temperature far below the well depth, or a floor that leaves "
        f"no configuration above it, does this"
    )




def run_each(
    tasks: Sequence[RunTask],
    on_done: Callable[[int, Union[RunOutcome, RunFailure]], None],
    executor: Optional[cf.Executor] = None,
    workers: Optional[int] = None,
    progress: bool = True,
    description: str = "runs",
    window: Optional[int] = None,
) -> None:
    """Make every run of `tasks` and call ``on_done(index, outcome)`` in the calling thread as
    each finishes, with its `RunResult` or a `RunFailure`; a failing run does not stop the others.

    Runs go to `executor` if given, else to a process pool of `workers` processes
    (`default_executor`) that is shut down afterwards; one worker makes them in this process
    (`InProcessExecutor`).  At most `window` runs are
    submitted at a time (default: the pool's worker count, unbounded for an executor
    that does not tell it).  When a worker of our own pool dies, the pool is rebuilt and
    the runs it held are made again, at most `WORKER_RETRIES` times each.  A run raising
    one of `OWN_FAILURES`, or giving non-finite entries, fails at once; an executor that
    cannot take or finish runs any more (a lost Dask scheduler) fails every run not yet
    finished with its reason.  An exception from `on_done` (e.g. a full disk) or an
    interruption stops the workers of our own pool and propagates."""
    refuse_reimported_main()
    own = executor is None
    n_workers = (workers or available_cores()) if own else None
    pool: cf.Executor = own_executor(n_workers) if executor is None else executor
    if window is None:
        window = n_workers if own else getattr(executor, "_max_workers", None)
    limit = len(tasks) if window is None else max(1, int(window))
    pending = list(range(len(tasks)))[::-1]  # popped from the end, in task order
    attempts = [0] * len(tasks)
    running: Dict[cf.Future[RunOutcome], int] = {}
    clean = False
    try:
        with progress_bar(len(tasks), description, progress) as bar:

            def finish(i: int, outcome: Union[RunOutcome, RunFailure]) -> None:
                on_done(i, outcome)
                bar.update(1)

            while pending or running:
                while pending and len(running) < limit:
                    i = pending[-1]
                    try:
                        fut = pool.submit(run_task, tasks[i])
                    except RuntimeError as exc:  # a broken pool, an executor shut down, a closed client
                        if own and isinstance(exc, BrokenProcessPool):
                            break  # rebuilt below, once the futures have told which runs were lost
                        for j in reversed(pending):
                            finish(j, RunFailure(f"could not be sent to the executor: {_reason(exc)}"))
                        pending.clear()
                        break
                    pending.pop()
                    attempts[i] += 1
                    running[fut] = i
                if not running:
                    if pending and own:
                        pool = rebuild(pool, n_workers)
                    continue
                done, _ = cf.wait(list(running), timeout=None if own else 2.0, return_when=cf.FIRST_COMPLETED)
                if not done:
                    lost = _executor_lost(pool)
                    if lost is not None:  # its futures may never resolve: give up on them
                        for fut, i in list(running.items()):
                            fut.cancel()
                            del running[fut]
                            finish(i, RunFailure(f"lost by the executor: {lost}"))
                        for j in reversed(pending):
                            finish(j, RunFailure(f"not made: {lost}"))
                        pending.clear()
                    continue
                broken = False
                for fut in done:
                    i = running.pop(fut)
                    outcome = _outcome(tasks[i], fut, retry=own and attempts[i] <= WORKER_RETRIES, tries=attempts[i])
                    if outcome is None:
                        broken = True
                        pending.append(i)
                    else:
                        finish(i, outcome)
                if broken:
                    # the runs still in the broken pool are lost with it (their futures fail at
                    # once; a run that finished meanwhile keeps its result): make them again
                    cf.wait(list(running))
                    for fut, i in list(running.items()):
                        del running[fut]
                        outcome = _outcome(tasks[i], fut, retry=attempts[i] <= WORKER_RETRIES, tries=attempts[i])
                        if outcome is None:
                            pending.append(i)
                        else:
                            finish(i, outcome)
                    pending.sort(reverse=True)
                    pool = rebuild(pool, n_workers)
        clean = True
    finally:
        if not clean:
            for fut in running:
                fut.cancel()
        if own:
            if clean:
                shutdown(pool, wait=True)
            else:
                abandon(pool)


def _outcome(task: RunTask, fut: cf.Future[RunOutcome], retry: bool, tries: int) -> Optional[Union[RunOutcome, RunFailure]]:
    """What a finished future gives: the result, a failure, or None when the worker died and
    the run is to be made again (`retry`)."""
    try:
        result = fut.result()
    except BrokenProcessPool:
        if retry:
            return None
        return RunFailure(f"its worker process died {tries} time(s) (killed, or out of memory)", True)
    except OWN_FAILURES as exc:
        return RunFailure(_reason(exc))
    except (KeyboardInterrupt, SystemExit):
        raise
    except cf.CancelledError:
        return RunFailure("lost by the executor: cancelled (a lost Dask scheduler, or a shut-down executor)")
    except BaseException as exc:  # noqa: BLE001 - the run is lost with its executor
        return RunFailure(f"lost by the executor: {_reason(exc)}")
    return check_finite(task, result) or result


def _executor_lost(executor: cf.Executor) -> Optional[str]:
    """Why a foreign executor can no longer finish runs, or None: a Dask client's executor whose
    client has closed (its scheduler lost for longer than the connect timeout)."""
    client = getattr(executor, "_client", None)
    status = getattr(client, "status", None)
    if isinstance(status, str) and status in ("closing", "closed", "failed"):
        address = getattr(getattr(client, "scheduler", None), "address", None) or "its scheduler"
        return f"the Dask client lost {address} (client {status})"
    return None
