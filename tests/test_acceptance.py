"""The Metropolis test of the Bms and Cms walks, settled from an estimate of the
trial's Mayer value where the estimate cannot change the answer: the estimate's
accuracy, the verdict against the rule as written, and whole keyed runs that
must not change by a single bit when the estimate is switched off."""
import math
import random
import struct

import pytest

import _vica_testing as t

R1, R6R12, R1R6R12 = 1, 2, 3


def bits(values):
    return [struct.pack("<d", v) for v in values]


# ---------------------------------------------------------------- the estimate


def sample_arguments(rng, n):
    ts = []
    for i in range(n):
        kind = i % 4
        if kind == 0:
            ts.append(rng.uniform(-700.0, 700.0))
        elif kind == 1:
            ts.append(rng.uniform(-6.0, 6.0))
        elif kind == 2:  # tiny magnitudes of either sign, subnormal included
            ts.append(rng.choice((-1.0, 1.0)) * math.ldexp(rng.random(), -rng.randrange(1, 1074)))
        else:  # next to the points where the table index changes
            k = rng.randrange(-2000, 2000)
            ts.append((k + 0.5) * math.log(2.0) / 256.0 * (1.0 + rng.uniform(-1e-12, 1e-12)))
    return ts


def test_expm1_estimate_is_within_1e_9_of_the_platform_expm1():
    rng = random.Random(20261208)
    ts = sample_arguments(rng, 400_000)
    got = t.expm1_estimates(ts)
    worst = 0.0
    for x, e in zip(ts, got):
        want = math.expm1(x)
        if want == 0.0:
            assert e == 0.0, x
            continue
        worst = max(worst, abs(e - want) / abs(want))
    assert worst < 1e-9, worst


def test_expm1_estimate_at_the_ends_of_its_range():
    got = t.expm1_estimates([0.0, -0.0, -700.0, -700.5, -1e300, -math.inf, 700.0, 700.0000000001, 1e300,
                             math.inf, math.nan, 5e-324, -5e-324])
    assert got[0] == 0.0 and got[1] == 0.0
    assert got[2:6] == [-1.0] * 4          # e^t under 1e-304: -1 exactly
    assert got[6] == pytest.approx(math.expm1(700.0), rel=1e-9)
    assert all(math.isnan(v) for v in got[7:11])   # outside the range: NaN, which no verdict accepts
    assert got[11:] == [5e-324, -5e-324]


# ---------------------------------------------------------------- the verdict


def exact_rule(f_trial, f_current, st, st_current, u):
    return abs(f_trial / f_current) * abs(st / st_current) > u


def estimated(ts, kept, st, st_current, u, current):
    """The walks' verdict: Bms with one new value (kept is None), Cms with two."""
    es = t.expm1_estimates(ts)
    factors = es + ([] if kept is None else [kept])
    if not all(t.moderate(v) for v in factors + [st, st_current]):
        return 0
    x = abs(es[0]) * abs(st) if kept is None else abs((es[0] * kept) * es[1]) * abs(st)
    return t.estimated_verdict(x, (u * abs(current)) * abs(st_current))


def test_verdict_agrees_with_the_rule_and_settles_all_but_the_border():
    rng = random.Random(7)
    undecided_far = 0
    checked = 0
    for case in range(60_000):
        two = case % 2 == 1
        ts = [rng.uniform(-40.0, 6.0) for _ in range(2 if two else 1)]
        kept = rng.choice([rng.uniform(-1.0, 3.0), -1.0, 1e-3]) if two else None
        current = rng.choice([rng.uniform(-1.0, 5.0), -1.0, 0.25, 1e-7])
        st = math.sin(rng.uniform(-1e4, 1e4))
        st_current = rng.choice([math.sin(rng.uniform(-1e4, 1e4)), 1e-9, -1.0])
        fs = [math.expm1(x) for x in ts]
        f_trial = fs[0] if not two else (fs[0] * kept) * fs[1]
        # U at the border of the rule, moved by a chosen relative amount.
        border = abs(f_trial / current) * abs(st / st_current)
        rel = rng.choice([0.0, 1e-16, -1e-16, 1e-12, -1e-12, 1e-9, -1e-9, 1e-7, -1e-7, 1e-5, -1e-5, 1e-2, -1e-2])
        u = border * (1.0 + rel) if rng.random() < 0.8 else rng.random()
        if not 0.0 <= u < 1.0:
            continue
        u = math.ldexp(math.floor(math.ldexp(u, 53)), -53)   # a U the generator can give
        v = estimated(ts, kept, st, st_current, u, current)
        checked += 1
        if v != 0:
            assert (v == 1) == exact_rule(f_trial, current, st, st_current, u), (ts, kept, current, st, u, v)
        elif abs(rel) >= 1e-5 and u > 0.0 and border > 1e-200:
            undecided_far += 1
    assert checked > 25_000
    assert undecided_far == 0


def test_verdict_leaves_unusual_values_undecided():
    assert t.estimated_verdict(2.0, 0.0) == 0            # U = 0: the rule as written decides
    assert t.estimated_verdict(math.inf, 0.5) == 0
    assert t.estimated_verdict(math.nan, 0.5) == 0
    assert t.estimated_verdict(1e-260, 1e-255) == 0
    assert t.estimated_verdict(0.5, 0.5) == 0
    assert t.estimated_verdict(0.5 * (1 + 2e-6), 0.5) == 1
    assert t.estimated_verdict(0.5 * (1 - 2e-6), 0.5) == -1
    assert [t.moderate(v) for v in (1e-100, -1e100, 1e-101, 1e101, 0.0, math.nan, math.inf)] == \
        [True, True, False, False, False, False, False]


# ---------------------------------------------------------------- whole runs

CO2 = [[-1.16, 0.0, 0.0], [0.0, 0.0, 0.0], [1.16, 0.0, 0.0]]


def co2_table():
    q = [-0.35, 0.70, -0.35]
    eps = [79.0, 27.0, 79.0]
    sig = [3.05, 2.80, 3.05]
    table = []
    for i in range(3):
        row = []
        for j in range(3):
            e = math.sqrt(eps[i] * eps[j])
            s = 0.5 * (sig[i] + sig[j])
            row.append((R1R6R12, 167100.0 * q[i] * q[j], -4 * e * s**6, 4 * e * s**12))
        table.append(row)
    return table


LJ = [[(R6R12, -400.0, 400.0)]]
ONE = [[0.0, 0.0, 0.0]]
# A dumbbell with mixed laws and an energy floor above the deepest wells, so
# that some trials are inadmissible (f' = -1).
DUMBBELL = [[0.0, 0.0, -0.4], [0.0, 0.0, 0.4]]
MIXED = [[(R6R12, -4.0, 4.0), (R1, 0.5)], [(R1R6R12, -0.5, -4.0, 4.0), (R6R12, -4.0, 4.0)]]

BMS_CASES = [
    ("one-site LJ", (ONE, ONE, LJ, 150.0, -1e7, 1e300, 2)),
    ("three-site CO2-like", (CO2, CO2, co2_table(), 300.0, -1e4, 1e300, 3)),
    ("mixed dumbbell with a floor", (DUMBBELL, DUMBBELL, MIXED, 2.0, -3.0, 1e300, 2)),
]
CMS_CASES = [
    ("one-site LJ", (ONE, ONE, ONE, LJ, LJ, LJ, 150.0, 1e300, 2)),
    ("three-site CO2-like", (CO2, CO2, CO2, co2_table(), co2_table(), co2_table(), 300.0, 1e300, 2)),
]


@pytest.fixture
def restore_switches():
    exact, kernel = t.exact_acceptance(), t.active_kernel_path()
    yield
    t.set_exact_acceptance(exact)
    t.set_kernel_path(kernel)


@pytest.mark.parametrize("name,args", BMS_CASES, ids=[c[0] for c in BMS_CASES])
def test_bms_keyed_run_is_the_same_with_the_rule_as_written(name, args, restore_switches):
    t.set_exact_acceptance(0)
    fast = t.bms_run_keyed(11, *args)
    t.set_exact_acceptance(1)
    exact = t.bms_run_keyed(11, *args)
    assert bits(fast) == bits(exact), (name, fast, exact)
    assert all(math.isfinite(v) for v in fast)


@pytest.mark.parametrize("name,args", CMS_CASES, ids=[c[0] for c in CMS_CASES])
def test_cms_keyed_run_is_the_same_with_the_rule_as_written(name, args, restore_switches):
    t.set_exact_acceptance(0)
    fast = t.cms_run_keyed(12, *args)
    t.set_exact_acceptance(1)
    exact = t.cms_run_keyed(12, *args)
    assert bits(fast) == bits(exact), (name, fast, exact)


def test_keyed_runs_follow_their_key_and_the_small_kernels_keep_the_bits(restore_switches):
    bms = BMS_CASES[2][1]
    cms = CMS_CASES[1][1]
    first = t.bms_run_keyed(5, *bms)
    assert bits(t.bms_run_keyed(5, *bms)) == bits(first)
    assert bits(t.bms_run_keyed(6, *bms)) != bits(first)   # another stream, another walk
    # The portable kernel path sums without the small-molecule bodies.
    assert t.kernel_small(cms[3], 3, 3)
    best = t.active_kernel_path()
    runs = {}
    for path in ("portable", best):
        t.set_kernel_path(path)
        runs[path] = (t.bms_run_keyed(5, *bms), t.cms_run_keyed(5, *cms))
    assert bits(runs["portable"][0]) == bits(runs[best][0])
    assert bits(runs["portable"][1]) == bits(runs[best][1])
