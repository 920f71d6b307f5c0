"""CSV and JSON files of a scan, and scans read back from a results store.

CSV: a header row and one row per temperature with the columns of
`csv_columns` (`CSV_COLUMNS` for B, `CSV_COLUMNS_C` for C), in cm³/mol for B and
cm⁶/mol² for C: ``b`` (``c``) is the coefficient, ``t_dbdt`` (``t_dcdt``) its
T dX/dT, ``t2_d2bdt2`` (``t2_d2cdt2``) its T² d²X/dT², each with its standard
error; ``runs`` is the number of runs.

JSON: ``{"model": ..., "models": [...], "coefficient": "B2" | "B3" | ... | "B8", "unit": ...,
"entries_unit": ..., "dev_tol": ..., "order_max": ..., "mixing": ..., "u_min": ..., "core": ...,
"reference_padding_angstrom": a, "reference_padding": {"origin": ..., "reason": ...},
"temperatures": [{"t_kelvin": T, "runs": [[entries of run 1], ...], "cpu_seconds": [...],
"n_runs": n, "b": ..., "b_stderr": ..., ...}, ...]}`` where ``runs`` holds every run's entries as
`vica` returned them (per molecule, Å³ or Å⁶, ``entries_unit``), ``cpu_seconds``
each run's CPU time in s, and the other
keys of a temperature are those of the CSV row, in ``unit``; ``results`` (when the runs
were stored) is the path of the results store.  Values that are not
finite (a derivative beyond ``order_max``, u_min = -inf: no floor) are null.
``core`` is null or ``{"angstrom": d, "pairs": [[site, site], ...], "origin": ...,
"reason": ...}`` (`vicatools.models.cores`).  `read_json` gives the scan back from the
runs' entries.

With the first-order quantum correction (``quantum`` "first-order"), B is the corrected
value, the CSV and each temperature of the JSON add the columns ``quantum``,
``b_classical``, ``b_classical_stderr``, ``b_quantum_correction`` and
``b_quantum_correction_stderr``, the JSON's runs hold the corrected entries, and
``quantum_entries`` / ``quantum_errors`` the correction's entries (per molecule) with
their error estimates.

`read_store` reads a results store (`vicatools.scan.store`) back into a `VirialScan`.
"""
from __future__ import annotations

import contextlib
import csv
import json
import math
import os
import pathlib
import stat
import tempfile
from dataclasses import replace
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple, Union

from .models.cores import CoreChoice
from .models.padding import PaddingChoice
from .results.estimate import VirialEstimate, VirialScan
from .results.integral_curve import grid_estimates
from .results.quantum import classical, corrected
from .results.rows import CSV_COLUMNS, CSV_COLUMNS_C, QUANTUM_COLUMNS, csv_columns, estimate_row
from .methods import method_of
from .scan.store import RunRecord, trusted_records, warn_skipped
from .models.floors import UMinChoice
from .models.units import molar_unit, molecular_unit

def _finite(x: float) -> Optional[float]:
    return x if math.isfinite(x) else None


@contextlib.contextmanager
def replaced(path: Union[str, "os.PathLike[str]"], mode: str = "w", **kwargs: Any) -> Iterator[IO[Any]]:
    """Write a file whole or not at all: yields a temporary file beside `path` (its real path
    when it is a link), which is flushed to disk and renamed onto `path` when the block ends
    without an exception, and removed otherwise.  A full disk or an interruption never leaves a
    truncated file, and an earlier file at `path` stays as it was until the new one is complete.
    A `path` that is a pipe or a device is written directly."""
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        regular = True  # a new file
    if not regular:
        # a pipe or a device (/dev/stdout, a shell's process substitution): nothing to rename onto
        with open(path, mode, **kwargs) as direct:
            yield direct
        return
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder or ".")
    try:
        try:
            os.fchmod(fd, os.stat(target).st_mode & 0o7777)  # an existing file keeps its permissions
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, mode, **kwargs) as f:
            fd = -1
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
        tmp = ""
    finally:
        if fd >= 0:
            os.close(fd)
        if tmp:
            with contextlib.suppress(OSError):
                os.unlink(tmp)


def write_csv(scan: VirialScan, path: Union[str, pathlib.Path]) -> None:
    """Write the scan as CSV (see the module doc), whole or not at all (`replaced`)."""
    with replaced(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        columns = csv_columns(scan.order) + (QUANTUM_COLUMNS if scan.quantum != "none" else ())
        w.writerow(columns)
        for e in scan:
            row = estimate_row(e)
            w.writerow([row[c] if c in ("runs", "quantum") else repr(float(row[c])) for c in columns])


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
        if e.run_ids:
            item["run_ids"] = list(e.run_ids)  # runs that served several temperatures: the correlation
        if e.notes:
            item["notes"] = list(e.notes)  # how the runs ended (zero crossings, a run far out, ...)
        if e.error_kind == "integration":  # one run: its entries' error estimates, not a spread
            item["error_kind"] = "integration"
            item["method"] = e.method
            item["converged"] = e.converged
            item["entry_errors"] = [_finite(x) for x in classical(e).entries_stderr]
        if e.quantum != "none":
            item["quantum_entries"] = [_finite(x) for x in e.quantum_entries]
            item["quantum_errors"] = [_finite(x) for x in e.quantum_errors]
        row.pop("t_kelvin")
        item.update({k: v if isinstance(v, str) else _finite(v) for k, v in row.items()})
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
        "reference_padding_angstrom": None if scan.reference_padding is None else scan.reference_padding.angstrom,
        "reference_padding": None
        if scan.reference_padding is None
        else {"origin": scan.reference_padding.origin, "reason": scan.reference_padding.reason},
        "core": None
        if scan.core is None
        else {
            "angstrom": scan.core.distance,
            "pairs": [list(p) for p in scan.core.pairs],
            "origin": scan.core.origin,
            "reason": scan.core.reason,
        },
        "temperatures": temps,
    }
    if scan.quantum != "none":
        out["quantum"] = scan.quantum
    if scan.integral_grid:  # the integral at extra temperatures, for the curve (per molecule)
        out["integral_grid"] = [{"t_kelvin": g.t_kelvin, "entries": [_finite(x) for x in g.runs[0]],
                                 "entry_errors": [_finite(x) for x in g.entries_stderr]}
                                for g in (g.to(molecular_unit(scan.order)) for g in scan.integral_grid)]
    if scan.results is not None:
        out["results"] = scan.results
    return out


def write_json(scan: VirialScan, path: Union[str, pathlib.Path]) -> None:
    """Write the scan as JSON (see the module doc), whole or not at all (`replaced`)."""
    text = json.dumps(scan_to_dict(scan), indent=2, allow_nan=False) + "\n"
    with replaced(path, "w", encoding="utf-8") as f:
        f.write(text)


def scan_from_dict(data: Dict[str, Any]) -> VirialScan:
    """The scan of a dictionary in the JSON form of `scan_to_dict`, rebuilt from
    the runs' entries (per molecule, as written); ValueError on a malformed one."""
    try:
        coefficient = data["coefficient"]
        if coefficient not in [f"B{n}" for n in range(2, 9)]:
            raise ValueError(f"coefficient must be one of B2 to B8, got {coefficient!r}")
        order = int(coefficient[1])
        unit = molecular_unit(order)
        estimates = []
        quantum = data.get("quantum", "none")
        for item in data["temperatures"]:
            runs = [[float(x) for x in r] for r in item["runs"]]
            q = [float(x) for x in item["quantum_entries"]] if quantum != "none" else []
            runs = [[x - y for x, y in zip(r, q)] for r in runs] if q else runs  # the classical runs
            if item.get("error_kind") == "integration":
                errs = [math.nan if x is None else float(x) for x in item["entry_errors"]]
                e = VirialEstimate.from_integral(order, float(item["t_kelvin"]), runs[0], errs, unit,
                                                 math.fsum(item.get("cpu_seconds", ())), bool(item["converged"]),
                                                 "", str(item.get("method", "cubature")))
            else:
                e = VirialEstimate.from_runs(order, float(item["t_kelvin"]), runs, unit, item.get("cpu_seconds", ()),
                                             run_ids=[str(i) for i in item.get("run_ids", ())])
            if q:
                e = corrected(e, q, [float(x) for x in item["quantum_errors"]])
            if item.get("notes"):
                e = replace(e, notes=tuple(str(n) for n in item["notes"]))
            estimates.append(e)
        if not estimates:
            raise ValueError("no temperature in the file")
        u = data.get("u_min")
        u_min = None
        if u is not None:
            kelvin = u["kelvin"]
            u_min = UMinChoice(-math.inf if kelvin is None else float(kelvin), str(u["origin"]), str(u["reason"]))
        c = data.get("core")
        core = None
        if c is not None:
            core = CoreChoice(
                float(c["angstrom"]), tuple((str(a), str(b)) for a, b in c["pairs"]), str(c["origin"]),
                str(c["reason"]),
            )
        padding = None
        if data.get("reference_padding_angstrom") is not None:
            why = data.get("reference_padding") or {"origin": "given", "reason": "read from a file"}
            padding = PaddingChoice(float(data["reference_padding_angstrom"]), str(why["origin"]), str(why["reason"]))
        grid = grid_estimates([(float(g["t_kelvin"]), [float(x) for x in g["entries"]],
                                [math.nan if x is None else float(x) for x in g["entry_errors"]])
                               for g in data.get("integral_grid", ())], order, unit, "cubature")
        return VirialScan(
            order=order,
            models=tuple(str(m) for m in data["models"]),
            estimates=tuple(estimates),
            integral_grid=grid,
            dev_tol=float(data["dev_tol"]),
            order_max=int(data["order_max"]),
            mixing=str(data["mixing"]),
            u_min=u_min,
            core=core,
            reference_padding=padding,
        )
    except (KeyError, TypeError, IndexError) as exc:
        raise ValueError(f"not a vicatools scan: missing or malformed field {exc}") from None


def read_json(path: Union[str, pathlib.Path]) -> VirialScan:
    """The scan written by `write_json` to `path`."""
    return scan_from_dict(json.loads(pathlib.Path(path).read_text(encoding="utf-8")))
def read_store(path: Union[str, pathlib.Path], settings_key: Optional[str] = None) -> VirialScan:
    """The scan held by a results store (`vicatools.scan.store`): one estimate per temperature
    with at least 2 successful runs, in the order the temperatures first appear, from all
    its successful runs (failed runs are left out).  For an integration one record is the
    estimate (the latest, if several), and the scan keeps the extra temperatures its passes
    integrated for the curve.

    A store holds the runs of one scan unless several scans were pointed at the same
    file; then `settings_key` (a record's ``settings_key``) chooses one, and leaving it
    out raises ValueError listing the keys.  Raises ValueError when no temperature has 2
    successful runs."""
    trusted, skipped = trusted_records(path)
    warn_skipped(path, skipped, "left out of the scan")
    records = [r for r in trusted if r.ok]
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
    seen = set()
    for r in chosen:
        if r.run_id:  # a walk that served a temperature twice counts there once
            if (r.t_kelvin, r.run_id) in seen:
                continue
            seen.add((r.t_kelvin, r.run_id))
        by_t.setdefault(r.t_kelvin, []).append(r)
    s = chosen[0].settings if chosen else None
    try:
        method = method_of(s.engine) if s is not None else None
    except ValueError:
        method = None
    # an integration gives a temperature's estimate in one record (the latest counts)
    integrated = method is not None and method.error == "integration"
    usable = {t: rs for t, rs in by_t.items() if len(rs) >= (1 if integrated else 2)}
    if s is None or not usable:
        raise ValueError(f"{str(path)!r} holds no temperature with 2 successful runs")
    unit = molecular_unit(s.order)
    if integrated and method is not None:
        estimates = tuple(
            VirialEstimate.from_integral(s.order, t, rs[-1].entries, rs[-1].errors, unit, rs[-1].cpu_seconds,
                                         rs[-1].converged, rs[-1].note, method.name)
            for t, rs in usable.items()
        )
        grid = grid_estimates([row for r in chosen for row in r.curve], s.order, unit, method.name)
    else:
        estimates = tuple(
            VirialEstimate.from_runs(s.order, t, [r.entries for r in rs], unit, [r.cpu_seconds for r in rs],
                                     method=method.name if method is not None else "mayer",
                                     run_ids=[r.run_id for r in rs])
            for t, rs in usable.items()
        )
        grid = ()
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
        reference_padding=PaddingChoice(s.length_unit, "stored", "read from the results store"),
        core=None if s.core == 0.0 else CoreChoice(s.core, (), "stored", "read from the results store"),
        results=str(path),
        method=method.name if method is not None else "mayer",
        integral_grid=grid,
    )
