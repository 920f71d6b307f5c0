"""What the command line prints: the model list, the table of a scan, the comparison with
reference values."""
from __future__ import annotations

import math
from typing import Any


def print_models() -> None:
    from ..models.library import LIBRARY

    width = max(len(n) for n in LIBRARY)
    for name, m in LIBRARY.items():
        sites = " ".join(s.name for s in m.sites)
        noun = "site" if len(m.sites) == 1 else "sites"
        laws = "" if m.laws == {"lj"} else f" [{', '.join(sorted(m.laws))}]"
        print(f"{name:<{width}}  {len(m.sites)} {noun} ({sites})  {m.description}{laws}  -- {m.source}")


def format_value(x: float, s: float) -> str:
    """x +/- s with x given to the decimal place of the second significant digit of s."""
    if not math.isfinite(x):
        return "-"
    if not (s > 0.0 and math.isfinite(s)):
        return f"{x:.6g} +/- {s:g}"
    place = 1 - math.floor(math.log10(s))  # decimals for 2 significant digits of s
    if abs(x) >= 1e9 or place > 9:
        digits = max(math.floor(math.log10(abs(x))) - math.floor(math.log10(s)) + 1, 1) if x != 0.0 else 1
        return f"{x:.{digits}e} +/- {s:.1e}"
    if place <= 0:
        q = 10.0 ** (-place)
        return f"{round(x / q) * q:.0f} +/- {round(s / q) * q:.0f}"
    return f"{x:.{place}f} +/- {s:.{place}f}"


def _fmt(x: float, s: float) -> str:
    return f"{format_value(x, s):>24}"


def print_table(scan: Any) -> None:
    m = scan.molar()
    name = "B" if scan.order == 2 else "C" if scan.order == 3 else f"B{scan.order}"
    if scan.quantum != "none":
        _print_quantum_table(m, name)
        return
    integrated = any(e.error_kind == "integration" for e in scan)
    how = f"value +/- integration error estimate, {scan.method}" if integrated else "mean +/- standard error over runs"
    print(f"{name} of {' + '.join(scan.models)} in {m.unit} ({how})")
    print(f"{'T/K':>9} {'runs':>5}  {name:>24}  {'T d' + name + '/dT':>24}  {'T^2 d2' + name + '/dT2':>24}")
    for e in m:
        print(
            f"{e.t_kelvin:>9.6g} {e.n_runs:>5}  {_fmt(e.value, e.value_stderr)}  "
            f"{_fmt(e.t_dxdt, e.t_dxdt_stderr)}  {_fmt(e.t2_d2xdt2, e.t2_d2xdt2_stderr)}"
        )
    for e in m:
        for note in getattr(e, "notes", ()):
            print(f"  note: T = {e.t_kelvin:g} K: {note}")


def print_reduced(scan: Any) -> None:
    """The table in the reduced units of the scan's one-site Lennard-Jones model."""
    rows = scan.reduced()
    name = "B" if scan.order == 2 else "C" if scan.order == 3 else f"B{scan.order}"
    print()
    print(f"{name}* = {name} / {rows[0].unit} per molecule at T* = kT/epsilon (reduced units of {scan.models[0]})")
    print(f"{'T*':>9}  {name + '*':>24}  {'T* d' + name + '*/dT*':>24}  {'T*^2 d2' + name + '*/dT*2':>24}")
    for r in rows:
        print(f"{r.t_star:>9.5g}  {_fmt(r.value, r.stderr)}  {_fmt(r.t_dxdt, r.t_dxdt_stderr)}  "
              f"{_fmt(r.t2_d2xdt2, r.t2_d2xdt2_stderr)}")


def print_comparison(scan: Any, reference: Any) -> None:
    from ..results.experiment import compare, short_source

    if scan.quantum != "none":
        _print_quantum_comparison(scan, reference)
        return
    rows = compare(scan, reference)
    unit = reference.unit
    name = reference.coefficient
    print()
    print(f"{name} of {' + '.join(scan.models)} beside {reference.name} in {unit}")
    labels: dict[str, str] = {}
    for r in reference.rows:
        if r.source not in labels:
            labels[r.source] = f"[{len(labels) + 1}]"
            basis = {"stated": "uncertainties as stated by the source", "estimated": "uncertainties ESTIMATED by us "
                     "(the source states none for virial coefficients)", "given": "uncertainties as given"}
            print(f"  {labels[r.source]} {r.kind}, {basis.get(r.uncertainty_basis, r.uncertainty_basis)}: {r.source}")
    if not rows:
        print("  no reference temperature inside the scan")
        return
    print(f"{'T/K':>9}  {'model':>24}  {'reference':>24}  {'model - reference':>24}  {'dev/unc':>7}  source")
    for r in rows:
        model_unc = math.hypot(r.model_stderr, r.model_interpolation_error)
        z = r.deviation / r.uncertainty if r.uncertainty > 0 else math.nan
        est = ", u estimated" if r.uncertainty_basis == "estimated" else ""
        print(
            f"{r.t_kelvin:>9.6g}  {_fmt(r.model, model_unc)}  {_fmt(r.experiment, r.experiment_uncertainty)}  "
            f"{_fmt(r.deviation, r.uncertainty)}  {z:>7.2f}  {labels.get(r.source, '')} {r.kind}{est} "
            f"({short_source(r.source)})"
        )


def _print_quantum_table(m: Any, name: str) -> None:
    from ..results.quantum import LABEL

    print(f"{name} of {' + '.join(m.models)} in {m.unit}, {LABEL}: classical + correction = {name} "
          "(mean +/- standard error; the correction's error is its integration error)")
    print(f"{'T/K':>9} {'runs':>5}  {name + ' classical':>24}  {'quantum correction':>24}  "
          f"{name + ' (1st-order corrected)':>24}  {'T d' + name + '/dT':>24}  {'T^2 d2' + name + '/dT2':>24}")
    for e in m:
        print(
            f"{e.t_kelvin:>9.6g} {e.n_runs:>5}  {_fmt(e.classical_value, e.classical_value_stderr)}  "
            f"{_fmt(e.quantum_correction, e.quantum_correction_stderr)}  {_fmt(e.value, e.value_stderr)}  "
            f"{_fmt(e.t_dxdt, e.t_dxdt_stderr)}  {_fmt(e.t2_d2xdt2, e.t2_d2xdt2_stderr)}"
        )
    for e in m:
        for note in e.notes:
            print(f"note at {e.t_kelvin:g} K: {note}")


def _print_quantum_comparison(scan: Any, reference: Any) -> None:
    from ..results.experiment import compare
    from ..results.quantum import classical_scan

    corrected = {r.t_kelvin: r for r in compare(scan, reference)}
    rows = [(r, corrected[r.t_kelvin]) for r in compare(classical_scan(scan), reference) if r.t_kelvin in corrected]
    name = reference.coefficient
    print()
    print(f"{name} of {' + '.join(scan.models)} beside {reference.name} in {reference.unit}: {reference.source}")
    print("classical and first-order quantum corrected; dev/unc = (model - experiment) / combined uncertainty")
    if not rows:
        print("  no reference temperature inside the scan")
        return
    print(f"{'T/K':>9}  {'classical':>24}  {'dev/unc':>7}  {'1st-order corrected':>24}  {'dev/unc':>7}  "
          f"{'experiment':>24}")
    for c, q in rows:
        cells = []
        for r in (c, q):
            z = r.deviation / r.uncertainty if r.uncertainty > 0 else math.nan
            cells.append(f"{_fmt(r.model, math.hypot(r.model_stderr, r.model_interpolation_error))}  {z:>7.2f}")
        print(f"{c.t_kelvin:>9.6g}  {cells[0]}  {cells[1]}  {_fmt(c.experiment, c.experiment_uncertainty)}")
