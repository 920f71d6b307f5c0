"""The padding of the hard-sphere reference, chosen for statistical efficiency.

A `vica.Bms` or `vica.Cms` run compares the molecules with hard spheres whose
diameter is the molecules' radii (largest site distances from their centroids)
plus one unit of length: B2 uses r1 + r2 + 1, C uses 1 + 2/3 (r1 + r2 + r3).
The unit of length is the caller's, so vicatools runs each scan in a unit of
a Å of its choosing (positions / a, site-site laws rescaled, B x a^3 and
C x a^6 on the way back; `vicatools.scan.executors`): the padding is a Å.  The result
does not depend on a, but the error of a run of a given length does.

The walk spends its time where |f| is large: in the overlapping cores and, at
low temperature, in the attractive well just outside them.  A reference sphere
that reaches only 1 Å beyond the radii covers a small part of that region for
molecules of 3 to 4 Å contact distance, so the walk rarely visits it and the
reference term is noisy.  A sphere that reaches far beyond the distance at which
the molecules touch holds much of the surface where the pair energy is 0 and f
vanishes; there the reference term -1/|f| has a tail of (logarithmically)
infinite variance, which makes runs spread unevenly and error bars less
trustworthy.  "auto" therefore makes the reference diameter the typical contact
distance of the two molecules: the largest site-pair Lennard-Jones sigma plus
the molecules' mean radius (sigma for spherical molecules, where the sphere ends
at u = 0; for TraPPE CO2 4.2 Å, between its side-by-side and end-to-end contacts).
Measured with `benchmarks/padding_ladder.py`, `benchmarks/honest_errors.py` and
`benchmarks/efficiency.py` (docs/padding.md).

Rules (`choose_padding`):

1. a padding given by the caller (in Å, above 0) is used as given; 1 Å is the
   unit-length padding of runs made in Å;
2. "auto": the largest Lennard-Jones sigma over the site pairs of the run's
   molecule pairs (mixed by the scan's rule) less the mean of the molecules'
   radii (so that the reference diameter is sigma plus that mean radius), at
   least `MIN_PADDING`; molecules without any Lennard-Jones site keep 1 Å.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Sequence, Union

from .laws import contact_distance, mixed_law
from .model import Model
from .mixing import _pairs, check_mixing

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
    short-range term); for other laws their contact distance
    (`vicatools.models.laws.contact_distance`)."""
    check_mixing(mixing)
    best = 0.0
    for i, first in enumerate(models):
        for second in models[i + 1 :]:
            pairs = _pairs(first, second)
            for a in first.sites:
                for b in second.sites:
                    law = mixed_law(a, b, mixing, pairs)
                    if law is not None:
                        best = max(best, contact_distance(law))
    return best


def molecule_radius(model: Model) -> float:
    """Largest distance in Å of a site from the unweighted centroid of the model's sites."""
    return max((math.sqrt(math.fsum(x * x for x in p)) for p in model.centred()), default=0.0)


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
        radius = math.fsum(molecule_radius(m) for m in models) / len(models)
        a = max(MIN_PADDING, sigma - radius)
        return PaddingChoice(
            a,
            "auto",
            f"the reference diameter is the largest site-pair Lennard-Jones sigma ({sigma:g} A) plus the "
            f"molecules' mean radius ({radius:.4g} A): their typical contact distance",
        )
    if isinstance(padding, bool) or not isinstance(padding, numbers.Real):
        raise ValueError(f"reference_padding must be 'auto' or a length in angstrom above 0, got {padding!r}")
    a = float(padding)
    if not (a > 0.0 and math.isfinite(a)):
        raise ValueError(f"reference_padding must be a finite length in angstrom above 0, got {a:g}")
    return PaddingChoice(a, "given", "given by the caller")
