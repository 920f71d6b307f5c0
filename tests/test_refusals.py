"""Input and run states that are refused: non-finite coordinates, runs that
can no longer give a finite estimate, attribute assignment, lengths that
overstate a sequence and memory that cannot be had."""
import math
import os
import re
import subprocess
import sys
import textwrap

import pytest

from vica import Bms, Cms, PotK, Uij

SITE = [[0.0, 0.0, 0.0]]
R1 = [[PotK.R1(1.0)]]


def lj(eps, sigma=1.0):
    return PotK.R6R12(-4.0 * eps * sigma**6, 4.0 * eps * sigma**12)


# ------------------------------------------------------- non-finite coordinates

NON_FINITE = [(math.nan, "nan"), (math.inf, "inf"), (-math.inf, "-inf")]


def constructors(mol):
    """(class, argument name, call) for every molecule argument, `mol` in its place."""
    two = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]]
    t22 = [[PotK.R1(1.0)] * 2] * 2
    return [
        ("moli", lambda: Uij(mol, two, t22)),
        ("molj", lambda: Uij(two, mol, t22)),
        ("mol1", lambda: Bms(mol, two, t22)),
        ("mol2", lambda: Bms(two, mol, t22)),
        ("mol1", lambda: Cms(mol, two, two, t22, t22, t22)),
        ("mol2", lambda: Cms(two, mol, two, t22, t22, t22)),
        ("mol3", lambda: Cms(two, two, mol, t22, t22, t22)),
    ]


@pytest.mark.parametrize("value,text", NON_FINITE)
def test_non_finite_coordinate_is_refused_naming_argument_site_and_value(value, text):
    for axis in range(3):
        site = [0.5, -0.5, 2.0]
        site[axis] = value
        mol = [(0.0, 0.0, 0.0), site]  # site 1, tuples and lists alike
        for name, call in constructors(mol):
            with pytest.raises(ValueError) as info:
                call()
            assert type(info.value) is ValueError
            assert str(info.value) == f"{name}: site 1 has a non-finite coordinate ({text})"


def test_non_finite_refusal_keeps_declaration_order_and_leaves_methods_alone():
    bad = [[math.nan, 0.0, 0.0]]
    # An earlier argument's type error is reported first, a later one's after.
    with pytest.raises(TypeError, match="^argument 'mol1': "):
        Bms([["x", 0, 0]], bad, R1)
    with pytest.raises(ValueError, match="^mol1: site 0 "):
        Bms(bad, [["x", 0, 0]], R1)
    # A site's shape is checked before its values.
    with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 2\)$"):
        Uij([[1.0, 2.0], [math.nan, 0, 0]], SITE, R1)
    # Distances and angles of uij and u_r are not molecule coordinates.
    u = Uij(SITE, SITE, R1)
    assert isinstance(u.uij(math.nan, math.inf, 0, 0, 0, 0), float)
    # Huge but finite coordinates are valid.
    Uij([[1e308, -1e308, 0.0]], SITE, R1)


# ------------------------------------------ runs that cannot give a finite result

# Every message gives what became non-finite, where, and the likely cause.
CAUSE = "Likely cause: energies too large for t_kelvin, so that exp(-u/T) overflows"


def test_bms_mayer_value_overflow_stops_in_the_opt_phase(capfd):
    # A 1 K well at 1e-3 K: -u/T reaches 1000 and exp overflows.
    with pytest.raises(FloatingPointError) as info:
        Bms(SITE, SITE, [[lj(1.0)]]).run(1e-3, -1e300, 0.001, 2)
    msg = str(info.value)
    assert re.match(r"^Bms\.run\(\): non-finite values at the end of opt cycle \d+ "
                    r"\(the current Mayer value f = inf\): no trial move can be accepted any more, so the "
                    r"estimate cannot become finite again\. ", msg), msg
    assert CAUSE in msg
    assert "[Bms::run::run]" not in capfd.readouterr().out


def test_cms_mayer_product_overflow_stops_in_the_opt_phase(capfd):
    with pytest.raises(FloatingPointError) as info:
        Cms(SITE, SITE, SITE, [[lj(1.0)]], [[lj(1.0)]], [[lj(1.0)]]).run(1e-3, 0.001, 1)
    msg = str(info.value)
    assert re.match(r"^Cms\.run\(\): non-finite values at the end of opt cycle \d+ "
                    r"\(the current Mayer product f12 f13 f23 = (-?inf|nan)\): ", msg), msg
    assert CAUSE in msg
    capfd.readouterr()


def test_infinite_energies_stop_at_the_first_production_block(capfd):
    # R1(1e308) over 1e-300 K: -u/T is -inf everywhere the walk goes, so f = -1
    # stays finite but every derivative term is 0 * inf = NaN.
    with pytest.raises(FloatingPointError) as info:
        Bms(SITE, SITE, [[PotK.R1(1e308)]]).run(1e-300, -1e300, 0.001, 2)
    assert str(info.value).startswith(
        "Bms.run(): non-finite values at the end of production block 1 "
        "(the term sum V[1] = nan and 1 more term sums): the estimate cannot become finite again. Likely cause: ")
    with pytest.raises(FloatingPointError) as info:
        Cms(SITE, SITE, SITE, [[PotK.R1(1e308)]], [[PotK.R1(1e308)]], [[PotK.R1(1e308)]]).run(1e-300, 0.001, 1)
    assert str(info.value).startswith(
        "Cms.run(): non-finite values at the end of production block 1 (the term sum V[1] = nan): ")
    out = capfd.readouterr().out
    assert out.count("[Cms::run::opt]") == 10 and "[Cms::run::run]" not in out


# ----------------------------------------------------------- attribute assignment


def test_no_attribute_of_any_instance_can_be_assigned():
    u = Uij(SITE, SITE, R1)
    instances = [PotK("R1", [1.0]), PotK.R0(), PotK.R1(1.0), PotK.R6R12(1.0, 2.0), PotK.R1R6R12(1.0, 2.0, 3.0),
                 u, Bms(SITE, SITE, R1), Cms(SITE, SITE, SITE, R1, R1, R1)]
    targets = [PotK, PotK.R0, PotK.R1, PotK.R6R12, PotK.R1R6R12, Uij, Bms, Cms]
    for obj in instances:
        before = type(obj)
        for target in targets:
            with pytest.raises(AttributeError):
                obj.__class__ = target
        with pytest.raises(AttributeError):
            del obj.__class__
        for name in ("x", "_0", "__doc__", "run", "uij"):
            with pytest.raises(AttributeError):
                setattr(obj, name, 1.0)
        assert type(obj) is before
    # The variant keeps working as what it is.
    r1 = instances[2]
    assert (len(r1), r1[0], r1._0) == (1, 1.0, 1.0)
    # A Python subclass of PotK keeps its own instance dictionary.
    class P(PotK):
        pass
    p = P("R1", [1.0])
    p.note = "kept"
    assert p.note == "kept"


# ------------------------------------------------------------- lengths and memory


class Overstated:
    """A sequence that claims 2**40 items and holds the given ones."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return 2**40

    def __getitem__(self, i):
        return self.items[i]


def test_overstated_lengths_only_skip_the_reservation():
    mol = [[0.0, 0.0, 0.0], [0.0, 0.0, 1.0]]
    table = [[PotK.R1(1.0), PotK.R1(2.0)], [PotK.R1(3.0), PotK.R1(4.0)]]
    want = Uij(mol, mol, table).uij(3.0, 0.1, 0.2, 0.3, 0.4, 0.5)
    got = Uij(Overstated(mol), mol, Overstated(Overstated(row) for row in table))
    assert got.uij(3.0, 0.1, 0.2, 0.3, 0.4, 0.5) == want
    assert PotK("R1", Overstated([2.5])) is not None
    Bms(Overstated(SITE), SITE, Overstated([Overstated([PotK.R1(1.0)])]))


IMPOSSIBLE_TABLE = textwrap.dedent(
    """
    import resource
    from vica import PotK, Uij
    row = [PotK.R0()] * 10**5
    table = [row] * 10**5          # 10^10 entries: far more than the process may hold
    resource.setrlimit(resource.RLIMIT_AS, (2 * 1024**3, 2 * 1024**3))
    try:
        Uij([[0, 0, 0]], [[0, 0, 0]], table)
    except MemoryError as e:
        print("MemoryError:", e)
    """
)


@pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS as Linux applies it")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit allows")
def test_table_that_cannot_be_held_is_a_memory_error_naming_the_argument():
    res = subprocess.run([sys.executable, "-c", IMPOSSIBLE_TABLE], capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stderr[-2000:]
    assert res.stdout.strip() == "MemoryError: potk: not enough memory to hold this argument"
