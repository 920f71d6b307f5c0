"""Experimental reference values of B and C, and the model beside them.

The package ships B(T) and C(T) of the library gases (argon, methane, ethane,
nitrogen, carbon dioxide, water) from their reference equations of state, with
citations and estimated uncertainties (``data/experimental.json``, written by
``scripts/make_experimental_data.py`` of the source tree).  Users can bring
their own values as a CSV file of (T in K, value, uncertainty) rows.

`compare` puts a scan beside such a set: at each experimental temperature
inside the scan, the model's value (from the scan's curve, `vicatools.results.curve`,
or from the runs at a scan temperature), the experiment, and the deviation
model - experiment with the combined uncertainty (model standard error,
interpolation error and experimental uncertainty, in quadrature).
"""
from __future__ import annotations

import csv
import json
import math
import pathlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple, Union

if TYPE_CHECKING:
    from .estimate import VirialScan

_DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "experimental.json"
_ALIASES = {"ar": "argon", "ch4": "methane", "c2h6": "ethane", "n2": "nitrogen", "co2": "carbon dioxide",
            "carbon-dioxide": "carbon dioxide", "h2o": "water"}


@dataclass(frozen=True)
class ExperimentalSet:
    """Reference values of one coefficient of one substance.

    Attributes:
        name: the substance (or the file the values came from).
        coefficient: "B" or "C".
        unit: "cm^3/mol" (B) or "cm^6/mol^2" (C).
        points: (T in K, value, uncertainty) rows, by increasing T.
        source: citation of the values.
        note: how the uncertainties were obtained.
    """

    name: str
    coefficient: str
    unit: str
    points: Tuple[Tuple[float, float, float], ...]
    source: str
    note: str = ""

    @property
    def temperatures(self) -> List[float]:
        """Temperatures in K."""
        return [p[0] for p in self.points]


@dataclass(frozen=True)
class ComparisonRow:
    """Model and experiment at one temperature (values in the set's molar unit).

    Attributes:
        t_kelvin: temperature in K.
        model, model_stderr: the model's value and its standard error over runs.
        model_interpolation_error: interpolation error of the model value (0 at scan temperatures).
        experiment, experiment_uncertainty: the reference value and its uncertainty.
        deviation: model - experiment.
        uncertainty: combined uncertainty of the deviation (all three in quadrature).
    """

    t_kelvin: float
    model: float
    model_stderr: float
    model_interpolation_error: float
    experiment: float
    experiment_uncertainty: float
    deviation: float
    uncertainty: float


def _load() -> Dict[str, Any]:
    data: Dict[str, Any] = json.loads(_DATA.read_text(encoding="utf-8"))
    return data


def substances() -> List[str]:
    """Names of the substances with shipped reference values."""
    return list(_load()["fluids"])


def substance_of(name: str) -> Optional[str]:
    """The substance of a library model or substance name (case-insensitive), or None."""
    fluids = _load()["fluids"]
    key = name.strip().lower()
    key = _ALIASES.get(key, key)
    if key in fluids:
        return key
    for fluid, entry in fluids.items():
        if name in entry["models"]:
            return str(fluid)
    return None


def experimental(name: str, coefficient: str = "B") -> ExperimentalSet:
    """Shipped reference values of `coefficient` ("B" or "C") for a substance or library
    model `name` (e.g. "argon", "co2", "trappe-n2", "spce"); ValueError for an unknown one."""
    coefficient = coefficient.upper()
    if coefficient not in ("B", "C"):
        raise ValueError(f"coefficient must be 'B' or 'C', got {coefficient!r}")
    data = _load()
    fluid = substance_of(name)
    if fluid is None:
        raise ValueError(
            f"no reference values for {name!r}; known substances: {', '.join(data['fluids'])} "
            "(or pass your own CSV of T, value, uncertainty)"
        )
    entry = data["fluids"][fluid]
    part = entry[coefficient]
    pts = tuple(sorted((float(t), float(v), float(u)) for t, v, u in part["points"]))
    return ExperimentalSet(fluid, coefficient, str(part["unit"]), pts, str(entry["source"]), str(data["note"]))


def read_csv(path: Union[str, "pathlib.Path"], coefficient: str = "B", source: str = "") -> ExperimentalSet:
    """Your own reference values: a CSV file of rows T (K), value, uncertainty, in cm³/mol
    for B or cm⁶/mol² for C; a first row that is not numeric is taken as a header, and
    empty lines and lines starting with # are skipped.  ValueError on anything else."""
    coefficient = coefficient.upper()
    if coefficient not in ("B", "C"):
        raise ValueError(f"coefficient must be 'B' or 'C', got {coefficient!r}")
    rows: List[Tuple[float, float, float]] = []
    with open(path, newline="", encoding="utf-8") as f:
        for n, row in enumerate(csv.reader(f), start=1):
            cells = [c.strip() for c in row]
            if not cells or not any(cells) or cells[0].startswith("#"):
                continue
            try:
                if len(cells) != 3:
                    raise ValueError(f"expected 3 columns (T, value, uncertainty), got {len(cells)}")
                t, v, u = (float(c) for c in cells)
            except ValueError as exc:
                if n == 1 and not rows and len(cells) == 3:
                    continue  # header
                raise ValueError(f"{path}: line {n}: {exc}") from None
            if not (t > 0.0 and math.isfinite(t)) or not math.isfinite(v) or not (u >= 0.0 and math.isfinite(u)):
                raise ValueError(f"{path}: line {n}: need T > 0, a finite value and an uncertainty >= 0")
            rows.append((t, v, u))
    if not rows:
        raise ValueError(f"{path}: no data rows (T, value, uncertainty)")
    unit = "cm^3/mol" if coefficient == "B" else "cm^6/mol^2"
    return ExperimentalSet(str(path), coefficient, unit, tuple(sorted(rows)), source or str(path), "given by the user")


def compare(scan: VirialScan, data: ExperimentalSet) -> List[ComparisonRow]:
    """The scan beside `data` at every reference temperature the scan covers (a scan
    temperature, or inside the scan when it has two or more temperatures and
    ``order_max`` >= 2); molar units."""
    name = "B" if scan.order == 2 else "C"
    if data.coefficient != name:
        raise ValueError(f"the scan is of {name} but the reference values are of {data.coefficient}")
    m = scan.molar()
    at_nodes = {e.t_kelvin: e for e in m.estimates}
    curve = None
    if len(at_nodes) >= 2 and scan.order_max >= 2:
        curve = m.interpolant()
    out: List[ComparisonRow] = []
    for t, v, u in data.points:
        if t in at_nodes:
            e = at_nodes[t]
            x, sx, ie = e.value, e.value_stderr, 0.0
        elif curve is not None and curve.t_min <= t <= curve.t_max:
            p = curve(t)
            x, sx, ie = p.value, p.value_stderr, p.interpolation_error
        else:
            continue
        out.append(ComparisonRow(t, x, sx, ie, v, u, x - v, math.sqrt(sx * sx + ie * ie + u * u)))
    return out
