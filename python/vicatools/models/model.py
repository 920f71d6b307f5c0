"""Rigid interaction-site models: the `Site` and `Model` records and their files.

A model is a rigid set of sites, each with a position (Å), Lennard-Jones
parameters epsilon/k_B (K) and sigma (Å), and a point charge (e).  A site
with epsilon = 0 or sigma = 0 has no Lennard-Jones core.

Model files are JSON or TOML (chosen by the suffix ``.json`` / ``.toml``)::

    name = "my-co2"
    source = "who published the parameters"
    u_min = -5000.0          # optional energy floor, in the energy unit below (-inf: none)
    u_min_reason = "why"     # optional

    [units]                  # optional; these are the defaults
    energy = "K"             # "K", "kJ/mol" or "kcal/mol" (for epsilon and u_min)
    length = "angstrom"      # "angstrom" or "nm" (for position and sigma)

    [[sites]]
    name = "C"
    position = [0.0, 0.0, 0.0]
    epsilon = 27.0
    sigma = 2.80
    charge = 0.70

Every site needs all five fields; unknown fields are refused so that a typo
does not pass silently.  Models are saved in K and Å.
"""
from __future__ import annotations

import json
import math
import pathlib
import sys
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

from . import units

PathLike = Union[str, "pathlib.Path"]


class ModelFileError(ValueError):
    """A model file (or dictionary) that cannot be read as a model; the message names the field."""


@dataclass(frozen=True)
class Site:
    """One interaction site.

    Attributes:
        name: label of the site (for humans only).
        position: (x, y, z) in Å, in the molecule's own frame.
        epsilon: Lennard-Jones well depth epsilon/k_B in K (0: no core).
        sigma: Lennard-Jones diameter in Å (0: no core).
        charge: point charge in elementary charges e.
    """

    name: str
    position: Tuple[float, float, float]
    epsilon: float = 0.0
    sigma: float = 0.0
    charge: float = 0.0

    def __post_init__(self) -> None:
        pos = tuple(float(x) for x in self.position)
        if len(pos) != 3 or not all(math.isfinite(x) for x in pos):
            raise ValueError(f"site {self.name!r}: position must be three finite numbers, got {self.position!r}")
        object.__setattr__(self, "position", pos)
        for attr in ("epsilon", "sigma", "charge"):
            value = float(getattr(self, attr))
            if not math.isfinite(value):
                raise ValueError(f"site {self.name!r}: {attr} must be finite, got {value!r}")
            if attr != "charge" and value < 0.0:
                raise ValueError(f"site {self.name!r}: {attr} must not be negative, got {value!r}")
            object.__setattr__(self, attr, value)

    @property
    def has_core(self) -> bool:
        """True when the site has a Lennard-Jones core (epsilon > 0 and sigma > 0)."""
        return self.epsilon > 0.0 and self.sigma > 0.0


@dataclass(frozen=True)
class Model:
    """A rigid molecule of interaction sites.

    Attributes:
        name: short name (library key or the file's ``name``).
        sites: the sites, in order.
        source: citation of the parameters.
        u_min: recommended energy floor for `vica.Bms` in K, or None when the
            model carries none (then `vicatools.models.floors.choose_u_min` derives one).
        u_min_reason: why that floor.
    """

    name: str
    sites: Tuple[Site, ...]
    source: str = ""
    u_min: Optional[float] = None
    u_min_reason: str = ""

    def __post_init__(self) -> None:
        object.__setattr__(self, "sites", tuple(self.sites))
        if not self.sites:
            raise ValueError(f"model {self.name!r} has no sites")
        if self.u_min is not None:
            object.__setattr__(self, "u_min", float(self.u_min))

    @property
    def positions(self) -> list[list[float]]:
        """Site positions as a list of [x, y, z] in Å, the shape `vica` takes."""
        return [list(s.position) for s in self.sites]

    @property
    def net_charge(self) -> float:
        """Sum of the site charges in e."""
        return math.fsum(s.charge for s in self.sites)

    def centred(self) -> list[list[float]]:
        """Site positions in Å relative to the unweighted centroid of the sites."""
        n = len(self.sites)
        c = [math.fsum(s.position[k] for s in self.sites) / n for k in range(3)]
        return [[s.position[k] - c[k] for k in range(3)] for s in self.sites]


_SITE_FIELDS = ("name", "position", "epsilon", "sigma", "charge")
_MODEL_FIELDS = ("name", "source", "u_min", "u_min_reason", "units", "sites")


def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ModelFileError(f"field {where!r} must be a number, got {value!r}")
    x = float(value)
    if not math.isfinite(x):
        raise ModelFileError(f"field {where!r} must be finite, got {value!r}")
    return x


def _text(value: Any, where: str) -> str:
    if not isinstance(value, str):
        raise ModelFileError(f"field {where!r} must be text, got {value!r}")
    return value


def model_from_dict(data: Mapping[str, Any]) -> Model:
    """Build a `Model` from the dictionary form of a model file (see the module doc).

    Raises `ModelFileError` naming the first missing or wrong field.
    """
    if not isinstance(data, Mapping):
        raise ModelFileError("a model must be a table/object with fields " + ", ".join(_MODEL_FIELDS))
    for key in data:
        if key not in _MODEL_FIELDS:
            raise ModelFileError(f"unknown field {key!r} (fields: {', '.join(_MODEL_FIELDS)})")
    if "name" not in data:
        raise ModelFileError("field 'name' is missing")
    name = _text(data["name"], "name")
    source = _text(data.get("source", ""), "source")
    unit_table = data.get("units", {})
    if not isinstance(unit_table, Mapping):
        raise ModelFileError(f"field 'units' must be a table with 'energy' and 'length', got {unit_table!r}")
    for key in unit_table:
        if key not in ("energy", "length"):
            raise ModelFileError(f"unknown field 'units.{key}' (fields: energy, length)")
    try:
        e_factor = units.energy_factor(_text(unit_table.get("energy", "K"), "units.energy"))
    except ValueError as exc:
        raise ModelFileError(f"field 'units.energy': {exc}") from None
    try:
        l_factor = units.length_factor(_text(unit_table.get("length", "angstrom"), "units.length"))
    except ValueError as exc:
        raise ModelFileError(f"field 'units.length': {exc}") from None
    u_min: Optional[float] = None
    if "u_min" in data:
        raw_floor = data["u_min"]
        if isinstance(raw_floor, float) and raw_floor == -math.inf:
            u_min = -math.inf  # no floor (-inf in TOML, -Infinity in JSON)
        else:
            u_min = _number(raw_floor, "u_min") * e_factor
        if not u_min < 0.0:
            raise ModelFileError(f"field 'u_min' must be below 0, got {data['u_min']!r}")
    reason = _text(data.get("u_min_reason", ""), "u_min_reason")
    if "sites" not in data:
        raise ModelFileError("field 'sites' is missing")
    raw_sites = data["sites"]
    if isinstance(raw_sites, (str, Mapping)) or not isinstance(raw_sites, Sequence) or not raw_sites:
        raise ModelFileError("field 'sites' must be a non-empty list of sites")
    sites = []
    for i, raw in enumerate(raw_sites):
        where = f"sites[{i}]"
        if not isinstance(raw, Mapping):
            raise ModelFileError(f"field {where!r} must be a table with fields {', '.join(_SITE_FIELDS)}")
        for key in raw:
            if key not in _SITE_FIELDS:
                raise ModelFileError(f"unknown field '{where}.{key}' (fields: {', '.join(_SITE_FIELDS)})")
        for key in _SITE_FIELDS:
            if key not in raw:
                raise ModelFileError(f"field '{where}.{key}' is missing")
        pos = raw["position"]
        if isinstance(pos, str) or not isinstance(pos, Sequence) or len(pos) != 3:
            raise ModelFileError(f"field '{where}.position' must be a list of 3 numbers, got {pos!r}")
        position = tuple(_number(x, f"{where}.position") * l_factor for x in pos)
        epsilon = _number(raw["epsilon"], f"{where}.epsilon") * e_factor
        sigma = _number(raw["sigma"], f"{where}.sigma") * l_factor
        for key, value in (("epsilon", epsilon), ("sigma", sigma)):
            if value < 0.0:
                raise ModelFileError(f"field '{where}.{key}' must not be negative, got {raw[key]!r}")
        sites.append(
            Site(
                name=_text(raw["name"], f"{where}.name"),
                position=(position[0], position[1], position[2]),
                epsilon=epsilon,
                sigma=sigma,
                charge=_number(raw["charge"], f"{where}.charge"),
            )
        )
    return Model(name=name, sites=tuple(sites), source=source, u_min=u_min, u_min_reason=reason)


def model_to_dict(model: Model) -> dict[str, Any]:
    """The dictionary form of `model` (units K and Å), as written by `save_model`."""
    out: dict[str, Any] = {"name": model.name, "source": model.source}
    if model.u_min is not None:
        out["u_min"] = model.u_min
        out["u_min_reason"] = model.u_min_reason
    out["units"] = {"energy": "K", "length": "angstrom"}
    out["sites"] = [
        {"name": s.name, "position": list(s.position), "epsilon": s.epsilon, "sigma": s.sigma, "charge": s.charge}
        for s in model.sites
    ]
    return out


def _load_toml(text: str) -> Any:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - exercised on 3.9 / 3.10 only
        import tomli as tomllib
    return tomllib.loads(text)


def load_model(path: PathLike) -> Model:
    """Read a model file (``.json`` or ``.toml``).

    Raises `ModelFileError` (a `ValueError`) naming the file and the first
    missing or wrong field, and `OSError` when the file cannot be read.
    """
    p = pathlib.Path(path)
    try:
        text = p.read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise ModelFileError(f"model file {str(p)!r}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise OSError(exc.errno, f"model file {str(p)!r}: {exc.strerror or exc}") from None
    use_json = p.suffix.lower() == ".json" or (p.suffix.lower() != ".toml" and text.lstrip().startswith("{"))
    try:
        data = json.loads(text) if use_json else _load_toml(text)
    except ValueError as exc:  # json.JSONDecodeError and tomllib.TOMLDecodeError both are
        kind = "JSON" if use_json else "TOML"
        raise ModelFileError(f"model file {str(p)!r}: not valid {kind}: {exc}") from None
    try:
        return model_from_dict(data)
    except ModelFileError as exc:
        raise ModelFileError(f"model file {str(p)!r}: {exc}") from None


def _toml_value(value: Any) -> str:
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)  # a JSON string is a valid TOML basic string
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    return repr(value)


def save_model(model: Model, path: PathLike) -> None:
    """Write `model` to ``path`` as JSON (suffix ``.json``) or TOML (otherwise), in K and Å."""
    p = pathlib.Path(path)
    data = model_to_dict(model)
    if p.suffix.lower() == ".json":
        p.write_text(json.dumps(data, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
        return
    lines = []
    for key in ("name", "source", "u_min", "u_min_reason"):
        if key in data:
            lines.append(f"{key} = {_toml_value(data[key])}")
    lines += ["", "[units]", 'energy = "K"', 'length = "angstrom"']
    for site in data["sites"]:
        lines += ["", "[[sites]]"] + [f"{k} = {_toml_value(site[k])}" for k in _SITE_FIELDS]
    p.write_text("\n".join(lines) + "\n", encoding="utf-8")
