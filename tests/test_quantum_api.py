"""The first-order quantum correction as users see it: vt.b2(quantum=...), files, the command line."""
import csv
import json
import math
import subprocess
import sys

import pytest

import reference_quantum as ref
import vicatools as vt
from vicatools import io
from vicatools.results.quantum import QuantumWarning, classical_scan

FAST = dict(runs=3, dev_tol=1e-2, progress=False, workers=1)
EPS, SIGMA, MASS = 119.8, 3.405, 39.95  # the library's argon


def test_corrected_b2_is_classical_plus_an_independently_checked_correction(tmp_path):
    store = tmp_path / "runs.jsonl"
    plain = vt.b2("argon", temperatures=[150.0, 200.0], results=store, **FAST)
    scan = vt.b2("argon", temperatures=[150.0, 200.0], results=store, quantum="first-order", **FAST)
    assert plain.quantum == "none" and scan.quantum == "first-order"
    for p, e in zip(plain, scan):
        assert e.classical_value == p.value and e.classical_value_stderr == p.value_stderr  # the same stored runs
        want = ref.lj_first_order(e.t_kelvin, EPS, SIGMA, MASS)
        assert e.quantum_correction == pytest.approx(want, rel=1e-4)
        assert e.quantum_correction_stderr <= max(0.1 * p.value_stderr, 1e-4 * e.quantum_correction)
        assert e.value == e.classical_value + e.quantum_correction
        assert e.value_stderr == pytest.approx(math.hypot(p.value_stderr, e.quantum_correction_stderr))
        # T dB/dT = -e_1: the correction's own derivative added
        d_want = -ref.lj_first_order(e.t_kelvin, EPS, SIGMA, MASS, 1)
        assert e.t_dxdt - p.t_dxdt == pytest.approx(d_want, rel=1e-3)
        assert e.notes == ()
    # curves and nearby temperatures are those of the corrected B; the classical scan comes back
    assert scan.curve(150.0).value == pytest.approx(scan[0].value, rel=1e-12)
    assert scan[0].at(155.0)[0] - plain[0].at(155.0)[0] == pytest.approx(
        ref.lj_first_order(155.0, EPS, SIGMA, MASS), rel=2e-3)
    back = classical_scan(scan)
    assert [e.value for e in back] == pytest.approx([e.value for e in plain], rel=1e-13)
    molar = scan.molar()[0]
    assert molar.quantum_correction == pytest.approx(scan[0].quantum_correction * 0.602214076, rel=1e-15)
    assert molar.classical_value + molar.quantum_correction == pytest.approx(molar.value, rel=1e-14)
    # files: CSV columns and a JSON that reads back corrected
    io.write_csv(scan, tmp_path / "b.csv")
    rows = list(csv.DictReader(open(tmp_path / "b.csv")))
    assert rows[0]["quantum"] == "first-order"
    assert float(rows[0]["b"]) == pytest.approx(float(rows[0]["b_classical"]) + float(rows[0]["b_quantum_correction"]))
    io.write_json(scan, tmp_path / "b.json")
    again = io.read_json(tmp_path / "b.json")
    assert again.quantum == "first-order"
    assert [e.value for e in again] == pytest.approx([e.value for e in scan], rel=1e-13)
    assert [e.quantum_correction for e in again] == pytest.approx([e.quantum_correction for e in scan], rel=1e-13)


def test_a_large_correction_warns_that_higher_orders_are_needed():
    light = vt.Model("light-argon", (vt.Site("X", (0.0, 0.0, 0.0), EPS, SIGMA, 0.0, mass=1.0),))
    with pytest.warns(QuantumWarning, match="higher orders"):
        scan = vt.b2(light, temperatures=[150.0], results=False, quantum="first-order", **FAST)
    assert abs(scan[0].quantum_correction) > 0.1 * abs(scan[0].value)
    assert any("higher orders" in n for n in scan[0].notes)


def test_bad_quantum_requests_are_refused_before_any_run():
    with pytest.raises(ValueError, match="quantum must be one of"):
        vt.b2("argon", temperatures=[300.0], quantum="second-order", **FAST)
    nameless = vt.Model("nameless", (vt.Site("A", (0.0, 0.0, 0.0), EPS, SIGMA, 0.0),))
    with pytest.raises(ValueError, match="no mass for site"):
        vt.b2(nameless, temperatures=[300.0], quantum="first-order", **FAST)


def _cli(*args):
    return subprocess.run([sys.executable, "-m", "vicatools", *args], capture_output=True, text=True, timeout=600)


def test_command_line_says_first_order_and_compares_classical_and_corrected(tmp_path):
    out = _cli("b2", "argon", "-t", "200", "300", "--runs", "3", "--dev-tol", "1e-2", "--workers", "1", "-q",
               "--quantum", "first-order", "--compare", "--results", str(tmp_path / "r.jsonl"),
               "--json", str(tmp_path / "b.json"))
    assert out.returncode == 0, out.stderr
    table, comparison = out.stdout.split("\n\n")
    assert "first-order quantum corrected" in table.splitlines()[0]
    assert "classical" in comparison and "1st-order corrected" in comparison and "experiment" in comparison
    assert json.loads((tmp_path / "b.json").read_text())["quantum"] == "first-order"
    model = tmp_path / "x.json"
    model.write_text(json.dumps({"name": "x", "sites": [
        {"name": "A", "position": [0, 0, 0], "epsilon": 100.0, "sigma": 3.4, "charge": 0.0}]}))
    bad = _cli("b2", str(model), "-t", "300", "--quantum", "first-order", "-q")
    assert bad.returncode == 2 and bad.stderr.count("\n") == 1 and "mass" in bad.stderr


def test_lennard_jones_neon_prints_classical_corrected_and_reference_values(tmp_path):
    out = _cli("b2", "neon", "-t", "40", "60", "--quantum", "first-order", "--compare", "-q",
               "--results", str(tmp_path / "r.jsonl"))
    assert out.returncode == 0, out.stderr
    comparison = out.stdout.split("\n\n")[1].splitlines()
    assert "Thol" in comparison[0] and "1st-order corrected" in comparison[2]
    rows = {float(line.split()[0]): line for line in comparison[3:]}
    assert sorted(rows) == [40.0, 45.0, 50.0, 60.0]
    # classical +/- err, dev/unc, corrected +/- err, dev/unc, reference +/- uncertainty
    assert all(line.count("+/-") == 3 and len(line.split()) == 12 for line in rows.values())


def test_near_the_boyle_temperature_a_small_correction_is_not_flagged():
    from dataclasses import replace

    from vicatools.results.quantum import corrected, validity_note

    # B = -3, T dB/dT = 56 (N2 near 300 K): a correction of 0.3 is 10 % of |B| but small
    base = vt.VirialEstimate.from_integral(2, 300.0, (-3.0, -56.0, 0.0), (0.01, 0.01, 0.01), "angstrom^3")
    assert validity_note(corrected(base, (0.3, 0.0, 0.0), (1e-6,) * 3)) == ""
    far = replace(base, t_dxdt=1.0)
    assert "higher orders" in validity_note(corrected(far, (0.5, 0.0, 0.0), (1e-6,) * 3))
