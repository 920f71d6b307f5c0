"""One unit per object, named, and explicit conversions: estimates, scans, curves, values
at nearby temperatures, comparisons; reduced units of a one-site Lennard-Jones model."""
import pytest

import vicatools as vt

NA = 6.02214076e23


def scan(order=2, model="argon"):
    ests = []
    for t in (150.0, 300.0, 600.0):
        runs = [[-50.0 * 300.0 / t + d, 10.0, 1.0] for d in (-0.2, 0.0, 0.1, 0.3)]
        ests.append(vt.VirialEstimate.from_runs(order, t, runs, f"angstrom^{3 * (order - 1)}"))
    return vt.VirialScan(order, (model,), tuple(ests), 1e-3, 2, "lorentz-berthelot")


def test_conversions_are_explicit_and_named():
    s = scan()
    e = s[1]
    assert e.unit == "angstrom^3" and s.unit == "angstrom^3"
    # 1 angstrom^3 per molecule is N_A 1e-24 cm^3/mol, N_A 1e-30 m^3/mol, N_A 1e-27 L/mol
    for unit, f in (("cm^3/mol", NA * 1e-24), ("cm3/mol", NA * 1e-24), ("m^3/mol", NA * 1e-30),
                    ("L/mol", NA * 1e-27), ("nm^3", 1e-3), ("angstrom^3", 1.0)):
        c = e.to(unit)
        assert c.unit == unit
        assert c.value == pytest.approx(e.value * f, rel=1e-12)
        assert c.value_stderr == pytest.approx(e.value_stderr * f, rel=1e-12)
        assert c.t_dxdt == pytest.approx(e.t_dxdt * f, rel=1e-12)
    assert s.to("cm^3/mol")[1].value == s.molar()[1].value
    assert s.to("m^3/mol").curve(200.0).unit == "m^3/mol"  # curves follow the scan's unit
    c3 = scan(order=3)[0]
    assert c3.to("cm^6/mol^2").value == pytest.approx(c3.value * (NA * 1e-24) ** 2, rel=1e-12)
    for bad in ("cm^6/mol^2", "kg", "cm^3/mol^2"):
        with pytest.raises(ValueError, match="unit"):
            e.to(bad)


def test_value_at_is_a_named_pair_in_the_estimate_unit():
    e = scan()[1]
    v = e.at(310.0)
    x, s = v  # still unpacks as the pair it was
    assert (x, s) == (v.value, v.stderr) and v.unit == "angstrom^3" and v.t_kelvin == 310.0
    m = v.molar()
    assert m.unit == "cm^3/mol" and m.value == pytest.approx(x * NA * 1e-24) and m.t_kelvin == 310.0
    assert e.molar().at(310.0).value == pytest.approx(m.value, rel=1e-12)
    assert e.molar().at(310.0).unit == "cm^3/mol"


def test_reduced_units_of_a_one_site_lennard_jones_model():
    s = scan()
    eps, sigma = 119.8, 3.405  # the library's argon
    red = s.molar().reduced()  # whatever the scan's unit, per molecule in sigma^3
    assert [r.t_star for r in red] == pytest.approx([t / eps for t in s.temperatures])
    assert red[1].unit == "sigma^3"
    assert red[1].value == pytest.approx(s[1].value / sigma**3, rel=1e-12)
    assert red[1].stderr == pytest.approx(s[1].value_stderr / sigma**3, rel=1e-12)
    with pytest.raises(ValueError, match="one-site"):
        scan(model="trappe-n2").reduced()
