"""Cms: the third virial coefficient by Mayer sampling, its lines, refusals, exact
coefficient lists and physics.

The physics reference is the triangle-region quadrature of spherical molecules,
C = -(8 pi^2 / 3) int int int f12(a) f13(b) f23(c) a b c  (|a - b| <= c <= a + b),
written here with numpy (checked on hard spheres, C = 5 pi^2 / 18), and its
beta-derivative integrand.  Every run uses dev_tol = 1e300: exactly 10 blocks.
"""
import math
import re
import sys

import numpy as np
import pytest

import _vica_testing as vt
from vica import Cms, PotK

from run_spread import assert_statistically_equal

ORIGIN = [[0.0, 0.0, 0.0]]
FIXED = 1e300


def panic_type():
    try:
        Cms(ORIGIN, ORIGIN, ORIGIN, [], [], []).run(100.0, FIXED, 0)
    except BaseException as e:  # noqa: BLE001
        return type(e)


PanicException = panic_type()


def lj(eps, sigma=1.0):
    return PotK.R6R12(-4.0 * eps * sigma**6, 4.0 * eps * sigma**12)


def lj_u(eps, sigma=1.0):
    return lambda r: 4.0 * eps * ((sigma / r) ** 12 - (sigma / r) ** 6)


def runs(cms, n, t, order_max):
    return np.array([cms.run(t, FIXED, order_max) for _ in range(n)])


# ------------------------------------------------------------- the quadrature

BREAKS = np.array([0.0, 0.7, 0.9, 1.0, 1.1, 1.3, 1.6, 2.0, 2.6, 3.5, 5.0, 7.5])
XG, WG = np.polynomial.legendre.leggauss(16)


def _nodes(lo, hi):
    """Composite Gauss nodes and weights of [lo, hi] (arrays of intervals) on the
    pieces cut by BREAKS, so walls at a break are integrated exactly."""
    lo = np.asarray(lo)[..., None]
    hi = np.asarray(hi)[..., None]
    s0 = np.clip(BREAKS[:-1], lo, hi)
    s1 = np.clip(BREAKS[1:], lo, hi)
    half = 0.5 * (s1 - s0)
    mid = 0.5 * (s1 + s0)
    x = mid[..., None] + half[..., None] * XG
    w = half[..., None] * WG
    return x.reshape(x.shape[:-2] + (-1,)), w.reshape(w.shape[:-2] + (-1,))


def triangle_reference(u12, u13, u23, t):
    """(C, first derivative entry) of three spherical molecules with pair
    energies u12, u13, u23 (vectorised in r) at temperature t; entry 1 is
    (beta / sqrt 2) dC/dbeta."""
    r, w = _nodes(0.0, BREAKS[-1])
    a, b = np.meshgrid(r, r, indexing="ij")
    wab = np.outer(w, w)
    c, wc = _nodes(np.abs(a - b), np.minimum(a + b, BREAKS[-1]))

    def fg(u, x):
        e = -u(x) / t
        return np.expm1(e), np.exp(e) * e

    f12, g12 = fg(u12, a)
    f13, g13 = fg(u13, b)
    f23, g23 = fg(u23, c)
    i_f23 = np.sum(wc * f23 * c, axis=-1)
    i_g23 = np.sum(wc * g23 * c, axis=-1)
    k = -(8.0 * math.pi**2 / 3.0)
    ab = wab * a * b
    cc = k * np.sum(ab * f12 * f13 * i_f23)
    d1 = k * np.sum(ab * (g12 * f13 * i_f23 + f12 * g13 * i_f23 + f12 * f13 * i_g23))
    return [cc, d1 / math.sqrt(2.0)]


@pytest.mark.physics
def test_triangle_quadrature_on_hard_spheres():
    hs = lambda r: np.where(r < 1.0, np.inf, 0.0)  # noqa: E731
    with np.errstate(invalid="ignore"):
        c = triangle_reference(hs, hs, hs, 1.0)[0]
    # The kinks of the inner integral along a + b = 1 and |a - b| = 1 cross the
    # (a, b) grid, which limits the accuracy to a few 1e-5: far below the
    # statistical tolerances below.
    assert c == pytest.approx(5.0 * math.pi**2 / 18.0, rel=1e-4)


# ------------------------------------------------------- exact coefficient lists


def test_factorials_are_exact_beyond_64_bits():
    f = vt.virial_factorials(200)
    assert len(f) == 201
    for k in range(171):
        assert f[k] == float(math.factorial(k)), k
    assert all(math.isinf(x) for x in f[171:])


def test_multinomial_lists_match_python_integers():
    m = 40
    lists = vt.virial_multinomial_lists(m)
    assert len(lists) == m + 1
    for big_i, terms in enumerate(lists):
        expected = [
            (float(math.comb(big_i, i) * math.comb(big_i - i, j)), i, j, big_i - i - j)
            for i in range(big_i + 1)
            for j in range(big_i - i + 1)
        ]
        assert terms == expected, big_i
        assert len(terms) == (big_i + 1) * (big_i + 2) // 2
    for c, i, j, k in lists[40]:
        assert c == float(math.factorial(40) // (math.factorial(i) * math.factorial(j) * math.factorial(k)))
    assert vt.virial_multinomial_lists(2)[2] == [
        (1.0, 0, 0, 2), (2.0, 0, 1, 1), (1.0, 0, 2, 0), (2.0, 1, 0, 1), (2.0, 1, 1, 0), (1.0, 2, 0, 0)
    ]


def test_rounding_of_huge_coefficients():
    # Coefficients of up to 190 bits: each the correctly rounded exact integer.
    big = 120
    for c, i, j, k in vt.virial_multinomial_lists(big)[big][::37]:
        assert c == float(math.comb(big, i) * math.comb(big - i, j)), (i, j, k)


# -------------------------------------------------------------- surface and lines


def test_class_surface():
    assert Cms.__module__ == "builtins"
    if sys.version_info >= (3, 10):  # 3.9's PyType_FromSpec drops a class's signature
        assert Cms.__text_signature__ == "(mol1, mol2, mol3, potk12, potk13, potk23)"
    assert Cms.run.__text_signature__ == "($self, t_kelvin, dev_tol, order_max)"
    with pytest.raises(TypeError):
        type("Sub", (Cms,), {})
    t = [[lj(1.0)]]
    with pytest.raises(TypeError, match=r"Cms.__new__\(\) missing 1 required positional argument: 'potk23'"):
        Cms(ORIGIN, ORIGIN, ORIGIN, t, t)
    c = Cms(mol1=ORIGIN, mol2=ORIGIN, mol3=ORIGIN, potk12=t, potk13=t, potk23=t)
    with pytest.raises(AttributeError):
        c.y = 2
    with pytest.raises(TypeError, match=r"Cms.run\(\) missing 3 required positional arguments: 't_kelvin', 'dev_tol', and 'order_max'"):
        Cms.run(c)


LINE_OPT = re.compile(r"^\[Cms::run::opt\] scale=(\d+\.\d{6}),acceptance=1E-5\*(\d+),\d+h\d+m\d+s$")
LINE_SHORT = re.compile(r"^\[Cms::run::run\] i=(\d{4})\*1E6, \d+h\d+m\d+s$")
LINE_LONG = re.compile(r"^\[Cms::run::run\] i=0010\*1E6, fraction=(-?\d+\.\d{4}), deviation=(\d+\.\d{4}), \d+h\d+m\d+s$")


@pytest.mark.physics
def test_progress_lines(capfd):
    t = [[lj(100.0)]]
    c = Cms([[1.0, 2.0, 3.0]], ORIGIN, [[-4.0, 0.5, 0.0]], t, t, t)
    capfd.readouterr()
    res = c.run(dev_tol=FIXED, order_max=3, t_kelvin=150.0)
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == 21
    assert re.match(r"^\[Cms::run::ini\] sigma_hs=1\.000000,virial_hs=2\.741557,\d+h\d+m\d+s$", lines[0])
    scale = 1.0
    for line in lines[1:11]:
        m = LINE_OPT.match(line)
        assert m and m.group(1) == "%.6f" % scale, line
        scale = (max(-20000, min(20000, int(m.group(2)) - 50000)) / 100000.0 + 1.0) * scale
    for n, line in enumerate(lines[11:20], start=1):
        m = LINE_SHORT.match(line)
        assert m and int(m.group(1)) == n
    m = LINE_LONG.match(lines[20])
    assert m, lines[20]
    assert len(res) == 4 and all(isinstance(x, float) for x in res)
    assert abs(float(m.group(1)) - res[0] / 2.741556778080377) < 0.05


@pytest.mark.physics
def test_reference_of_an_extended_molecule(capfd):
    # Sites 3 from the centroid plus two one-site molecules: sigma = 2 * 3 / 3 + 1 = 3.
    rod = [[0.0, 0.0, -3.0], [0.0, 0.0, 3.0]]
    c = Cms(rod, ORIGIN, ORIGIN, [[lj(80.0)], [lj(80.0)]], [[lj(80.0)], [lj(80.0)]], [[lj(80.0)]])
    capfd.readouterr()
    c.run(150.0, FIXED, 0)
    assert capfd.readouterr().out.startswith("[Cms::run::ini] sigma_hs=3.000000,virial_hs=1998.594891,")


# ------------------------------------------------------------------- refusals


@pytest.mark.parametrize("t", [0.0, -1.0, math.nan, math.inf])
def test_temperature_refused_before_any_line(capfd, t):
    tab = [[lj(100.0)]]
    capfd.readouterr()
    with pytest.raises(ValueError, match="t_kelvin"):
        Cms(ORIGIN, ORIGIN, ORIGIN, tab, tab, tab).run(t, FIXED, 1)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("order_max", [2**64 - 1, 2**63, 2**40, 5000])
def test_orders_that_cannot_be_held(capfd, order_max):
    tab = [[lj(100.0)]]
    capfd.readouterr()
    with pytest.raises(MemoryError, match=rf"^Cms\.run\(\): order_max = {order_max} (is too large|needs about)"):
        Cms(ORIGIN, ORIGIN, ORIGIN, tab, tab, tab).run(150.0, FIXED, order_max)
    assert capfd.readouterr().out == ""


def test_pairs_that_cannot_interact_are_named(capfd):
    tab = [[lj(100.0)]]
    r0 = [[PotK.R0()]]
    capfd.readouterr()
    with pytest.raises(ValueError, match="molecules 1 and 3 .*potk13"):
        Cms(ORIGIN, ORIGIN, ORIGIN, tab, r0, tab).run(150.0, FIXED, 1)
    with pytest.raises(ValueError, match="molecules 1 and 2 .*potk12"):
        Cms(ORIGIN, [], ORIGIN, [], tab, []).run(150.0, FIXED, 1)
    with pytest.raises(ValueError, match="molecules 2 and 3 .*potk23"):
        Cms(ORIGIN, ORIGIN, ORIGIN, tab, tab, r0).run(150.0, FIXED, 1)
    assert capfd.readouterr().out == ""


def test_table_orientation_and_index_failure_first(capfd):
    two = [[0.0, 0.0, -0.5], [0.0, 0.0, 0.5]]
    tab = [[lj(100.0)]]
    capfd.readouterr()
    # potk23 written for (mol3, mol2): transposed, one row too few.
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 1 but the index is 1$"):
        Cms(ORIGIN, two, ORIGIN, [[lj(1.0), lj(1.0)]], tab, [[lj(1.0), lj(1.0)]]).run(150.0, FIXED, 0)
    # A too-small table wins over a pair that cannot interact.
    with pytest.raises(PanicException, match=r"^index out of bounds"):
        Cms(ORIGIN, two, ORIGIN, [[lj(1.0), lj(1.0)]], [[PotK.R0()]], [[lj(1.0)]]).run(150.0, FIXED, 0)
    assert capfd.readouterr().out == ""


# ------------------------------------------------------------------- physics


@pytest.mark.physics
@pytest.mark.parametrize(("t", "sd_run"), [(150.0, [0.032, 0.04]), (400.0, [0.0055, 0.006])])
def test_lennard_jones_triple_against_quadrature(t, sd_run):
    tab = [[lj(100.0)]]
    got = runs(Cms(ORIGIN, ORIGIN, ORIGIN, tab, tab, tab), 3, t, 1)
    u = lj_u(100.0)
    ref = triangle_reference(u, u, u, t)
    assert_statistically_equal(got, ref, sd_run)


@pytest.mark.physics
def test_mixture_triple_with_oriented_tables():
    # Three different molecules.  Molecule 2 has two sites at one point (so it
    # has no orientation): potk12 is one row of two entries, potk23 two rows of
    # one entry, and both entries of each add up.
    t = 200.0
    a, b = lj(50.0), PotK.R6R12(-100.0, 0.0)
    d, e = lj(80.0, 0.9), PotK.R6R12(0.0, 20.0)
    c13 = lj(120.0, 1.1)
    twin = [[0.3, 0.0, 0.0], [0.3, 0.0, 0.0]]
    cms = Cms(ORIGIN, twin, [[5.0, 5.0, 5.0]], [[a, b]], [[c13]], [[d], [e]])
    got = runs(cms, 3, t, 1)
    u12 = lambda r: lj_u(50.0)(r) - 100.0 * r**-6  # noqa: E731
    u13 = lj_u(120.0, 1.1)
    u23 = lambda r: lj_u(80.0, 0.9)(r) + 20.0 * r**-12  # noqa: E731
    ref = triangle_reference(u12, u13, u23, t)
    assert_statistically_equal(got, ref, [0.011, 0.014])


@pytest.mark.physics
def test_frame_of_a_non_spherical_molecule_does_not_matter():
    # Molecule 1 (never turned) is a dumbbell written along z or along x; the
    # others turn.  With orientations sampled uniformly both give the same C.
    h = 0.5
    along_z = [[0.0, 0.0, -h], [0.0, 0.0, h]]
    along_x = [[-h, 0.0, 0.0], [h, 0.0, 0.0]]
    site = lj(70.0)
    t12 = [[site], [site]]  # dumbbell x one site
    t13 = [[site] * 2] * 2  # dumbbell x dumbbell
    t23 = [[site, site]]  # one site x dumbbell
    res = {}
    n = 3
    for name, m1 in (("z", along_z), ("x", along_x)):
        res[name] = runs(Cms(m1, ORIGIN, along_z, t12, t13, t23), n, 250.0, 0)[:, 0]
    z, x = res["z"], res["x"]
    # A walk that samples the Euler angles with a flat theta (no sin(theta)
    # measure) gives frames about 3.5 percent (0.17) apart here; one run's
    # spread is about 0.018.
    sd_run = 0.027
    assert abs(z.mean() - x.mean()) <= 5.0 * sd_run * math.sqrt(2.0 / n), res
