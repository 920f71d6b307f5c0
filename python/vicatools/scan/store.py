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

import json
import math
import os
import pathlib
import sys
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from ..methods.base import ScanSettings, json_number as _number, model_data as _model_data, models_hash
from ..models.files import model_from_dict
from ..models.model import Model
from ..models.units import molecular_unit
from . import store_index
from .store_files import FORMAT, RECORD_START, StoreError, _check_opened, _open_nonblocking, check_store_path
from .store_files import read_at

__all__ = ["FORMAT", "RunRecord", "RunStore", "ScanSettings", "StoreError", "StoreWarning", "check_store_path",
           "default_store_path", "models_hash", "read_records", "trusted_records", "untrusted", "versions",
           "warn_skipped"]

PathLike = Union[str, "os.PathLike[str]"]


def _float(x: Any) -> float:
    return float(x)  # float("inf") / float("-inf") / float("nan") read the strings back


def _model_from_data(data: Any) -> Model:
    if isinstance(data, dict) and isinstance(data.get("u_min"), str):
        data = dict(data, u_min=float(data["u_min"]))
    return model_from_dict(data)


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
        errors: an integration's error estimate of each entry (empty for sampled runs).
        converged: False when an integration could not meet its tolerance.
        note: why the run stopped where it did, when that is worth saying.
        run_id: the id shared by the records of one run that served several temperatures
            ("" for a run of one temperature).
        curve: an integration's extra temperatures for the scan's curve, (T, entries,
            errors) each (`vicatools.methods.base.RunResult`); empty for most runs.
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
    errors: Tuple[float, ...] = ()
    converged: bool = True
    note: str = ""
    run_id: str = ""
    curve: Tuple[Tuple[float, Tuple[float, ...], Tuple[float, ...]], ...] = ()

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
        if s.revision:
            data["revision"] = s.revision
        if self.errors:
            data["errors"] = [_number(x) for x in self.errors]
        if not self.converged:
            data["converged"] = False
        if self.note:
            data["note"] = self.note
        if self.run_id:
            data["run_id"] = self.run_id
        if self.curve:
            data["curve"] = [[_number(t), [_number(x) for x in e], [_number(x) for x in er]] for t, e, er in self.curve]
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
                revision=int(data.get("revision", 0)),
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
                errors=tuple(_float(x) for x in data.get("errors", ())),
                converged=bool(data.get("converged", True)),
                note=str(data.get("note", "")),
                run_id=str(data.get("run_id", "")),
                curve=tuple((_float(t), tuple(_float(x) for x in e), tuple(_float(x) for x in er))
                            for t, e, er in data.get("curve", ())),
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


class StoreWarning(UserWarning):
    """Records of a store that were skipped (not trusted); their runs are made again."""


def untrusted(record: RunRecord) -> Optional[str]:
    """Why a record read from a store cannot be used, or None when it can: its settings key is
    recomputed from its own models and settings, and an "ok" record needs order_max + 1 finite
    entries."""
    if not (record.t_kelvin > 0.0 and math.isfinite(record.t_kelvin)):
        return f"temperature {record.t_kelvin!r}"
    if record.settings_key and record.settings.key != record.settings_key:
        return "its settings key does not match its own models and settings (edited by hand, or by another program)"
    if record.ok:
        n = record.settings.order_max + 1
        bad = sum(1 for x in record.entries if not math.isfinite(x))
        if len(record.entries) != n or bad:
            return f"an ok record with {len(record.entries)} entries, {bad} not finite ({n} finite expected)"
    return None


def read_records(path: PathLike) -> Iterator[RunRecord]:
    """The records of a store, in the order written.  Lines that are not complete records
    (a torn last line, foreign text) are skipped; records are returned as written, see
    `trusted_records` for those that can be used."""
    with open(path, "rb") as f:
        for raw in f:
            if not raw.endswith(b"\n"):
                continue  # torn by an interrupted write
            try:
                yield RunRecord.from_json(raw.decode("utf-8"))
            except (ValueError, UnicodeDecodeError, OverflowError, RecursionError):
                continue


def trusted_records(path: PathLike) -> Tuple[List[RunRecord], List[str]]:
    """The records of a store that pass `untrusted`, and the reasons of those skipped."""
    good: List[RunRecord] = []
    skipped: List[str] = []
    for rec in read_records(path):
        why = untrusted(rec)
        if why is None:
            good.append(rec)
        else:
            skipped.append(why)
    return good, skipped


def warn_skipped(path: PathLike, skipped: Sequence[str], what: str = "their runs are made again") -> None:
    """One warning for the records of a store that were skipped."""
    if skipped:
        warnings.warn(
            f"results store {str(path)!r}: {len(skipped)} record(s) skipped, {what}: {skipped[0]}",
            StoreWarning,
            stacklevel=3,
        )


def index_dir() -> pathlib.Path:
    """Where the indexes of stores are kept (`vicatools.scan.store_index`)."""
    return data_dir() / "store-index"


class RunStore:
    """An append-only JSON Lines store (see the module doc).

    Opening refuses (`StoreError`) a path that is not a regular file (a FIFO would block) or a
    non-empty file that is not a store, before any computation, and creates the file and its
    directory when missing.  A store that cannot be written (a read-only file or file system)
    is opened for reading: ``writable`` is False and `append` raises OSError.  Every append
    holds an exclusive lock on the file and starts on a fresh line, whoever tore the last one."""

    def __init__(self, path: PathLike) -> None:
        self.path = pathlib.Path(path)
        check_store_path(self.path)
        self.writable = True
        self._fd = -1
        flags = os.O_RDWR | os.O_APPEND | os.O_CREAT
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            fd = _open_nonblocking(self.path, flags)
        except IsADirectoryError:
            raise StoreError(f"results store {str(self.path)!r} is a directory") from None
        except OSError as exc:
            if not self.path.is_file():
                raise OSError(exc.errno, f"cannot create the results store {str(self.path)!r}: "
                                         f"{exc.strerror or exc}") from None
            fd = _open_nonblocking(self.path, os.O_RDONLY)
            self.writable = False
        try:
            _check_opened(fd, self.path)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def records(self) -> List[RunRecord]:
        """Every complete record."""
        return list(read_records(self.path))

    def select(self, key: str, wanted: Dict[float, int]) -> Tuple[Dict[float, List[RunRecord]], List[str]]:
        """Up to ``wanted[t]`` trusted "ok" records of settings `key` at each temperature t, in
        the order written, and the reasons of the records of that key skipped (`untrusted`).
        Only those records are read and parsed (`store_index`), so that resuming from a large
        store is quick."""
        # first the records the index points at; when some of them are skipped, all of the
        # key; when the index does not describe the file, the file itself
        for use_index, limited in ((True, True), (True, False), (False, False)):
            base = index_dir()
            want = wanted if limited else None
            entries = store_index.StoreIndex(self.path, base).entries(key, want) if use_index else None
            if entries is None:
                entries = store_index.scan_entries(self.path, key, want)
            got, skipped, stale = self._read_entries(key, wanted, entries)
            if stale:
                store_index.forget(self.path, base)
            elif not (limited and skipped):
                break
        return got, skipped

    def _read_entries(
        self, key: str, wanted: Dict[float, int], entries: Sequence[store_index.IndexEntry]
    ) -> Tuple[Dict[float, List[RunRecord]], List[str], bool]:
        got: Dict[float, List[RunRecord]] = {t: [] for t in wanted}
        skipped: List[str] = []
        with open(self.path, "rb") as f:
            for e in entries:
                if not e.ok or len(got.get(e.t_kelvin, ())) >= wanted.get(e.t_kelvin, 0):
                    continue
                f.seek(e.offset)
                raw = f.read(e.length)
                if not (raw.startswith(RECORD_START) and raw.endswith(b"\n") and key.encode() in raw[:80]):
                    return got, skipped, True  # the index does not describe this file
                try:
                    rec: Optional[RunRecord] = RunRecord.from_json(raw.decode("utf-8"))
                    why = untrusted(rec) if rec is not None else None
                except (ValueError, UnicodeDecodeError, OverflowError, RecursionError) as exc:
                    rec, why = None, f"not a complete record ({' '.join(str(exc).split())})"
                if why is None and rec is not None and rec.t_kelvin in got and rec.ok and rec.key == key:
                    got[rec.t_kelvin].append(rec)
                else:
                    skipped.append(why or "it does not match its index entry")
        return got, skipped, False

    def append(self, record: RunRecord) -> None:
        """Write one record and fsync it, under an exclusive lock, starting on a fresh line."""
        if not self.writable:
            raise OSError(f"results store {str(self.path)!r} is read-only")
        data = (record.to_json() + "\n").encode("utf-8")
        with store_index.locked_fd(self._fd):
            size = os.fstat(self._fd).st_size
            if size > 0 and read_at(self._fd, 1, size - 1) != b"\n":
                data = b"\n" + data  # a line torn by an interrupted write, ours or another's
            view = memoryview(data)
            while view:
                n = os.write(self._fd, view)
                view = view[n:]
            os.fsync(self._fd)

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> RunStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
