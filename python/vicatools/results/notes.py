"""What an estimate says about how its runs ended: each run's note once (with how many
runs said it), and for B4 and higher the checks of `vicatools.results.robust`; warnings
name the temperatures near a zero crossing and the runs far out."""
from __future__ import annotations

import warnings
from dataclasses import replace
from typing import Any, Dict, Sequence

from .estimate import VirialEstimate
from .robust import few_runs_note, outlier_note


def with_notes(est: VirialEstimate, chunk: Sequence[Any]) -> VirialEstimate:
    """The estimate with its runs' notes (each once, with how many runs said it), and a
    warning when its temperature sits near a zero crossing of the coefficient."""
    counts: Dict[str, int] = {}
    for r in chunk:
        for note in filter(None, (r.note or "").split("; ")):
            counts[note] = counts.get(note, 0) + 1
    notes = tuple(f"{n} of {len(chunk)} runs: {note}" for note, n in counts.items())
    if est.order >= 4:
        few = few_runs_note(len(chunk))
        if few:
            notes += (few,)
        far = outlier_note([r.entries[0] for r in chunk])
        if far:
            notes += (far,)
            warnings.warn(f"{est.coefficient} at {est.t_kelvin:g} K: {far}", HeavyTailWarning, stacklevel=4)
    if any("near a zero crossing" in note for note in counts):
        warnings.warn(
            f"{est.coefficient} at {est.t_kelvin:g} K is near a zero crossing: its relative error is large "
            "there; its runs stopped by an absolute tolerance (see the estimate's notes)",
            ZeroCrossingWarning, stacklevel=4,
        )
    return replace(est, notes=est.notes + notes) if notes else est


class ZeroCrossingWarning(UserWarning):
    """A temperature of a scan sits near a zero crossing of the coefficient."""


class HeavyTailWarning(UserWarning):
    """A run of B4 or higher lies far out from the others at its temperature."""
