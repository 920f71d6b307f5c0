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
over all cores, started with the "forkserver" method where the platform has
it (else "spawn").  Any `concurrent.futures.Executor` is accepted instead,
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
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

from .models import Model
from .tables import pair_table

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
    from . import _engine

    m = task.models
    a = task.length_unit
    n = len(m)
    molecules = [m[i].positions if a == 1.0 else [[x / a for x in p] for p in m[i].positions] for i in range(n)]
    tables = [engine_table(pair_table(m[i], m[j], task.mixing, a)) for i in range(n) for j in range(i + 1, n)]
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
        return pair_table(m[i], m[j], task.mixing, a)

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
    "forkserver" where available, else "spawn"."""
    if workers is None:
        workers = available_cores()
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return cf.ProcessPoolExecutor(
        max_workers=workers, mp_context=multiprocessing.get_context(method), initializer=_ignore_interrupts
    )


def _ignore_interrupts() -> None:
    """Workers leave a keyboard interrupt to the caller, which stops them (no traceback from each)."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


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
            if not ok:
                _stop_workers(pool)
            pool.shutdown(wait=ok, cancel_futures=True)


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


def _stop_workers(pool: cf.Executor) -> None:
    """Terminate the worker processes of a process pool we own (a run cannot be
    interrupted from outside, and would otherwise keep the interpreter from exiting)."""
    processes = getattr(pool, "_processes", None) or {}
    for proc in list(processes.values()):
        with contextlib.suppress(Exception):
            proc.terminate()


def dask_executor(address: str, timeout: Optional[float] = None) -> Tuple[Any, cf.Executor]:
    """Connect to the Dask scheduler at `address` (e.g. ``tcp://host:8786``) and
    return ``(client, executor)``; close the client when done.

    Raises ImportError when dask.distributed is not installed and OSError when
    the scheduler cannot be reached within `timeout` seconds (default: Dask's
    ``distributed.comm.timeouts.connect``, 30 s unless configured, e.g. by the
    environment variable ``DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT=5s``).
    The workers need the same `vica` installed."""
    try:
        import distributed
    except ImportError:
        raise ImportError(
            "running on a Dask cluster needs dask.distributed: pip install \"dask[distributed]\" "
            "(or install vica with its 'distributed' extra)"
        ) from None
    make_client: Any = distributed.Client
    try:
        client: Any = make_client(address) if timeout is None else make_client(address, timeout=timeout)
    except (OSError, TimeoutError) as exc:
        raise OSError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
    executor: cf.Executor = client.get_executor()
    return client, executor
