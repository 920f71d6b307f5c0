"""The Uij class: construction, arguments, and the pair energy at one geometry."""
import math
import random
import struct
import sys

import numpy as np
import pytest

import vica
from vica import PotK, Uij

TAU = 2 * math.pi


def panic_type():
    # The internal-failure class as the module vica raises it.
    try:
        Uij([[0, 0, 0]], [[0, 0, 0]], []).uij(1, 0, 0, 0, 0, 0)
    except BaseException as e:  # noqa: BLE001
        return type(e)


PanicException = panic_type()


def bits(x):
    return struct.pack("<d", x)


def rz(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def ry(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])


def law(entry, r):
    """(kind, params) -> energy at site distance r, written from the laws."""
    kind, p = entry
    if kind == "R1":
        return p[0] / r
    if kind == "R6R12":
        return p[0] / r**6 + p[1] / r**12
    if kind == "R1R6R12":
        return p[0] / r + p[1] / r**6 + p[2] / r**12
    return 0.0


def make(entry):
    kind, p = entry
    return getattr(PotK, kind)(*p)


def reference_uij(moli, molj, table, r, phi1, theta1, phi2, theta2, psi2):
    a = np.asarray(moli, float).reshape(-1, 3) @ (ry(theta1 * TAU) @ rz(phi1 * TAU)).T
    b = np.asarray(molj, float).reshape(-1, 3) @ (rz(psi2 * TAU) @ ry(theta2 * TAU) @ rz(phi2 * TAU)).T
    b = b + np.array([0.0, 0.0, r])
    return sum(law(table[i][j], max(float(np.linalg.norm(a[i] - b[j])), 1e-30))
               for i in range(len(a)) for j in range(len(b)))


def random_pair(rng, n1, n2):
    moli = [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(n1)]
    molj = [[rng.uniform(-1, 1) for _ in range(3)] for _ in range(n2)]
    kinds = [("R0", ()), ("R1", (rng.uniform(-2, 2),)),
             ("R6R12", (-rng.uniform(0, 2), rng.uniform(0, 2))),
             ("R1R6R12", (rng.uniform(-2, 2), -rng.uniform(0, 2), rng.uniform(0, 2)))]
    table = [[rng.choice(kinds) for _ in range(n2)] for _ in range(n1)]
    return moli, molj, table


# ---------------------------------------------------------------- class shape


def test_class_shape():
    assert Uij.__module__ == "builtins" and Uij.__name__ == "Uij"
    if sys.version_info >= (3, 10):  # 3.9's PyType_FromSpec drops a class's signature
        assert Uij.__text_signature__ == "(moli, molj, potk)"
    assert Uij.__doc__ == ""     # nothing beyond the signature
    assert Uij.uij.__text_signature__ == "($self, r, phi1, theta1, phi2, theta2, psi2)"
    assert Uij.u_r.__text_signature__ == "($self, r, dev_tol, num_inner, num_outer, num_print)"
    assert "Uij" in vica.__all__ and vica.__all__.index("Uij") == vica.__all__.index("PotK") + 1
    with pytest.raises(TypeError):
        class Sub(Uij):  # noqa: F841
            pass
    u = Uij([], [], [])
    with pytest.raises(AttributeError):
        u.moli = []
    with pytest.raises(AttributeError):
        u.__dict__  # noqa: B018
    assert [n for n in vars(Uij) if not n.startswith("__")] == ["uij", "u_r"]


# ---------------------------------------------------------------- arguments


def test_constructor_arguments():
    m = [[0.0, 0.0, 0.0]]
    tab = [[PotK.R1(1.0)]]
    by_kw = Uij(potk=tab, molj=m, moli=m)
    assert by_kw.uij(2.0, 0, 0, 0, 0, 0) == Uij(m, m, tab).uij(2.0, 0, 0, 0, 0, 0) == 0.5
    cases = [
        (lambda: Uij(m, m), TypeError, "Uij.__new__() missing 1 required positional argument: 'potk'"),
        (lambda: Uij(), TypeError,
         "Uij.__new__() missing 3 required positional arguments: 'moli', 'molj', and 'potk'"),
        (lambda: Uij(m, m, tab, moli=m), TypeError, "Uij.__new__() got multiple values for argument 'moli'"),
        (lambda: Uij(m, m, tab, 1), TypeError, "Uij.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Uij(m, m, tab, x=1), TypeError, "Uij.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Uij("abc", m, tab), TypeError, "argument 'moli': Can't extract `str` to `Vec`"),
        (lambda: Uij(m, ["abc"], tab), TypeError, "argument 'molj': must be real number, not str"),
        (lambda: Uij(m, [[1.0, 2.0]], tab), ValueError, "expected a sequence of length 3 (got 2)"),
        (lambda: Uij(m, 5, tab), TypeError, "argument 'molj': 'int' object is not an instance of 'Sequence'"),
        (lambda: Uij(m, m, "R1"), TypeError, "argument 'potk': Can't extract `str` to `Vec`"),
        (lambda: Uij(m, m, ["R1"]), TypeError, "argument 'potk': Can't extract `str` to `Vec`"),
        (lambda: Uij(m, m, [[1.0]]), TypeError, "argument 'potk': 'float' object is not an instance of 'PotK'"),
        (lambda: Uij(m, m, [[None]]), TypeError, "argument 'potk': 'None' is not an instance of 'PotK'"),
        # The first failing argument decides.
        (lambda: Uij("x", [[1, 2]], "y"), TypeError, "argument 'moli': Can't extract `str` to `Vec`"),
    ]
    for call, exc, msg in cases:
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc and str(info.value) == msg


def test_method_arguments():
    u = Uij([[0, 0, 0]], [[0, 0, 0]], [[PotK.R1(1.0)]])
    assert u.uij(psi2=0, theta2=0, phi2=0, theta1=0, phi1=0, r=4) == 0.25
    assert u.uij(True, 0, 0, 0, 0, 0) == 1.0
    cases = [
        (lambda: u.uij(1, 0, 0, 0, 0), TypeError, "Uij.uij() missing 1 required positional argument: 'psi2'"),
        (lambda: u.uij(1, "0", 0, 0, 0, 0), TypeError, "argument 'phi1': must be real number, not str"),
        (lambda: u.uij(1, 0, 0, 0, 0, 0, 0), TypeError, "Uij.uij() takes 6 positional arguments but 7 were given"),
        (lambda: u.u_r(1, 0.1, 2.0, 1, 1), TypeError,
         "argument 'num_inner': 'float' object cannot be interpreted as an integer"),
        (lambda: u.u_r(1, 0.1, 1, 1), TypeError, "Uij.u_r() missing 1 required positional argument: 'num_print'"),
        (lambda: u.u_r(1, "x", 1, 1, 1), TypeError, "argument 'dev_tol': must be real number, not str"),
    ]
    for call, exc, msg in cases:
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc and str(info.value) == msg
    with pytest.raises(OverflowError):
        u.u_r(1, 0.1, -1, 1, 1)
    with pytest.raises(OverflowError):
        u.u_r(1, 0.1, 1, 2**64, 1)
    with pytest.raises(OverflowError):
        u.uij(10**400, 0, 0, 0, 0, 0)


def test_instance_keeps_its_own_copies():
    moli = [[0.0, 0.0, 0.0]]
    molj = [[0.0, 0.0, 0.0]]
    row = [PotK.R1(2.0)]
    u = Uij(moli, molj, [row])
    moli[0][0] = 5.0
    molj.append([1.0, 1.0, 1.0])
    row[0] = PotK.R1(100.0)
    assert u.uij(1.0, 0, 0, 0, 0, 0) == 2.0


def test_flag_built_entries_work_like_variants():
    m = [[0.0, 0.0, 0.5], [0.2, -0.3, 0.0]]
    a = Uij(m, m, [[PotK("R1", [2.0]), PotK("R6R12", [-1.0, 1.0])]] * 2)
    b = Uij(m, m, [[PotK.R1(2.0), PotK.R6R12(-1.0, 1.0)]] * 2)
    assert a.uij(1.7, 0.1, 0.2, 0.3, 0.4, 0.5) == b.uij(1.7, 0.1, 0.2, 0.3, 0.4, 0.5)


# ---------------------------------------------------------------- energies


def test_uij_matches_independent_rotation_and_sum():
    rng = random.Random(11)
    for n1, n2 in [(1, 1), (2, 3), (3, 2), (5, 5), (12, 9)]:
        moli, molj, table = random_pair(rng, n1, n2)
        u = Uij(moli, molj, [[make(e) for e in row] for row in table])
        for _ in range(10):
            r = rng.uniform(2.5, 5.0)
            angles = [rng.uniform(-1.5, 1.5) for _ in range(5)]
            want = reference_uij(moli, molj, table, r, *angles)
            assert u.uij(r, *angles) == pytest.approx(want, rel=1e-10, abs=1e-12)


def test_single_sites_at_origins_depend_only_on_r():
    u = Uij([[0.0, 0.0, 0.0]], [[0.0, 0.0, 0.0]], [[PotK.R1(3.0)]])
    rng = random.Random(12)
    for _ in range(20):
        angles = [rng.uniform(-3, 3) for _ in range(5)]
        assert u.uij(2.0, *angles) == 1.5
        assert u.uij(-2.0, *angles) == 1.5      # on the negative z axis
    assert u.uij(0.0, 0, 0, 0, 0, 0) == 3.0 / 1e-30
    assert u.uij(math.nan, 0, 0, 0, 0, 0) == 3.0 / 1e-30
    assert bits(u.uij(math.inf, 0, 0, 0, 0, 0)) == bits(0.0)


def test_non_finite_angles_clamp_every_pair():
    moli = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
    molj = [[0.0, 0.0, 1.0]]
    u = Uij(moli, molj, [[PotK.R1(1.0)], [PotK.R1(2.0)]])
    want = 1.0 / 1e-30 + 2.0 / 1e-30
    assert u.uij(3.0, math.nan, 0, 0, 0, 0) == want
    assert u.uij(3.0, 0, 0, 0, math.inf, 0) == want


def test_origin_is_the_turning_point_and_whole_turns_repeat():
    moli = [[0.0, 0.0, 1.0]]          # one site off the origin
    molj = [[0.0, 0.0, 0.0]]
    u = Uij(moli, molj, [[PotK.R1(1.0)]])
    assert u.uij(3.0, 0, 0, 0, 0, 0) == 0.5          # site at z = 1, other at z = 3
    assert u.uij(3.0, 0, 0.5, 0, 0, 0) == pytest.approx(0.25, rel=1e-15)   # turned to z = -1
    assert u.uij(3.0, 0.25, 0.125, 0, 0, 0) == pytest.approx(u.uij(3.0, 1.25, 1.125, 0, 0, 0), rel=1e-14)
    centred = Uij([[0.0, 0.0, 0.0]], molj, [[PotK.R1(1.0)]])
    assert centred.uij(3.0, 0, 0, 0, 0, 0) != u.uij(3.0, 0, 0, 0, 0, 0)


def test_empty_molecules_give_negative_zero():
    for moli, molj in (([], [[0, 0, 0]]), ([[0, 0, 0]], []), ([], [])):
        assert bits(Uij(moli, molj, []).uij(1.0, 0.1, 0.2, 0.3, 0.4, 0.5)) == bits(-0.0)
    assert bits(Uij([[0, 0, 0]], [[0, 0, 5]], [[PotK.R0()]]).uij(1.0, 0, 0, 0, 0, 0)) == bits(0.0)


def test_swapped_molecules_need_the_transposed_table():
    a = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.7]]
    b = [[0.3, 0.0, 0.0], [0.0, 0.4, 0.0], [0.0, 0.0, -0.2]]
    table = [[PotK.R1(float(1 + i + 3 * j)) for j in range(3)] for i in range(2)]
    transposed = [[table[i][j] for i in range(2)] for j in range(3)]
    fits = Uij(a, b, table).uij(3.0, 0, 0, 0, 0, 0)
    assert Uij(b, a, transposed).uij(-3.0, 0, 0, 0, 0, 0) == pytest.approx(fits, rel=1e-14)
    swapped = Uij(b, a, table)
    for _ in range(2):   # the instance stays usable and fails the same way again
        with pytest.raises(PanicException) as info:
            swapped.uij(3.0, 0, 0, 0, 0, 0)
        assert info.value.args == ("index out of bounds: the len is 2 but the index is 2",)


def test_short_table_fails_only_when_evaluated_and_escapes_except_exception():
    u = Uij([[0, 0, 0]] * 2, [[0, 0, 0]] * 3, [[PotK.R1(1.0)] * 3, [PotK.R1(1.0)] * 2])
    caught = None
    try:
        try:
            u.uij(1.0, 0, 0, 0, 0, 0)
        except Exception:  # noqa: BLE001 - must not catch it
            caught = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert isinstance(caught, PanicException)
    assert str(caught) == "index out of bounds: the len is 2 but the index is 2"
    # Rows are checked in order, each row's entries before the next row.
    e = PotK.R1(1.0)
    for table, n in (([[e, e], [e]], 1), ([[e, e], [e, e]], 2), ([[e]], 1), ([], 0)):
        with pytest.raises(PanicException) as info:
            Uij([[0, 0, 0]] * 3, [[0, 0, 1]] * 2, table).uij(1.0, 0, 0, 0, 0, 0)
        assert str(info.value) == f"index out of bounds: the len is {n} but the index is {n}"
    # Only the parts the molecules need are read.
    ragged = Uij([[0, 0, 0]], [[0, 0, 2]], [[PotK.R1(1.0), PotK.R1(9.0)], []])
    assert ragged.uij(0.0, 0, 0, 0, 0, 0) == 0.5


@pytest.mark.rss
def test_no_growth_over_many_constructions_and_failures():
    import os
    if not os.path.exists("/proc/self/statm"):
        pytest.skip("needs /proc")

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    mol = [[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [1.0, 0.0, -1.0]]
    table = [[PotK.R1R6R12(1.0, -1.0, 1.0)] * 3] * 3

    def churn(n):
        for i in range(n):
            u = Uij(mol, mol, table)
            u.uij(3.0, 0.1, 0.2, 0.3, 0.4, 0.5)
            for bad in (lambda: Uij(mol, [[1, 2]], table), lambda: Uij(mol, mol, [[1.0]]),
                        lambda: u.uij(1, "x", 0, 0, 0, 0)):
                try:
                    bad()
                except (TypeError, ValueError):
                    pass
            if i % 10 == 0:
                try:
                    Uij(mol, mol, table[:1]).uij(3.0, 0, 0, 0, 0, 0)
                except BaseException:  # noqa: BLE001
                    pass

    churn(2000)
    before = rss()
    churn(20000)
    assert rss() - before < 3 * 1024 * 1024
