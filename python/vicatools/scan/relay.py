"""A run's progress lines, relayed to its log by a small process that also watches them.

The engines write their progress lines to file descriptor 1 from C++, and a write
that fails fails the run (`vica` turns it into an internal failure).  A run's log is
only a log, so a run never writes to it directly: its file descriptor 1 is a pipe to a
relay process that copies the lines to the log file, ignoring every failure to write
them (a full disk, a log directory removed), and watches them:

- a run whose running estimate is not a number (``fraction=NaN`` or ``inf``) on
  `HOPELESS_LINES` long progress lines in a row has not met its hard-sphere reference
  in all those blocks (or its sums overflowed), and cannot give a usable estimate:
  the relay then writes why to the worker and exits; the run's next progress line
  fails on the closed pipe, which stops it (the engines cannot be stopped otherwise
  while they hold the interpreter lock), and the worker reports the relay's reason
  instead of the broken pipe.

The relay is a child of the worker; when the worker ends, however it ends, the pipe
reaches end of file and the relay ends too.  It starts in milliseconds (``python -I -S``,
nothing imported beyond the interpreter's core), once per run.
"""
from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from typing import Iterator, List, Optional

HOPELESS_LINES = 20
"""Long progress lines in a row with an estimate that is not a number after which a run is
stopped: for `vica.Bms` and `vica.Cms` 20 blocks of a million steps after the tenth, against
the 1000 blocks such a run would otherwise make."""

RELAY = r"""
import math, os, select, signal, sys
signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the caller's to handle
path, limit, diag = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
log = None
if path:
    try:
        log = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    except OSError:
        log = None
bad, pending, open_fds = 0, b"", [0, diag]  # the progress lines, the run's diagnostics


def keep(chunk):
    if log is not None:
        try:
            os.write(log, chunk)
        except OSError:
            pass  # the log is only a log: the run goes on


def verdict(line):
    global bad
    if b"::run]" not in line or b"fraction=" not in line:
        return None
    text = line.decode("ascii", "replace")
    value = text.split("fraction=", 1)[1].split(",", 1)[0].strip()
    try:
        x = float(value)
    except ValueError:
        x = math.nan
    if math.isfinite(x):
        bad = 0
        return None
    bad += 1
    if bad < limit:
        return None
    block = text.split("i=", 1)[1].split(",", 1)[0] if "i=" in text else "?"
    return ("stopped early at block " + block + ": its running estimate has not been a number for "
            + str(limit) + " blocks in a row (fraction=" + value + "): the walk has not met its "
            "hard-sphere reference, or its sums overflowed, so it cannot give an estimate; a temperature "
            "far below the well depth does this")


while open_fds:
    ready, _, _ = select.select(open_fds, [], [])
    for fd in ready:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            chunk = b""
        if not chunk:
            open_fds.remove(fd)
            continue
        keep(chunk)
        if fd != 0:
            continue
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            why = verdict(line)
            if why is not None:
                os.write(1, why.encode())
                os.close(1)
                # closing the progress pipe stops the run at its next line; its diagnostics
                # are still taken until the worker lets go of them
                os.close(0)
                open_fds.remove(0)
                break
"""


class Relay:
    """The relay of one run (see the module doc); ``reason`` is set once it has ended,
    when it stopped the run."""

    def __init__(self) -> None:
        self.reason: Optional[str] = None


@contextlib.contextmanager
def relayed_fd1(log_path: Optional[str], lock: "contextlib.AbstractContextManager[object]",
                limit: int = HOPELESS_LINES) -> Iterator[Relay]:
    """Point file descriptor 1 at a new relay (see the module doc) writing to `log_path`
    (None: the lines are only watched) for the duration, holding `lock` (threads of one
    process take turns at file descriptor 1), then restore it."""
    relay = Relay()
    with lock:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        read_end, write_end = os.pipe()
        diag_read, diag_write = os.pipe()
        proc: Optional["subprocess.Popen[bytes]"] = None
        try:
            if os.name == "posix" and sys.executable:
                proc = subprocess.Popen(
                    [sys.executable, "-I", "-S", "-c", RELAY, log_path or "", str(limit), str(diag_read)],
                    stdin=read_end, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, close_fds=True,
                    pass_fds=(diag_read,),
                )
        except (OSError, ValueError):
            proc = None
        except BaseException:
            os.close(write_end)
            os.close(diag_write)
            raise
        finally:
            os.close(read_end)
            os.close(diag_read)
        if proc is None:
            # no relay could be started (no interpreter to start, a platform without pass_fds):
            # the lines go straight to the log, as the engines write them
            os.close(write_end)
            os.close(diag_write)
            with direct_fd1(log_path):
                yield relay
            return
        saved, saved_err = os.dup(1), os.dup(2)
        try:
            os.dup2(write_end, 1)
            os.close(write_end)
            # the engines' diagnostics of a failing run go to the log too: the failure reaches
            # the caller as the run's exception, in one line
            os.dup2(diag_write, 2)
            os.close(diag_write)
            yield relay
        finally:
            os.dup2(saved, 1)  # the relay's input ends here: it sees the end of file
            os.dup2(saved_err, 2)
            os.close(saved)
            os.close(saved_err)
            out: List[bytes] = []
            try:
                out.append(proc.communicate(timeout=30)[0] or b"")
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            text = b"".join(out).decode("utf-8", "replace").strip()
            relay.reason = text or None



@contextlib.contextmanager
def direct_fd1(log_path: Optional[str]) -> Iterator[None]:
    """File descriptor 1 pointed at `log_path` (or the null device) for the duration."""
    saved = os.dup(1)
    target = os.open(log_path if log_path is not None else os.devnull, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    try:
        os.dup2(target, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(target)
