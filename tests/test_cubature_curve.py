"""The curve of an integrated scan runs through the integral itself (vicatools.results.integral_curve):
checked against one-dimensional scipy quadratures of Lennard-Jones argon, written apart from the engine."""
import math

import pytest
from scipy import optimize

import vicatools as vt
from vicatools import io
from vicatools.methods.cubature import DEFAULT_RTOL
from test_cubature import lj_entries

EPS, SIGMA = 119.8, 3.405  # the library's argon
TEMPS = [100.0, 180.0, 500.0]


def reference(t):
    """(B, T dB/dT) of argon in A^3 from the reduced entries."""
    e = lj_entries(t / EPS)
    s3 = SIGMA**3
    return e[0] * s3, -e[1] * s3  # T dB/dT = -beta dB/dbeta


@pytest.fixture(scope="module")
def scan(tmp_path_factory):
    path = tmp_path_factory.mktemp("store") / "argon.jsonl"
    return vt.b2("argon", temperatures=TEMPS, method="cubature", workers=1, progress=False, results=str(path))


def test_curve_between_scan_temperatures_is_the_integral(scan):
    assert len(scan.integral_grid) > 20
    for t in (110.0, 140.0, 230.0, 330.0, 470.0):
        p = scan.curve(t)
        b, tdb = reference(t)
        # the interpolation error is negligible beside the precision asked, and with the
        # integration error it bounds the truth
        assert p.interpolation_error < 1e-2 * DEFAULT_RTOL * abs(p.value)
        assert abs(p.value - b) <= p.value_stderr + p.interpolation_error
        assert abs(p.t_dxdt - tdb) <= p.t_dxdt_stderr + p.t_dxdt_interpolation_error
    boyle = scan.boyle_temperature()
    t_ref = optimize.brentq(lambda t: reference(t)[0], 300.0, 500.0, xtol=1e-10)
    assert abs(boyle.t_kelvin - t_ref) <= 2.0 * boyle.uncertainty + 1e-9 * t_ref
    assert boyle.uncertainty < 1e-4  # K: six digits of B in, a root to well below a millikelvin out


def test_grid_survives_store_json_and_units(scan, tmp_path):
    again = vt.b2("argon", temperatures=TEMPS, method="cubature", workers=1, progress=False, results=scan.results)
    assert again.from_store == len(TEMPS)
    io.write_json(scan, tmp_path / "scan.json")
    back = io.read_json(tmp_path / "scan.json")
    stored = io.read_store(scan.results)  # one record per temperature is an estimate
    assert stored.method == "cubature" and [e.value for e in stored] == [e.value for e in scan]
    for other in (again, back, stored):
        assert len(other.integral_grid) == len(scan.integral_grid)
        assert other.curve(230.0).value == pytest.approx(scan.curve(230.0).value, rel=1e-14)
    molar = scan.molar().curve(230.0)
    assert molar.value == pytest.approx(scan.curve(230.0).value * 0.6022140760, rel=1e-12)
    assert molar.interpolation_error < 1e-2 * DEFAULT_RTOL * abs(molar.value)
