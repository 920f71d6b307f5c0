"""`boyle`, `inversion` and `properties` on the command line, from a scan written by
`b2 --json`: B = b - a/T, whose Boyle temperature a/b, inversion temperature 2a/b and
Z = 1 + B p / (R T) are known in closed form."""
import json
import subprocess
import sys

import pytest

import vicatools as vt
from vicatools import io

A3 = 0.602214076  # cm^3/mol per angstrom^3 per molecule
B0, A = 40.0, 16400.0  # cm^3/mol and cm^3 mol^-1 K: Boyle 410 K, inversion 820 K
R = 8.31446261815324


def cli(*args):
    return subprocess.run([sys.executable, "-m", "vicatools", *args], capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def scan_file(tmp_path_factory):
    ests = []
    for t in (300.0, 380.0, 450.0, 600.0, 900.0):
        # runs scatter in b; T dB/dT = a/T and T^2 d2B/dT2 = -2a/T make the entries (B, -a/T, 0)
        runs = [[(B0 + d - A / t) / A3, -A / t / A3, 0.0] for d in (-0.3, -0.1, 0.1, 0.3)]
        ests.append(vt.VirialEstimate.from_runs(2, t, runs, "angstrom^3"))
    path = tmp_path_factory.mktemp("scan") / "b.json"
    io.write_json(vt.VirialScan(2, ("argon",), tuple(ests), 1e-3, 2, "lorentz-berthelot"), path)
    return str(path)


def test_boyle_and_inversion_from_a_scan_file(scan_file, tmp_path):
    p = cli("boyle", "--from", scan_file, "--json", str(tmp_path / "boyle.json"))
    assert p.returncode == 0, p.stderr
    rec = json.loads((tmp_path / "boyle.json").read_text())
    # the runs shift B at 380 K and 450 K by +-0.1, +-0.3; the curve carries each shift to the
    # root with the quintic Hermite value weights h0 = 1 - 10s^3 + 15s^4 - 6s^5, h1 = 1 - h0 in
    # s along 1/T, and the root moves by the shift over the slope a/T_B^2
    sb = (sum(d * d for d in (0.3, 0.1, 0.1, 0.3)) / 3 / 4) ** 0.5
    tb = A / B0
    s = (1 / tb - 1 / 380.0) / (1 / 450.0 - 1 / 380.0)
    h0 = 1 - 10 * s**3 + 15 * s**4 - 6 * s**5
    assert rec["t_kelvin"] == pytest.approx(tb, abs=1e-3)
    assert rec["stderr"] == pytest.approx(sb * (h0**2 + (1 - h0) ** 2) ** 0.5 * tb**2 / A, rel=0.02)
    assert "Boyle temperature of argon: 410.0" in p.stdout
    p = cli("inversion", "--from", scan_file)
    assert p.returncode == 0, p.stderr
    assert f"{2 * A / B0:.1f}" in p.stdout


def test_properties_at_a_pressure_and_a_density(scan_file, tmp_path):
    p = cli("properties", "--from", scan_file, "-T", "450", "-p", "2e6", "--json", str(tmp_path / "p.json"))
    assert p.returncode == 0, p.stderr
    rec = json.loads((tmp_path / "p.json").read_text())["states"][0]
    props = {d["name"]: d for d in rec["properties"]}
    b = (B0 - A / 450.0) * 1e-6
    assert props["Z"]["value"] == pytest.approx(1.0 + b * 2e6 / (R * 450.0), rel=1e-12)
    assert props["Z"]["stderr"] > 0.0
    # mu_JT = (T dB/dT - B) / cp0 with cp0 = 5R/2 of a one-site gas, in K/MPa
    assert props["mu_JT"]["value"] == pytest.approx((A / 450.0 - (B0 - A / 450.0)) * 1e-6 / (2.5 * R) * 1e6)
    p = cli("properties", "--from", scan_file, "-T", "450", "--density", "500")
    assert p.returncode == 0 and "from density 500 mol/m^3" in p.stdout


def test_bad_input_is_one_line_and_status_2(scan_file, tmp_path):
    for args in (("boyle",), ("boyle", "argon", "--from", scan_file), ("boyle", "--from", str(tmp_path / "no.json")),
                 ("properties", "--from", scan_file, "-T", "450"),
                 ("properties", "--from", scan_file, "-T", "2000", "-p", "1e5"),
                 ("properties", "--from", scan_file, "-T", "450", "-p", "-1")):
        p = cli(*args)
        assert p.returncode == 2, (args, p.stderr)
        assert len(p.stderr.strip().splitlines()) == 1, p.stderr


def test_fit_writes_the_form_with_its_covariance(scan_file, tmp_path):
    # B = b - a/T is the DIPPR form with A = b, B = -a and the rest 0
    p = cli("fit", "--from", scan_file, "--form", "dippr104", "--terms", "2", "--json", str(tmp_path / "f.json"),
            "--csv", str(tmp_path / "f.csv"))
    assert p.returncode == 0, p.stderr
    rec = json.loads((tmp_path / "f.json").read_text())
    values = {q["name"]: q["value"] for q in rec["parameters"]}
    assert values["A"] == pytest.approx(B0, abs=1e-6) and values["B"] == pytest.approx(-A, rel=1e-9)
    assert len(rec["covariance"]) == 2 and (tmp_path / "f.csv").read_text().count("\n") >= 5
    assert cli("fit", "--from", scan_file, "--form", "tsonopoulos").returncode == 2
