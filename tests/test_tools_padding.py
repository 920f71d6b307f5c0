"""The padding of the hard-sphere reference: the choice, and runs made in a unit of a Å.

A run in a unit of a Å has its positions divided by a, its site-site laws rescaled
(c1 / a, c6 / a^6, c12 / a^12) and its entries multiplied by a^3 (B) or a^6 (C) on the
way back.  Each physics case compares such runs with an independent quadrature,
tolerances from single-run spreads measured over 16 runs at the same settings
(11 million steps), taken with half again as margin: LJ argon B at 119.8 K, a = 6:
0.29 A^3; TraPPE CO2 B at 300 K, a = 3.05: 0.52 A^3; LJ argon C at 119.8 K, a = 3.405:
43 A^6, and its first derivative entry 129 A^6.
"""
import math
import pathlib
import sys

import pytest

import vicatools as vt
from vicatools.scan import executors as parallel

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from reference_b2 import TRAPPE_CO2, b2_linear_quadrature  # noqa: E402
from run_spread import assert_statistically_equal  # noqa: E402


def test_auto_makes_the_reference_diameter_the_contact_distance():
    ar, co2, me = (vt.get_model(n) for n in ("argon", "trappe-co2", "trappe-methane"))
    assert vt.choose_padding([ar, ar]).angstrom == 3.405
    # O-O sigma (above C-O and C-C) plus the O's distance from the centre: 3.05 + 1.16 = 2 x 1.16 + 1.89
    assert vt.choose_padding([co2, co2]).angstrom == pytest.approx(1.89)
    assert vt.choose_padding([co2, co2, co2]).angstrom == pytest.approx(1.89)
    # a cross coefficient sees only the unlike pair; C sees its three pairs
    assert vt.choose_padding([ar, me]).angstrom == pytest.approx((3.405 + 3.730) / 2)
    assert vt.choose_padding([ar, ar, me]).angstrom == pytest.approx((3.405 + 3.730) / 2)
    assert vt.choose_padding([ar, ar], mixing="geometric").origin == "auto"
    given = vt.choose_padding([ar, ar], 2)
    assert (given.angstrom, given.origin) == (2.0, "given")
    for bad in (0, -1.0, math.nan, math.inf, "big", True, None):
        with pytest.raises(ValueError, match="reference_padding"):
            vt.choose_padding([ar, ar], bad)
    with pytest.raises(ValueError, match="reference_padding"):
        vt.b2("argon", temperatures=[300.0], reference_padding=0.0)


def _runs(order, name, t, a, n):
    m = vt.get_model(name)
    tasks = [parallel.RunTask(order, (m,) * order, "lorentz-berthelot", t, -math.inf, 1e300, 1, None, str(i),
                              length_unit=a) for i in range(n)]
    return [r.entries for r in parallel.execute(tasks, workers=2, progress=False)]


@pytest.mark.physics
def test_runs_in_a_unit_of_their_own_against_quadrature():
    ref = b2_linear_quadrature([0.0], [119.8], [3.405], [0.0], 119.8)
    assert_statistically_equal([r[0] for r in _runs(2, "argon", 119.8, 6.0, 3)], ref, 0.44)
    ref = b2_linear_quadrature(**TRAPPE_CO2, t_kelvin=300.0)
    assert_statistically_equal([r[0] for r in _runs(2, "trappe-co2", 300.0, 3.05, 3)], ref, 0.78)


@pytest.mark.physics
def test_c_and_its_derivative_entry_in_a_unit_of_their_own():
    from test_cms import lj_u, triangle_reference

    s6 = 3.405**6
    c, d1 = (x * s6 for x in triangle_reference(lj_u(1.0), lj_u(1.0), lj_u(1.0), 1.0))
    runs = _runs(3, "argon", 119.8, 3.405, 3)
    assert_statistically_equal(runs, [c, d1], [65.0, 195.0])
