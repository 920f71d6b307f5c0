"""The results store of a scan: one JSON line per finished run, written as the run finishes.

A store is a JSON Lines file.  Every line is one run record (`RunRecord.to_json`)
that stands on its own: the models (as `vicatools.models.model_to_dict` gives
them) and their hash, the settings (coefficient order, mixing rule, u_min,
dev_tol, order_max, length unit), the temperature, the status ("ok" with the
entries and the CPU time, or "failed" with the reason), the versions of `vica`
and `vicatools`, and the time it was written.

Crash safety.  Records are only ever appended, each with one ``write`` of a whole
line followed by ``fsync``; a write cut short (a full disk, a killed process)
can only leave a torn last line, which readers skip, and the next append starts
on a fresh line.  Earlier records are never rewritten.

Keys.  `ScanSettings.key` hashes everything that makes runs interchangeable except
the temperature; a run at temperature T counts towards a scan when its record
has the scan's settings key and T.  The default file of a scan
(`default_store_path`) is named after that key, so rerunning a command, or
adding temperatures to it, finds the runs already made.
"""
from __future__ import annotations

import hashlib
import json
import math
import os
import pathlib
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ..models.model import Model, model_to_dict
from ..models.units import molecular_unit

FORMAT = "vicatools-run/1"
"""Value of the ``format`` key of every record."""

PathLike = Union[str, "os.PathLike[str]"]


def _canonical(data: Any) -> str:
    return json.dumps(data, sort_keys=True, separators=(",", ":"), allow_nan=True)


def _hash(data: Any) -> str:
    return hashlib.sha256(_canonical(data).encode("utf-8")).hexdigest()[:16]


def _number(x: float) -> Any:
    """A float in JSON: finite values as numbers, others as the strings "inf", "-inf", "nan"."""
    x = float(x)
    return x if math.isfinite(x) else repr(x)


def _float(x: Any) -> float:
    return float(x)  # float("inf") / float("-inf") / float("nan") read the strings back


def _model_data(model: Model) -> Dict[str, Any]:
    data = model_to_dict(model)
    if "u_min" in data:
        data["u_min"] = _number(data["u_min"])  # -inf (no floor) as a string
    return data


def _model_from_data(data: Any) -> Model:
    from ..models.model import model_from_dict

    if isinstance(data, dict) and isinstance(data.get("u_min"), str):
        data = dict(data, u_min=float(data["u_min"]))
    return model_from_dict(data)


def models_hash(models: Sequence[Model]) -> str:
    """Hash of the models' full definitions (sites, units converted, floor)."""
    return _hash([_model_data(m) for m in models])


@dataclass(frozen=True)
class ScanSettings:
    """Everything that makes runs of a scan interchangeable, except the temperature.

    Attributes:
        order: 2 for B, 3 for C.
        models: two models for B, three for C.
        mixing: mixing rule of the site-pair tables.
        u_min: energy floor in K (-inf for none; -inf for C).
        dev_tol: the runs' relative stop tolerance.
        order_max: highest derivative order of the entries.
        length_unit: the runs' unit of length in Å (the reference padding).
        core: distance in Å of the r^-12 core on bare attracting site pairs (0 for none).
        engine: "vica" (Bms, Cms) or "bn" (the B_n engine).
        block_steps, max_blocks: block length and the most blocks of a B_n engine run.
    """

    order: int
    models: Tuple[Model, ...]
    mixing: str
    u_min: float
    dev_tol: float
    order_max: int
    length_unit: float = 1.0
    core: float = 0.0
    engine: str = "vica"
    block_steps: int = 1000000
    max_blocks: int = 1000

    def key_data(self) -> Dict[str, Any]:
        return {
            "order": self.order,
            "models_hash": models_hash(self.models),
            "mixing": self.mixing,
            "u_min": _number(self.u_min),
            "dev_tol": _number(self.dev_tol),
            "order_max": self.order_max,
            "length_unit": _number(self.length_unit),
            "core": _number(self.core),
            "engine": self.engine,
            "block_steps": self.block_steps,
            "max_blocks": self.max_blocks,
        }

    @property
    def key(self) -> str:
        """16 hex digits identifying these settings."""
        return _hash(self.key_data())


def versions() -> Dict[str, str]:
    """Versions of the installed `vica` distribution (which carries `vicatools`) and of Python."""
    try:
        from importlib.metadata import version

        vica_version = version("vica")
    except Exception:  # noqa: BLE001 - not installed as a distribution (a source tree)
        vica_version = "unknown"
    return {"vica": vica_version, "vicatools": vica_version, "python": sys.version.split()[0]}


@dataclass(frozen=True)
class RunRecord:
    """One stored run.

    Attributes:
        settings: the scan settings the run was made with.
        t_kelvin: temperature in K.
        status: "ok" or "failed".
        entries: the run's entries per molecule (Å³ or Å⁶); empty when failed.
        cpu_seconds: the run's CPU time in s (0 when failed).
        reason: why the run failed ("" when ok).
        versions: versions of the software that made it.
        written: Unix time of the record.
        settings_key: the settings key read from the file ("": that of `settings`).
    """

    settings: ScanSettings
    t_kelvin: float
    status: str
    entries: Tuple[float, ...] = ()
    cpu_seconds: float = 0.0
    reason: str = ""
    versions: Dict[str, str] = field(default_factory=dict)
    written: float = 0.0
    settings_key: str = ""

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    @property
    def key(self) -> str:
        """The settings key the record was written with."""
        return self.settings_key or self.settings.key

    def to_json(self) -> str:
        s = self.settings
        data = {
            "format": FORMAT,
            "settings_key": self.settings_key or s.key,
            "coefficient": f"B{s.order}",
            "order": s.order,
            "models": [_model_data(m) for m in s.models],
            "models_hash": models_hash(s.models),
            "mixing": s.mixing,
            "u_min": _number(s.u_min),
            "dev_tol": _number(s.dev_tol),
            "order_max": s.order_max,
            "length_unit": _number(s.length_unit),
            "core": _number(s.core),
            "engine": s.engine,
            "block_steps": s.block_steps,
            "max_blocks": s.max_blocks,
            "t_kelvin": _number(self.t_kelvin),
            "status": self.status,
            "entries": [_number(x) for x in self.entries],
            "entries_unit": molecular_unit(s.order) + " per molecule",
            "cpu_seconds": self.cpu_seconds,
            "reason": self.reason,
            "versions": self.versions or versions(),
            "written": self.written or time.time(),
        }
        return json.dumps(data, allow_nan=False)

    @classmethod
    def from_json(cls, line: str) -> RunRecord:
        """Parse one line; raises ValueError for anything that is not a complete record."""
        data = json.loads(line)
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ValueError("not a vicatools run record")
        try:
            settings = ScanSettings(
                order=int(data["order"]),
                models=tuple(_model_from_data(m) for m in data["models"]),
                mixing=str(data["mixing"]),
                u_min=_float(data["u_min"]),
                dev_tol=_float(data["dev_tol"]),
                order_max=int(data["order_max"]),
                length_unit=_float(data.get("length_unit", 1.0)),
                core=_float(data.get("core", 0.0)),
                engine=str(data.get("engine", "vica")),
                block_steps=int(data.get("block_steps", 1000000)),
                max_blocks=int(data.get("max_blocks", 1000)),
            )
            return cls(
                settings=settings,
                t_kelvin=_float(data["t_kelvin"]),
                status=str(data["status"]),
                settings_key=str(data["settings_key"]),
                entries=tuple(_float(x) for x in data["entries"]),
                cpu_seconds=float(data["cpu_seconds"]),
                reason=str(data.get("reason", "")),
                versions=dict(data.get("versions", {})),
                written=float(data.get("written", 0.0)),
            )
        except (KeyError, TypeError) as exc:
            raise ValueError(f"incomplete run record: {exc}") from None


def data_dir() -> pathlib.Path:
    """The user's data directory of vicatools: ``$XDG_DATA_HOME/vicatools`` (default
    ``~/.local/share/vicatools``) on Linux and other Unix systems, ``~/Library/Application
    Support/vicatools`` on macOS, ``%LOCALAPPDATA%\\vicatools`` on Windows."""
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or str(pathlib.Path.home() / "AppData" / "Local")
        return pathlib.Path(base) / "vicatools"
    if sys.platform == "darwin":
        return pathlib.Path.home() / "Library" / "Application Support" / "vicatools"
    xdg = os.environ.get("XDG_DATA_HOME")
    base_path = pathlib.Path(xdg) if xdg and os.path.isabs(xdg) else pathlib.Path.home() / ".local" / "share"
    return base_path / "vicatools"


def default_store_path(settings: ScanSettings) -> pathlib.Path:
    """The default store of a scan: ``data_dir()/scans/<b2|b3>-<models>-<settings key>.jsonl``."""
    names = "+".join(dict.fromkeys(m.name for m in settings.models))
    safe = "".join(c if c.isalnum() or c in "-_+." else "_" for c in names)[:60]
    return data_dir() / "scans" / f"b{settings.order}-{safe}-{settings.key}.jsonl"


def read_records(path: PathLike) -> Iterator[RunRecord]:
    """The records of a store, in the order written.  Lines that are not complete records
    (a torn last line, foreign text) are skipped."""
    with open(path, "rb") as f:
        for raw in f:
            if not raw.endswith(b"\n"):
                continue  # torn by an interrupted write
            try:
                yield RunRecord.from_json(raw.decode("utf-8"))
            except (ValueError, UnicodeDecodeError):
                continue


class RunStore:
    """An append-only JSON Lines store (see the module doc).

    Opening checks that the file can be written (creating its directory) and raises
    OSError otherwise, so that a scan is refused before any computation."""

    def __init__(self, path: PathLike) -> None:
        self.path = pathlib.Path(path)
        if self.path.is_dir():
            raise IsADirectoryError(f"results store {str(self.path)!r} is a directory")
        self.path.parent.mkdir(parents=True, exist_ok=True)
        fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            if not os.path.isfile(self.path):
                raise OSError(f"results store {str(self.path)!r} is not a regular file")
            self._fd = fd
            fd = -1
        finally:
            if fd >= 0:
                os.close(fd)
        self._torn = self._ends_torn()

    def _ends_torn(self) -> bool:
        with open(self.path, "rb") as f:
            f.seek(0, os.SEEK_END)
            if f.tell() == 0:
                return False
            f.seek(-1, os.SEEK_END)
            return f.read(1) != b"\n"

    def records(self) -> List[RunRecord]:
        """Every complete record."""
        return list(read_records(self.path))

    def append(self, record: RunRecord) -> None:
        """Write one record and fsync it.  After a failed write the next record starts on a new line."""
        data = (record.to_json() + "\n").encode("utf-8")
        if self._torn:
            data = b"\n" + data
        self._torn = True
        view = memoryview(data)
        while view:
            n = os.write(self._fd, view)
            view = view[n:]
        os.fsync(self._fd)
        self._torn = False

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> RunStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
