"""Running independent `vica` runs in worker processes.

Every run is a `RunTask` that `run_task` executes in a worker: it builds the
`vica.Bms` or `vica.Cms` from the models, sends the run's progress lines
(which `vica` writes to file descriptor 1 from C++, bypassing `sys.stdout`) to
a per-run log file or discards them, and returns the run's entries.

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
import multiprocessing
import os
import signal
import socket
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ..models.model import Model
from ..models.mixing import pair_table

_FD1_LOCK = threading.Lock()


@dataclass(frozen=True)
class RunTask:
    """One `vica` run.

    Attributes:
        order: 2 for B (`vica.Bms`), 3 for C (`vica.Cms`), n >= 4 for B_n
            (`vicatools._engine.bn_run`; also for 2 and 3 when `engine` is "bn").
        models: two models for B, three for C, n for B_n.
        mixing: mixing rule of the site-pair tables.
        t_kelvin: temperature in K.
        u_min: energy floor in K (B and B_n; ignored for C).
        dev_tol: relative tolerance of the run's stop rule.
        order_max: highest derivative order of the entries.
        log_path: file for the run's progress lines, or None to discard them.
        token: distinguishes otherwise equal tasks (executors that cache
            equal calls, such as Dask's, must not merge two runs).
        length_unit: the run's unit of length in Å.  `vica` pads its hard-sphere
            reference by one unit of length, so this sets the padding; positions and
            site-site laws are expressed in it and the entries converted back to Å.
        core: core distance in Å on bare attracting site pairs (0: none; `vicatools.cores`).
        engine: "vica" (Bms / Cms for orders 2 and 3) or "bn" (the B_n engine,
            which every order >= 4 uses).
        block_steps, max_blocks: production block length and the most blocks of a
            B_n engine run (ignored by Bms / Cms).
    """

    order: int
    models: Tuple[Model, ...]
    mixing: str
    t_kelvin: float
    u_min: float
    dev_tol: float
    order_max: int
    log_path: Optional[str]
    token: str
    length_unit: float = 1.0
    core: float = 0.0
    engine: str = "vica"
    block_steps: int = 1000000
    max_blocks: int = 1000


@dataclass(frozen=True)
class RunResult:
    """What one run gives back.

    Attributes:
        entries: the run's entries, per molecule in Å³ (B) or Å⁶ (C).
        cpu_seconds: CPU time of the thread that made the run, in s.
    """

    entries: Tuple[float, ...]
    cpu_seconds: float


@contextlib.contextmanager
def redirect_fd1(path: Optional[str]) -> Iterator[None]:
    """Point file descriptor 1 at `path` (or the null device) for the duration, then
    restore it.  Holds a process-wide lock, so threads of one process take turns."""
    with _FD1_LOCK:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        saved = os.dup(1)
        target = os.open(path if path is not None else os.devnull, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        try:
            os.dup2(target, 1)
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(target)


REFERENCE_WEIGHT = -0.1
"""The B_n engine's reference weight: tuned so that the hard-sphere reference
takes about a tenth of the walk's weight (see docs/bn.md for the measurement)."""


def reference_padding(models: Sequence[Model]) -> float:
    """The B_n engine's reference padding in Å: the largest Lennard-Jones diameter of
    the models' sites (1 Å when no site has a core), so that the hard-sphere reference
    covers the configurations where the molecules' cores overlap."""
    sigmas = [s.sigma for m in models for s in m.sites if s.sigma > 0.0]
    return max(sigmas) if sigmas else 1.0


def engine_table(table: Sequence[Sequence[Any]]) -> List[List[List[float]]]:
    """A site-pair table of `vica.PotK` values as the B_n engine takes it: each entry
    (tag, p0, p1, p2) with tag 0..3 for R0, R1, R6R12, R1R6R12."""
    tags = {"R0": 0, "R1": 1, "R6R12": 2, "R1R6R12": 3}
    rows: List[List[List[float]]] = []
    for row in table:
        out: List[List[float]] = []
        for p in row:
            # the variant class, also for a user's subclass of it
            tag = next(tags[c.__name__] for c in type(p).__mro__ if c.__name__ in tags)
            params = [float(getattr(p, name)) for name in ("_0", "_1", "_2")[:tag]]
            out.append([float(tag)] + params + [0.0] * (3 - tag))
        rows.append(out)
    return rows


def _call_bn(task: RunTask) -> List[float]:
    """One run of the B_n engine over the task's n models."""
    from .. import _engine

    m = task.models
    a = task.length_unit
    n = len(m)
    molecules = [m[i].positions if a == 1.0 else [[x / a for x in p] for p in m[i].positions] for i in range(n)]
    tables = [engine_table(pair_table(m[i], m[j], task.mixing, a, task.core)) for i in range(n) for j in range(i + 1, n)]
    out = _engine.bn_run(
        molecules,
        tables,
        task.t_kelvin,
        task.u_min,
        task.dev_tol,
        task.order_max,
        task.block_steps,
        task.max_blocks,
        REFERENCE_WEIGHT,
        0.0,
        reference_padding(m) / a,
    )
    factor = a ** (3 * (n - 1))
    # For C the entries follow Cms's convention (entry k carries 1 / 2^(k/2)),
    # so that they mean the same whichever engine made them.
    scale = math.sqrt(0.5) if n == 3 else 1.0
    return [float(x) * factor * scale**k for k, x in enumerate(out)]


def _call(task: RunTask) -> List[float]:
    if task.order >= 4 or task.engine == "bn":
        return _call_bn(task)
    import vica

    m = task.models
    a = task.length_unit

    def pos(model: Model) -> List[List[float]]:
        return model.positions if a == 1.0 else [[x / a for x in p] for p in model.positions]

    def table(i: int, j: int) -> List[List[Any]]:
        return pair_table(m[i], m[j], task.mixing, a, task.core)

    if task.order == 2:
        bms = vica.Bms(pos(m[0]), pos(m[1]), table(0, 1))
        out = bms.run(task.t_kelvin, task.u_min, task.dev_tol, task.order_max)
    else:
        cms = vica.Cms(pos(m[0]), pos(m[1]), pos(m[2]), table(0, 1), table(0, 2), table(1, 2))
        out = cms.run(task.t_kelvin, task.dev_tol, task.order_max)
    # B is a volume (a^3), C a volume squared (a^6); every entry converts alike.
    factor = a ** (3 * (task.order - 1))
    return [float(x) * factor for x in out]


def _on_new_thread(fn: Callable[[], List[float]]) -> Tuple[List[float], float]:
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
    result: Tuple[List[float], float] = value
    return result


def run_task(task: RunTask) -> RunResult:
    """Execute one run (in a worker) and return its entries, per molecule (Å³ or Å⁶),
    and its CPU time."""
    with redirect_fd1(task.log_path):
        entries, cpu = _on_new_thread(lambda: _call(task))
    return RunResult(tuple(entries), cpu)


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


def execute(
    tasks: Sequence[RunTask],
    executor: Optional[cf.Executor] = None,
    workers: Optional[int] = None,
    progress: bool = True,
    description: str = "runs",
) -> List[RunResult]:
    """Run `tasks` on `executor` (default: `default_executor(workers)`, shut down
    afterwards) and return their results in task order.  One tqdm progress bar on
    standard error counts finished runs unless `progress` is False.  The first
    failing run cancels the runs not yet started and its exception is raised."""
    own = executor is None
    pool: cf.Executor = default_executor(workers) if executor is None else executor
    futures: List[cf.Future[RunResult]] = []
    ok = False
    try:
        futures = [pool.submit(run_task, t) for t in tasks]
        index = {id(f): i for i, f in enumerate(futures)}
        results: List[Optional[RunResult]] = [None] * len(futures)
        with _progress_bar(len(futures), description, progress) as bar:
            for fut in cf.as_completed(futures):
                try:
                    results[index[id(fut)]] = fut.result()
                except BrokenProcessPool as exc:
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
                _abandon(pool)


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


def check_finite(task: RunTask, result: RunResult) -> Optional[RunFailure]:
    """A failure when the run's entries are not all finite (else None)."""
    bad = [(k, x) for k, x in enumerate(result.entries) if not math.isfinite(x)]
    if not bad:
        return None
    k, x = bad[0]
    what = "the estimate" if k == 0 else f"entry {k}"
    return RunFailure(
        f"non-finite result ({what} = {x!r}): the run never reached the hard-sphere reference, so its "
        f"estimate is not a number; a temperature far below the well depth, or a floor that leaves "
        f"no configuration above it, does this"
    )


def _reason(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


def run_each(
    tasks: Sequence[RunTask],
    on_done: Callable[[int, Union[RunResult, RunFailure]], None],
    executor: Optional[cf.Executor] = None,
    workers: Optional[int] = None,
    progress: bool = True,
    description: str = "runs",
    window: Optional[int] = None,
) -> None:
    """Make every run of `tasks` and call ``on_done(index, outcome)`` in the calling thread as
    each finishes, with its `RunResult` or a `RunFailure`; a failing run does not stop the others.

    Runs go to `executor` if given, else to a process pool of `workers` processes
    (`default_executor`) that is shut down afterwards.  At most `window` runs are
    submitted at a time (default: the pool's worker count, unbounded for an executor
    that does not tell it).  When a worker of our own pool dies, the pool is rebuilt and
    the runs it held are made again, at most `WORKER_RETRIES` times each.  A run raising
    one of `OWN_FAILURES`, or giving non-finite entries, fails at once; an executor that
    cannot take or finish runs any more (a lost Dask scheduler) fails every run not yet
    finished with its reason.  An exception from `on_done` (e.g. a full disk) or an
    interruption stops the workers of our own pool and propagates."""
    own = executor is None
    n_workers = (workers or available_cores()) if own else None
    pool: cf.Executor = default_executor(n_workers) if executor is None else executor
    if window is None:
        window = n_workers if own else getattr(executor, "_max_workers", None)
    limit = len(tasks) if window is None else max(1, int(window))
    pending = list(range(len(tasks)))[::-1]  # popped from the end, in task order
    attempts = [0] * len(tasks)
    running: Dict[cf.Future[RunResult], int] = {}
    clean = False
    try:
        with _progress_bar(len(tasks), description, progress) as bar:

            def finish(i: int, outcome: Union[RunResult, RunFailure]) -> None:
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
                        pool = _rebuild(pool, n_workers)
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
                    pool = _rebuild(pool, n_workers)
        clean = True
    finally:
        if not clean:
            for fut in running:
                fut.cancel()
        if own:
            if clean:
                _shutdown(pool, wait=True)
            else:
                _abandon(pool)


def _outcome(task: RunTask, fut: cf.Future[RunResult], retry: bool, tries: int) -> Optional[Union[RunResult, RunFailure]]:
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


def _rebuild(pool: cf.Executor, workers: Optional[int]) -> cf.Executor:
    _stop_workers(pool)
    _shutdown(pool, wait=True)
    return default_executor(workers)


def _shutdown(pool: cf.Executor, wait: bool) -> None:
    with contextlib.suppress(Exception):
        pool.shutdown(wait=wait, cancel_futures=True)


class _NoBar:
    """Stands in for a tqdm bar when progress is off (tqdm would still start its monitor thread)."""

    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: int = 1) -> None:
        return None


def _progress_bar(total: int, description: str, show: bool) -> Any:
    if not show:
        return _NoBar()
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit="run", file=sys.stderr)


def _abandon(pool: cf.Executor, timeout: float = 10.0) -> None:
    """Stop a pool we own whose runs are given up (an interrupt, a failed run): terminate its
    workers, cancel what waits, and give its manager thread up to `timeout` s to wind down.
    That thread closes the pool's wake-up pipe as it ends; left running, it can close the pipe
    while the interpreter's exit hook writes to it (a traceback at exit, seen on Python 3.9)."""
    # shutdown() forgets the thread and the processes: take them first
    manager = getattr(pool, "_executor_manager_thread", None)
    processes = list((getattr(pool, "_processes", None) or {}).values())
    _stop_workers(pool)
    _shutdown(pool, wait=False)
    for waitable in [manager, *processes]:
        if waitable is not None:
            with contextlib.suppress(Exception):
                waitable.join(timeout)


def _stop_workers(pool: cf.Executor) -> None:
    """Terminate the worker processes of a process pool we own (a run cannot be
    interrupted from outside, and would otherwise keep the interpreter from exiting)."""
    processes = getattr(pool, "_processes", None) or {}
    for proc in list(processes.values()):
        with contextlib.suppress(Exception):
            proc.terminate()


def dask_executor(address: str, timeout: Optional[float] = None) -> Tuple[Any, cf.Executor]:
    """Connect to the Dask scheduler at `address` (e.g. ``tcp://host:8786``), check its
    workers, and return ``(client, executor)``; close the client when done.

    Every step is bounded by `timeout` seconds (default: Dask's
    ``distributed.comm.timeouts.connect``, 30 s unless configured, e.g. by the
    environment variable ``DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT=5s``):

    - a TCP address must answer with Dask's handshake (a port where something else
      listens is refused rather than waited on);
    - at least one worker must be connected;
    - every worker must import `vica` and `vicatools` of this process's version.

    Raises ImportError when dask.distributed is not installed and OSError (one line,
    naming the scheduler or the worker) otherwise."""
    try:
        import distributed
    except ImportError:
        raise ImportError(
            "running on a Dask cluster needs dask.distributed: pip install \"dask[distributed]\" "
            "(or install vica with its 'distributed' extra)"
        ) from None
    if timeout is None:
        timeout = _dask_connect_timeout()
    _probe_dask_address(address, timeout)
    make_client: Any = distributed.Client
    try:
        client: Any = _bounded(lambda: make_client(address, timeout=timeout), timeout + 5.0)
    except (OSError, TimeoutError) as exc:
        raise OSError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
    try:
        check_dask_workers(client, address, timeout)
    except BaseException:
        with contextlib.suppress(Exception):
            client.close(timeout=5)
        raise
    executor: cf.Executor = client.get_executor()
    return client, executor


def _dask_connect_timeout() -> float:
    try:
        import dask
        from dask.utils import parse_timedelta

        value = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="seconds")
        return float(value) if value else 30.0
    except Exception:  # noqa: BLE001 - an unreadable setting: Dask's own default
        return 30.0


def _bounded(fn: Callable[[], Any], seconds: float) -> Any:
    """Call `fn` on a daemon thread and wait at most `seconds` (TimeoutError after that; the
    thread is left to end with the process)."""
    box: List[Any] = []

    def target() -> None:
        try:
            box.append(("ok", fn()))
        except BaseException as exc:  # noqa: BLE001 - carried to the caller
            box.append(("error", exc))

    thread = threading.Thread(target=target, name="vicatools-dask", daemon=True)
    thread.start()
    thread.join(seconds)
    if not box:
        raise TimeoutError(f"no answer within {seconds:g} s")
    kind, value = box[0]
    if kind == "error":
        raise value
    return value


def _probe_dask_address(address: str, timeout: float) -> None:
    """A Dask scheduler sends its handshake (a frame count and a msgpack header naming
    "python" and "pickle-protocol") as soon as a connection opens; anything else is refused."""
    target = address[len("tcp://"):] if address.startswith("tcp://") else address
    if "://" in target or ":" not in target:
        return  # another transport (tls, ucx, inproc): left to Dask's own checks
    host, _, port_text = target.rpartition(":")
    host = host.strip("[]")
    try:
        port = int(port_text)
    except ValueError:
        raise OSError(f"cannot reach the Dask scheduler at {address}: no port number") from None
    deadline = time.monotonic() + timeout
    try:
        with socket.create_connection((host, port), timeout=timeout) as conn:
            data = b""
            while len(data) < 64 and b"pickle-protocol" not in data:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                conn.settimeout(left)
                try:
                    chunk = conn.recv(256)
                except socket.timeout:
                    break
                if not chunk:
                    break
                data += chunk
    except OSError as exc:
        raise OSError(f"cannot reach the Dask scheduler at {address}: {exc.strerror or exc}") from None
    size = int.from_bytes(data[:8], "little") if len(data) >= 8 else 0
    if not (0 < size < 1 << 20 and b"python" in data):
        raise OSError(
            f"{address} does not answer as a Dask scheduler (no Dask handshake within {timeout:g} s): "
            "is it the scheduler's address and port?"
        )


_WORKER_PROBE = """
def probe():
    out = {}
    for name in ("vica", "vicatools"):
        try:
            __import__(name)
        except BaseException as exc:
            out["missing"] = name + " (" + type(exc).__name__ + ": " + str(exc) + ")"
            return out
    try:
        from importlib.metadata import version
        out["version"] = version("vica")
    except BaseException:
        out["version"] = "unknown"
    return out
"""


def _worker_probe() -> Callable[[], Any]:
    # defined outside any importable module, so that it travels by value to workers that may
    # lack vicatools
    namespace: Dict[str, Any] = {"__name__": "vicatools_worker_probe"}
    exec(_WORKER_PROBE, namespace)  # noqa: S102 - fixed source above
    fn: Callable[[], Any] = namespace["probe"]
    return fn


def check_dask_workers(client: Any, address: str, timeout: float) -> None:
    """Wait at most `timeout` s for a worker, then check that every worker imports `vica` and
    `vicatools` of this process's version; OSError naming the first worker that does not."""
    from .store import versions

    try:
        _bounded(lambda: client.wait_for_workers(1, timeout=timeout), timeout + 5.0)
    except Exception:  # noqa: BLE001 - distributed's TimeoutError and ours
        raise OSError(f"no Dask worker connected to the scheduler at {address} within {timeout:g} s") from None
    try:
        answers: Dict[str, Any] = _bounded(lambda: client.run(_worker_probe()), timeout + 5.0)
    except Exception as exc:  # noqa: BLE001
        raise OSError(f"the Dask workers at {address} did not answer a version check: {_reason(exc)}") from None
    mine = versions()["vica"]
    for worker, answer in sorted(answers.items()):
        if not isinstance(answer, dict):
            raise OSError(f"Dask worker {worker}: unexpected answer to the version check: {answer!r}")
        if "missing" in answer:
            raise OSError(f"Dask worker {worker} cannot import {answer['missing']}: install vica there")
        if answer.get("version") != mine:
            raise OSError(
                f"Dask worker {worker} has vica {answer.get('version')}, this process {mine}: install the same "
                "version on every worker"
            )
