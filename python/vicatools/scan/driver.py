"""One scan's runs: what the results store already holds, the tasks still missing,
their execution, and every finished run written to the store as it arrives.

`make_runs` knows no method's insides: the method turns the missing runs into tasks
(`vicatools.methods.base.Method.tasks`) and makes each in a worker; a run that serves
several temperatures gives one result per temperature, each stored as its own record.
"""
from __future__ import annotations

import concurrent.futures as cf
import os
import pathlib
import sys
import warnings
from dataclasses import dataclass, replace
from typing import Dict, List, Optional, Sequence, Tuple, Union

from ..methods.base import Method, RunResult, ScanSettings
from .executors import RunFailure, RunOutcome, run_each
from .dask import lifetime_warning, longest_run_seconds
from .pools import check_workers
from .store import RunRecord, RunStore, StoreError, default_store_path, index_dir, versions, warn_skipped
from .store_index import scan_lock

ResultsArg = Union[None, bool, str, "os.PathLike[str]"]


@dataclass(frozen=True)
class ScanFailure:
    """Runs at one temperature that failed with one reason.

    Attributes:
        t_kelvin: temperature in K.
        runs: how many runs failed so (0: the temperature has too few successful runs
            for an estimate, `reason` says how many).
        reason: one line.
    """

    t_kelvin: float
    runs: int
    reason: str

    def __str__(self) -> str:
        what = f"{self.runs} run{'s' if self.runs != 1 else ''} failed: " if self.runs else ""
        return f"T = {self.t_kelvin:g} K: {what}{self.reason}"


@dataclass(frozen=True)
class RunsMade:
    """The runs of a scan, by temperature (in the order asked), and what failed.

    Attributes:
        runs: the successful runs at each temperature (stored ones first).
        failures: one per temperature and reason.
        results: path of the results store (None when not stored).
        from_store: how many of the runs came from the store.
    """

    runs: Tuple[Tuple[RunResult, ...], ...]
    failures: Tuple[ScanFailure, ...]
    results: Optional[str]
    from_store: int = 0


def open_store(results: ResultsArg, settings: ScanSettings) -> Optional[RunStore]:
    """The results store of a scan: `results` False -> none; None or True -> the default
    file of these settings (`vicatools.scan.store.default_store_path`); else that path."""
    if results is False:
        return None
    path = default_store_path(settings) if results is None or results is True else pathlib.Path(results)
    return RunStore(path)


def make_runs(
    settings: ScanSettings,
    method: Method,
    temperatures: Sequence[float],
    runs: int,
    *,
    workers: Optional[int] = None,
    executor: Optional[cf.Executor] = None,
    progress: bool = True,
    log_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    results: ResultsArg = None,
) -> RunsMade:
    """Make `runs` runs of `settings` at each of `temperatures` (K) by `method`, taking
    those the results store `results` already holds (see `open_store`); every run is
    stored as it finishes.  A temperature given twice takes stored runs in turn.  The
    settings carry the method's revision, so runs of an earlier revision are made again."""
    if settings.revision != method.revision:
        settings = replace(settings, revision=method.revision)
    check_workers(workers)
    store = open_store(results, settings)
    log_base = None
    if log_dir is not None:
        # absolute: the runs may be made in processes with other working directories (Dask)
        log_base = pathlib.Path(log_dir).resolve()
        log_base.mkdir(parents=True, exist_ok=True)
    try:
        if store is None:
            return _make(settings, method, list(temperatures), runs, workers, executor, progress, log_base, None)

        def waiting(holder: str) -> None:
            print(f"results: {store.path} is being added to by another scan of these settings ({holder}); "
                  "waiting for it, to make only the runs it leaves missing", file=sys.stderr, flush=True)

        # two scans of one store and settings take turns: the second makes only what the first left
        with scan_lock(store.path, index_dir(), settings.key, waiting):
            return _make(settings, method, list(temperatures), runs, workers, executor, progress, log_base, store)
    finally:
        if store is not None:
            store.close()


def _make(
    settings: ScanSettings,
    method: Method,
    ts: List[float],
    runs: int,
    workers: Optional[int],
    executor: Optional[cf.Executor],
    progress: bool,
    log_base: Optional[pathlib.Path],
    store: Optional[RunStore],
) -> RunsMade:
    name = f"b{settings.order}"
    stored: Dict[float, List[RunResult]] = {t: [] for t in ts}
    if store is not None:
        wanted: Dict[float, int] = {}
        for t in ts:
            wanted[t] = wanted.get(t, 0) + runs
        # only the records needed are read (an index), each checked before it counts
        found, skipped = store.select(settings.key, wanted)
        warn_skipped(store.path, skipped)
        for t, recs in found.items():
            stored[t] = [RunResult(r.entries, r.cpu_seconds, r.errors, r.converged, r.note, run_id=r.run_id,
                                   curve=r.curve) for r in recs]
    made: List[List[RunResult]] = []
    for t in ts:
        made.append(stored[t][:runs])
        del stored[t][:runs]
    from_store = sum(map(len, made))

    def log_path(i: int, t: float, r: int) -> Optional[str]:
        return None if log_base is None else str(log_base / f"{name}_{i:03d}_T{t:g}K_run{r:02d}.log")

    missing = [(i, t, runs - len(made[i])) for i, t in enumerate(ts) if len(made[i]) < runs]
    planned = method.tasks(settings, missing, log_path, os.urandom(8).hex())
    points = [p for p, _ in planned]
    tasks = [task for _, task in planned]
    if tasks and store is not None and not store.writable:
        raise StoreError(f"results store {str(store.path)!r} is read-only, and {len(tasks)} run(s) are missing "
                         "from it: give another file (--results) to make them")
    failed: Dict[Tuple[float, str], int] = {}
    stamp = versions()
    if store is not None and (progress or from_store):
        # said even without progress output: runs taken from the store are not this call's own
        to_make = sum(count for _, _, count in missing)
        # a task may serve several temperatures (one integration, one multi-temperature walk)
        how = f"{to_make} to make" + (f" in {len(tasks)} pass(es)" if len(tasks) != to_make else "")
        print(
            f"results: {store.path} ({from_store} of {runs * len(ts)} runs already there, {how})",
            file=sys.stderr,
            flush=True,
        )

    def record(result: RunResult, t: float) -> RunRecord:
        return RunRecord(settings, t, "ok", result.entries, result.cpu_seconds, versions=stamp, errors=result.errors,
                         converged=result.converged, note=result.note, run_id=result.run_id, curve=result.curve)

    def on_done(k: int, outcome: Union[RunOutcome, RunFailure]) -> None:
        records: List[RunRecord] = []
        if isinstance(outcome, RunFailure):
            for i in points[k]:
                t = ts[i]
                records.append(RunRecord(settings, t, "failed", reason=outcome.reason, versions=stamp))
                failed[(t, outcome.reason)] = failed.get((t, outcome.reason), 0) + 1
        else:
            results = outcome if isinstance(outcome, tuple) else (outcome,)
            for i, result in zip(points[k], results):
                made[i].append(result)
                records.append(record(result, ts[i]))
        if store is not None:
            try:
                for rec in records:
                    store.append(rec)
            except OSError as exc:
                raise OSError(f"cannot write the results store {str(store.path)!r}: {exc.strerror or exc}") from None

    if tasks and executor is not None:
        note = lifetime_warning(executor, longest_run_seconds(settings))
        if note is not None:
            warnings.warn(note, RuntimeWarning, stacklevel=3)
    if tasks:
        run_each(tasks, on_done, executor=executor, workers=workers, progress=progress, description=name)
    failures = [ScanFailure(t, n, reason) for (t, reason), n in failed.items()]
    return RunsMade(
        runs=tuple(tuple(chunk) for chunk in made),
        failures=tuple(failures),
        results=None if store is None else str(store.path),
        from_store=from_store,
    )
