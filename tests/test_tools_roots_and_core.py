"""Boyle and Joule-Thomson inversion temperatures of LJ argon against quadrature, and
B of bare-charge models with the r^-12 core against B with the energy floor.

Runs use dev_tol = 1e300 (11 million steps each).  Tolerances come from single-run
spreads measured over 16 runs per temperature at the same settings (scan at 370, 450,
650 and 900 K): Boyle temperature 0.71 K, inversion temperature 13.3 K; and over 8 runs
for TIP4P/2005 at 500 K: B 9.9 A^3 (floor -6900 K) and 9.4 A^3 (core 0.1 A).
"""
import math
import pathlib
import sys

import pytest

import vicatools as vt

pytestmark = pytest.mark.physics
pytest.importorskip("scipy")
optimize = pytest.importorskip("scipy.optimize")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from test_tools_estimate import lj_b_quadrature  # noqa: E402

MARGIN = 1.5  # on a spread measured from 8 to 16 runs
BOYLE_SD, INVERSION_SD = 0.71, 13.3  # K, single run
TIP4P_SD = 9.9  # A^3, single run of B at 500 K


def test_boyle_and_inversion_temperatures_of_lj_argon():
    boyle_ref = optimize.brentq(lambda t: lj_b_quadrature(t)[0], 350.0, 450.0, xtol=1e-6)
    inv_ref = optimize.brentq(lambda t: lj_b_quadrature(t)[0] - lj_b_quadrature(t)[1], 650.0, 900.0, xtol=1e-6)
    assert boyle_ref / 119.8 == pytest.approx(3.4179, abs=1e-4)  # the published LJ value
    n = 5
    scan = vt.b2("argon", temperatures=[370.0, 450.0, 650.0, 900.0], runs=n, dev_tol=1e300, progress=False, method="mayer")
    for root, ref, sd in ((scan.boyle_temperature(), boyle_ref, BOYLE_SD),
                          (scan.inversion_temperature(), inv_ref, INVERSION_SD)):
        expected = sd / math.sqrt(n)
        assert abs(root.t_kelvin - ref) < 5 * MARGIN * expected, (root, ref)
        assert 0.25 * expected < root.uncertainty < 4 * MARGIN * expected, (root, expected)
        assert root.interpolation_error < 0.1 * expected


def test_b_with_core_equals_b_with_floor():
    n = 4
    floor = vt.b2("tip4p-2005", temperatures=500.0, runs=n, dev_tol=1e300, progress=False, method="mayer")
    core = vt.b2("tip4p-2005", temperatures=500.0, runs=n, dev_tol=1e300, progress=False, u_min=-math.inf, method="mayer")
    assert floor.core is None and floor.u_min.value == -6900.0
    assert core.core.distance == 0.1 and core.core.pairs == (("H", "M"),)
    assert abs(core[0].value - floor[0].value) < 5 * MARGIN * TIP4P_SD * math.sqrt(2.0 / n)
