"""CSV and JSON files of a scan, and scans read back from a results store.

CSV: a header row and one row per temperature with the columns of
`CSV_COLUMNS`, in cm³/mol for B and cm⁶/mol² for C (the names are the same for
both: ``b`` is the coefficient, ``t_dbdt`` its T dX/dT, ``t2_d2bdt2`` its
T² d²X/dT², each with its standard error; ``runs`` is the number of runs).

JSON: ``{"model": ..., "models": [...], "coefficient": "B2" | "B3", "unit": ...,
"entries_unit": ..., "dev_tol": ..., "order_max": ..., "mixing": ..., "u_min": ...,
"temperatures": [{"t_kelvin": T, "runs": [[entries of run 1], ...], "cpu_seconds": [...],
"n_runs": n, "b": ..., "b_stderr": ..., ...}, ...]}`` where ``runs`` holds every run's entries as
`vica` returned them (per molecule, Å³ or Å⁶, ``entries_unit``), ``cpu_seconds``
each run's CPU time in s, and the other
keys of a temperature are those of the CSV row, in ``unit``; ``results`` (when the runs
were stored) is the path of the results store.  Values that are not
finite (a derivative beyond ``order_max``, u_min = -inf: no floor) are null.

`read_store` reads a results store (`vicatools.store`) back into a `VirialScan`.
"""
from __future__ import annotations

import csv
import json
import math
import pathlib
from typing import Any, Dict, List, Optional, Union

from .estimate import VirialEstimate, VirialScan
from .store import RunRecord, read_records
from .umin import UMinChoice
from .units import molar_unit, molecular_unit

CSV_COLUMNS = ("t_kelvin", "runs", "b", "b_stderr", "t_dbdt", "t_dbdt_stderr", "t2_d2bdt2", "t2_d2bdt2_stderr")
"""Columns of the CSV file, in this order."""


def _finite(x: float) -> Optional[float]:
    return x if math.isfinite(x) else None


def estimate_row(e: VirialEstimate) -> Dict[str, Any]:
    """The CSV row of an estimate (molar units) as a dictionary."""
    m = e.molar()
    return {
        "t_kelvin": m.t_kelvin,
        "runs": m.n_runs,
        "b": m.value,
        "b_stderr": m.value_stderr,
        "t_dbdt": m.t_dxdt,
        "t_dbdt_stderr": m.t_dxdt_stderr,
        "t2_d2bdt2": m.t2_d2xdt2,
        "t2_d2bdt2_stderr": m.t2_d2xdt2_stderr,
    }


def write_csv(scan: VirialScan, path: Union[str, pathlib.Path]) -> None:
    """Write the scan as CSV (see the module doc)."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(CSV_COLUMNS)
        for e in scan:
            row = estimate_row(e)
            w.writerow([row[c] if c == "runs" else repr(float(row[c])) for c in CSV_COLUMNS])


def scan_to_dict(scan: VirialScan) -> Dict[str, Any]:
    """The JSON form of a scan (see the module doc)."""
    temps: List[Dict[str, Any]] = []
    for e in scan:
        row = estimate_row(e)
        item: Dict[str, Any] = {
            "t_kelvin": e.t_kelvin,
            "runs": [[_finite(x) for x in r] for r in e.runs],
            "n_runs": row.pop("runs"),
        }
        if e.cpu_seconds:
            item["cpu_seconds"] = list(e.cpu_seconds)
        row.pop("t_kelvin")
        item.update({k: _finite(v) for k, v in row.items()})
        temps.append(item)
    out: Dict[str, Any] = {
        "model": " + ".join(scan.models),
        "models": list(scan.models),
        "coefficient": f"B{scan.order}",
        "unit": molar_unit(scan.order),
        "entries_unit": molecular_unit(scan.order) + " per molecule",
        "dev_tol": scan.dev_tol,
        "order_max": scan.order_max,
        "mixing": scan.mixing,
        "u_min": None
        if scan.u_min is None
        else {"kelvin": _finite(scan.u_min.value), "origin": scan.u_min.origin, "reason": scan.u_min.reason},
        "temperatures": temps,
    }
    if scan.results is not None:
        out["results"] = scan.results
    return out


def write_json(scan: VirialScan, path: Union[str, pathlib.Path]) -> None:
    """Write the scan as JSON (see the module doc)."""
    pathlib.Path(path).write_text(json.dumps(scan_to_dict(scan), indent=2, allow_nan=False) + "\n", encoding="utf-8")


def read_store(path: Union[str, pathlib.Path], settings_key: Optional[str] = None) -> VirialScan:
    """The scan held by a results store (`vicatools.store`): one estimate per temperature
    with at least 2 successful runs, in the order the temperatures first appear, from all
    its successful runs (failed runs are left out).

    A store holds the runs of one scan unless several scans were pointed at the same
    file; then `settings_key` (a record's ``settings_key``) chooses one, and leaving it
    out raises ValueError listing the keys.  Raises ValueError when no temperature has 2
    successful runs."""
    records = [r for r in read_records(path) if r.ok]
    keys: Dict[str, RunRecord] = {}
    for r in records:
        keys.setdefault(r.key, r)
    if settings_key is None:
        if len(keys) > 1:
            listing = "; ".join(
                f"{k}: B{r.settings.order} of {' + '.join(m.name for m in r.settings.models)}, "
                f"dev_tol {r.settings.dev_tol:g}, order_max {r.settings.order_max}, u_min {r.settings.u_min:g} K"
                for k, r in keys.items()
            )
            raise ValueError(f"{str(path)!r} holds runs of {len(keys)} scans; choose one by settings_key: {listing}")
        settings_key = next(iter(keys), None)
    chosen = [r for r in records if r.key == settings_key]
    by_t: Dict[float, List[RunRecord]] = {}
    for r in chosen:
        by_t.setdefault(r.t_kelvin, []).append(r)
    usable = {t: rs for t, rs in by_t.items() if len(rs) >= 2}
    if not usable:
        raise ValueError(f"{str(path)!r} holds no temperature with 2 successful runs")
    s = chosen[0].settings
    unit = molecular_unit(s.order)
    estimates = tuple(
        VirialEstimate.from_runs(s.order, t, [r.entries for r in rs], unit, [r.cpu_seconds for r in rs])
        for t, rs in usable.items()
    )
    names = [m.name for m in s.models]
    same = all(m == s.models[0] for m in s.models)
    return VirialScan(
        order=s.order,
        models=(names[0],) if same else tuple(names),
        estimates=estimates,
        dev_tol=s.dev_tol,
        order_max=s.order_max,
        mixing=s.mixing,
        u_min=UMinChoice(s.u_min, "stored", "read from the results store") if s.order == 2 else None,
        results=str(path),
    )
