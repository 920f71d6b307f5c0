"""vicatools models, library, site-pair tables, unit conversions and energy floors."""
import json
import math

import pytest

import vicatools as vt  # noqa: E402
from vicatools.models import floors as umin, library, mixing as tables  # noqa: E402
from vicatools.models import ModelFileError, load_model, model_from_dict, save_model  # noqa: E402

from vica import PotK  # noqa: E402

KCOUL = 167100.947  # K angstrom / e^2


def _params(p):
    """A PotK as (kind, parameters)."""
    return type(p).__name__, tuple(p[i] for i in range(len(p)))


def _dist(a, b):
    return math.dist(a.position, b.position)


def _angle(a, centre, b):
    u = [x - c for x, c in zip(a.position, centre.position)]
    v = [x - c for x, c in zip(b.position, centre.position)]
    dot = sum(x * y for x, y in zip(u, v))
    return math.degrees(math.acos(dot / (math.hypot(*u) * math.hypot(*v))))


def test_co2_table_equals_a_hand_built_one():
    # O - C - O on the axis; Lorentz-Berthelot mixing written out by hand
    q = {"O": -0.35, "C": 0.70}
    lj = {"O": (79.0, 3.05), "C": (27.0, 2.80)}
    names = ["O", "C", "O"]

    def hand(a, b):
        eps = math.sqrt(lj[a][0] * lj[b][0])
        sig = (lj[a][1] + lj[b][1]) / 2
        return PotK.R1R6R12(KCOUL * q[a] * q[b], -4 * eps * sig**6, 4 * eps * sig**12)

    co2 = vt.get_model("trappe-co2")
    got = vt.pair_table(co2, co2)
    want = [[hand(a, b) for b in names] for a in names]
    for row_g, row_w in zip(got, want):
        for g, w in zip(row_g, row_w):
            assert type(g).__name__ == type(w).__name__ == "R1R6R12"
            assert [g[i] for i in range(3)] == pytest.approx([w[i] for i in range(3)], rel=1e-14)


def test_n2_argon_cross_table_kinds_and_orientation():
    n2, ar = vt.get_model("trappe-n2"), vt.get_model("argon")
    table = vt.pair_table(n2, ar)  # rows: N, COM, N; one column (Ar)
    assert [len(row) for row in table] == [1, 1, 1]
    eps, sig = math.sqrt(36.0 * 119.8), (3.31 + 3.405) / 2
    assert type(table[0][0]).__name__ == "R6R12"  # argon is neutral: no Coulomb term
    assert [table[0][0][0], table[0][0][1]] == pytest.approx([-4 * eps * sig**6, 4 * eps * sig**12], rel=1e-14)
    assert type(table[1][0]).__name__ == "R0"  # bare charge against a neutral LJ site
    geo = vt.pair_table(n2, ar, "geometric")
    assert geo[2][0][1] == pytest.approx(4 * eps * math.sqrt(3.31 * 3.405) ** 12, rel=1e-14)
    # N2 with itself: the centre pairs are pure Coulomb
    t = vt.pair_table(n2, n2)
    assert _params(t[1][1]) == ("R1", (pytest.approx(KCOUL * 0.964**2),))
    assert _params(t[0][1]) == ("R1", (pytest.approx(-KCOUL * 0.482 * 0.964),))
    # transposed cross table for (argon, N2): one row of three
    assert [len(row) for row in vt.pair_table(ar, n2)] == [3]


def test_library_geometry_and_charges():
    m = {n: vt.get_model(n) for n in vt.model_names()}
    assert {"argon", "trappe-methane", "trappe-ethane", "trappe-n2", "trappe-co2", "spce", "tip4p-2005"} <= set(m)
    for model in m.values():
        assert model.net_charge == pytest.approx(0.0, abs=1e-12), model.name
        assert model.source
    e = m["trappe-ethane"].sites
    assert _dist(e[0], e[1]) == pytest.approx(1.54)
    n = m["trappe-n2"].sites
    assert _dist(n[0], n[2]) == pytest.approx(1.10) and _dist(n[0], n[1]) == pytest.approx(0.55)
    c = m["trappe-co2"].sites
    assert _dist(c[0], c[1]) == pytest.approx(1.16) and _angle(c[0], c[1], c[2]) == pytest.approx(180.0)
    o, h1, h2 = m["spce"].sites
    assert (_dist(o, h1), _dist(o, h2)) == pytest.approx((1.0, 1.0))
    assert _angle(h1, o, h2) == pytest.approx(109.47)
    assert (o.epsilon, o.sigma, o.charge, h1.charge) == (78.20, 3.166, -0.8476, 0.4238)
    o, h1, h2, msite = m["tip4p-2005"].sites
    assert (_dist(o, h1), _dist(o, h2), _dist(o, msite)) == pytest.approx((0.9572, 0.9572, 0.1546))
    assert _angle(h1, o, h2) == pytest.approx(104.52)
    # M on the bisector, on the hydrogens' side
    assert _angle(h1, o, msite) == pytest.approx(104.52 / 2) and _angle(h2, o, msite) == pytest.approx(104.52 / 2)
    assert (o.charge, msite.charge, msite.epsilon, h1.epsilon) == (0.0, -1.1128, 0.0, 0.0)


@pytest.mark.parametrize(
    "energy, length, eps_in, sigma_in, pos_in, eps_k, sigma_a, pos_a",
    [
        # TraPPE N2 and CO2 parameters as one force-field file gives them in kJ/mol and nm
        ("kJ/mol", "nm", 0.29932065, 0.331, 0.055, 36.0, 3.31, 0.55),
        ("kJ/mol", "angstrom", 0.65684255, 3.05, 1.16, 79.0, 3.05, 1.16),
        ("kcal/mol", "angstrom", 0.07154, 3.31, 0.55, 36.0, 3.31, 0.55),
        ("K", "nm", 27.0, 0.280, 0.0, 27.0, 2.80, 0.0),
    ],
)
def test_model_file_units_are_converted(tmp_path, energy, length, eps_in, sigma_in, pos_in, eps_k, sigma_a, pos_a):
    data = {
        "name": "x",
        "units": {"energy": energy, "length": length},
        "u_min": -1.0,
        "sites": [{"name": "A", "position": [0.0, 0.0, pos_in], "epsilon": eps_in, "sigma": sigma_in, "charge": 0.5}],
    }
    path = tmp_path / "x.json"
    path.write_text(json.dumps(data))
    site = load_model(path).sites[0]
    rel = 2e-4 if energy == "kcal/mol" else 1e-6  # 0.07154 kcal/mol is rounded in its source
    assert site.epsilon == pytest.approx(eps_k, rel=rel)
    assert site.sigma == pytest.approx(sigma_a, rel=1e-12)
    assert site.position[2] == pytest.approx(pos_a, rel=1e-12)
    assert load_model(path).u_min == pytest.approx(-1.0 * {"K": 1, "kJ/mol": 120.2724, "kcal/mol": 503.2195}[energy], rel=1e-6)


def test_toml_and_json_round_trip(tmp_path):
    for model in (vt.get_model("tip4p-2005"), vt.get_model("trappe-n2")):
        for suffix in (".toml", ".json"):
            path = tmp_path / f"m{suffix}"
            save_model(model, path)
            assert load_model(path) == model
    # a hand-written TOML file
    (tmp_path / "w.toml").write_text(
        'name = "w"\nsource = "test"\n[units]\nenergy = "kJ/mol"\nlength = "nm"\n'
        '[[sites]]\nname = "O"\nposition = [0, 0, 0]\nepsilon = 0.650\nsigma = 0.3166\ncharge = 0\n'
    )
    w = load_model(tmp_path / "w.toml")
    assert (w.sites[0].epsilon, w.sites[0].sigma) == (pytest.approx(78.177, rel=1e-4), pytest.approx(3.166))


@pytest.mark.parametrize(
    "change, field",
    [
        (lambda d: d.pop("name"), "'name' is missing"),
        (lambda d: d.pop("sites"), "'sites' is missing"),
        (lambda d: d["sites"][1].pop("sigma"), "'sites[1].sigma' is missing"),
        (lambda d: d["sites"][0].update(sigma="3.0"), "'sites[0].sigma' must be a number"),
        (lambda d: d["sites"][0].update(position=[0, 0]), "'sites[0].position' must be a list of 3 numbers"),
        (lambda d: d["sites"][0].update(epsilon=-1.0), "'sites[0].epsilon' must not be negative"),
        (lambda d: d["sites"][1].update(sigam=3.0), "unknown field 'sites[1].sigam'"),
        (lambda d: d.update(units={"energy": "eV"}), "'units.energy'"),
        (lambda d: d.update(u_min=100.0), "'u_min' must be below 0"),
    ],
)
def test_model_file_errors_name_the_field(change, field):
    data = vt.model_to_dict(vt.get_model("trappe-co2"))
    change(data)
    with pytest.raises(ModelFileError, match=field.replace("[", r"\[").replace("]", r"\]")):
        model_from_dict(data)


def test_unknown_model_lists_the_library():
    with pytest.raises(vt.UnknownModelError, match="trappe-co2"):
        vt.resolve_model("helium")


def test_energy_floors():
    # collapse only where a bare charge meets an opposite charge
    collapse = {n: tables.can_collapse(vt.get_model(n), vt.get_model(n)) for n in vt.model_names()}
    assert {n: collapse[n] for n in ("argon", "trappe-methane", "trappe-ethane", "trappe-n2", "trappe-co2", "spce",
                                     "tip4p-2005")} == {
        "argon": False,
        "trappe-methane": False,
        "trappe-ethane": False,
        "trappe-n2": True,
        "trappe-co2": False,
        "spce": True,
        "tip4p-2005": True,
    }
    for name in vt.model_names():
        m = vt.get_model(name)
        assert m.u_min is not None and m.u_min < 0 and m.u_min_reason, name
        if collapse[name]:
            assert math.isfinite(m.u_min)
    assert vt.get_model("trappe-n2").u_min == -2000.0
    # the search finds the analytic minima: -eps for one site; -4 eps for ethane (crossed rods)
    assert umin.lowest_dimer_energy(vt.get_model("argon"), vt.get_model("argon")) == pytest.approx(-119.8, rel=1e-3)
    ethane = vt.get_model("trappe-ethane")
    assert umin.lowest_dimer_energy(ethane, ethane) == pytest.approx(-4 * 98.0, rel=1e-3)
    # rules: given > model > bounded (no floor) > derived
    assert vt.choose_u_min([vt.get_model("spce")], u_min=-123.0).value == -123.0
    assert vt.choose_u_min([vt.get_model("trappe-n2")]).origin == "model"
    co2 = vt.get_model("trappe-co2")
    assert vt.choose_u_min([co2, vt.get_model("argon")]).value == -math.inf
    user_water = vt.Model("my-water", vt.get_model("spce").sites)  # no recommended floor
    choice = vt.choose_u_min([user_water])
    assert choice.origin == "derived"
    found = umin.lowest_dimer_energy(user_water, user_water)
    assert choice.value == pytest.approx(umin.FLOOR_FACTOR * found)
    assert -3700.0 < found < -3000.0  # the SPC/E dimer well is near -30 kJ/mol (-3600 K)
