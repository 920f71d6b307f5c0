"""The results store under hostile files: FIFOs and files of another kind refused without a byte
written, read-only stores read, records that were edited, poisoned or made by another engine
revision never reused, torn tails of other writers, and a large store resumed quickly."""
import json
import math
import os
import subprocess
import sys
import threading
import time
import warnings

import pytest

import vicatools as vt
from vicatools.scan import store, store_index

ARGON = vt.get_model("argon")


def _settings(**kw):
    base = dict(order=2, models=(ARGON, ARGON), mixing="lorentz-berthelot", u_min=-math.inf, dev_tol=1e300,
                order_max=2)
    base.update(kw)
    return store.ScanSettings(**base)


def _ok(s, t=300.0, entries=(-25.0, 60.0, -100.0)):
    return store.RunRecord(s, t, "ok", entries, 1.0)


def test_fifo_and_other_files_are_refused_untouched(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = []

    def open_it():
        try:
            store.RunStore(fifo)  # opened for writing, it would wait for a reader for ever
        except store.StoreError as exc:
            outcome.append(str(exc))

    opener = threading.Thread(target=open_it, daemon=True)
    opener.start()
    opener.join(60)
    assert not opener.is_alive() and "not a regular file" in outcome[0]
    others = {
        "scan.json": json.dumps({"model": "argon", "temperatures": []}, indent=2) + "\n",
        "scan.csv": "t_kelvin,runs,b\n300.0,8,-15.0\n",
        "argon.toml": 'name = "argon"\n',
        "one-line.txt": "no newline at all",
    }
    for name, text in others.items():
        p = tmp_path / name
        p.write_text(text)
        with pytest.raises(store.StoreError, match="not a vicatools results store"):
            store.RunStore(p)
        assert p.read_text() == text
    # a store whose very first write was torn is still a store
    torn = tmp_path / "torn.jsonl"
    torn.write_bytes(_ok(_settings()).to_json().encode()[:40])
    with store.RunStore(torn) as st:
        st.append(_ok(_settings()))
    assert len(list(store.read_records(torn))) == 1


def test_appends_start_a_fresh_line_after_another_writers_torn_tail(tmp_path):
    path = tmp_path / "s.jsonl"
    s = _settings()
    with store.RunStore(path) as mine:
        mine.append(_ok(s, 300.0))
        # another process, killed while writing, leaves half a record behind
        line = _ok(s, 350.0).to_json()
        subprocess.run([sys.executable, "-c", f"open({str(path)!r}, 'a').write({line[:300]!r})"], check=True)
        mine.append(_ok(s, 400.0))
    assert [r.t_kelvin for r in store.read_records(path)] == [300.0, 400.0]


def test_edited_poisoned_and_short_records_are_skipped_with_one_warning(tmp_path):
    path = tmp_path / "s.jsonl"
    s = _settings()
    with store.RunStore(path) as st:
        for _ in range(2):
            st.append(_ok(s))
        st.append(_ok(s, entries=(math.nan, 1.0, 2.0)))  # an ok record with a NaN
        st.append(_ok(s, entries=()))  # no entries at all
    lines = path.read_text().splitlines()
    edited = json.loads(lines[0])
    edited["models"][0]["sites"][0]["sigma"] = 3.0  # the models changed, the key kept
    path.write_text("\n".join([json.dumps(edited)] + lines[1:]) + "\n")
    with store.RunStore(path) as st:
        got, skipped = st.select(s.key, {300.0: 4})
    assert len(got[300.0]) == 1 and len(skipped) == 3
    with pytest.warns(store.StoreWarning, match="3 record.s. skipped, their runs are made again"):
        store.warn_skipped(path, skipped)
    assert "does not match its own models" in skipped[0]
    assert "not finite" in skipped[1] and "with 0 entries" in skipped[2]
    good, bad = store.trusted_records(path)
    assert len(good) == 1 and len(bad) == 3


def test_resume_from_a_large_store_reads_only_what_it_needs(tmp_path, monkeypatch):
    """(benchmarks/bench_store_resume.py times it at 100 000 records.)"""
    path = tmp_path / "big.jsonl"
    s, other = _settings(), _settings(dev_tol=1e-3)
    a, b = _ok(s).to_json(), _ok(other).to_json()
    n = 20_000
    with open(path, "w") as f:
        for i in range(n):
            line = (a if i % 2 else b).replace('"t_kelvin": 300.0', f'"t_kelvin": {100 + i % 500}.0')
            f.write(line + "\n")
    with store.RunStore(path) as st:
        st.select(s.key, {101.0: 8})  # builds the index once
        st.append(_ok(s, 999.0))
        parsed = []
        real = store.RunRecord.from_json
        monkeypatch.setattr(store.RunRecord, "from_json", lambda line: parsed.append(1) or real(line))
        got, skipped = st.select(s.key, {101.0: 8, 103.0: 8, 999.0: 8, 1000.0: 8})
    assert [len(got[t]) for t in (101.0, 103.0, 999.0, 1000.0)] == [8, 8, 1, 0] and not skipped
    assert len(parsed) == 17  # of 20 001 records
    monkeypatch.undo()
    # the index is a cache: pointed at another file it is rebuilt, never believed
    path.write_text(b + "\n")
    with store.RunStore(path) as st:
        got, skipped = st.select(other.key, {300.0: 8})
    assert len(got[300.0]) == 1 and not skipped


def test_runs_taken_from_the_store_are_said_in_the_result_and_on_stderr(tmp_path, monkeypatch, capfd):
    import concurrent.futures as cf

    from vicatools.scan import executors

    monkeypatch.setattr(executors, "_call", lambda task: [-25.0, 60.0, -100.0])
    with cf.ThreadPoolExecutor(1) as pool:
        first = vt.b2("argon", temperatures=[300.0], runs=2, executor=pool, progress=False)
        assert first.from_store == 0 and capfd.readouterr().err == ""
        second = vt.b2("argon", temperatures=[300.0], runs=2, executor=pool, progress=False)
    err = capfd.readouterr().err
    assert second.from_store == 2 and second[0].runs == first[0].runs
    assert err.count("\n") == 1 and "(2 of 2 runs already there, 0 to make)" in err


def test_a_scan_waits_for_another_of_the_same_settings_on_one_store(tmp_path):
    """The second scan waits on the lock and names who holds it; the first scan's runs then count."""
    path = tmp_path / "s.jsonl"
    with store.RunStore(path) as st:
        base = store.index_dir()
        said = []
        with store_index.scan_lock(st.path, base, "k" * 16):
            def second():
                with store_index.scan_lock(st.path, base, "k" * 16, said.append):
                    pass

            waiter = threading.Thread(target=second)
            waiter.start()
            end = time.monotonic() + 60
            while not said and time.monotonic() < end:
                time.sleep(0.05)
            assert waiter.is_alive() and len(said) == 1 and f"process {os.getpid()}" in said[0]
        waiter.join(10)
        assert not waiter.is_alive()
        with store_index.scan_lock(st.path, base, "o" * 16, said.append):  # other settings never wait
            pass
        assert len(said) == 1
