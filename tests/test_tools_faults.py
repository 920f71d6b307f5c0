"""Faults as they happen to a long scan: a worker killed, the command stopped by a signal, a full
disk, an address that is no Dask scheduler, Dask workers without vica.  Finished runs are kept,
no process is left behind, and a rerun makes only the runs missing."""
import json
import os
import resource
import signal
import socket
import subprocess
import sys
import time

import pytest

from vicatools.scan import executors as parallel, store

psutil = pytest.importorskip("psutil")

SCAN = ["b2", "argon", "--dev-tol", "1e300", "--workers", "2", "--runs", "2"]
# Runs of at most 1000 blocks (minutes): a signal always lands while they run.
LONG_SCAN = ["b2", "argon", "--dev-tol", "1e-12", "--workers", "2", "--runs", "2"]


def _default_sigint():
    # as from an interactive terminal: a suite started in the background (by a shell without job
    # control) passes SIGINT on as ignored, and Python then keeps ignoring it
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _start(args, then=None, **kw):
    def prepare():
        _default_sigint()
        if then is not None:
            then()

    return subprocess.Popen([sys.executable, "-m", "vicatools", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=prepare, **kw)


def _records(path):
    return list(store.read_records(path)) if os.path.exists(path) else []


def _wait_for_records(proc, path, n, timeout=120):
    end = time.monotonic() + timeout
    while len(_records(path)) < n:
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < end, "no run finished in time"
        time.sleep(0.05)


def _descendants(proc):
    return psutil.Process(proc.pid).children(recursive=True)


def _assert_gone(procs, timeout=10):
    _, alive = psutil.wait_procs(procs, timeout=timeout)
    assert not alive, [p.cmdline() for p in alive]


def _wait_for_workers(proc, n=2, timeout=60):
    end = time.monotonic() + timeout
    while True:
        workers = [p for p in _descendants(proc) if "spawn_main" in " ".join(p.cmdline())]
        if len(workers) >= n:
            time.sleep(0.5)  # into their runs
            return workers
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < end, "no workers in time"
        time.sleep(0.05)


def test_killed_worker_is_replaced_and_its_run_made_again(tmp_path):
    path = str(tmp_path / "s.jsonl")
    # six runs of about a second each on two workers: the kill lands in one of them
    proc = _start([*SCAN[:-1], "6", "-t", "300", "--results", path, "--quiet"])
    _wait_for_workers(proc)[0].kill()
    out, err = proc.communicate(timeout=180)
    assert proc.returncode == 0, err
    assert [r.status for r in _records(path)] == ["ok"] * 6  # the lost run was made again, nothing failed


def test_sigterm_stops_workers_keeps_runs_and_rerun_resumes(tmp_path):
    path = str(tmp_path / "s.jsonl")
    args = [*SCAN[:-1], "4", "-t", "300", "400", "--results", path]
    proc = _start(args)
    _wait_for_records(proc, path, 1)
    family = _descendants(proc)
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 143, err
    assert "Traceback" not in err and "stopped by SIGTERM" in err
    _assert_gone(family)  # workers and the resource tracker
    kept = _records(path)
    assert kept and all(r.ok for r in kept)
    rerun = _start(args)
    out, err = rerun.communicate(timeout=180)
    assert rerun.returncode == 0, err
    assert f"({len(kept)} of 8 runs already there, {8 - len(kept)} to make)" in err
    assert len(_records(path)) == 8 and "400" in out


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGHUP, 129)])
def test_interrupt_and_hangup_stop_the_workers(tmp_path, signum, status):
    proc = _start([*LONG_SCAN, "-t", "300", "--results", str(tmp_path / "s.jsonl")])
    _wait_for_workers(proc)
    family = _descendants(proc)
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == status and "Traceback" not in err, err
    _assert_gone(family)


def test_full_disk_stops_with_one_line_and_keeps_earlier_runs(tmp_path):
    path = str(tmp_path / "s.jsonl")
    proc = _start([*SCAN, "-t", "300", "--results", path, "--quiet"],
                  then=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (2500, resource.RLIM_INFINITY)))
    out, err = proc.communicate(timeout=180)
    assert proc.returncode == 1
    assert err.count("\n") == 1 and "cannot write the results store" in err and "Traceback" not in err
    recs = _records(path)
    assert len(recs) == 1 and recs[0].ok  # the first run is whole; the second write was cut short
    assert not open(path, "rb").read().endswith(b"\n")


def test_address_that_is_no_scheduler_is_refused_quickly():
    pytest.importorskip("distributed")
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        start = time.monotonic()
        with pytest.raises(OSError, match="does not answer as a Dask scheduler"):
            parallel.dask_executor(f"tcp://127.0.0.1:{listener.getsockname()[1]}", timeout=1.0)
        assert time.monotonic() - start < 20


def test_dask_worker_without_vica_is_named():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        worker = next(iter(client.scheduler_info()["workers"]))
        client.run(lambda: sys.modules.__setitem__("vica", None))  # `import vica` fails there from now on
        with pytest.raises(OSError, match=f"Dask worker {worker} cannot import vica"):
            parallel.check_dask_workers(client, cluster.scheduler_address, 20.0)


def test_store_records_are_standard_json(tmp_path):
    """Readable by any JSON Lines reader: no NaN / Infinity literals (argon's floor is -inf)."""
    from vicatools import get_model

    path = tmp_path / "s.jsonl"
    argon = get_model("argon")
    with store.RunStore(path) as st:
        st.append(store.RunRecord(store.ScanSettings(2, (argon, argon), "geometric", float("-inf"), 1e-3, 2),
                                  300.0, "ok", (1.0, 2.0, 3.0), 0.5))
    data = json.loads(path.read_text(), parse_constant=lambda c: pytest.fail(f"non-standard JSON {c}"))
    assert data["u_min"] == "-inf" and data["models"][0]["u_min"] == "-inf"


def test_runs_of_a_closed_dask_client_fail_instead_of_waiting():
    """A client that lost its scheduler may leave futures that never resolve."""
    import concurrent.futures as cf
    import math
    from types import SimpleNamespace

    from vicatools import get_model

    class Stuck(cf.Executor):
        _client = SimpleNamespace(status="closed", scheduler=SimpleNamespace(address="tcp://h:1"))

        def submit(self, fn, *args, **kwargs):
            return cf.Future()

    argon = get_model("argon")
    tasks = [parallel.RunTask(2, (argon, argon), "lorentz-berthelot", 300.0, -math.inf, 1e300, 0, None, str(i))
             for i in range(3)]
    outcomes = []
    parallel.run_each(tasks, lambda i, o: outcomes.append(o), executor=Stuck(), progress=False, window=2)
    assert len(outcomes) == 3 and all("the Dask client lost tcp://h:1 (client closed)" in o.reason for o in outcomes)
