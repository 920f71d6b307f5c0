"""How results show themselves in a notebook: HTML tables of estimates and scans, and
the hook through which ``VirialScan.plot`` draws the standard figure.

The figure itself is drawn by the front end `vicatools.plot`, which registers its
function here when the package is imported (`register_plotter`), so that this layer
never imports a higher one.
"""
from __future__ import annotations

import html
import math
from typing import Any, Callable, List, Optional, Sequence

_PLOTTER: Optional[Callable[..., Any]] = None


def register_plotter(fn: Callable[..., Any]) -> None:
    """Set the function that draws a scan's standard figure (``fn(scan, path, ax=..., ...)``)."""
    global _PLOTTER
    _PLOTTER = fn


def plot(scan: Any, *args: Any, **kwargs: Any) -> Any:
    """Draw `scan` with the registered plotter (`vicatools.plot.plot_scan`)."""
    if _PLOTTER is None:
        raise RuntimeError("no plotter registered: import vicatools (its plot module registers one)")
    return _PLOTTER(scan, *args, **kwargs)


def number(value: float, error: float) -> str:
    """`value` to the decimal place of the second significant digit of `error`, then its error
    (``-110.88 ± 0.14``); values without a finite positive error keep six significant digits."""
    if not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if not (math.isfinite(error) and error > 0.0):
        return f"{value:.6g}"
    place = math.floor(math.log10(error)) - 1      # decimal exponent of the error's second digit
    digits = max(0, -place)
    if place > 0:
        step = 10.0 ** place
        return f"{round(value / step) * step:.0f} ± {round(error / step) * step:.0f}"
    return f"{value:.{digits}f} ± {error:.{digits}f}"


def _unit(unit: str) -> str:
    pretty = {"angstrom": "Å", "^2": "²", "^3": "³", "^6": "⁶"}
    out = unit
    for k, v in pretty.items():
        out = out.replace(k, v)
    return out


def _rows(estimates: Sequence[Any]) -> List[str]:
    rows = []
    for e in estimates:
        cells = [
            f"{e.t_kelvin:g}",
            str(e.n_runs) if e.error_kind == "statistical" else e.method,
            number(e.value, e.value_stderr),
            number(e.t_dxdt, e.t_dxdt_stderr),
            number(e.t2_d2xdt2, e.t2_d2xdt2_stderr),
        ]
        if not e.converged:
            cells[2] += " (not converged)"
        rows.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>")
    return rows


def _table(estimates: Sequence[Any], caption: str) -> str:
    e0 = estimates[0]
    x = e0.coefficient
    unit = html.escape(_unit(e0.unit))
    statistical = all(e.error_kind == "statistical" for e in estimates)
    second = "runs" if statistical else "method"
    err = "± standard error over runs" if statistical else "± error estimate"
    head = (
        f"<tr><th>T / K</th><th>{second}</th><th>{x} / ({unit})</th><th>T d{x}/dT / ({unit})</th>"
        f"<th>T² d²{x}/dT² / ({unit})</th></tr>"
    )
    return (
        f'<table class="vicatools"><caption>{html.escape(caption)} ({err})</caption>'
        f"<thead>{head}</thead><tbody>{''.join(_rows(estimates))}</tbody></table>"
    )


def estimate_html(e: Any) -> str:
    """An HTML table of one estimate."""
    return _table([e], f"{e.coefficient} at {e.t_kelvin:g} K, {e.method}")


def scan_html(scan: Any) -> str:
    """An HTML table of a scan: one row per temperature, with its models, method and notes."""
    if not scan.estimates:
        return "<p>an empty scan</p>"
    e0 = scan.estimates[0]
    caption = f"{e0.coefficient} of {' + '.join(scan.models)}, {e0.method}"
    notes = sorted({n for e in scan.estimates for n in e.notes})
    extra = "".join(f"<p>{html.escape(n)}</p>" for n in notes)
    return _table(scan.estimates, caption) + extra
