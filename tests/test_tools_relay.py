"""A run's progress lines go through a relay: a log that cannot be written never fails the run,
and a run whose estimate stays not a number is stopped and named.  The runs here are stand-ins
that write progress lines as the engines do (to file descriptor 1, one line per write)."""
import math
import os
import time

import pytest

import vicatools as vt
from vicatools.methods.base import RunTask
from vicatools.scan import executors, relay

ARGON = vt.get_model("argon")


def _task(log_path=None):
    return RunTask(2, (ARGON, ARGON), "lorentz-berthelot", 300.0, -math.inf, 1e-3, 2, log_path, "t")


def _writing(fractions, pause=0.0):
    def run(task):
        for i, f in enumerate(fractions, start=10):
            os.write(1, f"[Bms::run::run] i={i:04d}*1E6, fraction={f}, deviation=0.0100, 0h0m1s\n".encode())
            time.sleep(pause)  # a block's work
        return [-25.0, 60.0, -100.0]

    return run


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_log_that_cannot_be_written_never_fails_the_run(monkeypatch):
    monkeypatch.setattr(executors, "_call", _writing(["-0.5313"] * 200))
    out = executors.run_task(_task("/dev/full"))  # every write there fails: no space left on device
    assert out.entries == (-25.0, 60.0, -100.0)


def test_a_run_whose_estimate_stays_not_a_number_is_stopped_and_named(monkeypatch, tmp_path):
    log = tmp_path / "run.log"
    # a finite estimate now and then starts the count again: only a run of non-numbers stops it;
    # the stand-in goes on (for up to a minute) until its next line cannot be written
    lines = ["NaN"] * (relay.HOPELESS_LINES - 1) + ["-0.5"] + ["inf"] * 6000
    monkeypatch.setattr(executors, "_call", _writing(lines, pause=0.01))
    with pytest.raises(RuntimeError, match=f"stopped early at block {10 + 2 * relay.HOPELESS_LINES - 1:04d}"):
        executors.run_task(_task(str(log)))
    kept = log.read_text().splitlines()
    assert len(kept) >= 2 * relay.HOPELESS_LINES and kept[2 * relay.HOPELESS_LINES - 1].startswith(
        f"[Bms::run::run] i={10 + 2 * relay.HOPELESS_LINES - 1:04d}")
