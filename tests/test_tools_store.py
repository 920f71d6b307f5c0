"""The results store: crash-safe records, resuming a scan, failed runs kept apart from good ones."""
import concurrent.futures as cf
import itertools
import json
import math

import pytest

import vicatools as vt
from vicatools import io
from vicatools.scan import executors as parallel, store

ARGON = vt.get_model("argon")


def _settings(**kw):
    base = dict(order=2, models=(ARGON, ARGON), mixing="lorentz-berthelot", u_min=-math.inf, dev_tol=1e300,
                order_max=2)
    base.update(kw)
    return store.ScanSettings(**base)


def test_torn_last_line_is_skipped_and_the_next_record_starts_a_new_line(tmp_path):
    path = tmp_path / "s.jsonl"
    s = _settings()
    with store.RunStore(path) as st:
        st.append(store.RunRecord(s, 300.0, "ok", (-25.0, 60.0, -100.0), 1.5))
    whole = path.read_bytes()
    path.write_bytes(whole + whole[: len(whole) // 2])  # a write cut short
    assert len(list(store.read_records(path))) == 1
    with store.RunStore(path) as st:
        st.append(store.RunRecord(s, 400.0, "failed", reason="FloatingPointError: x"))
    recs = list(store.read_records(path))
    assert [(r.t_kelvin, r.status) for r in recs] == [(300.0, "ok"), (400.0, "failed")]
    first = recs[0]
    assert first.entries == (-25.0, 60.0, -100.0) and first.key == s.key and first.settings.u_min == -math.inf
    data = json.loads(path.read_text().splitlines()[0])
    assert data["models"][0]["sites"][0]["sigma"] == 3.405 and data["versions"]["vica"]
    # every setting is in the key, the temperature is not
    assert len({s.key, _settings(dev_tol=1e-3).key, _settings(order_max=1).key, _settings(u_min=-500.0).key,
                _settings(length_unit=2.0).key, _settings(mixing="geometric").key}) == 6


def test_store_path_is_refused_when_unusable(tmp_path):
    with pytest.raises(OSError, match="directory"):
        store.RunStore(tmp_path)
    assert store.default_store_path(_settings()).name.startswith("b2-argon-")


_COUNT = itertools.count()


def _fake_call(task):
    """Stands in for a vica run: fails by a temperature's rule, else gives entries of its own."""
    if task.t_kelvin == 1.0:
        return [math.inf, 0.0, 0.0]  # a run that never reached the reference
    if task.t_kelvin == 2.0:
        raise FloatingPointError("Bms.run(): non-finite values")
    return [-25.0 + 0.01 * next(_COUNT), 60.0, -100.0]


def test_failed_runs_are_named_kept_apart_and_retried(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(parallel, "_call", lambda task: calls.append(task.t_kelvin) or _fake_call(task))
    path = tmp_path / "s.jsonl"
    with cf.ThreadPoolExecutor(2) as pool:
        with pytest.raises(vt.ScanError) as info:
            vt.b2("argon", temperatures=[300.0, 1.0, 2.0], runs=2, executor=pool, progress=False, results=path)
    err = info.value
    assert err.scan.temperatures == [300.0] and err.scan.results == str(path)
    lines = [str(f) for f in err.failures]
    assert any(line.startswith("T = 1 K: 2 runs failed: non-finite result (the estimate = inf)") for line in lines)
    assert any(line.startswith("T = 2 K: 2 runs failed: FloatingPointError") for line in lines)
    assert {f.t_kelvin for f in err.failures if f.runs == 0} == {1.0, 2.0}  # no estimate there
    recs = list(store.read_records(path))
    assert sorted(r.status for r in recs) == ["failed"] * 4 + ["ok"] * 2
    # a rerun makes only what is missing: the failed runs again, none at 300 K
    calls.clear()
    with cf.ThreadPoolExecutor(2) as pool:
        with pytest.raises(vt.ScanError):
            vt.b2("argon", temperatures=[300.0, 1.0, 2.0], runs=2, executor=pool, progress=False, results=path)
    assert sorted(calls) == [1.0, 1.0, 2.0, 2.0]
    scan = io.read_store(path)
    assert scan.temperatures == [300.0] and scan[0].n_runs == 2 and scan.u_min.origin == "stored"
    assert scan[0].runs == err.scan[0].runs


def test_a_temperature_given_twice_takes_stored_runs_in_turn(tmp_path, monkeypatch):
    calls = []
    monkeypatch.setattr(parallel, "_call", lambda task: calls.append(task.t_kelvin) or _fake_call(task))
    path = tmp_path / "s.jsonl"
    with cf.ThreadPoolExecutor(1) as pool:
        first = vt.b2("argon", temperatures=[300.0], runs=2, executor=pool, progress=False, results=path)
        both = vt.b2("argon", temperatures=[300.0, 300.0], runs=2, executor=pool, progress=False, results=path)
    assert len(calls) == 4 and both[0].runs == first[0].runs and both[1].runs != first[0].runs
