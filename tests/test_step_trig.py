"""The sines and cosines of the Monte Carlo step: the scalar path (the platform's
libm, the definition) and the vector paths (glibc's libmvec), their accuracy,
special arguments, the rotations built from them, and runs on every path."""
import math
import struct

import numpy as np
import pytest

import _vica_testing as t
from test_bms import HALF_BOND, EPS_SITE, T_DUMBBELL, dumbbell_quadrature, lj_energy, radial_reference
from test_u_r import quadrature_average

LIBMVEC, LIBMVEC_ACOS, BEST = t.trig_info()
PATHS = t.trig_paths()
VECTOR_PATHS = [p for p in ("avx2", "avx512") if p in PATHS]
ALL_VECTOR = [
    pytest.param(p, marks=pytest.mark.skipif(
        p not in PATHS, reason="no libmvec in this build" if not LIBMVEC else "the CPU lacks " + p.upper()))
    for p in ("avx2", "avx512")
]


@pytest.fixture
def restore_path():
    before = t.active_trig_path()
    yield
    t.set_trig_path(before)


def bits(x):
    return struct.pack("<d", x)


# ---------------------------------------------------------------- choosing a path


def test_paths_default_and_selection(restore_path):
    assert PATHS[0] == "scalar"
    assert BEST in PATHS
    assert t.active_trig_path() == BEST
    if not LIBMVEC:
        assert PATHS == ["scalar"]
    for p in PATHS:
        t.set_trig_path(p)
        assert t.active_trig_path() == p
    with pytest.raises(ValueError, match="unknown"):
        t.set_trig_path("sse9")
    for p in ("avx2", "avx512"):
        if p not in PATHS:
            with pytest.raises(ValueError, match="cannot run"):
                t.set_trig_path(p)


def test_scalar_path_is_the_platform_library_bit_for_bit():
    # Python's math module calls the same libm; the scalar path must give its
    # bits in every routine, so a run on it follows the plain formulas.
    rng = np.random.default_rng(5)
    xs = list(rng.normal(0.0, 1.0, 200) * 10.0 ** rng.integers(-3, 7, 200)) + [0.0, -0.0, math.pi, 1e300]
    assert [bits(v) for v in t.trig_sin("scalar", xs)] == [bits(math.sin(x)) for x in xs]
    for routine in (t.trig_euler, t.trig_sincos5, t.trig_sincos10):
        got = routine("scalar", xs)
        assert [bits(s) for s, _ in got] == [bits(math.sin(x)) for x in xs]
        assert [bits(c) for _, c in got] == [bits(math.cos(x)) for x in xs]
    ys = list(1.0 - 2.0 * rng.random(101)) + [1.0, -1.0]
    for routine in (t.trig_acos, t.trig_acos4):
        assert [bits(v) for v in routine("scalar", ys)] == [bits(math.acos(y)) for y in ys]


# ---------------------------------------------------------------- accuracy


@pytest.mark.parametrize("path", ALL_VECTOR)
def test_vector_sines_and_cosines_within_4_ulp(path):
    # One million draws of 19 angle evaluations each (Euler triple, five- and
    # ten-angle calls, one-angle call): magnitudes log-uniform up to 1e6 rad with random
    # signs, and random walks with steps of standard deviation pi as the
    # walks of Bms and Cms make them.
    s_ulp, c_ulp, largest = t.trig_max_ulp(path, 1_000_000, 1e6, 0)
    assert largest > 9e5
    assert s_ulp <= 4 and c_ulp <= 4, (s_ulp, c_ulp)
    s_ulp, c_ulp, largest = t.trig_max_ulp(path, 1_000_000, 1e6, 1)
    assert largest > 1000.0
    assert s_ulp <= 4 and c_ulp <= 4, (s_ulp, c_ulp)


@pytest.mark.parametrize("path", ALL_VECTOR)
def test_vector_arc_cosine_within_4_ulp(path):
    assert t.trig_acos_max_ulp(path, 1_000_000) <= 4
    assert t.trig_acos(path, [1.0, -1.0]) == [0.0, math.pi]
    assert t.trig_acos4(path, [1.0, -1.0, 1.0, -1.0]) == [0.0, math.pi, 0.0, math.pi]


SPECIAL = [0.0, -0.0, 5e-324, -5e-324, 1e-300, math.nan, -math.nan, math.inf, -math.inf, 1e300, -1e300,
           1.7976931348623157e308, 2.0**60, 1e22]


def result_class(x):
    if math.isnan(x):
        return "nan"
    if x == 0.0:
        return "-0" if math.copysign(1.0, x) < 0 else "+0"
    if math.isinf(x):
        return "inf"
    return "finite"


@pytest.mark.parametrize("path", ALL_VECTOR)
def test_special_arguments_keep_their_class(path):
    want_s = [result_class(math.sin(x)) if math.isfinite(x) else "nan" for x in SPECIAL]
    want_c = [result_class(math.cos(x)) if math.isfinite(x) else "nan" for x in SPECIAL]
    got_sin = t.trig_sin(path, SPECIAL)
    assert [result_class(v) for v in got_sin] == want_s
    for routine in (t.trig_euler, t.trig_sincos5, t.trig_sincos10):
        got = routine(path, SPECIAL)
        assert [result_class(s) for s, _ in got] == want_s
        assert [result_class(c) for _, c in got] == want_c
        for (s, c), x in zip(got, SPECIAL):
            if math.isfinite(x):
                assert -1.0 <= s <= 1.0 and -1.0 <= c <= 1.0
                assert abs(s - math.sin(x)) <= 1e-15 and abs(c - math.cos(x)) <= 1e-15
    # Tiny arguments: sin x = x and cos x = 1 exactly.
    assert t.trig_euler(path, [1e-300, -1e-300, 5e-324]) == [(1e-300, 1.0), (-1e-300, 1.0), (5e-324, 1.0)]
    acos_args = [1.0, -1.0, 0.0, -0.0, math.nan, 1.0000000000000002, -1.5, math.inf]
    for routine in (t.trig_acos, t.trig_acos4):
        assert [result_class(v) for v in routine(path, acos_args)] == \
            ["+0", "finite", "finite", "finite", "nan", "nan", "nan", "nan"]


@pytest.mark.parametrize("path", ["scalar"] + ALL_VECTOR)
def test_rotations_are_orthonormal(path):
    # R R^T - I and det R - 1 over rotations with angles up to 1e6 rad, the
    # products taken in extended precision so that the check adds no rounding
    # of its own.  With libm's sines (within 1 ulp) every element stays within
    # 1e-15; with the vector library's (within 4 ulp) sin^2 + cos^2 may miss 1
    # by up to about 9e-16 on its own, and about 0.3 % of the rotations come
    # out between 1e-15 and 1.5e-15 (measured over 21,000; median 3.4e-16).
    rng = np.random.default_rng(11)
    angles = rng.normal(0.0, 1.0, (4000, 3)) * 10.0 ** rng.integers(0, 7, (4000, 1))
    eye = np.eye(3, dtype=np.longdouble)
    dev = []
    for phi, theta, psi in angles:
        r = np.array(t.trig_rotation(path, phi, theta, psi), dtype=np.longdouble).reshape(3, 3)
        dev.append(max(float(np.max(np.abs(r @ r.T - eye))), abs(float(np.linalg.det(r.astype(float))) - 1.0)))
    dev = np.array(dev)
    if path == "scalar":
        assert dev.max() <= 1e-15, dev.max()
    else:
        assert dev.max() <= 2e-15, dev.max()
        assert np.mean(dev > 1e-15) < 0.02
        assert np.median(dev) < 5e-16


@pytest.mark.parametrize("path", ["scalar"] + ALL_VECTOR)
def test_rotation_routine_is_the_rotation_of_the_paths_sines(path):
    # The walks take the rotation from one routine that keeps the sines and
    # cosines in registers; it must be rotation_from_sincos of the path's own
    # sines and cosines, element for element.
    rng = np.random.default_rng(12)
    for phi, theta, psi in rng.normal(0.0, 1.0, (500, 3)) * 10.0 ** rng.integers(0, 6, (500, 1)):
        (sf, cf), (st, ct), (sp, cp) = t.trig_euler(path, [phi, theta, psi])
        want = [(ct * cp) * cf - sf * sp, (-sp) * cf - sf * (ct * cp), st * cp,
                cf * (ct * sp) + sf * cp, cp * cf - (ct * sp) * sf, sp * st,
                (-st) * cf, sf * st, ct]
        assert [bits(v) for v in t.trig_rotation(path, phi, theta, psi)] == [bits(v) for v in want]


# ---------------------------------------------------------------- runs on every path
#
# The vica module runs on the best path (its physics tests are in test_bms,
# test_cms and test_u_r); here the same physics runs through this module's
# copy of the core on each of the other paths.

OTHER_PATHS = [p for p in PATHS if p != BEST]


@pytest.mark.physics
@pytest.mark.parametrize("path", OTHER_PATHS)
def test_bms_physics_on_other_paths(path, restore_path):
    t.set_trig_path(path)
    # One-site LJ: the step takes only sin(theta) (tolerance from the 16-run
    # spread measured for test_bms's quadrature test at 150 K).
    lj = [[(2, -400.0, 400.0)]]
    got = np.array([t.bms_run([[0.0, 0.0, 0.0]], [[0.0, 0.0, 0.0]], lj, 150.0, -1e7, 1e300, 2) for _ in range(2)])
    ref = radial_reference(lj_energy(100.0), 150.0)
    tol = 5.0 * np.array([0.011, 0.012, 0.002]) / math.sqrt(2)
    assert np.all(np.abs(got.mean(axis=0) - ref) <= tol), (got, ref)
    # Dumbbells: every step turns molecule 2 by its three Euler angles.
    dumbbell = [[0.0, 0.0, -HALF_BOND], [0.0, 0.0, HALF_BOND]]
    e = 4.0 * EPS_SITE
    table = [[(2, -e, e)] * 2] * 2
    got = [t.bms_run(dumbbell, dumbbell, table, T_DUMBBELL, -1e7, 1e300, 0)[0] for _ in range(2)]
    ref = dumbbell_quadrature(T_DUMBBELL, EPS_SITE, HALF_BOND)
    assert abs(np.mean(got) - ref) <= 5.0 * 0.018 / math.sqrt(2), (got, ref)


@pytest.mark.physics
@pytest.mark.parametrize("path", PATHS)
def test_u_r_quadrature_on_every_path(path, restore_path):
    t.set_trig_path(path)
    moli = [[0.0, 0.0, 0.9], [0.8, 0.0, -0.3], [-0.5, 0.6, -0.2]]
    molj = [[0.2, 0.0, 0.0], [-0.7, 0.4, 0.5]]
    table = [[("R1", (1.0,)), ("R1R6R12", (-2.0, -5.0, 3.0))],
             [("R1R6R12", (0.5, -1.0, 2.0)), ("R1", (-1.5,))],
             [("R1", (0.8,)), ("R1", (1.1,))]]
    tags = {"R1": 1, "R1R6R12": 3}
    r = 3.0
    mean, var = quadrature_average(moli, molj, table, r, n=12)
    n_inner, n_outer = 50001, 10  # odd: pairs of samples and one sample alone per block
    got = t.u_r(moli, molj, [[(tags[k],) + p for k, p in row] for row in table], r, 0.0, n_inner, n_outer, 10**9)
    se = math.sqrt(var / ((10 + n_outer) * n_inner))
    assert abs(got - mean) < 5 * se + 1e-12, (got, mean, se)


def test_exponential_below_minus_746_is_plus_zero():
    # The derivative terms take e^t as +0.0 below -746 without calling exp:
    # the platform's exp gives exactly that there (an underflow), and not yet
    # just above, where the call is made.
    ts = [-746.0, -746.5, -800.0, -1e4, -1e300, -math.inf] + list(-746.0 - np.geomspace(1e-9, 1e6, 200))
    assert all(bits(math.exp(x)) == bits(0.0) for x in ts)
    assert math.exp(-745.0) > 0.0
