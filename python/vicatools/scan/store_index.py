"""An index of a results store, so that resuming a scan reads only the records it needs.

A store only grows (records are appended, never rewritten), so its index only grows
with it.  The index of a store is a text file in the user's data directory
(``data_dir()/store-index/<hash of the store's real path>.idx``), never beside the
store, so a read-only store is indexed as well.  Its lines:

- a header: ``vicatools-store-index/1 <device> <inode> <hash of the store's first line>``;
- one line per complete line of the store that looks like a record:
  ``<settings key> <temperature> <status> <offset> <length>``;
- after each batch, a checkpoint ``@ <bytes of the store covered>``.

An index is a cache, never trusted for data: `StoreIndex.entries` only tells where the
records of a settings key are, and the caller reads and checks each record it uses.
Lines after the last checkpoint (an update cut short) are dropped; an index whose
header does not match the store (another file at that path, a store cut shorter than
the index covers) is rebuilt.  Updates hold an exclusive lock on the index file, so
concurrent scans on one store add each batch once.
"""
from __future__ import annotations

import contextlib
import hashlib
import json
import os
import pathlib
import re
import socket
import time
from dataclasses import dataclass
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple

HEADER = b"vicatools-store-index/1"

# The start of a record as `RunRecord.to_json` writes it, and its temperature and status;
# a line that matches is only a candidate: its reader parses and checks it in full.
_KEY = re.compile(rb'^\{"format": "vicatools-run/1", "settings_key": "([0-9a-f]{16})"')
_T_STATUS = re.compile(rb'"t_kelvin": ("?[-+0-9.eEinfa]+"?), "status": "(ok|failed)"')

CHUNK = 1 << 22


@dataclass(frozen=True)
class IndexEntry:
    """Where one record of a store is.

    Attributes:
        t_kelvin: the record's temperature in K, as the index read it.
        ok: whether the record says "ok".
        offset, length: its bytes in the store, newline included.
    """

    t_kelvin: float
    ok: bool
    offset: int
    length: int


def index_path(store: pathlib.Path, base: pathlib.Path) -> pathlib.Path:
    """The index file of `store` under the directory `base`."""
    real = os.path.realpath(store)
    return base / (hashlib.sha256(real.encode("utf-8", "surrogateescape")).hexdigest()[:24] + ".idx")


def _first_line_hash(f: IO[bytes]) -> str:
    f.seek(0)
    line = f.readline(1 << 20)
    return hashlib.sha256(line if line.endswith(b"\n") else b"").hexdigest()[:16]


def _scan_lines(f: IO[bytes], start: int, end: int) -> Tuple[List[bytes], int]:
    """Index lines for the complete store lines between byte `start` and `end`, and the
    offset after the last complete line."""
    out: List[bytes] = []
    pos = start
    f.seek(start)
    carry = b""
    carry_at = start
    while pos < end:
        block = f.read(min(CHUNK, end - pos))
        if not block:
            break
        pos += len(block)
        data = carry + block
        at = 0
        while True:
            nl = data.find(b"\n", at)
            if nl < 0:
                break
            line = data[at:nl]
            m = _KEY.match(line)
            if m is not None:
                ts = _T_STATUS.search(line, m.end())
                if ts is not None:
                    t = ts.group(1).strip(b'"')
                    out.append(b"%s %s %s %d %d\n" % (m.group(1), t, ts.group(2), carry_at + at, nl + 1 - at))
            at = nl + 1
        carry_at += at
        carry = data[at:]
    return out, carry_at


class StoreIndex:
    """The index of one store (see the module doc); `entries` brings it up to date first."""

    def __init__(self, store: pathlib.Path, base: pathlib.Path) -> None:
        self.store = store
        self.path = index_path(store, base)

    def entries(self, key: str, temperatures: Optional[Dict[float, int]] = None) -> Optional[List[IndexEntry]]:
        """The records of settings `key` in the store, in file order (see `_select` for
        `temperatures`); None when the index cannot be kept (an unwritable data directory):
        the caller then reads the store whole."""
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError:
            return None
        with os.fdopen(fd, "r+b") as idx, open(self.store, "rb") as st:
            with _locked(idx):
                data = self._update(idx, st)
        if data is None:
            return None
        return _select(data, key, temperatures)

    def _update(self, idx: IO[bytes], st: IO[bytes]) -> Optional[bytes]:
        """Bring the index up to the store's end; returns its entry lines."""
        info = os.fstat(st.fileno())
        header = b"%s %d %d %s\n" % (HEADER, info.st_dev, info.st_ino, _first_line_hash(st).encode())
        idx.seek(0)
        data = idx.read()
        covered = -1
        body = b""
        if data.startswith(header):
            mark = data.rfind(b"\n@ ")
            end = data.find(b"\n", mark + 1) if mark >= len(header) - 1 else -1
            if end >= 0:
                with contextlib.suppress(ValueError):
                    covered = int(data[mark + 3:end])
                if 0 <= covered <= info.st_size:
                    body = data[len(header):mark + 1]
                    if end + 1 != len(data):
                        idx.truncate(end + 1)  # drop an update that was cut short
                else:
                    covered = -1
        if covered < 0:  # no index yet, or one of another file: start again
            idx.seek(0)
            idx.truncate(0)
            idx.write(header)
            covered = 0
        if info.st_size > covered:
            lines, new_covered = _scan_lines(st, covered, info.st_size)
            if new_covered > covered:
                batch = b"".join(lines)
                idx.seek(0, os.SEEK_END)
                try:
                    idx.write(batch + b"@ %d\n" % new_covered)
                    idx.flush()
                except OSError:
                    pass  # a full disk: the index stays as it was, this call still answers
                body += batch
        return body


def _select(data: bytes, key: str, temperatures: Optional[Dict[float, int]] = None) -> List[IndexEntry]:
    """The entries of `key` in the index lines `data`; with `temperatures`, only "ok" ones at
    those temperatures, at most twice as many as asked for each (the rest are not needed
    unless records turn out untrusted: the caller then asks for all)."""
    out = []
    if temperatures is None:
        pattern = re.compile(rb"^" + re.escape(key.encode("ascii")) + rb" (\S+) (ok|failed) (\d+) (\d+)$", re.M)
        for m in pattern.finditer(data):
            with contextlib.suppress(ValueError):
                out.append(IndexEntry(float(m.group(1)), m.group(2) == b"ok", int(m.group(3)), int(m.group(4))))
        return out
    data = b"\n" + data
    for t, count in temperatures.items():
        needle = b"\n%s %s ok " % (key.encode("ascii"), json.dumps(t).encode("ascii"))
        at = 0
        for _ in range(2 * count):
            at = data.find(needle, at)
            if at < 0:
                break
            end = data.find(b"\n", at + 1)
            offset, length = data[at + len(needle):end].split()
            out.append(IndexEntry(t, True, int(offset), int(length)))
            at = end
    out.sort(key=lambda e: e.offset)
    return out


def scan_entries(store: pathlib.Path, key: str, temperatures: Optional[Dict[float, int]] = None) -> List[IndexEntry]:
    """The entries of settings `key`, read from the whole store without an index."""
    with open(store, "rb") as f:
        lines, _ = _scan_lines(f, 0, os.fstat(f.fileno()).st_size)
    return _select(b"".join(lines), key, temperatures)


def _locked(f: IO[bytes]) -> Any:
    return locked_fd(f.fileno())


@contextlib.contextmanager
def locked_fd(fd: int) -> Iterator[None]:
    """Hold an exclusive lock (flock) on the open file `fd` for the duration (none where the
    platform or the file system has no locks)."""
    try:
        import fcntl
    except ImportError:  # not a POSIX system: no lock
        yield
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
    except OSError:  # a file system without locks
        yield
        return
    try:
        yield
    finally:
        with contextlib.suppress(OSError):
            fcntl.flock(fd, fcntl.LOCK_UN)


def forget(store: pathlib.Path, base: pathlib.Path) -> None:
    """Remove the index of `store` (it pointed at something that is not a record): the next
    use rebuilds it from the store."""
    with contextlib.suppress(OSError):
        index_path(store, base).unlink()


@contextlib.contextmanager
def scan_lock(store: pathlib.Path, base: pathlib.Path, key: str,
              on_wait: Optional[Callable[[str], None]] = None) -> Iterator[None]:
    """Hold the lock of scans of settings `key` on `store` for the duration, so that two scans
    that would make the same runs take turns instead of making them twice: the second waits
    (calling ``on_wait(holder)`` once, `holder` naming the process that holds it) and then finds
    the first one's runs in the store.  No lock where none can be taken (an unwritable data
    directory, a platform without flock)."""
    try:
        import fcntl
    except ImportError:
        yield
        return
    path = index_path(store, base).with_suffix(f".{key}.lock")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    except OSError:
        yield
        return
    try:
        told = False
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if not told and on_wait is not None:
                    holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip() or "another process"
                    on_wait(holder)
                    told = True
                time.sleep(0.2)
            except OSError:  # a file system without locks
                break
        with contextlib.suppress(OSError):
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"process {os.getpid()} on {socket.gethostname()}\n".encode(), 0)
        yield
    finally:
        os.close(fd)  # releases the lock
