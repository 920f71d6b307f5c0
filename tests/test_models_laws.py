"""Site laws beyond Lennard-Jones: Mie, exp-6 and tables in models, files, mixing and
the flat entries of the tools' engines, checked against formulas written here."""
import math

import pytest

import vicatools as vt
from vicatools.models import laws, mixing
from vicatools.models.floors import choose_u_min, lowest_dimer_energy
from vicatools.models.model import PairLaw, Site

import reference_central_b2 as ref

KCOUL = 167100.947


def _one(site, name="m", pairs=()):
    return vt.Model(name, (site,), "test", pairs=pairs)


def _energy(entry, r):
    """u(r) of a flat entry of kinds 2 to 5, written out here."""
    k = entry[0]
    if k == 2:
        return entry[1] / r**6 + entry[2] / r**12
    if k == 3:
        return entry[1] / r + entry[2] / r**6 + entry[3] / r**12
    if k == 4:
        return entry[1] / r + entry[2] / r ** entry[3] + entry[4] / r ** entry[5]
    if k == 5:
        return entry[1] / r + entry[2] * math.exp(-entry[3] * r) + entry[4] / r**6
    raise AssertionError(entry)


def test_mie_12_6_gives_the_lennard_jones_entries_to_the_bit():
    co2 = vt.get_model("trappe-co2")
    as_mie = vt.Model("co2-mie", tuple(
        Site(s.name, s.position, s.epsilon, s.sigma, s.charge, "mie", 12.0, 6.0) for s in co2.sites), "test")
    assert as_mie.laws == {"lj"}
    assert mixing.law_entries(as_mie, as_mie) == mixing.law_entries(co2, co2)
    for a in (1.0, 2.5):
        assert mixing.law_entries(as_mie, as_mie, length_unit=a, core=0.1) == \
            mixing.law_entries(co2, co2, length_unit=a, core=0.1)
    # and the entries are PotK's: the same numbers as vica's table
    rows, tables = mixing.law_entries(co2, co2)
    table = vt.pair_table(co2, co2)
    assert tables == [] and [[e[1:] for e in row] for row in rows] == \
        [[[p[i] for i in range(len(p))] for p in row] for row in table]


def test_mie_entries_and_lambda_mixing_against_the_formula():
    a = Site("A", (0, 0, 0), 353.55, 3.741, 0.3, "mie", 23.0, 6.66)
    b = Site("B", (0, 0, 0), 161.0, 3.740, -0.2, "mie", 14.0, 6.0)
    rows, _ = mixing.law_entries(_one(a), _one(b))
    e = rows[0][0]
    lr, la = 3 + math.sqrt(20.0 * 11.0), 3 + math.sqrt(3.66 * 3.0)
    assert (e[0], e[3], e[5]) == (4.0, pytest.approx(la, rel=1e-15), pytest.approx(lr, rel=1e-15))
    eps, sig = math.sqrt(353.55 * 161.0), (3.741 + 3.740) / 2
    c = lr / (lr - la) * (lr / la) ** (la / (lr - la))
    for r in (3.3, 3.9, 4.4, 7.0):
        want = KCOUL * 0.3 * -0.2 / r + c * eps * ((sig / r) ** lr - (sig / r) ** la)
        assert _energy(e, r) == pytest.approx(want, rel=1e-12)
    # the well of a pure Mie pair is -eps at r = sigma (lr/la)^(1/(lr-la))
    rows, _ = mixing.law_entries(_one(a), _one(a))
    aa = [4.0, 0.0] + rows[0][0][2:]  # without the charges' term
    r_min = 3.741 * (23.0 / 6.66) ** (1 / (23.0 - 6.66))
    assert _energy(aa, r_min) == pytest.approx(-353.55, rel=1e-12)
    # a run in units of 2 A: the entry at r/2 is the entry at r
    scaled, _ = mixing.law_entries(_one(a), _one(b), length_unit=2.0)
    assert _energy(scaled[0][0], 4.4 / 2.0) == pytest.approx(_energy(e, 4.4), rel=1e-13)


def test_exp6_entries_against_the_minimum_form():
    eps, r_m, alpha = 160.3, 4.1796, 15.0
    m = vt.get_model("exp6-methane")
    rows, tables = mixing.law_entries(m, m)
    e = rows[0][0]
    assert e[0] == 5.0 and tables == []
    u, _ = ref.exp6(eps, r_m, alpha)
    for r in (1.5, 3.5, 4.1796, 5.0, 9.0):
        assert _energy(e, r) == pytest.approx(u(r), rel=1e-12)
    assert _energy(e, r_m) == pytest.approx(-eps, rel=1e-12)
    # geometric A and C6, arithmetic B for two exp-6 sites
    s1, s2 = Site("X", (0, 0, 0), law="exp6", exp6=(1e6, 3.0, 2e5)), Site("Y", (0, 0, 0), law="exp6", exp6=(4e6, 4.0, 8e5))
    cross = mixing.law_entries(_one(s1), _one(s2))[0][0][0]
    assert cross == [5.0, 0.0, pytest.approx(2e6), 3.5, pytest.approx(-4e5)]
    # collapse: a floor is needed and the derived one sits below the well, not at the collapse
    assert mixing.can_collapse(m, m)
    assert lowest_dimer_energy(m, m) == pytest.approx(-eps, rel=1e-3)
    assert choose_u_min([vt.Model("x", m.sites)]).value == pytest.approx(-2 * eps, rel=2e-3)


def test_table_entries_are_a_natural_spline_through_the_points():
    scipy = pytest.importorskip("scipy.interpolate")
    r = [2.0, 2.5, 3.0, 3.5, 4.5, 6.0, 8.0]
    u = [900.0, 120.0, -80.0, -60.0, -20.0, -4.0, 0.0]
    s = Site("T", (0, 0, 0), law="table", table=(r, u))
    m = _one(s)
    rows, tables = mixing.law_entries(m, m, length_unit=2.0)
    assert rows == [[[6.0, 0.0]]] and tables == [([x / 2.0 for x in r], u)]
    spline = scipy.CubicSpline(r, u, bc_type="natural")
    for x in (2.2, 3.1, 4.0, 5.5, 7.9):
        assert laws.entry_energy(rows[0][0], tables, x / 2.0) == pytest.approx(float(spline(x)), rel=1e-12, abs=1e-9)
    assert laws.entry_energy(rows[0][0], tables, 1.9 / 2.0) == math.inf
    assert laws.entry_energy(rows[0][0], tables, 8.5 / 2.0) == 0.0
    with pytest.raises(ValueError, match="no charge"):
        Site("T", (0, 0, 0), charge=0.1, law="table", table=(r, u))


def test_vica_refuses_other_laws_and_explicit_pairs_resolve_unmixable_ones():
    mie = vt.get_model("saft-mie-co2")
    with pytest.raises(mixing.LawError, match="mie.*use method='cubature' or 'walk'"):
        vt.pair_table(mie, mie)
    from vicatools.methods import get_method
    reason = get_method("mayer").refusal(2, [mie, mie])
    assert reason is not None and "cubature" in reason and "\n" not in reason
    assert get_method("mayer").refusal(2, [vt.get_model("spce")] * 2) is None
    lj, e6 = vt.get_model("argon"), vt.get_model("exp6-methane")
    with pytest.raises(laws.MixingError, match="'Ar' \\(lj\\) and 'CH4' \\(exp6\\).*explicitly"):
        mixing.law_entries(lj, e6)
    # an explicit pair in either model settles it (and wins over mixing)
    pair = PairLaw("Ar", "CH4", "lj", 130.0, 3.6)
    both = vt.Model("ar+", lj.sites, "test", pairs=(pair,))
    rows, _ = mixing.law_entries(both, e6)
    assert rows[0][0] == [2.0, pytest.approx(-4 * 130.0 * 3.6**6, rel=1e-14), pytest.approx(4 * 130.0 * 3.6**12, rel=1e-14)]
    assert mixing.law_entries(e6, both)[0][0][0] == rows[0][0]
    with pytest.raises(ValueError, match="names no site"):
        vt.Model("bad", lj.sites, pairs=(PairLaw("P", "Q"),))


def test_model_files_name_the_laws_and_round_trip(tmp_path):
    text = """name = "mix"
source = "test"
[units]
energy = "kJ/mol"
length = "nm"
[[sites]]
name = "A"
position = [0, 0, 0]
charge = 0.0
law = "exp6"
epsilon = 1.3328
r_min = 0.41796
alpha = 15
[[sites]]
name = "B"
position = [0, 0, 0.15]
charge = 0.0
law = "mie"
epsilon = 1.0
sigma = 0.37
lambda_r = 14
[[pairs]]
sites = ["A", "B"]
law = "table"
r = [0.2, 0.3, 0.4, 0.5]
u = [10.0, -1.0, -0.5, 0.0]
"""
    (tmp_path / "m.toml").write_text(text)
    m = vt.load_model(tmp_path / "m.toml")
    kj = 1000.0 / (6.02214076e23 * 1.380649e-23)
    a_, b_, c6 = m.sites[0].exp6
    assert b_ == pytest.approx(15 / 4.1796) and m.sites[1].lambda_a == 6.0 and m.sites[1].sigma == pytest.approx(3.7)
    assert c6 == pytest.approx(1.3328 * kj * 15 / 9 * 4.1796**6, rel=1e-12)
    assert m.laws == {"exp6", "mie", "table"} and m.pairs[0].table[0] == pytest.approx((2.0, 3.0, 4.0, 5.0))
    for suffix in (".toml", ".json"):
        vt.save_model(m, tmp_path / f"again{suffix}")
        assert vt.load_model(tmp_path / f"again{suffix}") == m
    bad = text.replace("lambda_r = 14\n", "")
    (tmp_path / "bad.toml").write_text(bad)
    with pytest.raises(vt.ModelFileError, match=r"bad\.toml.*sites\[1\]\.lambda_r' is missing"):
        vt.load_model(tmp_path / "bad.toml")
    (tmp_path / "bad2.toml").write_text(text.replace('law = "mie"', 'law = "morse"'))
    with pytest.raises(vt.ModelFileError, match=r"bad2\.toml.*law' must be one of"):
        vt.load_model(tmp_path / "bad2.toml")


def test_the_reference_quadrature_gives_the_lennard_jones_b2():
    # B2* = -2.53808 at T* = 1 (e.g. the tables of the LJ second virial coefficient)
    u, tail = ref.mie(1.0, 1.0, 12.0, 6.0)
    assert ref.b2_central(u, tail, 1.0, r_well=1.12) / (2 * math.pi / 3) == pytest.approx(-2.53808, abs=2e-5)


@pytest.mark.parametrize("name, t, u_min", [("exp6-methane", 300.0, -1000.0), ("mie-methane", 250.0, -math.inf),
                                            ("saft-mie-co2", 300.0, -math.inf)])
def test_b2_by_the_integrator_against_the_1d_quadrature(name, t, u_min):
    _engine = pytest.importorskip("vicatools._engine")
    if not hasattr(_engine, "b2_cubature"):
        pytest.skip("the B2 integrator is not in this build")
    m = vt.get_model(name)
    rows, tables = mixing.law_entries(m, m)
    out = _engine.b2_cubature(m.positions, m.positions, rows, tables, [t], u_min, 0, 1e-9, 0.0, 10**7, [], [])
    got = out["temperatures"][0]["entries"][0]
    s = m.sites[0]
    u, tail = ref.exp6(160.3, 4.1796, 15.0) if s.law == "exp6" else ref.mie(s.epsilon, s.sigma, s.lambda_r, s.lambda_a)
    want = ref.b2_central(u, tail, t, u_min, r_well=4.18, collapses=s.law == "exp6")
    assert got == pytest.approx(want, rel=1e-6)
