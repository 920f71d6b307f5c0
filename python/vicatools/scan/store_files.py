"""Paths that are not results stores, refused before a scan writes a byte to them: a directory, a
FIFO, a device or a socket (a FIFO would block the command for ever), a non-empty file whose first
line is not a run record (an earlier scan's JSON or CSV, a model file)."""
from __future__ import annotations

import os
import stat
from typing import Union

FORMAT = "vicatools-run/1"
"""Value of the ``format`` key of every record."""

PathLike = Union[str, "os.PathLike[str]"]


class StoreError(OSError, ValueError):
    """A results store that cannot be used: a path that is not a regular file, a file that is not
    a store, or a read-only store that runs would have to be written to.  Raised before any run."""


RECORD_START = b'{"format": "' + FORMAT.encode() + b'"'
"""How every record line starts (a torn record as well)."""


def read_at(fd: int, n: int, offset: int) -> bytes:
    """Up to `n` bytes of the open file `fd` from `offset` (``os.pread`` where the platform has it)."""
    pread = getattr(os, "pread", None)
    if pread is not None:
        data: bytes = pread(fd, n, offset)
        return data
    os.lseek(fd, offset, os.SEEK_SET)
    return os.read(fd, n)


def _open_nonblocking(path: PathLike, flags: int, mode: int = 0o644) -> int:
    # O_NONBLOCK: opening a FIFO never waits for its other end
    return os.open(path, flags | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0), mode)


def _check_opened(fd: int, path: PathLike) -> None:
    """Refuse what is open at `fd` unless it is a regular file that is empty or starts as a store."""
    info = os.fstat(fd)
    if stat.S_ISDIR(info.st_mode):
        raise StoreError(f"results store {str(path)!r} is a directory")
    if not stat.S_ISREG(info.st_mode):
        raise StoreError(f"results store {str(path)!r} is not a regular file (a FIFO, device or socket): give a file")
    if info.st_size == 0:
        return
    head = read_at(fd, 1 << 16, 0)
    lines = [line for line in head.split(b"\n") if line] or [b""]
    first = lines[0]
    if first.startswith(RECORD_START):
        return
    if RECORD_START.startswith(first) and (len(lines) == 1 or lines[1].startswith(RECORD_START)):
        return  # a first record torn by an interrupted write
    if first.startswith(b'{"format": "vicatools-run/'):
        other = first[11:40].decode("ascii", "replace")
        raise StoreError(f"{str(path)!r} is a results store of another format ({other}...): give another file")
    raise StoreError(
        f"{str(path)!r} is not a vicatools results store (its first line is not a run record): it is left as it "
        "is; give a new file or an existing store"
    )


def check_store_path(path: PathLike) -> None:
    """Refuse (`StoreError`) a path that exists but is not a regular file, or a non-empty file
    whose first line is not a run record; creates nothing."""
    try:
        fd = _open_nonblocking(path, os.O_RDONLY)
    except FileNotFoundError:
        return
    except IsADirectoryError:
        raise StoreError(f"results store {str(path)!r} is a directory") from None
    except OSError as exc:
        if os.path.exists(path) and not os.access(path, os.R_OK):
            raise StoreError(f"results store {str(path)!r} cannot be read: {exc.strerror or exc}") from None
        return
    try:
        _check_opened(fd, path)
    finally:
        os.close(fd)


