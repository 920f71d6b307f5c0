"""A figure of a scan: the coefficient against temperature with error bars, the smooth
curve through the points (`vicatools.results.curve`) and, if given, reference values with their
source; below them a residual panel (model - reference, with the combined uncertainty);
the Boyle and Joule-Thomson inversion temperatures marked where B crosses them; and a
caption line with the models' site parameters and the scan's settings.

``style`` is "screen" (default), "paper" (a single-column figure, serif type, 300 dpi,
no title: the caption says it) or "talk" (large type, thick lines).

Needs matplotlib (``pip install ".[plot]"`` from the source tree), imported only when a plot is made.
"""
from __future__ import annotations

import math
import pathlib
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

from .results.display import register_plotter
from .results.estimate import VirialScan

if TYPE_CHECKING:
    from .results.experiment import ExperimentalSet

STYLES: Dict[str, Dict[str, Any]] = {
    "screen": dict(size=(6.4, 4.6), dpi=120, rc={"font.size": 9.0}, title=True, lw=1.2, ms=4.0),
    "paper": dict(
        size=(3.4, 3.6), dpi=300, title=False, lw=0.9, ms=3.0,
        rc={"font.size": 7.5, "font.family": "serif", "axes.linewidth": 0.6, "xtick.direction": "in",
            "ytick.direction": "in", "xtick.top": True, "ytick.right": True},
    ),
    "talk": dict(size=(9.0, 6.4), dpi=150, rc={"font.size": 15.0, "axes.linewidth": 1.4}, title=True, lw=2.2,
                 ms=7.0),
}


def _matplotlib() -> Tuple[Any, Any]:
    try:
        import matplotlib
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            "plotting needs matplotlib: pip install matplotlib (or install vica with its 'plot' extra)"
        ) from None
    return matplotlib, Figure


def require_matplotlib() -> None:
    """Raise ImportError with an installation hint when matplotlib is missing."""
    _matplotlib()


def _coefficient_name(order: int) -> str:
    return "B" if order == 2 else "C" if order == 3 else f"B{order}"


def model_caption(scan: VirialScan) -> str:
    """One line per model of the scan: its site parameters (library models and models with
    a readable file), e.g. "argon: Ar epsilon/k = 119.8 K, sigma = 3.405 A"."""
    from .models.library import resolve_model

    lines = []
    for name in dict.fromkeys(scan.models):
        try:
            m = resolve_model(name)
        except Exception:  # noqa: BLE001 - a model not found again is only left out of the caption
            continue
        kinds: Dict[Tuple[str, float, float, float], int] = {}
        for s in m.sites:
            key = (s.name, s.epsilon, s.sigma, s.charge)
            kinds[key] = kinds.get(key, 0) + 1
        parts = []
        for (site, eps, sig, q), n in kinds.items():
            bits = []
            if eps or sig:
                bits.append(f"\u03b5/k = {eps:g} K, \u03c3 = {sig:g} \u00c5")
            if q:
                bits.append(f"q = {q:+g} e")
            if bits:
                times = f" \u00d7{n}" if n > 1 else ""
                parts.append(f"{site}{times}: " + ", ".join(bits))
        src = m.source.split(":")[0] if m.source else ""
        lines.append(f"{m.name}{f' ({src})' if src and len(src) < 40 else ''}: " + "; ".join(parts))
    return "\n".join(lines)


def _settings_caption(scan: VirialScan, sigmas: float) -> str:
    e = scan.estimates[0]
    if all(x.error_kind == "integration" for x in scan):  # one integration per point, no runs to count
        bits = [f"by integration ({scan.method})", f"error bars {sigmas:g} \u00d7 the integration error estimate"]
    else:
        bits = [f"{e.n_runs} runs per point" if len({x.n_runs for x in scan}) == 1 else "runs per point vary",
                f"error bars {sigmas:g} s.e."]
    if scan.u_min is not None and math.isfinite(scan.u_min.value):
        bits.append(f"u_min = {scan.u_min.value:g} K")
    return "; ".join(bits)


def _error_word(scan: VirialScan) -> str:
    """What an error bar is: a standard error over runs, or an integration's error estimate."""
    return "error est." if all(x.error_kind == "integration" for x in scan) else "s.e."


def _roots(scan: VirialScan) -> List[Tuple[str, Any]]:
    out: List[Tuple[str, Any]] = []
    if scan.order != 2 or len(set(scan.temperatures)) < 2 or scan.order_max < 2:
        return out
    for label, fn in (("Boyle", scan.boyle_temperature), ("inversion", scan.inversion_temperature)):
        try:
            out.append((label, fn()))
        except ValueError:
            pass
    return out


def plot_scan(
    scan: VirialScan,
    path: Optional[Union[str, pathlib.Path]] = None,
    ax: Any = None,
    sigmas: float = 1.0,
    reference: Optional[ExperimentalSet] = None,
    *,
    residuals: Optional[bool] = None,
    caption: bool = True,
    mark_roots: bool = True,
    style: str = "screen",
) -> Any:
    """Plot the molar coefficient of `scan` against T with error bars of `sigmas` standard
    errors and the scan's curve between them (two or more temperatures and ``order_max`` >= 2),
    with `reference` values (legend: their sources and kind) and, below, the residuals model -
    reference (`residuals`, by default when a reference is given and no `ax`); the Boyle and
    inversion temperatures marked (`mark_roots`); the models' parameters and the scan's settings
    in a caption line (`caption`).  Draws on `ax` (a matplotlib Axes) or a new figure in `style`
    (`STYLES`), saved to `path` (format by its suffix) when given.  Returns the main Axes."""
    if style not in STYLES:
        raise ValueError(f"style must be one of {', '.join(STYLES)}, got {style!r}")
    if not (sigmas > 0.0 and math.isfinite(sigmas)):
        raise ValueError(f"sigmas must be above 0, got {sigmas!r}")
    mpl, Figure = _matplotlib()
    st = STYLES[style]
    rows = None
    if reference is not None:
        from .results.experiment import compare

        rows = compare(scan, reference)
    with_residuals = bool(rows) and (residuals if residuals is not None else ax is None)
    with mpl.rc_context(st["rc"]):
        fig = None
        rax = None
        if ax is None:
            fig = Figure(figsize=st["size"], layout="constrained")
            if with_residuals:
                ax, rax = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1.25])
            else:
                ax = fig.add_subplot()
        elif with_residuals:  # below the given axes, in its own coordinates
            rax = ax.inset_axes([0.0, -0.62, 1.0, 0.35], sharex=ax)
        _draw(scan, ax, rax, sigmas, reference, rows, mark_roots, st)
        figure = fig if fig is not None else ax.figure
        if caption:
            text = model_caption(scan)
            text = (text + "\n" if text else "") + _settings_caption(scan, sigmas)
            if not st["title"]:
                text = _title(scan) + "\n" + text
            figure.supxlabel(text, fontsize=mpl.rcParams["font.size"] * 0.8, ha="left", x=0.01,
                             multialignment="left")
        if path is not None:
            from .io import replaced

            suffix = pathlib.Path(path).suffix.lower().lstrip(".") or "png"
            with replaced(path, "wb") as f:  # whole or not at all
                figure.savefig(f, dpi=st["dpi"], format=suffix)
    return ax


def _pm(x: float, s: float) -> str:
    """x +/- s to the second significant digit of s."""
    if not (s > 0.0 and math.isfinite(s)):
        return f"{x:.4g}"
    place = max(1 - math.floor(math.log10(s)), 0)
    return f"{x:.{place}f} \u00b1 {s:.{place}f}"


def _title(scan: VirialScan) -> str:
    return f"{_coefficient_name(scan.order)} of {' + '.join(scan.models)}"


def _draw(scan: VirialScan, ax: Any, rax: Any, sigmas: float, reference: Any, rows: Any, mark_roots: bool,
          st: Dict[str, Any]) -> None:
    m = scan.molar()
    ts = m.temperatures
    smooth = len(set(ts)) >= 2 and scan.order_max >= 2
    name = _coefficient_name(scan.order)
    pretty = re.sub(r"\^(\d+)", r"$^{\1}$", m.unit)
    color = "C0"
    if smooth:
        curve = m.interpolant()
        n = 200
        grid = [1.0 / (1.0 / curve.t_min + (1.0 / curve.t_max - 1.0 / curve.t_min) * k / n) for k in range(n + 1)]
        grid[-1] = curve.t_max
        ax.plot(grid, [curve.evaluate(t)[0] for t in grid], "-", color=color, linewidth=st["lw"], zorder=2)
    # error bars over open markers, drawn above the curve, so that they stay visible
    ax.errorbar(
        ts, [e.value for e in m], yerr=[sigmas * e.value_stderr for e in m], fmt="o" if smooth else "o-",
        color=color, mfc="white", ms=st["ms"], mew=st["lw"] * 0.8, elinewidth=st["lw"], capsize=st["ms"] * 0.8,
        zorder=4, label=f"{' + '.join(scan.models)} (\u00b1{sigmas:g} {_error_word(m)})",
    )
    if scan.quantum != "none":  # the classical values beside the first-order corrected ones
        from .results.quantum import classical_scan

        c = classical_scan(m)
        ax.errorbar(c.temperatures, [e.value for e in c], yerr=[sigmas * e.value_stderr for e in c], fmt="^",
                    color="C2", mfc="white", ms=st["ms"], capsize=st["ms"] * 0.8, zorder=3,
                    label=f"{' + '.join(scan.models)}, classical")
    if reference is not None:
        from .results.experiment import short_source

        groups: Dict[Tuple[str, str], List[Any]] = {}
        for r in reference.rows:
            groups.setdefault((r.kind, r.source), []).append(r)
        for i, ((kind, source), pts) in enumerate(groups.items()):
            what = {"measured": "measured", "equation": "equation of state", "user": "reference"}.get(kind, kind)
            est = " (u estimated)" if pts[0].uncertainty_basis == "estimated" else ""
            ax.errorbar(
                [p.t_kelvin for p in pts], [p.value for p in pts], yerr=[sigmas * p.uncertainty for p in pts],
                fmt="sD^v<>"[i % 6], mfc="none" if kind != "measured" else f"C{i + 1}", color=f"C{i + 1}",
                ms=st["ms"] * 0.9, elinewidth=st["lw"] * 0.8, capsize=st["ms"] * 0.6, zorder=3,
                label=f"{what}: {short_source(source)}{est}",
            )
    ax.axhline(0.0, color="0.6", linewidth=0.6, zorder=1)
    if mark_roots:
        for label, root in _roots(scan):
            ax.axvline(root.t_kelvin, color="0.35", linestyle="--" if label == "Boyle" else ":",
                       linewidth=st["lw"] * 0.8, zorder=1,
                       label=f"{label} T = {_pm(root.t_kelvin, root.uncertainty)} K")
            if rax is not None:
                rax.axvline(root.t_kelvin, color="0.35", linestyle="--" if label == "Boyle" else ":",
                            linewidth=st["lw"] * 0.8)
    ax.set_ylabel(f"{name} / ({pretty})")
    if st["title"]:
        ax.set_title(_title(scan))
    # B rises with T: the lower right corner is where its curve is not
    ax.legend(fontsize="small", framealpha=0.85, edgecolor="none", loc="lower right" if scan.order == 2 else "best")
    if rax is None:
        ax.set_xlabel("T / K")
        return
    rax.axhline(0.0, color="0.4", linewidth=0.8)
    for kind, mk in (("measured", "o"), ("equation", "s"), ("user", "D")):
        sel = [r for r in rows if r.kind == kind]
        if sel:
            rax.errorbar(
                [r.t_kelvin for r in sel], [r.deviation for r in sel], yerr=[sigmas * r.uncertainty for r in sel],
                fmt=mk, color="k", mfc="none" if kind != "measured" else "k", ms=st["ms"] * 0.8,
                elinewidth=st["lw"] * 0.8, capsize=st["ms"] * 0.6, label=kind,
            )
    if len({r.kind for r in rows}) > 1:
        rax.legend(fontsize="x-small", frameon=False, loc="best", ncols=3)
    rax.set_ylabel(f"model \u2212 ref.\n({pretty})")
    rax.set_xlabel("T / K")


# ``VirialScan.plot()`` draws this figure (the results layer holds only the hook).
register_plotter(plot_scan)
