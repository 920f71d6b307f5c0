"""Uij.u_r: the orientation-averaged pair energy, its stop rules and progress lines."""
import math
import re

import numpy as np
import pytest

from vica import PotK, Uij

ORIGIN = [[0.0, 0.0, 0.0]]
LINE = re.compile(r"^\[Uij::u_r\] i=\((\d+)/(\d+)\)\*(\d+), result=(\S+), deviation=(\S+), (\d+)h(\d+)m(\d+)s$")


def panic_type():
    try:
        Uij(ORIGIN, ORIGIN, []).uij(1, 0, 0, 0, 0, 0)
    except BaseException as e:  # noqa: BLE001
        return type(e)


PanicException = panic_type()


def lines(capfd):
    out = capfd.readouterr().out
    assert out == "" or out.endswith("\n")
    return [ln for ln in out.split("\n") if ln]


# ---------------------------------------------------------------- stop rules and lines


def test_constant_energy_stops_after_first_main_block(capfd):
    u = Uij(ORIGIN, ORIGIN, [[PotK.R1(0.5)]])
    assert u.u_r(1.0, 0.1, 100, 50, 1) == 0.5
    assert lines(capfd) == ["[Uij::u_r] i=(1/50)*100, result=0.5000, deviation=0.0000, 0h0m0s"]


def test_r0_table_gives_zero_and_one_line(capfd):
    mol = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]
    u = Uij(mol, mol, [[PotK.R0()] * 3] * 3)
    result = u.u_r(2.0, 0.01, 10, 1000, 1)
    assert result == 0.0 and math.copysign(1.0, result) == 1.0
    assert lines(capfd) == ["[Uij::u_r] i=(1/1000)*10, result=0.0000, deviation=0.0000, 0h0m0s"]


def test_warm_up_only_when_num_outer_is_zero(capfd):
    u = Uij(ORIGIN, ORIGIN, [[PotK.R1(0.5)]])
    assert u.u_r(1.0, 0.1, 10, 0, 0) == 0.5          # num_print 0 is never used
    # A varying energy: the result is the mean of the ten running means.
    varying = Uij([[0.0, 0.0, 1.0]], ORIGIN, [[PotK.R1(1.0)]])
    r = varying.u_r(3.0, 0.0, 50, 0, 0)
    assert 0.25 <= r <= 0.5
    assert lines(capfd) == []


def test_no_samples_give_nan_for_every_block(capfd):
    u = Uij(ORIGIN, ORIGIN, [[PotK.R1(0.5)]])
    assert math.isnan(u.u_r(1.0, 0.1, 0, 3, 1))
    assert lines(capfd) == [f"[Uij::u_r] i=({k}/3)*0, result=NaN, deviation=NaN, 0h0m0s" for k in (1, 2, 3)]
    # Without samples even a short table is never read.
    assert math.isnan(Uij(ORIGIN, ORIGIN, []).u_r(1.0, 0.1, 0, 2, 5))


def test_zero_num_print_fails_once_a_main_block_has_run(capfd):
    u = Uij(ORIGIN, ORIGIN, [[PotK.R1(0.5)]])
    with pytest.raises(PanicException) as info:
        u.u_r(1.0, 0.1, 5, 1, 0)
    assert info.value.args == ("attempt to calculate the remainder with a divisor of zero",)
    assert not isinstance(info.value, Exception)
    assert lines(capfd) == []
    assert u.u_r(1.0, 0.1, 5, 1, 1) == 0.5           # the instance is still usable


def test_lines_follow_num_print_and_tolerances_that_never_stop(capfd):
    u = Uij([[0.0, 0.0, 1.0]], ORIGIN, [[PotK.R1(1.0)]])
    # num_print beyond the blocks run: nothing printed.
    u.u_r(3.0, 0.0, 20, 4, 5)
    assert lines(capfd) == []
    # dev_tol 0 or negative: every main block runs.
    for tol in (0.0, -1.0):
        result = u.u_r(3.0, tol, 20, 6, 2)
        got = [LINE.match(ln) for ln in lines(capfd)]
        assert all(got) and [m.group(1, 2, 3) for m in got] == [("2", "6", "20"), ("4", "6", "20"), ("6", "6", "20")]
        for m in got:
            assert re.fullmatch(r"-?\d+\.\d{4}", m.group(4)) and re.fullmatch(r"\d+\.\d{4}", m.group(5))
            assert int(m.group(7)) < 60 and int(m.group(8)) < 60
        assert f"{result:.4f}" == got[-1].group(4)
    # A generous tolerance stops at the first main block, which is printed.
    u.u_r(3.0, 10.0, 20, 100, 1)
    assert [LINE.match(ln).group(1) for ln in lines(capfd)] == ["1"]


def test_short_table_fails_at_the_first_sample():
    u = Uij([[0.0, 0.0, 0.0]] * 2, ORIGIN, [[PotK.R1(1.0)]])
    for _ in range(2):
        with pytest.raises(PanicException) as info:
            u.u_r(1.0, 0.1, 10, 10, 1)
        assert info.value.args == ("index out of bounds: the len is 1 but the index is 1",)


def test_non_finite_distance_flows_through():
    u = Uij([[0.0, 0.0, 1.0]], ORIGIN, [[PotK.R1(1.0)]])
    assert u.u_r(math.inf, 0.1, 10, 5, 100) == 0.0                 # every term is zero
    assert u.u_r(math.nan, 0.1, 10, 5, 100) == pytest.approx(1.0 / 1e-30, rel=1e-14)   # all clamped


# ---------------------------------------------------------------- the average itself


@pytest.mark.physics
def test_shell_theorem_averages():
    # A unit charge on a sphere of radius a about one origin, uniformly
    # oriented, seen from a point at distance r > a: the mean of 1/d is 1/r.
    # With both molecules turned (radii 1 and 0.5) the mean is still 1/r.
    n_inner, n_outer = 40000, 10
    cases = [
        (Uij([[0.0, 0.0, 1.0]], ORIGIN, [[PotK.R1(1.0)]]), 2.0),
        (Uij(ORIGIN, [[0.3, -0.4, 0.0]], [[PotK.R1(1.0)]]), 1.5),
        (Uij([[0.6, 0.0, 0.8]], [[0.0, 0.5, 0.0]], [[PotK.R1(1.0)]]), 2.5),
    ]
    for u, r in cases:
        got = u.u_r(r, 0.0, n_inner, n_outer, 10**9)
        # The spread of 1/d over the sphere is below 0.2 here; 20 blocks of
        # 40000 samples give a standard error below 2.5e-4.
        assert got == pytest.approx(1.0 / r, abs=1.5e-3)
    # Drawing the polar angle uniformly instead would give, for the first
    # case, the mean of 1/sqrt(5 - 4 cos t) over t, which is far off.
    t = np.linspace(0.0, 2 * np.pi, 200001)[:-1]
    wrong = float(np.mean(1.0 / np.sqrt(5.0 - 4.0 * np.cos(t))))
    assert abs(wrong - 0.5) > 0.03


def rotations_i(phi, theta):
    """Ry(theta) Rz(phi) for arrays of angles in radians: shape (..., 3, 3)."""
    cf, sf, ct, st = np.cos(phi), np.sin(phi), np.cos(theta), np.sin(theta)
    z = np.zeros_like(phi)
    o = np.ones_like(phi)
    Rz = np.stack([np.stack([cf, -sf, z], -1), np.stack([sf, cf, z], -1), np.stack([z, z, o], -1)], -2)
    Ry = np.stack([np.stack([ct, z, st], -1), np.stack([z, o, z], -1), np.stack([-st, z, ct], -1)], -2)
    return Ry @ Rz


def rz_only(a):
    c, s = np.cos(a), np.sin(a)
    z, o = np.zeros_like(a), np.ones_like(a)
    return np.stack([np.stack([c, -s, z], -1), np.stack([s, c, z], -1), np.stack([z, z, o], -1)], -2)


def quadrature_average(moli, molj, table, r, n=10, uniform_polar=False):
    """Mean and variance of the pair energy over uniform orientations of both
    molecules: Gauss-Legendre in cos(theta), equal-weight rules in the
    azimuths, written independently of the module.  With uniform_polar the
    polar angles are instead spread evenly over a full turn."""
    if uniform_polar:
        theta, wt = 2 * np.pi * (np.arange(2 * n) + 0.5) / (2 * n), np.full(2 * n, 0.5 / n)
    else:
        x, w = np.polynomial.legendre.leggauss(n)
        theta, wt = np.arccos(x), w / 2.0
    az = 2 * np.pi * (np.arange(n) + 0.5) / n
    # molecule i: (phi1, theta1); molecule j: (phi2, theta2, psi2)
    P1, T1 = np.meshgrid(az, theta, indexing="ij")
    W1 = np.broadcast_to(wt[None, :], P1.shape) / n
    Ri = rotations_i(P1.ravel(), T1.ravel())                        # (n*n, 3, 3)
    P2, T2, S2 = np.meshgrid(az, theta, az, indexing="ij")
    W2 = np.broadcast_to(wt[None, :, None], P2.shape) / (n * n)
    Rj = rz_only(S2.ravel()) @ rotations_i(P2.ravel(), T2.ravel())  # Rz(psi) Ry(theta) Rz(phi)
    a = np.einsum("kab,sb->ksa", Ri, np.asarray(moli, float))       # (K, ni, 3)
    b = np.einsum("kab,sb->ksa", Rj, np.asarray(molj, float)) + np.array([0.0, 0.0, r])
    d = np.linalg.norm(a[:, None, :, None, :] - b[None, :, None, :, :], axis=-1)  # (Ki, Kj, ni, nj)
    u = np.zeros(d.shape[:2])
    for i, row in enumerate(table):
        for j, (kind, p) in enumerate(row):
            dij = d[:, :, i, j]
            if kind == "R1":
                u += p[0] / dij
            elif kind == "R1R6R12":
                u += p[0] / dij + p[1] / dij**6 + p[2] / dij**12
    weights = W1.ravel()[:, None] * W2.ravel()[None, :]
    mean = float(np.sum(weights * u))
    return mean, float(np.sum(weights * (u - mean) ** 2))


@pytest.mark.physics
def test_average_of_multi_site_pair_matches_quadrature():
    moli = [[0.0, 0.0, 0.9], [0.8, 0.0, -0.3], [-0.5, 0.6, -0.2]]
    molj = [[0.2, 0.0, 0.0], [-0.7, 0.4, 0.5]]
    table = [[("R1", (1.0,)), ("R1R6R12", (-2.0, -5.0, 3.0))],
             [("R1R6R12", (0.5, -1.0, 2.0)), ("R1", (-1.5,))],
             [("R1", (0.8,)), ("R1", (1.1,))]]
    r = 3.0
    mean, var = quadrature_average(moli, molj, table, r, n=12)
    coarse, _ = quadrature_average(moli, molj, table, r, n=10)
    assert abs(mean - coarse) < 1e-5                             # converged far below the MC error
    u = Uij(moli, molj, [[getattr(PotK, k)(*p) for k, p in row] for row in table])
    n_inner, n_outer = 50000, 10
    got = u.u_r(r, 0.0, n_inner, n_outer, 10**9)
    se = math.sqrt(var / ((10 + n_outer) * n_inner))
    assert abs(got - mean) < 5 * se + 1e-12, (got, mean, se)
    # The measure matters: polar angles spread evenly over a turn average to
    # something else.
    wrong, _ = quadrature_average(moli, molj, table, r, n=10, uniform_polar=True)
    assert abs(wrong - mean) > 20 * se
