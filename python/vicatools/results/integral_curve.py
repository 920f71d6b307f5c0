"""The curve of an integrated scan from the integral itself.

A cubature pass (`vicatools.methods.cubature`) that serves several temperatures
also integrates, from the same pair energies, a grid of extra temperatures
spaced uniformly in ln T across the pass's range
(`vicatools.methods.cubature.grid_temperatures`).  The
scan keeps them (``VirialScan.integral_grid``, one integrated `VirialEstimate`
per grid temperature) and its curve (`VirialScan.interpolant`) runs through
the scan's own temperatures and the grid: the quintic Hermite pieces between
neighbouring nodes are then so short that their interpolation error (the
estimate of `vicatools.results.curve`) is negligible beside the integration
error, and the curve's value at any T is the integral's, to its error.
"""
from __future__ import annotations

from typing import Sequence, Tuple

from .estimate import VirialEstimate

GridRow = Tuple[float, Sequence[float], Sequence[float]]
"""(T in K, entries, their error estimates) of one grid temperature."""


def grid_estimates(rows: Sequence[GridRow], order: int, unit: str, method: str) -> Tuple[VirialEstimate, ...]:
    """Integrated estimates (`VirialEstimate.from_integral`) of grid rows, sorted by T."""
    return tuple(VirialEstimate.from_integral(order, t, e, err, unit, method=method)
                 for t, e, err in sorted(rows, key=lambda r: r[0]))
