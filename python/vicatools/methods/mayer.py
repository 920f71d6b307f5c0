"""Mayer sampling through `vica`: B by `vica.Bms`, C by `vica.Cms`.

Every run is independent (`vicatools.scan.executors` makes each on a new thread, so
with a freshly keyed generator); the estimate's error is the standard error over runs.
A run is made in a length unit of ``task.length_unit`` Å: `vica` pads its hard-sphere
reference by one unit of length, so this sets the padding (`vicatools.models.padding`);
positions and site-site laws are expressed in it and the entries converted back to Å.

Zero crossings.  `vica`'s stop rule is relative: a run ends when the spread d of its
last ten running estimates of X / X_hs (X_hs the hard-sphere reference's coefficient)
falls under ``dev_tol`` times their mean |m|.  Where X changes sign (B near the Boyle
temperature, C near its own zero) |m| is tiny, the rule cannot be met and a run goes on
for its 1000 blocks (10^9 steps).  So each run starts with a pilot of the shortest
length (10 production blocks), read from its documented progress lines: when |m| is
small against the reference's scale (under `ABSOLUTE_BELOW`), the production run's
tolerance is raised so that it stops when d < ``dev_tol`` x `ABSOLUTE_BELOW`, an
absolute tolerance on X / X_hs.  The pilot's sums are not wasted: the run's entries are
the block-weighted mean of pilot and production.  ``RunResult.note`` says when a run
stopped by the absolute tolerance or at the 1000-block cap.
"""
from __future__ import annotations

import math
import os
import re
import tempfile
from typing import Any, Callable, ClassVar, Dict, List, Tuple

from ..models.mixing import pair_table
from ..models.model import Model
from .base import Method, RunResult, RunTask

ABSOLUTE_BELOW = 0.1
"""|X / X_hs| under which a run's stop rule is absolute: d < dev_tol x ABSOLUTE_BELOW."""

PILOT_TOLERANCE = 1e300
"""A tolerance every finite spread meets: the pilot stops at its tenth block."""

LOOSE = 1e3
"""A ``dev_tol`` this large stops a run at its tenth block unless |X / X_hs| is under a
thousandth of the spread: such runs (quick checks) need no pilot."""

MAX_BLOCKS = 1000
"""`vica`'s cap on production blocks of a run."""

_INI = re.compile(r"^\[(?:Bms|Cms)::run::ini\] sigma_hs=([-0-9.naif]+),virial_hs=([-0-9.naif]+),")
_RUN = re.compile(r"^\[(?:Bms|Cms)::run::run\] i=(\d+)\*1E6, fraction=([-0-9.naif]+), deviation=([-0-9.naif]+),")


def positions_in(model: Model, length_unit: float) -> List[List[float]]:
    """The model's site positions in units of `length_unit` Å."""
    return model.positions if length_unit == 1.0 else [[x / length_unit for x in p] for p in model.positions]


def progress(lines: List[str]) -> Dict[str, float]:
    """What a run's progress lines say: virial_hs, and of the last long line the block
    count, fraction m and deviation d (NaN where absent)."""
    out = {"virial_hs": math.nan, "blocks": math.nan, "fraction": math.nan, "deviation": math.nan}
    for line in lines:
        m = _INI.match(line)
        if m:
            out["virial_hs"] = float(m.group(2))
            continue
        m = _RUN.match(line)
        if m:
            out["blocks"], out["fraction"], out["deviation"] = float(m.group(1)), float(m.group(2)), float(m.group(3))
    return out


def production_tolerance(dev_tol: float, fraction: float, deviation: float) -> Tuple[float, str]:
    """The relative tolerance that makes `vica`'s rule stop at d < dev_tol x max(|m|,
    ABSOLUTE_BELOW), from the pilot's fraction m and deviation d (the lower end |m| - 2d of
    |m|'s range, so that the rule is never stricter than that); and a note when it changed."""
    if not (math.isfinite(fraction) and math.isfinite(deviation)):
        return dev_tol, ""
    low = abs(fraction) - 2.0 * deviation
    if low >= ABSOLUTE_BELOW:
        return dev_tol, ""
    tol = dev_tol * ABSOLUTE_BELOW / max(low, dev_tol * ABSOLUTE_BELOW)
    return tol, (
        f"near a zero crossing (|X / X_hs| under {ABSOLUTE_BELOW:g} at the pilot): "
        f"stopped by the absolute tolerance {dev_tol * ABSOLUTE_BELOW:.2g} of X_hs"
    )


class _CapturedFd1:
    """File descriptor 1 into a temporary file for the duration; the lines are kept and
    written on to whatever fd 1 was (a run's log, or the null device) at the end."""

    def __enter__(self) -> _CapturedFd1:
        self._file = tempfile.TemporaryFile()
        self._saved = os.dup(1)
        os.dup2(self._file.fileno(), 1)
        self._read = 0
        return self

    def lines(self) -> List[str]:
        """Lines written since the last call."""
        self._file.seek(self._read)
        data = self._file.read()
        self._read += len(data)
        return data.decode("utf-8", "replace").splitlines()

    def __exit__(self, *exc: object) -> None:
        os.dup2(self._saved, 1)
        self._file.seek(0)
        data = self._file.read()
        if data:
            os.write(1, data)
        os.close(self._saved)
        self._file.close()


class Mayer(Method):
    name: ClassVar[str] = "mayer"
    engine: ClassVar[str] = "vica"
    orders: ClassVar[Tuple[int, int]] = (2, 3)

    def run(self, task: RunTask) -> RunResult:
        import vica

        m = task.models
        a = task.length_unit

        def table(i: int, j: int) -> List[List[Any]]:
            return pair_table(m[i], m[j], task.mixing, a, task.core)

        call: Callable[[float], List[float]]
        if task.order == 2:
            bms = vica.Bms(positions_in(m[0], a), positions_in(m[1], a), table(0, 1))

            def call(tol: float) -> List[float]:
                return list(bms.run(task.t_kelvin, task.u_min, tol, task.order_max))
        else:
            cms = vica.Cms(positions_in(m[0], a), positions_in(m[1], a), positions_in(m[2], a), table(0, 1),
                           table(0, 2), table(1, 2))

            def call(tol: float) -> List[float]:
                return list(cms.run(task.t_kelvin, tol, task.order_max))

        factor = a ** (3 * (task.order - 1))
        if task.dev_tol >= LOOSE:
            return RunResult(tuple(float(x) * factor for x in call(task.dev_tol)), 0.0)
        with _CapturedFd1() as fd1:
            pilot = call(PILOT_TOLERANCE)
            seen = progress(fd1.lines())
            tol, note = production_tolerance(task.dev_tol, seen["fraction"], seen["deviation"])
            main = call(tol)
            done = progress(fd1.lines())
        w0, w1 = seen["blocks"], done["blocks"]
        if not (w0 > 0 and w1 > 0):  # lines not read: the production run alone
            w0, w1 = 0.0, 1.0
        out = [(w0 * p + w1 * q) / (w0 + w1) for p, q in zip(pilot, main)]
        if w1 >= MAX_BLOCKS:
            note = (f"stopped at the cap of {MAX_BLOCKS} blocks: the stop rule (deviation {done['deviation']:g}, "
                    f"fraction {done['fraction']:g}) was not met") + (f"; {note}" if note else "")
        # B is a volume (a^3), C a volume squared (a^6); every entry converts alike.
        return RunResult(tuple(float(x) * factor for x in out), 0.0, note=note)
