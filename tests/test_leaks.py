"""Repeated failing and succeeding conversions do not grow the process."""
import os

import pytest

import _vica_testing as t
from vica import PotK


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def churn(n):
    r1 = PotK.R1(1.0)
    for i in range(n):
        PotK.R6R12(1.0, _1=2.0)
        PotK("R1R6R12", (1.0, 2, 3.0))
        t.molecule([(1, 2, 3), [4.0, 5, 6]])
        r1[0]
        for bad in (
            lambda: PotK.R1("x"),
            lambda: PotK(1, [1.0]),
            lambda: PotK("R1", [1.0, "y"]),
            lambda: PotK.R1(_0=1, x=2),
            lambda: PotK.R1(1, _0=2),
            lambda: PotK.R1R6R12(),
            lambda: r1[5],
            lambda: r1[-1],
            lambda: t.molecule([(1, 2)]),
            lambda: t.molecule("abc"),
            lambda: t.molecule([(1, 2, None)]),
        ):
            try:
                bad()
            except (TypeError, ValueError, OverflowError, IndexError):
                pass


@pytest.mark.rss
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_no_growth_over_many_calls():
    churn(2000)  # warm up allocator pools and caches
    before = rss_bytes()
    churn(200_000 // 11)
    grown = rss_bytes() - before
    # One leaked small object per failing call would be more than 10 MB here.
    assert grown < 3 * 1024 * 1024, grown
