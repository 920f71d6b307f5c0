"""Experimental reference values of B and C, and the model beside them.

The package ships reference values of the library gases (argon, neon, methane, ethane,
nitrogen, carbon dioxide, water) in sets of two kinds (``data/experimental.json``,
written by ``scripts/make_experimental_data.py`` of the source tree):

* "measured": B from measurements, each value with the uncertainty its compilation
  (Dymond et al., Landolt-Börnstein IV/21A, 2002; Dymond and Smith, 1980) states
  for it, cited per set of the original measurement;
* "equation": B and C from the gas's reference equation of state, whose papers
  state no uncertainty of virial coefficients: the uncertainty there is our own,
  conservative estimate and is marked "estimated".

By default B is compared with the measured sets (`default_sources`), C with the
equation; ``source="equation"``, ``"measured"`` or set keys (`sources`) choose
others.  Every point and every comparison row says its kind, whether its
uncertainty is stated or estimated, and its citation.  Users can bring their own
values as a CSV file of (T in K, value, uncertainty) rows.

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
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:
    from .estimate import VirialScan

KINDS = ("measured", "equation", "user")
"""Kinds of reference values: from measurements, from a reference equation of state, or given by the user."""


@dataclass(frozen=True)
class ReferencePoint:
    """One reference value with where it comes from.

    Attributes:
        t_kelvin, value, uncertainty: T in K, the value and its uncertainty in the set's unit.
        kind: "measured", "equation" or "user" (`KINDS`).
        uncertainty_basis: "stated" (by the source), "estimated" (by us, see the set's note)
            or "given" (by the user).
        source: citation of the value.
        set_key: key of its set in the shipped data ("" for the user's).
    """

    t_kelvin: float
    value: float
    uncertainty: float
    kind: str
    uncertainty_basis: str
    source: str
    set_key: str = ""

_DATA = pathlib.Path(__file__).resolve().parent.parent / "data" / "experimental.json"
_ALIASES = {"ar": "argon", "ne": "neon", "ch4": "methane", "c2h6": "ethane", "n2": "nitrogen", "co2": "carbon dioxide",
            "carbon-dioxide": "carbon dioxide", "h2o": "water"}


@dataclass(frozen=True)
class ExperimentalSet:
    """Reference values of one coefficient of one substance.

    Attributes:
        name: the substance (or the file the values came from).
        coefficient: "B" or "C".
        unit: "cm^3/mol" (B) or "cm^6/mol^2" (C).
        points: (T in K, value, uncertainty) rows, by increasing T.
        source: citation of the values (of every set, joined by "; ").
        note: how the uncertainties were obtained.
        references: the points with their kind, uncertainty basis and citation, in the
            order of `points` (empty for sets made before they existed: see `rows`).
    """

    name: str
    coefficient: str
    unit: str
    points: Tuple[Tuple[float, float, float], ...]
    source: str
    note: str = ""
    references: Tuple[ReferencePoint, ...] = ()

    @property
    def rows(self) -> Tuple[ReferencePoint, ...]:
        """The points with their provenance (a set without `references` is taken as given by the user)."""
        if len(self.references) == len(self.points):
            return self.references
        return tuple(ReferencePoint(t, v, u, "user", "given", self.source) for t, v, u in self.points)

    @property
    def temperatures(self) -> List[float]:
        """Temperatures in K (each once, increasing)."""
        return sorted({p[0] for p in self.points})

    @property
    def kind(self) -> str:
        """"measured", "equation", "user", or "mixed" when the set joins several kinds."""
        kinds = {r.kind for r in self.rows}
        return kinds.pop() if len(kinds) == 1 else "mixed"


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
        kind, uncertainty_basis, source: of the reference value (`ReferencePoint`).
        unit: the unit of every value of the row (that of the reference set).
    """

    t_kelvin: float
    model: float
    model_stderr: float
    model_interpolation_error: float
    experiment: float
    experiment_uncertainty: float
    deviation: float
    uncertainty: float
    kind: str = "user"
    uncertainty_basis: str = "given"
    source: str = ""
    unit: str = ""

    @property
    def z(self) -> float:
        """deviation / uncertainty (NaN when the uncertainty is 0)."""
        return self.deviation / self.uncertainty if self.uncertainty > 0.0 else math.nan


_AUTHOR = re.compile(r"^(?:[A-Z][a-z]?\.[ -]?)+\s*[A-Z][^\s,;:()0-9]+(?: [A-Z][^\s,;:()0-9]+)*$")


def short_source(citation: str) -> str:
    """A short label of a citation: "Ewing & Trusler 1992", "Tegeler et al. 1999", or the
    name before a colon ("IAPWS-95"); the citation itself when it has no such form."""
    first = citation.split(";")[0].strip()
    if ":" in first.split(",")[0]:
        return first.split(":")[0].strip()
    parts = [p.strip() for p in first.split(",")]
    authors = []
    for part in parts:
        if not _AUTHOR.match(part):
            break
        authors.append(part.split()[-1])
    years = re.findall(r"\((\d{4})\)", first)
    if not authors or not years:
        return first
    names = authors[0] if len(authors) == 1 else " & ".join(authors) if len(authors) == 2 else f"{authors[0]} et al."
    return f"{names} {years[-1]}"


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


def _part(name: str, coefficient: str) -> Tuple[str, Dict[str, Any]]:
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
    part: Dict[str, Any] = data["fluids"][fluid][coefficient]
    return fluid, part


def sources(name: str, coefficient: str = "B") -> List[Tuple[str, str, str, str]]:
    """The shipped sets of `coefficient` for a substance or library model: (key, kind,
    uncertainty basis, citation) each, the default ones marked by a "*" after the key."""
    _, part = _part(name, coefficient)
    return [
        (k + ("*" if k in part["default"] else ""), s["kind"], s["uncertainty"], s["source"])
        for k, s in part["sets"].items()
    ]


def default_sources(name: str, coefficient: str = "B") -> List[str]:
    """Keys of the sets `experimental` compares with by default."""
    return list(_part(name, coefficient)[1]["default"])


def experimental(
    name: str, coefficient: str = "B", source: Union[None, str, Sequence[str]] = None
) -> ExperimentalSet:
    """Shipped reference values of `coefficient` ("B" or "C") for a substance or library
    model `name` (e.g. "argon", "co2", "trappe-n2", "spce"); ValueError for an unknown one.

    `source` picks the sets: None for the default ones (measured B where shipped, else the
    equation), "measured" or "equation" for every set of that kind, or set keys (`sources`)."""
    fluid, part = _part(name, coefficient)
    sets: Dict[str, Any] = part["sets"]
    if source is None:
        keys = list(part["default"])
    elif isinstance(source, str) and source in ("measured", "equation"):
        keys = [k for k, s in sets.items() if s["kind"] == source]
        if not keys:
            raise ValueError(f"no {source} values of {coefficient.upper()} for {fluid}")
    else:
        keys = [source] if isinstance(source, str) else list(source)
        unknown = [k for k in keys if k not in sets]
        if unknown or not keys:
            raise ValueError(
                f"unknown reference set(s) {', '.join(map(repr, unknown)) or '(none)'} for {fluid}; "
                f"known: {', '.join(sets)}"
            )
    refs = sorted(
        (
            ReferencePoint(float(t), float(v), float(u), sets[k]["kind"], sets[k]["uncertainty"], sets[k]["source"], k)
            for k in keys
            for t, v, u in sets[k]["points"]
        ),
        key=lambda r: (r.t_kelvin, r.set_key),
    )
    notes = "; ".join(f"{k}: {sets[k]['kind']}, {sets[k]['note']}" for k in keys)
    return ExperimentalSet(
        fluid,
        coefficient.upper(),
        str(part["unit"]),
        tuple((r.t_kelvin, r.value, r.uncertainty) for r in refs),
        "; ".join(sets[k]["source"] for k in keys),
        notes,
        tuple(refs),
    )


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
    pts = tuple(sorted(rows))
    cite = source or str(path)
    refs = tuple(ReferencePoint(t, v, u, "user", "given", cite) for t, v, u in pts)
    return ExperimentalSet(str(path), coefficient, unit, pts, cite, "given by the user", refs)


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
    for ref in data.rows:
        t, v, u = ref.t_kelvin, ref.value, ref.uncertainty
        if t in at_nodes:
            e = at_nodes[t]
            x, sx, ie = e.value, e.value_stderr, 0.0
        elif curve is not None and curve.t_min <= t <= curve.t_max:
            p = curve(t)
            x, sx, ie = p.value, p.value_stderr, p.interpolation_error
        else:
            continue
        out.append(
            ComparisonRow(
                t, x, sx, ie, v, u, x - v, math.sqrt(sx * sx + ie * ie + u * u), ref.kind, ref.uncertainty_basis,
                ref.source, data.unit,
            )
        )
    return out
