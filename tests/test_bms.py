"""Bms: the second virial coefficient by Mayer sampling, its lines, refusals and physics.

Physics references are independent of the sampler: radial quadrature (scipy) of
B = -2 pi int f r^2 dr and of its beta-derivative integrands, the closed form of
an inverse twelfth power, and an orientation average written here with numpy.
Every run uses dev_tol = 1e300, so it makes exactly 10 production blocks.
"""
import math
import re
import sys

import numpy as np
import pytest
from scipy import integrate, special

import vica
from vica import Bms, PotK

from run_spread import assert_statistically_equal

ORIGIN = [[0.0, 0.0, 0.0]]
FIXED = 1e300  # stops after block 10


def panic_type():
    try:
        Bms(ORIGIN, ORIGIN, []).run(100.0, -1e9, FIXED, 0)
    except BaseException as e:  # noqa: BLE001
        return type(e)


PanicException = panic_type()


def lj(eps, sigma=1.0):
    """4 eps ((s/r)^12 - (s/r)^6) as R6R12(-4 eps s^6, 4 eps s^12)."""
    return PotK.R6R12(-4.0 * eps * sigma**6, 4.0 * eps * sigma**12)


def runs(bms, n, t, u_min, order_max):
    return np.array([bms.run(t, u_min, FIXED, order_max) for _ in range(n)])


# ----------------------------------------------------------------- references


def radial_reference(u, t, u_min=-np.inf, r_max=60.0, breaks=(0.5, 0.9, 1.0, 1.1, 1.5, 2.0, 3.0, 6.0)):
    """(B, beta dB/dbeta, (beta^2/2) d^2B/dbeta^2) of spherical molecules with pair
    energy u(r): f = exp(-u/T) - 1 outside overlaps (u <= u_min counts as f = -1,
    derivative terms 0)."""

    def parts(r):
        e = u(r)
        if e <= u_min:
            return -1.0, 0.0, 0.0
        x = -e / t
        w = math.exp(x)
        return math.expm1(x), w * x, w * x * x / 2.0

    pts = [0.0] + [b for b in breaks if b < r_max] + [r_max]
    out = []
    for k in range(3):
        total = 0.0
        for a, b in zip(pts[:-1], pts[1:]):
            total += integrate.quad(lambda r: parts(r)[k] * r * r, a, b, limit=200, epsabs=1e-13, epsrel=1e-11)[0]
        out.append(-2.0 * math.pi * total)
    return out


def lj_energy(eps):
    return lambda r: 4.0 * eps * (r**-12 - r**-6) if r > 0 else math.inf


# -------------------------------------------------------------- surface and lines


def test_class_surface():
    assert Bms.__module__ == "builtins"
    if sys.version_info >= (3, 10):  # 3.9's PyType_FromSpec drops a class's signature
        assert Bms.__text_signature__ == "(mol1, mol2, potk)"
    assert Bms.__doc__ is None or Bms.__doc__ == ""
    assert Bms.run.__text_signature__ == "($self, t_kelvin, u_min, dev_tol, order_max)"
    with pytest.raises(TypeError):
        type("Sub", (Bms,), {})
    b = Bms(ORIGIN, ORIGIN, [[lj(100.0)]])
    with pytest.raises(AttributeError):
        b.x = 1
    with pytest.raises(TypeError, match=r"Bms.__new__\(\) missing 1 required positional argument: 'potk'"):
        Bms(ORIGIN, ORIGIN)
    with pytest.raises(TypeError, match=r"Bms.run\(\) missing 1 required positional argument: 'order_max'"):
        b.run(1.0, 2.0, 3.0)
    with pytest.raises(TypeError):
        Bms.run(5, 150.0, -1e4, FIXED, 0)


LINE_INI = re.compile(r"^\[Bms::run::ini\] sigma_hs=([-0-9.]+),virial_hs=([-0-9.]+),(\d+)h(\d+)m(\d+)s$")
LINE_OPT = re.compile(r"^\[Bms::run::opt\] scale=(\d+\.\d{6}),acceptance=1E-5\*(\d+),(\d+)h(\d+)m(\d+)s$")
LINE_SHORT = re.compile(r"^\[Bms::run::run\] i=(\d{4})\*1E6, (\d+)h(\d+)m(\d+)s$")
LINE_LONG = re.compile(
    r"^\[Bms::run::run\] i=(\d{4})\*1E6, fraction=(-?\d+\.\d{4}), deviation=(\d+\.\d{4}), (\d+)h(\d+)m(\d+)s$"
)


@pytest.mark.physics
def test_progress_lines_and_keyword_call(capfd):
    # A molecule placed away from the origin is centred: its one site sits at 0.
    b = Bms([[3.0, -2.0, 7.5]], ORIGIN, [[lj(100.0)]])
    capfd.readouterr()
    res = b.run(order_max=0, dev_tol=FIXED, u_min=-1e4, t_kelvin=150.0)
    out = capfd.readouterr().out
    assert out.endswith("\n")
    lines = out.splitlines()
    assert len(lines) == 1 + 10 + 10
    m = LINE_INI.match(lines[0])
    assert m and m.group(1) == "1.000000" and m.group(2) == "2.094395"
    scale = 1.0
    for k, line in enumerate(lines[1:11]):
        m = LINE_OPT.match(line)
        assert m, line
        assert m.group(1) == "%.6f" % scale
        count = int(m.group(2))
        assert 0 <= count <= 100000
        excess = max(-20000, min(20000, count - 50000))
        scale = (excess / 100000.0 + 1.0) * scale
        if k == 0:
            assert m.group(1) == "1.000000"
    for n, line in enumerate(lines[11:20], start=1):
        m = LINE_SHORT.match(line)
        assert m and int(m.group(1)) == n, line
    m = LINE_LONG.match(lines[20])
    assert m and m.group(1) == "0010", lines[20]
    # fraction = B / B_hs; the result is its mean over the whole run.
    assert isinstance(res, list) and len(res) == 1 and isinstance(res[0], float)
    assert abs(float(m.group(2)) - res[0] / 2.0943951023931953) < 0.05


@pytest.mark.physics
def test_reference_diameter_of_extended_molecules(capfd):
    # Sites at distance 1.5 from the centroid: sigma = (1.5 + 1) + 1.5 = 4.
    rod = [[0.0, 0.0, -1.5], [0.0, 0.0, 1.5]]
    table = [[lj(50.0, 1.0)] * 2] * 2
    b = Bms(rod, rod, table)
    capfd.readouterr()
    b.run(300.0, -1e5, FIXED, 0)
    first = capfd.readouterr().out.splitlines()[0]
    assert first.startswith("[Bms::run::ini] sigma_hs=4.000000,virial_hs=134.041287,")


@pytest.mark.parametrize(
    "entry",
    [(0, 0.0, 0.0, 0.0), (1, -3.5, 0.0, 0.0), (2, -400.0, 400.0, 0.0), (2, 0.0, 0.0, 0.0),
     (3, 2.0, -7.0, 1e-3), (3, 0.0, 1.0, -2.0)],
)
def test_inline_single_term_energy_matches_pair_energy(entry):
    # The walks evaluate a pair of one-site molecules inline; bit for bit the
    # same as the reference pair energy, also at coincident sites and signed zeros.
    import _vica_testing as vt

    assert vt.virial_single_term_mismatches(*entry, 20000) == 0


# ------------------------------------------------------------------- refusals


@pytest.mark.parametrize("t", [0.0, -5.0, math.nan, math.inf, -math.inf])
def test_temperature_refused_before_any_line(capfd, t):
    b = Bms(ORIGIN, ORIGIN, [[lj(100.0)]])
    capfd.readouterr()
    with pytest.raises(ValueError, match="t_kelvin") as info:
        b.run(t, -1e4, FIXED, 2)
    assert str(info.value).endswith("NaN" if math.isnan(t) else repr(t))
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("order_max", [2**64 - 1, 2**64 - 2, 2**62, 2**40])
def test_order_too_large_is_memory_error(capfd, order_max):
    b = Bms(ORIGIN, ORIGIN, [[lj(100.0)]])
    capfd.readouterr()
    with pytest.raises(MemoryError, match=rf"^Bms\.run\(\): order_max = {order_max} (is too large|needs about)"):
        b.run(150.0, -1e4, FIXED, order_max)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "mol1, mol2, table",
    [
        ([], ORIGIN, []),
        (ORIGIN, [], [[lj(1.0)]]),
        ([[0, 0, 0], [1, 0, 0]], [[0, 0, 0], [0, 1, 0]], [[PotK.R0()] * 2, [PotK.R0(), PotK.R0(), lj(1.0)]]),
    ],
)
def test_molecules_that_cannot_interact(capfd, mol1, mol2, table):
    capfd.readouterr()
    with pytest.raises(ValueError, match="cannot interact"):
        Bms(mol1, mol2, table).run(150.0, -1e4, FIXED, 1)
    assert capfd.readouterr().out == ""


def test_small_table_keeps_index_failure_first(capfd):
    two = [[0, 0, 0], [1, 0, 0]]
    capfd.readouterr()
    # An R0 table that is also too small: the index failure wins.
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 1 but the index is 1$"):
        Bms(two, two, [[PotK.R0(), PotK.R0()]]).run(150.0, -1e4, FIXED, 1)
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 1 but the index is 1$"):
        Bms(two, two, [[lj(1.0)], [lj(1.0), lj(1.0)]]).run(150.0, -1e4, FIXED, 1)
    assert capfd.readouterr().out == ""


def test_start_search_gives_up_when_u_min_is_above_every_energy(capfd):
    # A purely attractive pair: every energy is negative, so with u_min = 1 each
    # draw is an overlap and no start can exist.
    b = Bms(ORIGIN, ORIGIN, [[PotK.R6R12(-400.0, 0.0)]])
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="u_min") as info:
        b.run(200.0, 1.0, FIXED, 0)
    assert "10000000" in str(info.value)
    assert capfd.readouterr().out == ""


# ------------------------------------------------------------------- physics


@pytest.mark.physics
@pytest.mark.parametrize(("t", "sd_run"), [(150.0, [0.011, 0.012, 0.002]), (400.0, [0.006, 0.007, 0.00045])])
def test_lennard_jones_against_quadrature(t, sd_run):
    eps = 100.0
    b = Bms(ORIGIN, ORIGIN, [[lj(eps)]])
    got = runs(b, 3, t, -1e7, 2)
    ref = radial_reference(lj_energy(eps), t)
    assert_statistically_equal(got, ref, sd_run)


@pytest.mark.physics
def test_inverse_twelfth_power_closed_form():
    c, t = 400.0, 100.0
    got = runs(Bms(ORIGIN, ORIGIN, [[PotK.R6R12(0.0, c)]]), 3, t, -1e9, 2)
    b2 = (2.0 * math.pi / 3.0) * (c / t) ** 0.25 * special.gamma(0.75)
    # B ~ beta^(1/4): beta dB/dbeta = B / 4, (beta^2 / 2) d^2B/dbeta^2 = -3 B / 32.
    ref = [b2, b2 / 4.0, -3.0 * b2 / 32.0]
    assert_statistically_equal(got, ref, [0.0032, 0.002, 0.0008])


@pytest.mark.physics
def test_u_min_counts_deep_configurations_as_overlaps():
    # u = -400 / r^6 has no repulsive core: B exists only because u_min turns
    # the inner region into an overlap (f = -1, no derivative terms), so it
    # depends on where u_min lies: r <= 1 for u_min = -400, r <= 2^(-1/6) for -800.
    t = 200.0
    b = Bms(ORIGIN, ORIGIN, [[PotK.R6R12(-400.0, 0.0)]])
    u = lambda r: -400.0 * r**-6 if r > 0 else -math.inf  # noqa: E731
    results = {}
    for u_min, sd_run in ((-400.0, [0.021, 0.027]), (-800.0, [0.15, 0.38])):
        got = runs(b, 2, t, u_min, 1)
        ref = radial_reference(u, t, u_min=u_min, breaks=(0.5, 2.0 ** (-1 / 6), 1.0, 1.5, 3.0))[:2]
        assert_statistically_equal(got, ref, sd_run)
        results[u_min] = (got.mean(axis=0), ref)
    # The two floors give clearly different coefficients.
    assert abs(results[-400.0][1][0] - results[-800.0][1][0]) > 0.2 * abs(results[-400.0][1][0])
    assert abs(results[-400.0][0][0] - results[-800.0][0][0]) > 0.1 * abs(results[-400.0][0][0])


# --------------------------------------------------------- a non-spherical pair


HALF_BOND = 0.5  # dumbbell of two LJ sites one sigma apart
EPS_SITE = 60.0
T_DUMBBELL = 200.0


def dumbbell_quadrature(t, eps, half, n_ang=16):
    """B of two rigid LJ dumbbells, molecule 1 along z: -2 pi int r^2 <f> dr with the
    average over the direction of r (polar angle a; its azimuth is free by the
    axial symmetry of molecule 1) and the axis of molecule 2 (polar b, azimuth c),
    each uniform on the sphere.  Gauss-Legendre in cos a, cos b, and r; uniform in c."""
    xa, wa = np.polynomial.legendre.leggauss(n_ang)
    xc = (np.arange(2 * n_ang) + 0.5) * (2.0 * np.pi / (2 * n_ang))
    ca, cb, cc = np.meshgrid(xa, xa, xc, indexing="ij")
    w = (wa[:, None, None] * wa[None, :, None]) / 4.0 / (2 * n_ang)
    sa, sb = np.sqrt(1 - ca**2), np.sqrt(1 - cb**2)
    rhat = np.stack([sa, np.zeros_like(sa), ca], axis=-1)
    u2 = np.stack([sb * np.cos(cc), sb * np.sin(cc), cb], axis=-1)
    u1 = np.array([0.0, 0.0, 1.0])

    def mean_f(r):
        e = np.zeros(ca.shape)
        for s1 in (-half, half):
            for s2 in (-half, half):
                d = r * rhat + s2 * u2 - s1 * u1
                r2 = np.sum(d * d, axis=-1)
                inv6 = 1.0 / r2**3
                e += 4.0 * eps * (inv6 * inv6 - inv6)
        return np.sum(w * np.expm1(np.minimum(-e / t, 700.0)))

    segments = [(0.0, 0.4), (0.4, 0.8), (0.8, 1.2), (1.2, 1.6), (1.6, 2.4), (2.4, 4.0), (4.0, 8.0), (8.0, 20.0)]
    xr, wr = np.polynomial.legendre.leggauss(40)
    total = 0.0
    for a, b in segments:
        rs = 0.5 * (b - a) * xr + 0.5 * (b + a)
        total += 0.5 * (b - a) * sum(wi * ri * ri * mean_f(ri) for ri, wi in zip(rs, wr))
    return -2.0 * math.pi * total


@pytest.mark.physics
def test_dumbbell_frame_invariance_and_orientation_average():
    along_z = [[0.0, 0.0, -HALF_BOND], [0.0, 0.0, HALF_BOND]]
    along_x = [[-HALF_BOND, 0.0, 0.0], [HALF_BOND, 0.0, 0.0]]
    table = [[lj(EPS_SITE)] * 2] * 2
    n = 3
    z = runs(Bms(along_z, along_z, table), n, T_DUMBBELL, -1e7, 0)[:, 0]
    x = runs(Bms(along_x, along_z, table), n, T_DUMBBELL, -1e7, 0)[:, 0]
    ref = dumbbell_quadrature(T_DUMBBELL, EPS_SITE, HALF_BOND)
    # The two frames agree with each other and with the orientation average
    # (a walk that samples the Euler angles with a flat theta instead of the
    # sin(theta) measure misses both by 10 to 25 percent for this molecule).
    # One run's spread is about 0.012 in either frame.
    sd_run = 0.018
    assert abs(z.mean() - x.mean()) <= 5.0 * sd_run * math.sqrt(2.0 / n), (z, x)
    assert abs(np.concatenate([z, x]).mean() - ref) <= 5.0 * sd_run / math.sqrt(2 * n), (z, x, ref)


def test_dumbbell_quadrature_reduces_to_spheres():
    # Self-check of the orientation average: with a zero bond the dumbbell is a
    # single site with four times the energy.
    ref = radial_reference(lj_energy(4.0 * EPS_SITE), T_DUMBBELL)[0]
    assert dumbbell_quadrature(T_DUMBBELL, EPS_SITE, 0.0, n_ang=4) == pytest.approx(ref, rel=5e-4)
