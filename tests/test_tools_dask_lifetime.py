"""A Dask cluster whose workers end before a run could finish is warned about at the start of a
scan (instead of runs dying later as KilledWorker without a word about the setting)."""
import concurrent.futures as cf
import warnings

import pytest

import vicatools as vt
from vicatools.scan import executors


def test_worker_lifetime_shorter_than_a_run_is_warned_about(monkeypatch):
    distributed = pytest.importorskip("distributed")
    monkeypatch.setattr(executors, "_call", lambda task: [-25.0, 60.0, -100.0])
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None,
                                  silence_logs=50, lifetime="60s") as cluster, distributed.Client(cluster) as client:
        with pytest.warns(RuntimeWarning, match="time-to-live of [0-9]+ s .* up to about [0-9]+ s"):
            vt.b2("argon", temperatures=[300.0], runs=2, executor=client.get_executor(), progress=False,
                  results=False)
    with cf.ThreadPoolExecutor(1) as pool, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vt.b2("argon", temperatures=[300.0], runs=2, executor=pool, progress=False, results=False)
    assert not [w for w in caught if "time-to-live" in str(w.message)]  # no lifetime, no warning
