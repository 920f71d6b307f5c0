"""Number forms of progress lines, the elapsed-time split and the stdout writer."""
import math
import os
import subprocess
import sys

import pytest

import _vica_testing as t

NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize(
    "x,text",
    [(1.0, "1"), (0.1, "0.1"), (1e-7, "0.0000001"), (1.5e20, "150000000000000000000"), (2.5, "2.5"),
     (1 / 3, "0.3333333333333333"), (-0.0, "-0"), (0.0, "0"), (-2.5, "-2.5"), (NAN, "NaN"),
     (-NAN, "NaN"), (INF, "inf"), (-INF, "-inf"), (5e-324, "0." + "0" * 323 + "5"),
     (2.0**63, "9223372036854775808")],
)
def test_plain(x, text):
    assert t.fmt_plain(x) == text


def test_plain_round_trips_shortest():
    import random

    rng = random.Random(5)
    for _ in range(2000):
        x = rng.choice([rng.random(), rng.uniform(-1e6, 1e6), math.ldexp(rng.random(), rng.randint(-60, 60))])
        s = t.fmt_plain(x)
        assert "e" not in s and float(s) == x
        assert len(s.lstrip("-0.").replace(".", "")) <= len(repr(abs(x)).replace(".", "").lstrip("0"))


@pytest.mark.parametrize(
    "x,digits,text",
    [(0.5, 4, "0.5000"), (0.00005, 4, "0.0001"), (2.00005, 4, "2.0000"), (1e20, 4, "100000000000000000000.0000"),
     (0.5, 0, "0"), (1.5, 0, "2"), (2.5, 0, "2"), (-0.0, 4, "-0.0000"), (-1e-9, 4, "-0.0000"),
     (4.5, 6, "4.500000"), (190.85175370029367, 6, "190.851754"), (NAN, 4, "NaN"), (-INF, 6, "-inf"),
     (1e300, 2, format(__import__("decimal").Decimal(1e300), ".2f"))],
)
def test_fixed(x, digits, text):
    assert t.fmt_fixed(x, digits) == text


def test_fixed_is_exact_rounding():
    from decimal import ROUND_HALF_EVEN, Decimal

    import random

    rng = random.Random(7)
    for _ in range(2000):
        x = rng.uniform(-1000, 1000)
        d = rng.randint(0, 8)
        want = Decimal(x).quantize(Decimal(1).scaleb(-d), rounding=ROUND_HALF_EVEN)
        got = t.fmt_fixed(x, d)
        assert Decimal(got) == want
        if want == 0 and x < 0:
            assert got.startswith("-")


@pytest.mark.parametrize(
    "x,text",
    [(1.0, "1.0"), (100.0, "100.0"), (0.0001, "0.0001"), (0.00001, "1e-5"), (0.000015, "1.5e-5"),
     (1e16, "1e16"), (1.5e16, "1.5e16"), (0.0, "0.0"), (-0.0, "-0.0"), (-1e-5, "-1e-5"),
     (9999999999999998.0, "9999999999999998.0"), (1e-300, "1e-300"), (1.7976931348623157e308, "1.7976931348623157e308"),
     (NAN, "NaN"), (INF, "inf"), (-INF, "-inf")],
)
def test_debug(x, text):
    assert t.fmt_debug(x) == text


def test_list():
    assert t.fmt_list([]) == "[]"
    assert t.fmt_list([1, 2.5, -0.0]) == "[1.0, 2.5, -0.0]"
    assert t.fmt_list((1e-5,)) == "[1e-5]"


@pytest.mark.parametrize(
    "secs,nanos,hms",
    [(0, 999_999_999, (0, 0, 0)), (7, 0, (0, 0, 7)), (3599, 900_000_000, (0, 59, 59)), (3600, 0, (1, 0, 0)),
     (3723, 0, (1, 2, 3)), (90061, 0, (25, 1, 1)), (27 * 3600, 0, (27, 0, 0)), (2**64 - 1, 0, (5124095576030431, 0, 15))],
)
def test_split_hms(secs, nanos, hms):
    assert t.split_hms(secs, nanos) == hms


def test_writer_flushes_at_newline_and_keeps_partial_lines(capfd):
    t.progress_print("partial")
    assert capfd.readouterr().out == ""
    t.progress_print(" line\nnext")
    assert capfd.readouterr().out == "partial line\n"
    t.progress_print("\n")
    assert capfd.readouterr().out == "next\n"


def test_writer_with_closed_stdout_discards_and_failed_write_panics():
    # A closed descriptor 1 drops the text; a full device is an internal failure.
    code = (
        "import os, _vica_testing as t\n"
        "os.close(1)\n"
        "t.progress_print('dropped\\n')\n"
        "fd = os.open('/dev/full', os.O_WRONLY)\n"
        "assert fd == 1\n"
        "try:\n"
        "    t.progress_print('x\\n')\n"
        "except BaseException as e:\n"
        "    os.write(2, ('caught ' + type(e).__name__ + ': ' + e.args[0] + '\\n').encode())\n"
    )
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert res.returncode == 0, res.stderr
    assert "caught PanicException: failed printing to stdout: No space left on device" in res.stderr
