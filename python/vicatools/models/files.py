"""Model files: JSON or TOML (chosen by the suffix ``.json`` / ``.toml``)::

    name = "my-co2"
    source = "who published the parameters"
    description = "one line for listings"   # optional
    u_min = -5000.0          # optional energy floor, in the energy unit below (-inf: none)
    u_min_reason = "why"     # optional

    [units]                  # optional; these are the defaults
    energy = "K"             # "K", "kJ/mol" or "kcal/mol"
    length = "angstrom"      # "angstrom" or "nm"

    [[sites]]
    name = "C"
    position = [0.0, 0.0, 0.0]
    charge = 0.70
    law = "lj"               # optional, "lj" by default
    epsilon = 27.0
    sigma = 2.80

    [[pairs]]                # optional: the law of one pair of site names, no mixing
    sites = ["C", "O"]
    law = "lj"
    epsilon = 45.0
    sigma = 2.9

Fields of a site (or a pair) by law; energies in the energy unit, lengths in
the length unit:

* ``lj``: ``epsilon``, ``sigma`` (both 0: a bare charge);
* ``mie``: ``epsilon``, ``sigma``, ``lambda_r`` and ``lambda_a`` (6 if left out);
* ``exp6``: either ``A`` (energy), ``B`` (1/length), ``C6`` (energy·length⁶) of
  u = A exp(-B r) - C6 / r^6, or ``epsilon``, ``r_min``, ``alpha`` of
  u = eps / (1 - 6/alpha) [(6/alpha) exp(alpha (1 - r/r_min)) - (r_min/r)^6],
  converted to A, B, C6 on reading (`vicatools.models.laws.exp6_from_minimum`);
* ``table``: ``r`` and ``u``, lists of equal length (at least 4 points).

Unknown fields are refused so that a typo does not pass silently.  Models are
saved in K and Å, exp-6 as A, B, C6.
"""
from __future__ import annotations

import json
import math
import pathlib
import sys
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from . import units
from .laws import exp6_from_minimum
from .model import LAWS, Model, ModelFileError, PairLaw, PathLike, Site

_LAW_FIELDS: Dict[str, Tuple[str, ...]] = {
    "lj": ("epsilon", "sigma"),
    "mie": ("epsilon", "sigma", "lambda_r", "lambda_a"),
    "exp6": ("A", "B", "C6", "epsilon", "r_min", "alpha"),
    "table": ("r", "u"),
}
_SITE_FIELDS = ("name", "position", "charge", "law")
_PAIR_FIELDS = ("sites", "law")
_MODEL_FIELDS = ("name", "source", "description", "u_min", "u_min_reason", "units", "sites", "pairs")


def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ModelFileError(f"field {where!r} must be a number, got {value!r}")
    try:
        x = float(value)
    except OverflowError:  # an integer beyond the range of a double
        x = math.inf
    if not math.isfinite(x):
        raise ModelFileError(f"field {where!r} must be finite, got {_short(value)}")
    return x


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}...({len(text)} characters)"


def _text(value: Any, where: str) -> str:
    if not isinstance(value, str):
        raise ModelFileError(f"field {where!r} must be text, got {value!r}")
    return value


def _numbers(value: Any, where: str) -> List[Any]:
    if isinstance(value, (str, Mapping)) or not isinstance(value, Sequence):
        raise ModelFileError(f"field {where!r} must be a list of numbers, got {value!r}")
    return list(value)


def _law_fields(raw: Mapping[str, Any], where: str, own: Sequence[str], e: float, length: float) -> Dict[str, Any]:
    """The law keywords of `Site` / `PairLaw` from a site or pair table (units converted)."""
    law = _text(raw.get("law", "lj"), f"{where}.law")
    if law not in LAWS:
        raise ModelFileError(f"field '{where}.law' must be one of {', '.join(LAWS)}, got {law!r}")
    allowed = tuple(own) + _LAW_FIELDS[law]
    for key in raw:
        if key not in allowed:
            raise ModelFileError(f"unknown field '{where}.{key}' (fields of law {law!r}: {', '.join(allowed)})")

    def need(key: str) -> float:
        if key not in raw:
            raise ModelFileError(f"field '{where}.{key}' is missing")
        x = _number(raw[key], f"{where}.{key}")
        if x < 0.0:
            raise ModelFileError(f"field '{where}.{key}' must not be negative, got {raw[key]!r}")
        return x

    out: Dict[str, Any] = {"law": law}
    if law in ("lj", "mie"):
        out["epsilon"] = need("epsilon") * e
        out["sigma"] = need("sigma") * length
    if law == "mie":
        out["lambda_r"] = need("lambda_r")
        out["lambda_a"] = need("lambda_a") if "lambda_a" in raw else 6.0
    if law == "exp6":
        abc = [k for k in ("A", "B", "C6") if k in raw]
        emin = [k for k in ("epsilon", "r_min", "alpha") if k in raw]
        if abc and emin:
            raise ModelFileError(f"field '{where}': give exp-6 as A, B, C6 or as epsilon, r_min, alpha, not both")
        if emin:
            eps, r_min, alpha = need("epsilon") * e, need("r_min") * length, need("alpha")
            if not (alpha > 6.0 and r_min > 0.0):
                raise ModelFileError(f"field '{where}': exp-6 needs alpha > 6 and r_min > 0")
            out["exp6"] = exp6_from_minimum(eps, r_min, alpha)
        else:
            out["exp6"] = (need("A") * e, need("B") / length, need("C6") * e * length**6)
    if law == "table":
        for key in ("r", "u"):
            if key not in raw:
                raise ModelFileError(f"field '{where}.{key}' is missing")
        r = [_number(x, f"{where}.r") * length for x in _numbers(raw["r"], f"{where}.r")]
        u = [_number(x, f"{where}.u") * e for x in _numbers(raw["u"], f"{where}.u")]
        out["table"] = (tuple(r), tuple(u))
    return out


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
    description = _text(data.get("description", ""), "description")
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
            raise ModelFileError(f"field {where!r} must be a table with fields {', '.join(_SITE_FIELDS)}, ...")
        law = _law_fields(raw, where, _SITE_FIELDS, e_factor, l_factor)
        for key in ("name", "position", "charge"):
            if key not in raw:
                raise ModelFileError(f"field '{where}.{key}' is missing")
        pos = raw["position"]
        if isinstance(pos, str) or not isinstance(pos, Sequence) or len(pos) != 3:
            raise ModelFileError(f"field '{where}.position' must be a list of 3 numbers, got {pos!r}")
        position = tuple(_number(x, f"{where}.position") * l_factor for x in pos)
        try:
            sites.append(
                Site(
                    _text(raw["name"], f"{where}.name"),
                    (position[0], position[1], position[2]),
                    charge=_number(raw["charge"], f"{where}.charge"),
                    **law,
                )
            )
        except ValueError as exc:
            raise ModelFileError(f"field {where!r}: {exc}") from None
    pairs = []
    raw_pairs = data.get("pairs", [])
    if isinstance(raw_pairs, (str, Mapping)) or not isinstance(raw_pairs, Sequence):
        raise ModelFileError("field 'pairs' must be a list of pairs")
    for i, raw in enumerate(raw_pairs):
        where = f"pairs[{i}]"
        if not isinstance(raw, Mapping):
            raise ModelFileError(f"field {where!r} must be a table with fields {', '.join(_PAIR_FIELDS)}, ...")
        law = _law_fields(raw, where, _PAIR_FIELDS, e_factor, l_factor)
        names = raw.get("sites")
        if isinstance(names, str) or not isinstance(names, Sequence) or len(names) != 2:
            raise ModelFileError(f"field '{where}.sites' must be a list of two site names, got {names!r}")
        try:
            pairs.append(PairLaw(_text(names[0], f"{where}.sites"), _text(names[1], f"{where}.sites"), **law))
        except ValueError as exc:
            raise ModelFileError(f"field {where!r}: {exc}") from None
    try:
        return Model(name, tuple(sites), source, u_min, reason, tuple(pairs), description)
    except ValueError as exc:
        raise ModelFileError(str(exc)) from None


def _law_dict(obj: Any) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    if obj.law != "lj":
        out["law"] = obj.law
    if obj.law in ("lj", "mie"):
        out["epsilon"] = obj.epsilon
        out["sigma"] = obj.sigma
    if obj.law == "mie":
        out["lambda_r"] = obj.lambda_r
        out["lambda_a"] = obj.lambda_a
    if obj.law == "exp6":
        out.update(A=obj.exp6[0], B=obj.exp6[1], C6=obj.exp6[2])
    if obj.law == "table":
        out.update(r=list(obj.table[0]), u=list(obj.table[1]))
    return out


def model_to_dict(model: Model) -> Dict[str, Any]:
    """The dictionary form of `model` (units K and Å), as written by `save_model`."""
    out: Dict[str, Any] = {"name": model.name, "source": model.source}
    if model.description:
        out["description"] = model.description
    if model.u_min is not None:
        out["u_min"] = model.u_min
        out["u_min_reason"] = model.u_min_reason
    out["units"] = {"energy": "K", "length": "angstrom"}
    out["sites"] = [
        {"name": s.name, "position": list(s.position), "charge": s.charge, **_law_dict(s)} for s in model.sites
    ]
    if model.pairs:
        out["pairs"] = [{"sites": [p.a, p.b], **_law_dict(p)} for p in model.pairs]
    return out


def _load_toml(text: str) -> Any:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - exercised on 3.9 / 3.10 only
        import tomli as tomllib
    return tomllib.loads(text)


def load_model_file(path: PathLike) -> Model:
    """Read one of our model files (``.json`` or ``.toml``).

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
    except RecursionError:
        raise ModelFileError(f"model file {str(p)!r}: nested too deeply to be a model") from None
    try:
        return model_from_dict(data)
    except RecursionError:
        raise ModelFileError(f"model file {str(p)!r}: nested too deeply to be a model") from None
    except (ValueError, ArithmeticError) as exc:
        # ModelFileError, and a Site or Model refusing a value that left a double's range once
        # converted to K and angstrom
        raise ModelFileError(f"model file {str(p)!r}: {' '.join(str(exc).split())}") from None


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
    for key in ("name", "source", "description", "u_min", "u_min_reason"):
        if key in data:
            lines.append(f"{key} = {_toml_value(data[key])}")
    lines += ["", "[units]", 'energy = "K"', 'length = "angstrom"']
    for site in data["sites"]:
        lines += ["", "[[sites]]"] + [f"{k} = {_toml_value(v)}" for k, v in site.items()]
    for pair in data.get("pairs", []):
        lines += ["", "[[pairs]]"] + [f"{k} = {_toml_value(v)}" for k, v in pair.items()]
    p.write_text("\n".join(lines) + "\n", encoding="utf-8")
