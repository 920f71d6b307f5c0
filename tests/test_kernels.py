"""Rotations, turning, centring, site and pair energies, and the packed kernel on every path."""
import math
import random
import struct

import numpy as np
import pytest

import _vica_testing as t

R0, R1, R6R12, R1R6R12 = 0, 1, 2, 3
PATHS = t.kernel_paths()


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Equal bit for bit (any NaN equals any NaN)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def rz(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def ry(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])


def panic_type():
    try:
        t.internal_failure("probe")
    except BaseException as e:  # noqa: BLE001 - the class is only reachable this way
        return type(e)


PanicException = panic_type()


# ---------------------------------------------------------------- rotations


def test_three_angle_rotation_is_rz_ry_rz_of_fixed_axes():
    rng = random.Random(1)
    for _ in range(50):
        phi, theta, psi = (rng.uniform(-7, 7) for _ in range(3))
        want = rz(psi) @ ry(theta) @ rz(phi)
        got = np.array(t.rotation(phi, theta, psi)).reshape(3, 3)
        np.testing.assert_allclose(got, want, rtol=0, atol=4e-16)
        # A proper rotation.
        np.testing.assert_allclose(got @ got.T, np.eye(3), atol=1e-15)


def test_two_angle_rotation_is_ry_rz_and_matches_psi_zero():
    rng = random.Random(2)
    for _ in range(50):
        phi, theta = rng.uniform(-7, 7), rng.uniform(-7, 7)
        got = np.array(t.rotation2(phi, theta)).reshape(3, 3)
        np.testing.assert_allclose(got, ry(theta) @ rz(phi), rtol=0, atol=4e-16)
        site = [(rng.uniform(-2, 2), rng.uniform(-2, 2), rng.uniform(-2, 2))]
        two = t.rotate_sites(list(got.ravel()), site)
        three = t.rotate_sites(list(t.rotation(phi, theta, 0.0)), site)
        assert two == three


def test_rotation_elements_in_the_stated_order():
    # The elements as products and differences of libm sines and cosines,
    # evaluated here in Python floats in the documented order.
    rng = random.Random(3)
    scales = [1.0, 10.0, 1e6, 1e22]   # the larger ones exercise libm's range reduction
    for k in range(400):
        phi, theta, psi = (rng.uniform(-1, 1) * scales[k % 4] for _ in range(3))
        cf, sf, ct, st, cp, sp = (math.cos(phi), math.sin(phi), math.cos(theta), math.sin(theta),
                                  math.cos(psi), math.sin(psi))
        want = ((ct * cp) * cf - sf * sp, (-sp) * cf - sf * (ct * cp), st * cp,
                cf * (ct * sp) + sf * cp, cp * cf - (ct * sp) * sf, sp * st,
                (-st) * cf, sf * st, ct)
        assert all(map(same, t.rotation(phi, theta, psi), want))
        assert all(map(same, t.rotation_from_sincos(phi, theta, psi), want))
        want2 = (cf * ct, (-sf) * ct, st, sf, cf, 0.0, (-cf) * st, sf * st, ct)
        assert all(map(same, t.rotation2(phi, theta), want2))


def test_zero_angles_give_identity_and_quarter_turn_keeps_libm_cosine():
    assert t.rotation(0.0, 0.0, 0.0) == (1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0)
    turned = t.rotate_sites(list(t.rotation(math.pi / 2, 0.0, 0.0)), [(1.0, 0.0, 0.0)])
    assert turned == [(math.cos(math.pi / 2), 1.0, 0.0)]
    assert turned[0][0] > 0.0


def test_turning_sites_componentwise_in_order():
    rng = random.Random(4)
    rot = list(t.rotation(0.3, 1.1, -2.0))
    mol = [tuple(rng.uniform(-3, 3) for _ in range(3)) for _ in range(9)]
    m = rot
    want = [((m[0] * x + m[1] * y) + m[2] * z, (m[3] * x + m[4] * y) + m[5] * z,
             (m[6] * x + m[7] * y) + m[8] * z) for x, y, z in mol]
    assert t.rotate_sites(rot, mol) == want
    np.testing.assert_allclose(np.array(want), np.array(mol) @ np.array(rot).reshape(3, 3).T,
                               atol=1e-14)
    # rotate_sites_into appends after what the list already holds.
    prefix = [(9.0, 9.0, 9.0)]
    assert t.rotate_sites_into(rot, mol, prefix) == prefix + want
    assert t.rotate_sites_into(rot, [], []) == []
    # The site array gives the same sites, whatever it held before.
    for before in ([], mol[:2], mol + mol):
        assert t.site_array_rotated(rot, mol, before) == want


# ---------------------------------------------------------------- centring


def test_center_molecule():
    assert t.center_molecule([]) == []
    assert t.center_molecule([(1.5, -2.0, 7.0)]) == [(0.0, 0.0, 0.0)]
    mol = [(1.0, 2.0, 3.0), (3.0, 2.0, -1.0), (2.0, 5.0, 1.0), (-2.0, 3.0, 1.0)]
    got = np.array(t.center_molecule(mol))
    np.testing.assert_allclose(got, np.array(mol) - np.mean(mol, axis=0), atol=1e-15)
    np.testing.assert_allclose(got.mean(axis=0), 0.0, atol=1e-15)
    centred = [(-1.0, 0.5, 0.25), (1.0, -0.5, -0.25)]
    assert t.center_molecule(centred) == centred
    # Each coordinate summed in site order from -0.0: all -0.0 stays -0.0.
    assert [bits(c) for c in t.center_molecule([(-0.0, -0.0, -0.0)])[0]] == [bits(0.0)] * 3


# ---------------------------------------------------------------- site energy


def test_site_energy_laws():
    assert bits(t.site_energy((R0,), 0.7)) == bits(0.0)
    assert t.site_energy((R1, 2.5), 2.0) == 1.25
    assert t.site_energy((R6R12, -3.0, 5.0), 1.0) == 2.0
    assert t.site_energy((R1R6R12, 1.0, -4.0, 0.5), 1.0) == (1.0 + -4.0) + 0.5
    # At r = 2: r^-6 = 1/64, r^-12 = 1/4096, all exact.
    assert t.site_energy((R6R12, -64.0, 4096.0), 2.0) == 0.0
    assert t.site_energy((R1R6R12, 2.0, 64.0, 4096.0), 2.0) == 3.0
    # Lennard-Jones minimum: 4 eps ((s/r)^12 - (s/r)^6) at r = 2^(1/6) s is -eps.
    s, eps = 1.3, 0.7
    e = t.site_energy((R6R12, -4 * eps * s**6, 4 * eps * s**12), 2 ** (1 / 6) * s)
    assert e == pytest.approx(-eps, rel=1e-13)


# ---------------------------------------------------------------- pair energy


def numpy_pair_energy(table, a, b, offset):
    a = np.asarray(a, dtype=float).reshape(-1, 3)
    b = np.asarray(b, dtype=float).reshape(-1, 3) + np.asarray(offset)
    total = 0.0
    for i in range(len(a)):
        for j in range(len(b)):
            e = table[i][j]
            r = max(float(np.linalg.norm(a[i] - b[j])), 1e-30)
            if e[0] == R1:
                total += e[1] / r
            elif e[0] == R6R12:
                total += e[1] / r**6 + e[2] / r**12
            elif e[0] == R1R6R12:
                total += e[1] / r + e[2] / r**6 + e[3] / r**12
    return total


def energies(table, a, b, offset):
    """Reference pair_energy and the packed kernel on every path."""
    return [t.pair_energy(table, a, b, offset)] + [t.kernel_energy(table, a, b, offset, p) for p in PATHS]


def test_table_orientation_rows_follow_first_molecule():
    a = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0)]
    b = [(0.0, 0.5, 0.0), (0.0, -1.0, 0.0), (2.0, 2.0, 2.0)]
    table = [[(R1, 1.0), (R1, 2.0), (R1, 3.0)], [(R1, 5.0), (R1, 7.0), (R1, 11.0)]]
    want = numpy_pair_energy(table, a, b, (0, 0, 1.5))
    for e in energies(table, a, b, (0.0, 0.0, 1.5)):
        assert e == pytest.approx(want, rel=1e-14)
    # The same table with the molecules swapped runs out of rows.
    for fn in (lambda: t.pair_energy(table, b, a, (0, 0, 1)),
               lambda: t.kernel_energy(table, b, a, (0, 0, 1), "active")):
        with pytest.raises(PanicException, match=r"^index out of bounds: the len is 2 but the index is 2$"):
            fn()


def test_ragged_and_oversized_tables_read_only_the_top_left_part():
    rng = random.Random(5)
    a = [tuple(rng.uniform(-1, 1) for _ in range(3)) for _ in range(2)]
    b = [tuple(rng.uniform(-1, 1) for _ in range(3)) for _ in range(2)]
    core = [[(R1R6R12, 1.0, -2.0, 0.3), (R1, -1.0)], [(R6R12, -1.0, 0.5), (R0,)]]
    bigger = [core[0] + [(R1, 99.0)] * 3, core[1] + [(R1, 77.0)], [(R1, 55.0)], []]
    for p, q in zip(energies(core, a, b, (0, 0, 2.0)), energies(bigger, a, b, (0, 0, 2.0))):
        assert same(p, q)
    assert energies(core, a, b, (0, 0, 2.0))[0] == pytest.approx(
        numpy_pair_energy(core, a, b, (0, 0, 2.0)), rel=1e-13)


def test_empty_molecules_give_negative_zero_without_reading_the_table():
    for table in ([], [[]], [[(R1, 1.0)]]):
        for a, b in (([], []), ([(0, 0, 0)], []), ([], [(0, 0, 0)] * 3)):
            for e in energies(table, a, b, (0.0, 0.0, 1.0)):
                assert bits(e) == bits(-0.0)
    assert t.kernel_never_interacts([], 0, 5) and t.kernel_never_interacts([], 5, 0)


def test_r0_table_gives_positive_zero():
    a = [(0, 0, 0), (1, 1, 1), (0, 0, 0)]
    table = [[(R0,)] * 5] * 3
    for e in energies(table, a, a + [(2, 2, 2)] * 2, (0.0, 0.0, 0.0)):
        assert bits(e) == bits(0.0)
    assert t.kernel_never_interacts(table, 3, 5)
    assert not t.kernel_never_interacts([[(R0,), (R1, 0.0)]], 1, 2)


def test_clamp_at_minimum_site_distance():
    origin = [(0.0, 0.0, 0.0)]
    cases = [
        ((R1, 2.0), 2.0 / 1e-30),
        ((R6R12, -1.0, 3.0), math.inf),       # r^12 underflows: 1/r12 is +inf
        ((R6R12, 1.0, -3.0), -math.inf),
        ((R6R12, 1.0, 0.0), math.nan),        # 0 * inf
        ((R1R6R12, 1.0, -1.0, 2.0), math.inf),
        ((R1R6R12, 1.0, 1.0, 0.0), math.nan),
    ]
    for entry, want in cases:
        for e in energies([[entry]], origin, origin, (0.0, 0.0, 0.0)):
            assert same(e, want), (entry, e)
    # R1 entries at coincident sites beside R6R12 entries at a finite distance:
    # the R1 terms never meet the infinite r^-12 of their own distance.
    two = [(0.0, 0.0, 0.0)] * 5
    b = [(0.0, 0.0, 0.0), (0.0, 0.0, 2.0)]
    table = [[(R1, 1.0), (R6R12, -64.0, 4096.0)]] * 5
    x = 1.0 / 1e-30
    row = (-0.0 + x) + 0.0
    want = -0.0
    for _ in range(5):
        want = want + row
    for e in energies(table, two, b, (0, 0, 0)):
        assert same(e, want)
    # A NaN distance is clamped too.
    for e in energies([[(R1, 3.0)]], origin, [(math.nan, 0.0, 0.0)], (0.0, 0.0, 1.0)):
        assert e == 3e30
    # Infinite distances: every term is zero.
    for e in energies([[(R1R6R12, 1.0, 1.0, 1.0)]], origin, origin, (0.0, 0.0, math.inf)):
        assert e == 0.0


def test_index_failure_message_and_order():
    e = (R1, 1.0)
    cases = [
        # (table, n_first, n_second, len in message)
        ([], 1, 1, 0),
        ([[e]], 2, 1, 1),                 # row 1 missing
        ([[e]], 1, 2, 1),                 # entry 1 of row 0 missing
        ([[e, e], [e]], 3, 2, 1),         # row 1 short before row 2 missing
        ([[e, e, e], [e, e, e]], 3, 3, 2),
        ([[e], [e, e]], 2, 2, 1),         # row 0 short comes first
        ([[e, e], [e, e], [e]], 3, 2, 1),
    ]
    for table, n1, n2, n in cases:
        a = [(float(i), 0.0, 0.0) for i in range(n1)]
        b = [(0.0, float(j), 5.0) for j in range(n2)]
        msg = rf"^index out of bounds: the len is {n} but the index is {n}$"
        with pytest.raises(PanicException, match=msg):
            t.pair_energy(table, a, b, (0, 0, 0))
        for p in PATHS:
            with pytest.raises(PanicException, match=msg):
                t.kernel_energy(table, a, b, (0, 0, 0), p)


# ---------------------------------------------------------------- packed kernel


def random_entry(rng, kinds):
    k = rng.choice(kinds)
    if k == R0:
        return (R0,)
    p = [rng.choice([rng.uniform(-3, 3), 0.0, -0.0, 1.0]) for _ in range(k)]
    return (k, *p)


def random_case(rng, n1, n2, kinds=(R0, R1, R6R12, R1R6R12)):
    def site():
        return tuple(rng.uniform(-1.5, 1.5) for _ in range(3))
    a = [site() for _ in range(n1)]
    b = [site() for _ in range(n2)]
    if n1 and n2 and rng.random() < 0.3:
        b[rng.randrange(n2)] = a[rng.randrange(n1)]       # coincident sites: the clamp
    table = [[random_entry(rng, kinds) for _ in range(n2)] for _ in range(n1)]
    return table, a, b


SIZES = [1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 16, 17]


@pytest.mark.parametrize("kinds", [(R0, R1, R6R12, R1R6R12), (R1,), (R6R12,), (R1R6R12,), (R0, R1), (R0, R6R12)])
def test_kernel_paths_equal_reference_bit_for_bit(kinds):
    rng = random.Random(hash(kinds) & 0xFFFF)
    for n1 in SIZES:
        for n2 in SIZES:
            table, a, b = random_case(rng, n1, n2, kinds)
            offset = (0.0, 0.0, 0.0) if rng.random() < 0.3 else (rng.uniform(-1, 1), 0.5, rng.uniform(0, 3))
            ref, *fast = energies(table, a, b, offset)
            assert all(same(ref, f) for f in fast), (n1, n2, ref, fast)


def test_turn_and_sum_in_one_pass_equals_turning_then_summing():
    # Molecules of up to four sites have a body that turns the second
    # molecule and sums in one pass; larger ones turn first.  Both must give
    # the bits of rotate_sites followed by pair_energy, turned sites included.
    rng = random.Random(21)
    for kinds in [(R0, R1, R6R12, R1R6R12), (R1R6R12,), (R6R12,), (R1,)]:
        for n1 in range(1, 6):
            for n2 in range(1, 6):
                table, a, b = random_case(rng, n1, n2, kinds)
                rot = list(t.rotation(rng.uniform(-9, 9), rng.uniform(-9, 9), rng.uniform(-9, 9)))
                offset = (rng.uniform(-1, 1), 0.5, rng.uniform(0, 3))
                turned = t.rotate_sites(rot, b)
                want = t.pair_energy(table, a, turned, offset)
                for p in PATHS:
                    e, got = t.kernel_turned_energy(table, a, b, rot, offset, p)
                    assert same(e, want), (n1, n2, p, e, want)
                    assert all(same(x, y) for s, w in zip(got, turned) for x, y in zip(s, w)), (n1, n2, p)
    interacting = [[(R1, 1.0)] * 4] * 4
    assert t.kernel_small(interacting, 3, 3) and t.kernel_small(interacting, 4, 4)
    assert not t.kernel_small(interacting, 1, 1)            # one term: summed inline by the walks
    assert not t.kernel_small([[(R1, 1.0)] * 5] * 5, 5, 3)
    assert not t.kernel_small([[(R0,)] * 4] * 4, 3, 3)        # nothing interacts


def test_within_radius_without_the_square_root_matches_it():
    # The walks' hard-sphere test compares the sum of squares with a limit;
    # it must say what sqrt((x x + y y) + z z) < radius says, also at the
    # border and for radii whose square is not exact.
    rng = random.Random(23)
    for radius in [1.0, 3.32, 4.5, math.sqrt(2.0), 2.0 / 3.0, 1e-3, 7.123456789e5, 1e149, 2e150, 0.0, -1.0,
                   math.inf, math.nan]:
        points = []
        for _ in range(3000):
            d = [rng.gauss(0.0, 1.0) for _ in range(3)]
            norm = math.sqrt(sum(c * c for c in d)) or 1.0
            scale = radius * (1.0 + rng.choice([0.0, 1e-16, -1e-16, 3e-16, -3e-16, 1e-9, -0.5, 0.5]))
            points.append(tuple(c / norm * scale if math.isfinite(scale) else c for c in d))
        points += [(radius, 0.0, 0.0), (0.0, 0.0, 0.0), (math.nan, 0.0, 0.0), (math.inf, 0.0, 0.0)]
        want = [math.sqrt((x * x + y * y) + z * z) < radius for x, y, z in points]
        assert t.within_radius(radius, points) == want, radius


def test_kernel_with_special_coordinates_and_coefficients():
    rng = random.Random(7)
    specials = [math.inf, -math.inf, math.nan, 0.0, -0.0, 1e-200, 1e200]
    for n1, n2 in [(1, 3), (5, 2), (9, 9), (12, 4)]:
        for _ in range(5):
            table, a, b = random_case(rng, n1, n2)
            a = [tuple(rng.choice(specials) if rng.random() < 0.2 else c for c in s) for s in a]
            table = [[(e[0], *(rng.choice(specials) if rng.random() < 0.2 else p for p in e[1:]))
                      for e in row] for row in table]
            ref, *fast = energies(table, a, b, (0.0, 0.0, 1.0))
            assert all(same(ref, f) for f in fast), (n1, n2, ref, fast)


def test_kernel_matches_independent_sum():
    rng = random.Random(8)
    for n1, n2 in [(3, 3), (6, 11), (12, 12)]:
        table, a, b = random_case(rng, n1, n2, (R1, R6R12, R1R6R12))
        b = [(x, y, z + 6.0) for x, y, z in b]   # well apart: no clamp, moderate terms
        want = numpy_pair_energy(table, a, b, (0, 0, 0))
        for e in energies(table, a, b, (0.0, 0.0, 0.0)):
            assert e == pytest.approx(want, rel=1e-11, abs=1e-12)


def test_forced_paths_drive_the_uij_core():
    rng = random.Random(9)
    start = t.active_kernel_path()
    try:
        for n1, n2 in [(1, 1), (3, 5), (12, 12), (13, 2)]:
            table, a, b = random_case(rng, n1, n2)
            angles = [rng.uniform(-1, 1) for _ in range(5)]
            results = []
            for p in PATHS:
                t.set_kernel_path(p)
                assert t.active_kernel_path() == p
                results.append(t.uij(a, b, table, 0.7, *angles))
            assert all(same(results[0], r) for r in results)
    finally:
        t.set_kernel_path(start)
    with pytest.raises(ValueError):
        t.set_kernel_path("sse9")
