"""The smooth curve through a scan, its roots, and the derived properties, against
analytic functions and finite differences of independent thermodynamic routes."""
import math
import random

import pytest

import vicatools as vt
from vicatools.results import properties as pr
from vicatools.results.curve import Curve

R = 8.314462618  # J/(mol K)
A3 = 0.602214076  # cm^3/mol per A^3
A6 = A3 * A3


def node(f, t, h=1e-3):
    """(X, T dX/dT, T^2 d2X/dT2) of a function of T, by central differences in ln T."""
    up, mid, dn = f(t * math.exp(h)), f(t), f(t * math.exp(-h))
    d1 = (up - dn) / (2 * h)  # d/d ln T = T d/dT
    d2 = (up - 2 * mid + dn) / h**2 - d1  # T^2 d2/dT2 = d2/d(lnT)^2 - d/d lnT
    return mid, d1, d2


def entries(order, x, d1, d2):
    """vica entries (e0, e1, e2) that give X, T dX/dT, T^2 d2X/dT2 (inverse of vicatools.thermo)."""
    s = 1.0 if order == 2 else math.sqrt(2.0)
    e1 = -d1 / s
    return (x, e1, (d2 - 2 * s * e1) / (2 * s * s))


def fake_scan(order, fn, temps, noise=(0.0, 0.0, 0.0), runs=4, rng=None, exact=None):
    """A VirialScan of X = fn(T) (per molecule) with independent Gaussian noise per run;
    `exact(T)` gives (X, T dX/dT, T^2 d2X/dT2) instead of finite differences."""
    rng = rng or random.Random(5)
    unit = "angstrom^3" if order == 2 else "angstrom^6"
    ests = []
    for t in temps:
        x = exact(t) if exact else node(fn, t)
        rows = [entries(order, *(v + rng.gauss(0, s) for v, s in zip(x, noise))) for _ in range(runs)]
        ests.append(vt.VirialEstimate.from_runs(order, t, rows, unit))
    return vt.VirialScan(order, ("argon",), tuple(ests), 1e-3, 2, "lorentz-berthelot")


def square_well(t, sigma=3.0, lam=1.5, eps=200.0):
    """Analytic B2 of square-well spheres, A^3."""
    return 2 * math.pi * sigma**3 / 3 * (1 - (lam**3 - 1) * math.expm1(eps / t))


def square_well_node(t, sigma=3.0, lam=1.5, eps=200.0):
    """Analytic (B, T dB/dT, T^2 d2B/dT2) of `square_well`."""
    a, k, u = 2 * math.pi * sigma**3 / 3, lam**3 - 1, eps / t
    e = math.exp(u)
    return square_well(t, sigma, lam, eps), a * k * e * u, -a * k * e * (u * u + 2 * u)


def test_quintic_is_exact_for_polynomials_in_inverse_temperature_and_bounds_its_error():
    co = [3.0, -2000.0, 1e5, -3e7, 2e9, -5e10]
    poly = lambda t: sum(c * t**-k for k, c in enumerate(co))  # noqa: E731
    ts = [100.0, 150.0, 220.0, 300.0]
    c = Curve(ts, [[node(poly, t)] * 2 for t in ts])
    for t in (110.0, 180.0, 299.0):
        assert c.evaluate(t)[0] == pytest.approx(poly(t), rel=1e-7)
        assert c.evaluate(t)[1] == pytest.approx(node(poly, t)[1], rel=1e-5)
    # square well: the estimated interpolation error is of the size of the true one
    ts = [150.0, 200.0, 300.0, 450.0, 700.0]
    c = Curve(ts, [[square_well_node(t)] * 2 for t in ts])
    for a, b in zip(ts, ts[1:]):
        t = 2 / (1 / a + 1 / b)
        err = abs(c.evaluate(t)[0] - square_well(t))
        est = c.interpolation_errors(t)[0]
        assert err < 2.0 * est and est < 20 * err + 1e-9
    with pytest.raises(ValueError, match="outside the scan"):
        c.evaluate(100.0)


def test_curve_standard_errors_are_honest():
    """Over many synthetic scans with known noise, the spread of the curve between
    scan points matches the standard error it states."""
    rng = random.Random(11)
    fn = lambda t: 40.0 - 18000.0 / t  # noqa: E731
    t_mid = 260.0
    vals, errs = [], []
    for _ in range(300):
        s = fake_scan(2, fn, [200.0, 300.0, 400.0], noise=(0.5, 1.0, 2.0), rng=rng)
        p = s.curve(t_mid)
        vals.append(p.value)
        errs.append(p.value_stderr)
    m = sum(vals) / len(vals)
    sd = math.sqrt(sum((v - m) ** 2 for v in vals) / (len(vals) - 1))
    rms = math.sqrt(sum(e * e for e in errs) / len(errs))
    assert abs(m - fn(t_mid)) < 4 * sd / math.sqrt(len(vals))
    assert 0.85 < rms / sd < 1.15
    assert p.interpolation_error < p.value_stderr  # here only noise in the fifth derivative
    assert fake_scan(2, fn, [200.0, 300.0, 400.0]).curve(t_mid).interpolation_error < 1e-5  # linear in 1/T (nodes by differences)


def test_boyle_and_inversion_temperatures_of_analytic_b():
    a, b = 20000.0, 50.0  # B = b - a/T: T_Boyle = a/b = 400 K, B - T dB/dT = b - 2a/T: T_inv = 800 K
    s = fake_scan(2, lambda t: b - a / t, [300.0, 380.0, 500.0, 700.0, 900.0], noise=(0.2, 0.3, 0.5))
    boyle, inv = s.boyle_temperature(), s.inversion_temperature()
    assert abs(boyle.t_kelvin - 400.0) < 4 * boyle.stderr and 0 < boyle.stderr < 5
    assert abs(inv.t_kelvin - 800.0) < 4 * inv.stderr and boyle.bracket == (380.0, 500.0)
    # square well: roots by bisection on the analytic B, within the stated interpolation error
    sw = fake_scan(2, square_well, [300.0, 400.0, 550.0, 700.0, 1000.0, 1500.0, 2000.0], exact=square_well_node)
    lo, hi = 300.0, 2000.0
    for _ in range(100):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if square_well(mid) < 0 else (lo, mid)
    root = sw.boyle_temperature()
    assert abs(root.t_kelvin - lo) <= max(2 * root.uncertainty, 1e-6 * lo)
    with pytest.raises(ValueError, match="does not change sign"):
        fake_scan(2, lambda t: -1.0 - 10 / t, [300.0, 400.0]).boyle_temperature()


# ----------------------------------------------------------------- properties

B_FN = lambda t: (60.0 - 3.0e4 / t - 2.0e6 / t**2) / A3  # noqa: E731  A^3, a B(T) in cm^3/mol / A3
C_FN = lambda t: (1500.0 + 4.0e5 / t - 2.0e7 / t**2) / A6  # noqa: E731
TEMPS = [250.0, 300.0, 400.0, 500.0]


def b_si(t):
    return B_FN(t) * A3 * 1e-6


def c_si(t):
    return C_FN(t) * A6 * 1e-12


def ln_phi(t, p, with_c):
    """ln phi = int_0^p (Z - 1)/p' dp' by Gauss-Legendre on the pressure series of Z."""
    def z1(q):
        pp = q / (R * t)
        return b_si(t) * pp + ((c_si(t) - b_si(t) ** 2) * pp * pp if with_c else 0.0)

    xs, ws = [-0.906179845938664, -0.538469310105683, 0.0, 0.538469310105683, 0.906179845938664], \
        [0.236926885056189, 0.478628670499366, 0.568888888888889, 0.478628670499366, 0.236926885056189]
    return sum(w * z1(p * (x + 1) / 2) / (p * (x + 1) / 2) * p / 2 for x, w in zip(xs, ws))


@pytest.mark.parametrize("with_c", [False, True])
def test_residual_properties_against_finite_differences_of_the_fugacity(with_c):
    bs = fake_scan(2, B_FN, TEMPS)
    cs = fake_scan(3, C_FN, TEMPS) if with_c else None
    p, h = 2.0e6, 1e-3
    for t in (300.0, 350.0):  # a scan point and a point of the curve
        g = lambda tt: R * tt * ln_phi(tt, p, with_c)  # noqa: E731  G_res
        hres = -R * t * t * (ln_phi(t * (1 + h), p, with_c) - ln_phi(t * (1 - h), p, with_c)) / (2 * h * t)
        sres = (hres - g(t)) / t

        def hres_at(tt):
            return -R * tt * tt * (ln_phi(tt * (1 + h), p, with_c) - ln_phi(tt * (1 - h), p, with_c)) / (2 * h * tt)

        cpres = (hres_at(t * (1 + 10 * h)) - hres_at(t * (1 - 10 * h))) / (20 * h * t)
        z = 1 + b_si(t) * p / (R * t) + ((c_si(t) - b_si(t) ** 2) * (p / (R * t)) ** 2 if with_c else 0)
        rel = 2e-4 if t == 300.0 else 2e-3  # the curve's interpolation between 300 and 400 K
        assert pr.compressibility_factor(bs, t, p, cs).value == pytest.approx(z, rel=rel / 100)
        assert pr.fugacity_coefficient(bs, t, p, cs).value == pytest.approx(math.exp(ln_phi(t, p, with_c)), rel=rel / 100)
        assert pr.residual_enthalpy(bs, t, p, cs).value == pytest.approx(hres, rel=rel)
        assert pr.residual_entropy(bs, t, p, cs).value == pytest.approx(sres, rel=rel)
        assert pr.residual_isobaric_heat_capacity(bs, t, p, cs).value == pytest.approx(cpres, rel=5 * rel)


def test_zero_pressure_coefficients_against_finite_differences():
    bs = fake_scan(2, B_FN, TEMPS, noise=(0.3, 0.5, 1.0))
    t, cp0, gamma = 300.0, 20.786, 5.0 / 3.0
    bb = [e for e in bs if e.t_kelvin == t][0]
    # Joule-Thomson: mu = -(dH/dp)_T / (dH/dT)_p at p -> 0, with H = cp0 T + H_res(T, p)
    mu = pr.joule_thomson_coefficient(bs, t, cp0)
    d1 = bb.t_dxdt * A3 * 1e-6
    b0 = bb.value * A3 * 1e-6
    assert mu.value == pytest.approx((d1 - b0) / cp0 * 1e6, rel=1e-12)  # the runs' own mean
    h = 1e-4
    dhdp = b_si(t) - t * (b_si(t * (1 + h)) - b_si(t * (1 - h))) / (2 * h * t)
    assert pr.joule_thomson_coefficient(fake_scan(2, B_FN, TEMPS), t, cp0).value == pytest.approx(
        -dhdp / cp0 * 1e6, rel=1e-6)
    assert 0 < mu.stderr < 1.0
    # acoustic: w^2 M / (gamma RT) = 1 + beta_a rho + ..., from A(T, rho) = A_ig + R T B rho
    exact = fake_scan(2, B_FN, TEMPS)

    def w2(tt, rho, d=1e-4):
        pres = lambda T, r: r * R * T * (1 + b_si(T) * r)  # noqa: E731
        dpdr = (pres(tt, rho * (1 + d)) - pres(tt, rho * (1 - d))) / (2 * d * rho)
        dpdt = (pres(tt * (1 + d), rho) - pres(tt * (1 - d), rho)) / (2 * d * tt)
        a_res = lambda T: R * T * b_si(T) * rho  # noqa: E731
        cv = R / (gamma - 1) - tt * (a_res(tt * (1 + 100 * d)) - 2 * a_res(tt) + a_res(tt * (1 - 100 * d))) / (
            100 * d * tt) ** 2
        return dpdr + tt / rho**2 * dpdt**2 / cv

    r1, r2 = 1.0, 2.0  # mol/m^3
    y1, y2 = w2(t, r1) / (gamma * R * t), w2(t, r2) / (gamma * R * t)
    beta_fd = (4 * (y1 - 1) / r1 - (y2 - 1) / r2) / 3  # Richardson: remove the rho^2 term
    beta = pr.acoustic_virial(exact, t)  # argon: one site, gamma0 = 5/3
    assert beta.unit == "cm^3/mol"
    assert beta.value == pytest.approx(beta_fd * 1e6, rel=1e-4)
    assert pr.ideal_gamma(vt.get_model("trappe-co2")) == pytest.approx(1.4)
    assert pr.ideal_gamma(vt.get_model("spce")) == pytest.approx(4 / 3)
    with pytest.raises(ValueError, match="cp0"):
        pr.joule_thomson_coefficient(bs, t, 0.0)


# ------------------------------------------------ files, conventions, reference data


def test_json_round_trip_dataframe_and_numpy_temperatures(tmp_path):
    np = pytest.importorskip("numpy")
    from vicatools import io

    s = fake_scan(3, C_FN, TEMPS, noise=(1.0, 2.0, 3.0))
    s = vt.VirialScan(3, ("spce",), s.estimates, 1e-3, 2, "lorentz-berthelot",
                      core=vt.CoreChoice(0.1, (("O", "H"),), "default", "why"))
    io.write_json(s, tmp_path / "c.json")
    back = io.read_json(tmp_path / "c.json")
    assert back == s  # rebuilt from the runs' entries: the same scan
    assert io.scan_to_dict(s)["temperatures"][0]["t_dcdt"] == pytest.approx(s.molar()[0].t_dxdt)
    pytest.importorskip("pandas")
    df = s.to_dataframe()
    assert list(df.columns)[:4] == ["t_kelvin", "runs", "c", "c_stderr"] and len(df) == len(TEMPS)
    points = s.curve(np.array([260.0, 300.0]))
    assert [p.t_kelvin for p in points] == [260.0, 300.0]
    assert s.curve(np.float32(300.0)).value == pytest.approx(s[1].value)
    from vicatools.models.units import temperatures as _temperatures

    assert _temperatures(np.arange(300.0, 320.0, 10.0)) == [300.0, 310.0]
    for bad in ("300", b"300", True, [300.0, np.bool_(True)]):
        with pytest.raises(TypeError):  # not numbers
            _temperatures(bad)
    with pytest.raises(ValueError):  # numbers, but not a list of them
        _temperatures(np.ones((2, 2)))


def test_table_digits_follow_the_error():
    from vicatools.cli import format_value

    assert format_value(371.8123, 0.15) == "371.81 +/- 0.15"
    assert format_value(-45866.9, 4813.5) == "-45900 +/- 4800"
    assert format_value(-8.9e10, 8.7e10) == "-8.9e+10 +/- 8.7e+10"
    assert format_value(2.5, 0.0) == "2.5 +/- 0"


def test_reference_values_and_comparison(tmp_path):
    ar = vt.experimental("argon", source="equation")
    assert ar.unit == "cm^3/mol" and "Tegeler" in ar.source
    # independent compilations: CRC Handbook "Virial coefficients of selected gases" (Kehiaian; smoothed
    # Dymond-Smith data, rounded to 1 cm^3/mol) for argon, and the correlations B = a - b exp(c/T)
    # of the A9 table of second virial coefficients (Atkins' data section) for N2 and CO2
    crc = {100.0: -184, 120.0: -131, 200.0: -48, 300.0: -16, 400.0: -1, 500.0: 7, 600.0: 12, 700.0: 15}
    shipped = {t: (v, u) for t, v, u in ar.points}
    assert all(abs(shipped[t][0] - v) <= shipped[t][1] + 0.5 for t, v in crc.items())
    for name, (a, b, c) in (("nitrogen", (185.4, 141.8, 88.7)), ("carbon dioxide", (137.6, 87.7, 325.7))):
        shipped = {t: (v, u) for t, v, u in vt.experimental(name, source="equation").points}
        assert all(abs(shipped[t][0] - (a - b * math.exp(c / t))) <= shipped[t][1] + 1.0 for t in (300.0, 400.0, 600.0))
    assert vt.experimental("spce", "C").name == "water" and vt.experimental("CO2").name == "carbon dioxide"
    for name in ("argon", "trappe-methane", "trappe-ethane", "trappe-n2", "trappe-co2", "tip4p-2005"):
        assert len(vt.experimental(name).points) > 5 and len(vt.experimental(name, "C").points) > 5
    with pytest.raises(ValueError, match="known substances"):
        vt.experimental("xenon")
    f = tmp_path / "mine.csv"
    f.write_text("T,B,u\n# comment\n300,-15.0,0.5\n350,-7.0,0.5\n")
    mine = vt.experiment.read_csv(f)
    s = fake_scan(2, lambda t: (-15.0 - 8.0 * (t - 300.0) / 50.0) / A3, [300.0, 400.0])  # cm^3/mol
    rows = vt.compare(s, mine)
    assert [r.t_kelvin for r in rows] == [300.0, 350.0]
    assert rows[0].deviation == pytest.approx(0.0, abs=1e-9) and rows[0].uncertainty == pytest.approx(0.5)
    assert rows[1].model_interpolation_error > 0.0
    for text in ("300,-15\n", "T,B,u\n300,abc,1\n", "300,-15,-1\n", ""):
        f.write_text(text)
        with pytest.raises(ValueError):
            vt.experiment.read_csv(f)


def test_root_search_starts_at_scan_temperatures_that_do_not_round_trip():
    # 1 / (1 / 245.7) is not 245.7: the search grid must start at the scan temperature itself
    ts = [245.7, 655.2]
    nodes = [[(t - 400.0 + d, t, 0.0) for d in (1.0, -1.0)] for t in ts]
    t0, bracket = Curve(ts, nodes).root(lambda n: n[0])
    assert bracket == (245.7, 655.2) and 245.7 < t0 < 655.2
