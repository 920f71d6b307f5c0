"""The padding of the hard-sphere reference, chosen for statistical efficiency.

A `vica.Bms` or `vica.Cms` run compares the molecules with hard spheres whose
diameter is the molecules' radii (largest site distances from their centroids)
plus one unit of length: B2 uses r1 + r2 + 1, C uses 1 + 2/3 (r1 + r2 + r3).
The unit of length is the caller's, so vicatools runs each scan in a unit of
a Å of its choosing (positions / a, site-site laws rescaled, B x a^3 and
C x a^6 on the way back; `vicatools.parallel`): the padding is a Å.  The result
does not depend on a, but the error of a run of a given length does.

The walk spends its time where |f| is large: in the overlapping cores and, at
low temperature, in the attractive well just outside them.  A reference sphere
that reaches only 1 Å beyond the radii covers a small part of that region for
molecules of 3 to 4 Å contact distance, so the walk rarely visits it and the
reference term is noisy.  A padding of the order of the largest Lennard-Jones
diameter of the site pairs makes the sphere reach the contact distance of the
outermost sites; measured with `benchmarks/padding_ladder.py` (docs/padding.md)
the error per CPU second is then 1.5 to 5 times lower than with 1 Å, for
Lennard-Jones argon, TraPPE CO2, N2 and ethane and SPC/E, at low and high
temperature, for B and C.  Much larger paddings gain little more and put more of
the surface where f vanishes (u = 0) inside the sphere, where the reference term
-1/|f| has a heavy tail; `AUTO_FACTOR` keeps the sphere at that surface for
spherical molecules, where (mean - exact) / stderr over many scans was checked to
follow Student's t (docs/padding.md).

Rules (`choose_padding`):

1. a padding given by the caller (in Å, above 0) is used as given; 1 Å is the
   unit-length padding of runs made in Å;
2. "auto": `AUTO_FACTOR` times the largest Lennard-Jones sigma over the site
   pairs of the scan's molecules (mixed by the scan's rule), at least
   `MIN_PADDING`; molecules without any Lennard-Jones site keep 1 Å.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Sequence, Union

from .models import Model
from .tables import mix

AUTO_FACTOR = 1.0
"""Multiple of the largest site-pair Lennard-Jones sigma that "auto" takes as the padding."""

MIN_PADDING = 1.0
"""Smallest padding "auto" chooses, in Å."""

PaddingLike = Union[str, float, int, "PaddingChoice"]


@dataclass(frozen=True)
class PaddingChoice:
    """The padding of the hard-sphere reference used by a scan.

    Attributes:
        angstrom: the padding in Å: the reference diameter is the molecules' radii plus this,
            and the runs are made in a length unit of this many Å.
        origin: "given" (by the caller), "auto", or "stored" (read back from a results store).
        reason: one sentence saying why.
    """

    angstrom: float
    origin: str
    reason: str


def largest_sigma(models: Sequence[Model], mixing: str = "lorentz-berthelot") -> float:
    """Largest Lennard-Jones sigma in Å over the site pairs of the molecule pairs of a run
    of `models` (the two molecules of B, the three pairs of C; 0.0 when no pair has a
    Lennard-Jones term)."""
    best = 0.0
    for i, first in enumerate(models):
        for second in models[i + 1 :]:
            for a in first.sites:
                for b in second.sites:
                    eps, sigma = mix(a, b, mixing)
                    if eps != 0.0:
                        best = max(best, sigma)
    return best


def choose_padding(
    models: Sequence[Model], padding: PaddingLike = "auto", mixing: str = "lorentz-berthelot"
) -> PaddingChoice:
    """The padding for a scan of `models` (the two molecules of B, the three of C, repeated
    where the same): rules 1 and 2 of the
    module doc.  `padding` is "auto", a number of Å above 0, or a `PaddingChoice` (returned as is)."""
    if isinstance(padding, PaddingChoice):
        return padding
    if isinstance(padding, str):
        if padding != "auto":
            raise ValueError(f"reference_padding must be 'auto' or a length in angstrom above 0, got {padding!r}")
        sigma = largest_sigma(models, mixing)
        if sigma == 0.0:
            return PaddingChoice(1.0, "auto", "no Lennard-Jones site: the padding of runs made in angstrom")
        a = max(MIN_PADDING, AUTO_FACTOR * sigma)
        return PaddingChoice(
            a,
            "auto",
            f"{AUTO_FACTOR:g} x the largest site-pair Lennard-Jones sigma ({sigma:g} A): "
            "the reference sphere reaches the contact distance of the outermost sites",
        )
    if isinstance(padding, bool) or not isinstance(padding, numbers.Real):
        raise ValueError(f"reference_padding must be 'auto' or a length in angstrom above 0, got {padding!r}")
    a = float(padding)
    if not (a > 0.0 and math.isfinite(a)):
        raise ValueError(f"reference_padding must be a finite length in angstrom above 0, got {a:g}")
    return PaddingChoice(a, "given", "given by the caller")
