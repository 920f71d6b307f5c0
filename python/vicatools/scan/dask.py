"""Running on a Dask cluster: connect to a scheduler, check its workers, and hand its
executor to the scan (any `concurrent.futures.Executor` is accepted there)."""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import socket
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from .pools import reason_of as _reason


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
def probe(dask_worker=None):
    out = {"lifetime": getattr(dask_worker, "lifetime", None)}
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


SECONDS_PER_SITE_PAIR_STEP = 7e-8
"""About the CPU time of one Monte Carlo step per site pair of interacting molecules (a
one-site Bms run of 11 million steps takes about 0.7 s); the basis of `longest_run_seconds`."""


def longest_run_seconds(settings: Any) -> float:
    """About the longest a run of `settings` (a `ScanSettings`) can take, in s: its most steps
    (Mayer sampling: 1010 blocks of a million; the B_n walk: its blocks and its tuning) times
    the site pairs each step sums over."""
    m = settings.models
    pairs = sum(len(m[i].sites) * len(m[j].sites) for i in range(len(m)) for j in range(i + 1, len(m)))
    if settings.engine == "bn":
        steps = float(settings.block_steps) * (settings.max_blocks + 1)
    else:
        steps = 1010e6
    return float(steps * max(pairs, 1) * SECONDS_PER_SITE_PAIR_STEP)


def lifetime_warning(executor: cf.Executor, seconds: float) -> Optional[str]:
    """A warning (one line) when the Dask workers behind `executor` end after a time-to-live
    shorter than `seconds` (a run's longest expected length), else None; None as well for any
    other executor, or workers that do not answer."""
    client = getattr(executor, "_client", None)
    if client is None or not hasattr(client, "run"):
        return None
    try:
        answers: Dict[str, Any] = _bounded(lambda: client.run(_worker_probe()), 30.0)
    except Exception:  # noqa: BLE001 - no answer: nothing to say about lifetimes
        return None
    lives = sorted((float(a["lifetime"]), w) for w, a in answers.items()
                   if isinstance(a, dict) and a.get("lifetime"))
    if not lives or lives[0][0] >= seconds:
        return None
    life, worker = lives[0]
    return (f"Dask worker {worker} ends after its time-to-live of {life:.0f} s (distributed.worker.lifetime."
            f"duration, or the worker's --lifetime), and a run here can take up to about {seconds:.0f} s: a run "
            "still going when its worker ends is lost with it (KilledWorker); give the workers a longer lifetime "
            "or make the runs shorter")
