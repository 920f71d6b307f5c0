"""Fitted B(T) in standard forms: parameters recovered from scans of a known B(T), a
covariance that matches the scatter of refits, and the JSON / CSV records."""
import csv
import json
import math
import random

import pytest

import vicatools as vt
from vicatools.results.fit import fit_b

A3 = 0.6022140857  # cm^3/mol per angstrom^3 per molecule


def scan_of(node, temps, noise=0.0, runs=8, rng=None):
    """A B scan whose runs scatter with standard deviation `noise` (cm^3/mol) about
    node(T) = (B, T dB/dT, T^2 d2B/dT2) in cm^3/mol."""
    rng = rng or random.Random(1)
    ests = []
    for t in temps:
        b, d1, d2 = node(t)
        rows = []
        for _ in range(runs):
            bb, dd1, dd2 = (x + rng.gauss(0.0, noise) for x in (b, d1, d2))
            e1 = -dd1
            rows.append([bb / A3, e1 / A3, (dd2 - 2.0 * e1) / 2.0 / A3])
        ests.append(vt.VirialEstimate.from_runs(2, t, rows, "angstrom^3"))
    return vt.VirialScan(2, ("test",), tuple(ests), 1e-3, 2, "lorentz-berthelot")


def series_node(a, t0=298.15):
    """B = sum a_i (t0/T - 1)^i with its derivatives, by hand."""
    def node(t):
        y, s = t0 / t - 1.0, t0 / t
        b = sum(c * y**i for i, c in enumerate(a))
        d1 = sum(-i * c * s * y ** (i - 1) for i, c in enumerate(a) if i > 0)
        # T d/dT (T dB/dT) = T^2 B'' + T B'
        dd = sum(c * i * s * (y ** (i - 1) + (i - 1) * s * y ** (i - 2) if i > 1 else s) for i, c in enumerate(a) if i > 0)
        return b, d1, dd - d1
    return node


def test_series_recovers_its_parameters_with_an_honest_covariance():
    a = (-16.0, -60.0, -9.7)  # argon's smoothing coefficients of the CRC table, cm^3/mol
    temps = [150.0, 200.0, 300.0, 400.0, 600.0]
    exact = fit_b(scan_of(series_node(a), temps, noise=1e-9), "series", 3)
    assert exact.values == pytest.approx(a, abs=1e-6) and exact.dof == 2 * len(temps) - 3
    # refits of independent noisy scans of 8 runs per temperature: the pulls of each parameter
    # have unit spread (measured over 300 refits: 1.10, 1.09, 1.11; the bounds are 3.5 standard
    # errors of a spread from 150 refits)
    rng = random.Random(7)
    pulls = [[] for _ in a]
    chi2 = []
    for _ in range(150):
        f = fit_b(scan_of(series_node(a), temps, noise=0.5, rng=rng), "series", 3)
        for i, (v, s) in enumerate(zip(f.values, f.stderrs)):
            pulls[i].append((v - a[i]) / s)
        chi2.append(f.reduced_chi2)
    for p in pulls:
        sd = math.sqrt(sum(x * x for x in p) / len(p))
        assert 0.85 < sd < 1.35, sd
    assert 0.6 < sum(chi2) / len(chi2) < 1.1  # the weights are widened against estimated covariances
    b, s = exact(250.0)
    assert b == pytest.approx(series_node(a)(250.0)[0], abs=1e-6) and s < 1e-6


def test_corresponding_states_forms_recover_omega_and_write_records(tmp_path):
    tc, pc, omega = 126.19, 3.3958e6, 0.0372  # nitrogen's critical point and acentric factor
    scale = 8.314462618 * tc / pc * 1e6

    def tsonopoulos(t):
        x = tc / t
        f = (0.1445 - 0.330 * x - 0.1385 * x**2 - 0.0121 * x**3 - 0.000607 * x**8
             + omega * (0.0637 + 0.331 * x**2 - 0.423 * x**3 - 0.008 * x**8))
        # T dB/dT and T^2 d2B/dT2 by central differences of the hand-written correlation
        h = 1e-3 * t
        fp = [scale * (0.1445 - 0.330 * (tc / u) - 0.1385 * (tc / u) ** 2 - 0.0121 * (tc / u) ** 3
                       - 0.000607 * (tc / u) ** 8 + omega * (0.0637 + 0.331 * (tc / u) ** 2
                                                            - 0.423 * (tc / u) ** 3 - 0.008 * (tc / u) ** 8))
              for u in (t - h, t + h)]
        return scale * f, t * (fp[1] - fp[0]) / (2 * h), 0.0

    scan = scan_of(tsonopoulos, [150.0, 200.0, 300.0, 500.0], noise=1e-6)
    f = fit_b(scan, "tsonopoulos", tc=tc, pc=pc)
    assert f.names == ("omega",) and f.values[0] == pytest.approx(omega, abs=1e-4)
    assert f(300.0)[0] == pytest.approx(tsonopoulos(300.0)[0], abs=1e-3)
    pitzer = fit_b(scan, "pitzer-curl", tc=tc, pc=pc, use_derivatives=False)
    assert abs(pitzer.values[0] - omega) < 0.1 and pitzer.n_data == 4
    f.to_json(tmp_path / "fit.json")
    rec = json.loads((tmp_path / "fit.json").read_text())
    assert rec["form"] == "tsonopoulos" and rec["constants"] == {"Tc": tc, "Pc": pc}
    assert rec["parameters"][0]["name"] == "omega" and len(rec["covariance"]) == 1
    d = fit_b(scan, "dippr104", 4)
    d.to_csv(tmp_path / "fit.csv")
    lines = (tmp_path / "fit.csv").read_text().splitlines()
    rows = list(csv.reader(x for x in lines if not x.startswith("#")))
    assert rows[0][:3] == ["parameter", "value", "stderr"] and [r[0] for r in rows[1:]] == ["A", "B", "C", "D"]
    assert float(rows[1][1]) == d.values[0]
    with pytest.raises(ValueError, match="tc"):
        fit_b(scan, "tsonopoulos")
    with pytest.raises(ValueError, match="cannot fix"):
        fit_b(scan_of(series_node((1.0,)), [300.0]), "series", 3)
    with pytest.raises(ValueError, match="form"):
        fit_b(scan, "virial")
