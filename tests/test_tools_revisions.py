"""Stored runs are reused only by the revision of the method that made them, and a method's numbers
cannot change without a new revision: fixed-seed runs of each method are hashed and compared with
the fingerprint recorded beside its revision (`Method.revision`, `Method.fingerprint`)."""
import hashlib
import math

import pytest

import _vica_testing as vt_testing
import vicatools as vt
from vicatools import _engine, io
from vicatools.methods import METHODS
from vicatools.methods.walk import engine_table, reference_padding
from vicatools.scan import store

SEED = 20261209
ARGON = vt.get_model("argon")
CO2 = vt.get_model("trappe-co2")


def _digest(values):
    # 12 significant digits: the keyed runs repeat bit for bit on every kernel path, the rounding
    # only spares the hash the last bits of the unit conversions
    return hashlib.sha256(repr([float(f"{x:.12g}") for x in values]).encode()).hexdigest()[:16]


def _testing_table(table):
    return [[tuple(e[: 1 + int(e[0])]) for e in row] for row in engine_table(table)]


class _KeyedBms:
    def __init__(self, m1, m2, table):
        self.args = (m1, m2, _testing_table(table))

    def run(self, t_kelvin, u_min, dev_tol, order_max):
        return vt_testing.bms_run_keyed(SEED, *self.args, t_kelvin, u_min, dev_tol, order_max)


class _KeyedCms:
    def __init__(self, m1, m2, m3, t12, t13, t23):
        self.args = (m1, m2, m3, _testing_table(t12), _testing_table(t13), _testing_table(t23))

    def run(self, t_kelvin, dev_tol, order_max):
        return vt_testing.cms_run_keyed(SEED, *self.args, t_kelvin, dev_tol, order_max)


def _keyed(monkeypatch):
    """Every engine draws from a generator keyed by SEED."""
    import vica

    monkeypatch.setattr(vica, "Bms", _KeyedBms)
    monkeypatch.setattr(vica, "Cms", _KeyedCms)
    monkeypatch.setattr(_engine, "bn_run", lambda *args: _engine.bn_run_keyed(SEED, *args))


def _tasks(method):
    """A few short runs that reach every kind of site law and conversion the method has."""
    out = []
    walk = method.engine == "bn"
    for order, models in ((2, (ARGON, ARGON)), (3, (ARGON,) * 3), (2, (CO2, CO2)), (4, (ARGON,) * 4)):
        if method.refusal(order, models) is not None or (models[0] is CO2 and not walk):
            continue  # (a Bms run makes at least 11 million steps: CO2's would take seconds)
        settings = store.ScanSettings(order, models, "lorentz-berthelot", -math.inf, 1e300, 2,
                                      length_unit=reference_padding(models) if walk else 1.7, engine=method.engine,
                                      block_steps=1000, max_blocks=12, revision=method.revision)
        out.append(settings.task(250.0))
    return out


def fingerprint(method, monkeypatch):
    _keyed(monkeypatch)
    values = []
    for task in _tasks(method):
        out = method.run(task)
        values.extend(out if not isinstance(out, tuple) else [x for r in out for x in r.entries])
    return _digest(values)


@pytest.mark.parametrize("name", sorted(METHODS))
def test_numbers_change_only_with_a_new_revision(name, monkeypatch, capfd):
    method = METHODS[name]
    assert isinstance(method.revision, int) and method.revision >= 1
    got = fingerprint(method, monkeypatch)
    capfd.readouterr()  # the runs' progress lines
    assert got == method.fingerprint, (
        f"the numbers of method {name!r} changed: if that is meant, bump its revision "
        f"({type(method).__module__}.{type(method).__name__}.revision = {method.revision + 1}) and record "
        f"fingerprint = {got!r} beside it, so that stored runs of the old numbers are made again"
    )


def test_a_run_of_another_revision_is_never_reused(tmp_path, monkeypatch):
    """Records of an earlier revision (or of none, before revisions were kept) still read back,
    but a scan makes its runs again."""
    import concurrent.futures as cf

    from vicatools.scan import executors

    calls = []
    monkeypatch.setattr(executors, "_call", lambda task: calls.append(task.revision) or [-25.0, 60.0, -100.0])
    path = tmp_path / "s.jsonl"
    mayer = METHODS["mayer"]
    # two runs as stored before revisions were kept: no "revision" in the record or its key
    old = store.ScanSettings(2, (ARGON, ARGON), "lorentz-berthelot", -math.inf, 1e-3, 2, length_unit=3.405)
    with store.RunStore(path) as st:
        for _ in range(2):
            st.append(store.RunRecord(old, 300.0, "ok", (-25.0, 60.0, -100.0), 1.0))
    assert "revision" not in path.read_text()
    assert io.read_store(path).temperatures == [300.0]  # they still read back
    with cf.ThreadPoolExecutor(1) as pool:
        scan = vt.b2("argon", temperatures=[300.0], runs=2, executor=pool, progress=False, results=path)
        assert calls == [mayer.revision] * 2 and scan.from_store == 0
        monkeypatch.setattr(type(mayer), "revision", mayer.revision + 1)
        vt.b2("argon", temperatures=[300.0], runs=2, executor=pool, progress=False, results=path)
    assert calls == [mayer.revision - 1] * 2 + [mayer.revision] * 2
    with pytest.raises(ValueError, match="holds runs of 3 scans"):
        io.read_store(path)  # every kind reads back, each a scan of its own
