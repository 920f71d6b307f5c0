"""Masses on models and the first-order quantum correction to B2, against references
written apart from vicatools (tests/reference_quantum.py)."""
import dataclasses
import json
import math

import pytest

import reference_quantum as ref
import vicatools as vt
from vicatools.methods.quantum import first_order_b2
from vicatools.models.masses import MassError, default_mass

CO2_SITES = [(79.0, 3.05, -0.35), (27.0, 2.80, 0.70), (79.0, 3.05, -0.35)]


def test_site_masses_from_names_model_files_and_refusals(tmp_path):
    names = {"CH4": 16.043, "CH3": 15.035, "CH2_4": 14.027, "OW": 15.999, "HW2": 1.008, "M": 0.0, "COM": 0.0,
             "LP1": 0.0, "Cl1": 35.45, "NE": 20.180, "Ar": 39.95, "N": 14.007, "Q7": 0.0}
    assert {n: default_mass(n) for n in names} == names
    assert default_mass("site") is None and default_mass("") is None
    assert [s.mass for s in vt.get_model("tip4p-2005").sites] == [15.999, 1.008, 1.008, 0.0]
    data = {"name": "ab", "sites": [
        {"name": "A", "position": [0, 0, 0], "epsilon": 50.0, "sigma": 3.0, "charge": 0.0, "mass": 7.5},
        {"name": "O", "position": [0, 0, 1.2], "epsilon": 50.0, "sigma": 3.0, "charge": 0.0}]}
    model = vt.model_from_dict(data)
    assert model.masses == (7.5, 15.999)
    for suffix in (".json", ".toml"):
        vt.save_model(model, tmp_path / f"m{suffix}")
        assert vt.load_model(tmp_path / f"m{suffix}") == model
    bad = json.loads(json.dumps(data))
    bad["sites"][0]["mass"] = -1.0
    with pytest.raises(vt.ModelFileError, match=r"sites\[0\].*mass"):
        vt.model_from_dict(bad)
    del data["sites"][0]["mass"]
    unknown = vt.model_from_dict(data)
    assert unknown.masses is None
    with pytest.raises(MassError, match=r"site\(s\) 0 \('A'\).*'mass'"):
        first_order_b2(unknown, temperatures=[300.0])


def test_centre_of_mass_and_principal_moments_by_hand():
    water = vt.get_model("tip4p-2005")
    mo, mh = 15.999, 1.008
    (hx, _, hz) = water.sites[1].position
    zc = 2 * mh * hz / (mo + 2 * mh)
    by_hand = sorted([2 * mh * hx**2, mo * zc**2 + 2 * mh * (hz - zc) ** 2,
                      2 * mh * hx**2 + mo * zc**2 + 2 * mh * (hz - zc) ** 2])
    got = water.inertia()
    assert got.mass == pytest.approx(mo + 2 * mh, rel=1e-15)
    assert got.centre == pytest.approx((0.0, 0.0, zc), abs=1e-15)
    assert got.moments == pytest.approx(by_hand, rel=1e-12) and not got.linear
    co2 = vt.get_model("trappe-co2").inertia()
    assert co2.linear and co2.moments[0] == 0.0 and co2.moments[1] == co2.moments[2] == pytest.approx(2 * mo * 1.16**2)
    assert vt.get_model("argon").inertia().moments == (0.0, 0.0, 0.0)


def test_classical_b2_is_the_same_about_the_centroid_or_the_centre_of_mass():
    # a heteronuclear linear molecule whose centre of mass is 0.4 A from its centroid
    sites = [(60.0, 3.2, 0.0), (120.0, 3.6, 0.0)]
    z = [0.0, 1.6]
    for centre in (0.8, 1.6 * 40.0 / 52.0):  # centroid, centre of mass (masses 12 and 40)
        body = [[0.0, 0.0, zi - centre] for zi in z]
        mol = (ref.np.array(body), [10.0, 10.0, 0.0], 52.0, sites)
        _, _, b = ref.rigid_first_order(mol, mol, 400.0, True, True, 16, 16, ref.radial_rule(1.0, 10.0, 10, 8, 16))
        if centre == 0.8:
            b_centroid = b
    assert b == pytest.approx(b_centroid, rel=1e-7)


@pytest.mark.parametrize("t_star", [0.5, 1.0, 2.0, 5.0, 50.0])
def test_lennard_jones_atoms_against_one_dimensional_references(t_star):
    eps, sigma, mass = 119.8, 3.405, 39.95  # the library's argon
    t = t_star * eps
    quad = ref.lj_first_order(t, eps, sigma, mass)
    # the independent references agree among themselves
    assert ref.lj_first_order_laplacian(t, eps, sigma, mass) == pytest.approx(quad, rel=1e-10)
    assert ref.lj_reduced_to_angstrom3(ref.lj_reduced_series(t_star), eps, sigma, mass) == pytest.approx(quad, rel=1e-10)
    (term,) = first_order_b2(vt.get_model("argon"), temperatures=[t], order_max=2, rtol=1e-8)
    assert term.converged and term.rotational == 0.0
    for k in range(3):
        assert term.entries[k] == pytest.approx(ref.lj_first_order(t, eps, sigma, mass, k), rel=1e-6)
    assert abs(term.value - quad) <= max(term.error, 1e-12 * quad)


def test_rigid_linear_molecule_rotational_term_two_ways_and_the_rule():
    co2 = vt.get_model("trappe-co2")
    body, moments = ref.principal_frame([s.position for s in co2.sites], [15.999, 12.011, 15.999])
    mol = (body, moments, 44.009, CO2_SITES)
    torque, laplacian, _ = ref.rigid_first_order(mol, mol, 300.0, True, True, 16, 16,
                                                 ref.radial_rule(2.0, 9.0, 10, 8, 24))
    assert torque == pytest.approx(laplacian, rel=2e-5)
    (term,) = first_order_b2(co2, temperatures=[300.0], rtol=1e-5)
    assert term.converged
    assert term.value == pytest.approx(laplacian, rel=2e-5)
    assert term.rotational > 0.3 * term.value  # the torque part is not negligible for CO2


def test_correction_scales_as_one_over_mass_and_one_over_moment():
    co2 = vt.get_model("trappe-co2")
    (base,) = first_order_b2(co2, temperatures=[400.0], rtol=1e-3)
    heavy = dataclasses.replace(co2, sites=tuple(dataclasses.replace(s, mass=2 * s.mass) for s in co2.sites))
    (twice,) = first_order_b2(heavy, temperatures=[400.0], rtol=1e-3)
    assert twice.translational == pytest.approx(base.translational / 2, rel=1e-12)
    assert twice.rotational == pytest.approx(base.rotational / 2, rel=1e-12)
    # the same total mass moved to the centre: the force term stays, the torque term grows as 1/I
    masses = (10.0, 24.009, 10.0)
    moved = dataclasses.replace(co2, sites=tuple(dataclasses.replace(s, mass=m) for s, m in zip(co2.sites, masses)))
    (shifted,) = first_order_b2(moved, temperatures=[400.0], rtol=1e-3)
    assert shifted.translational == pytest.approx(base.translational, rel=1e-12)
    assert shifted.rotational == pytest.approx(base.rotational * 15.999 / 10.0, rel=1e-12)


def test_bad_input_is_refused_with_a_clear_message():
    co2 = vt.get_model("trappe-co2")
    ion = dataclasses.replace(co2, sites=co2.sites[:2])
    with pytest.raises(ValueError, match="net charge"):
        first_order_b2(ion, temperatures=[300.0])
    for kwargs, text in (({"temperatures": [0.0]}, "temperature"), ({"temperatures": []}, "no temperatures"),
                         ({"rtol": 0.0}, "rtol"), ({"order_max": -1}, "order_max"), ({"mixing": "x"}, "mixing"),
                         ({"u_min": 5.0}, "u_min")):
        with pytest.raises(ValueError, match=text):
            first_order_b2(co2, **{"temperatures": [300.0], **kwargs})


def test_budget_reached_says_not_converged():
    (term,) = first_order_b2(vt.get_model("trappe-n2"), temperatures=[100.0], u_min=-2000.0, rtol=1e-12,
                             max_nodes=10**5)
    assert not term.converged and "not converged" in term.message and term.error > 0.0


@pytest.mark.physics
def test_nonlinear_molecule_rotational_term_two_ways_and_the_rule():
    # a bent triatomic, every site with a Lennard-Jones core (no floor: both forms hold)
    half = math.radians(60.0)
    pos = [[0.0, 0.0, 0.0], [1.43 * math.sin(half), 0.0, 1.43 * math.cos(half)],
           [-1.43 * math.sin(half), 0.0, 1.43 * math.cos(half)]]
    masses = [32.06, 15.999, 15.999]
    laws = [(54.0, 3.0, 0.3), (40.0, 2.8, -0.15), (40.0, 2.8, -0.15)]
    body, moments = ref.principal_frame(pos, masses)
    mol = (body, moments, sum(masses), laws)
    torque, laplacian, _ = ref.rigid_first_order(mol, mol, 1000.0, False, False, 8, 8,
                                                 ref.radial_rule(1.5, 9.0, 6, 8, 12))
    assert torque == pytest.approx(laplacian, rel=5e-4)
    model = vt.Model("bent", tuple(vt.Site(n, tuple(p), e, s, q, mass=m)
                                  for n, p, (e, s, q), m in zip("SOO", pos, laws, masses)))
    (term,) = first_order_b2(model, temperatures=[1000.0], rtol=1e-3)
    assert term.value == pytest.approx(laplacian, rel=5e-4)


def test_feynman_hibbs_for_atoms_checks_the_first_order_term():
    from vicatools.methods.quantum import feynman_hibbs_b2

    neon = vt.Model("lj-neon", (vt.Site("Ne", (0.0, 0.0, 0.0), 35.6, 2.749, 0.0),))  # mass 20.180 from the name
    temps = [20.0, 40.0, 80.0, 160.0, 320.0]
    gaps = []
    for t, (classical, fh, err) in zip(temps, feynman_hibbs_b2(neon, temps)):
        assert fh == pytest.approx(ref.lj_feynman_hibbs_b2(t, 35.6, 2.749, 20.180), rel=1e-8)
        assert err < 1e-8 * abs(fh)
        first = ref.lj_first_order(t, 35.6, 2.749, 20.180)
        gaps.append(abs((fh - classical) / first - 1.0))
    # the two agree to first order: their gap is of the next order in hbar^2 / T
    assert gaps == sorted(gaps, reverse=True) and gaps[-1] < 0.02 and gaps[0] > 5 * gaps[-1]


def test_readers_give_the_topology_masses(tmp_path):
    pytest.importorskip("openmm")
    from test_models_files import _gromacs

    top, gro = _gromacs(tmp_path, vt.get_model("tip4p-2005"))
    got = vt.load_model(top, coordinates=gro, molecule="SOL")
    assert got.masses == pytest.approx((15.9994, 1.008, 1.008, 0.0), abs=1e-12)  # M: a virtual site, mass 0


def test_the_integrators_correction_agrees_with_the_product_rule():
    from vicatools.methods.quantum import _integrator_with_correction, correction_terms

    if _integrator_with_correction() is None:
        pytest.skip("no B2 integrator with the quantum correction in this build")
    n2 = vt.get_model("trappe-n2")
    how, terms = correction_terms(n2, n2, [150.0, 300.0], mixing="lorentz-berthelot", u_min=-2000.0, core=0.0,
                                  order_max=2)
    assert "integrator" in how
    rule = first_order_b2(n2, temperatures=[150.0, 300.0], u_min=-2000.0, rtol=1e-6)
    for a, b in zip(terms, rule):
        assert a.converged and b.converged
        assert a.entries == pytest.approx(b.entries, rel=1e-6)
        assert (a.translational, a.rotational) == pytest.approx((b.translational, b.rotational), rel=1e-6)
