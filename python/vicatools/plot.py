"""A PNG of a scan: the coefficient against temperature with error bars, the smooth
curve through the points (`vicatools.results.curve`) and, if given, reference values.

Needs matplotlib (``pip install ".[plot]"`` from the source tree), imported only when a plot is made.
"""
from __future__ import annotations

import re

import pathlib
from typing import TYPE_CHECKING, Any, Optional, Union

from .results.display import register_plotter
from .results.estimate import VirialScan

if TYPE_CHECKING:
    from .results.experiment import ExperimentalSet


def _matplotlib_figure() -> Any:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            "plotting needs matplotlib: pip install matplotlib (or install vica with its 'plot' extra)"
        ) from None
    return Figure


def require_matplotlib() -> None:
    """Raise ImportError with an installation hint when matplotlib is missing."""
    _matplotlib_figure()


def _plot_series(ax: Any, m: VirialScan, label: str, marker: str, sigmas: float) -> None:
    ts = m.temperatures
    smooth = len(set(ts)) >= 2 and m.order_max >= 2
    bars = ax.errorbar(ts, [e.value for e in m], yerr=[sigmas * e.value_stderr for e in m],
                       fmt=marker if smooth else marker + "-", capsize=3, label=label)
    if smooth:
        curve = m.interpolant()
        n = 200
        grid = [1.0 / (1.0 / curve.t_min + (1.0 / curve.t_max - 1.0 / curve.t_min) * k / n) for k in range(n + 1)]
        grid[-1] = curve.t_max
        ax.plot(grid, [curve.evaluate(t)[0] for t in grid], "-", color=bars[0].get_color(), linewidth=1.2)


def plot_scan(
    scan: VirialScan,
    path: Optional[Union[str, pathlib.Path]] = None,
    ax: Any = None,
    sigmas: float = 1.0,
    reference: Optional[ExperimentalSet] = None,
) -> Any:
    """Plot the molar coefficient of `scan` against T with error bars of `sigmas`
    standard errors and the scan's curve between them (when it has two or more
    temperatures and ``order_max`` >= 2), with `reference` values and their
    uncertainties overlaid (a scan with the first-order quantum correction shows the
    classical and the corrected values side by side), on `ax` (a matplotlib Axes) or a new figure; save it to
    `path` (PNG by its suffix) when given.  Returns the Axes."""
    fig = None
    if ax is None:
        fig = _matplotlib_figure()(figsize=(6.0, 4.0), layout="constrained")
        ax = fig.add_subplot()
    m = scan.molar()
    series = [(m, " + ".join(scan.models), "o")]
    if scan.quantum != "none":
        from .results.quantum import classical_scan

        series = [(classical_scan(m), f"{' + '.join(scan.models)}, classical", "^"),
                  (m, f"{' + '.join(scan.models)}, first-order quantum corrected", "o")]
    for part, label, marker in series:
        _plot_series(ax, part, label, marker, sigmas)
    if reference is not None:
        ax.errorbar(
            reference.temperatures,
            [p[1] for p in reference.points],
            yerr=[sigmas * p[2] for p in reference.points],
            fmt="s",
            mfc="none",
            color="k",
            capsize=2,
            label=f"reference: {reference.name}",
        )
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    name = "B" if scan.order == 2 else "C" if scan.order == 3 else f"B{scan.order}"
    ax.set_xlabel("T / K")
    pretty = re.sub(r"\^(\d+)", r"$^{\1}$", m.unit)
    ax.set_ylabel(f"{name} / ({pretty})")
    ax.set_title(f"{name} of {' + '.join(scan.models)}, {m[0].n_runs} runs per point, error bars {sigmas:g} s.e.")
    ax.legend()
    if path is not None:
        from .io import replaced

        suffix = pathlib.Path(path).suffix.lower().lstrip(".") or "png"
        with replaced(path, "wb") as f:  # whole or not at all
            (fig if fig is not None else ax.figure).savefig(f, dpi=120, format=suffix)
    return ax


# ``VirialScan.plot()`` draws this figure (the results layer holds only the hook).
register_plotter(plot_scan)
