"""vicatools runs in worker processes: independent streams, progress lines kept off the
terminal, any Executor (a local Dask cluster included)."""
import concurrent.futures as cf
import math
import multiprocessing
import os

import pytest

import vicatools as vt  # noqa: E402
from vicatools.scan import executors as parallel  # noqa: E402

import vica  # noqa: E402

B_SD = 0.252  # single-run spread of B(300 K) of LJ argon at dev_tol 1e300, A^3 (see test_tools_estimate)
B_EXACT = -25.6794  # quadrature, A^3


def _check_runs(scan, n):
    values = [r[0] for e in scan for r in e.runs]
    assert len(values) == n
    assert len(set(values)) == n, values  # a repeated stream repeats the result bit for bit
    assert all(abs(v - B_EXACT) < 8 * B_SD for v in values)


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_runs_are_independent_whatever_the_start_method(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} here")
    # key this process's generator first: a forked worker inherits its state
    vica.Uij([[0, 0, 0]], [[0, 0, 0]], [[vica.PotK.R1(1.0)]]).u_r(5.0, 1e-3, 10, 10, 10)
    pool = cf.ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context(method))
    with pool:
        scan = vt.b2("argon", temperatures=[300.0], runs=4, dev_tol=1e300, executor=pool, progress=False)
    _check_runs(scan, 4)


def _short_draw_on_new_thread(_):
    import time

    time.sleep(0.2)  # let both workers take a task
    uij = vica.Uij([[0, 0, 0]], [[0, 0, 1.0]], [[vica.PotK.R1(1.0)]])
    return os.getpid(), parallel._on_new_thread(lambda: [uij.u_r(3.0, 1e-3, 10, 10, 10)])[0]


def test_forked_workers_draw_fresh_streams(capfd):
    """A forked child inherits its parent's generator; a run on a new thread keys its own.
    (Comparing whole Bms runs cannot show this: the generator rekeys from the operating system
    every 64 KiB, so only the first draws of a run would repeat.)"""
    if "fork" not in multiprocessing.get_all_start_methods():
        pytest.skip("no fork here")
    vica.Uij([[0, 0, 0]], [[0, 0, 0]], [[vica.PotK.R1(1.0)]]).u_r(5.0, 1e-3, 10, 10, 10)
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as pool:
        (pid1, a), (pid2, b) = pool.map(_short_draw_on_new_thread, range(2))
    capfd.readouterr()
    assert a != b  # (pid1 != pid2 almost always: the case where a shared stream would show)


def test_progress_lines_go_to_per_run_logs(tmp_path, capfd):
    logs = tmp_path / "logs"
    scan = vt.b2(
        "argon", temperatures=[300.0], runs=2, dev_tol=1e300, workers=2, log_dir=logs, progress=True
    )
    _check_runs(scan, 2)
    out, err = capfd.readouterr()
    assert "[Bms::run::" not in out + err  # nothing from the runs reached the terminal
    assert "2/2" in err  # the caller's progress bar
    files = sorted(logs.iterdir())
    assert len(files) == 2
    for f in files:
        text = f.read_text()
        assert text.count("[Bms::run::ini]") == 1 and text.count("[Bms::run::run]") == 10


def test_fd1_is_restored_and_threads_take_turns(tmp_path, capfd):
    # in-process: a thread pool runs tasks through the same redirection
    task = parallel.RunTask(2, (vt.get_model("argon"),) * 2, "lorentz-berthelot", 300.0, -math.inf, 1e300, 0,
                            str(tmp_path / "a.log"), "t")
    with cf.ThreadPoolExecutor(2) as pool:
        futures = [pool.submit(parallel.run_task, task) for _ in range(2)]
        results = [f.result() for f in futures]
    assert results[0].entries != results[1].entries and len(results[0].entries) == 1
    assert all(r.cpu_seconds > 0.0 for r in results)
    os.write(1, b"after\n")
    out, _ = capfd.readouterr()
    assert out == "after\n"
    assert (tmp_path / "a.log").read_text().count("[Bms::run::ini]") == 2


def test_failures_reach_the_caller():
    task = parallel.RunTask(2, (vt.get_model("argon"),) * 2, "lorentz-berthelot", -1.0, -math.inf, 1e300, 0,
                            None, "t")
    with pytest.raises(ValueError):  # vica refuses a temperature not above 0
        parallel.execute([task], executor=cf.ThreadPoolExecutor(1), progress=False)
    # vica's internal failure derives from BaseException and cannot travel between processes:
    # it comes back as a RuntimeError carrying its message
    bms = vica.Bms([[0, 0, 0], [1, 0, 0]], [[0, 0, 0]], [[vica.PotK.R1(1.0)]])  # one row for two sites
    with pytest.raises(RuntimeError, match="index out of bounds"):
        parallel._on_new_thread(lambda: bms.run(300.0, -1e6, 1e300, 0))


def test_local_dask_cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
    ) as cluster, distributed.Client(cluster) as client:
        scan = vt.b2(
            "argon", temperatures=[300.0], runs=2, dev_tol=1e300, executor=client.get_executor(), progress=False
        )
    _check_runs(scan, 2)
