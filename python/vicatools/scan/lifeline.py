"""Worker processes that cannot outlive the process that started them.

A run holds its worker's interpreter lock for its whole length, so no thread of the
worker could watch its parent meanwhile: the kernel has to.  On Linux each worker asks
for SIGKILL when its parent dies (``prctl(PR_SET_PDEATHSIG)``).  That request only
covers deaths after it is made, so the worker then checks that its parent is still the
process that started it, and exits at once when it is not (the parent died before).

The request is made as the first thing a worker does: before it imports vicatools,
numpy or the caller's modules.  `worker_initializer` is therefore not a function of
this package but a call of the built-in ``exec`` on the short source below, which a
pool unpickles without importing anything heavy.  (Under "spawn" the only code that
runs earlier is the interpreter's start-up and, for a caller started as a script, the
import of that script; the check after the request covers a parent that died then.)
"""
from __future__ import annotations

import functools
import os
import signal
import sys
from typing import Callable

WORKER_START = """
import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the caller's to handle
if sys.platform.startswith("linux"):
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except Exception:
        pass
if os.getppid() != parent:  # the caller died before the request: it would never fire
    os._exit(1)
"""


def worker_initializer() -> Callable[[], None]:
    """The initializer of a pool's workers (see the module doc): they ignore SIGINT, die with
    this process, and exit at once when it is already gone."""
    namespace = {"__name__": "vicatools_worker_start", "parent": os.getpid()}
    fn: Callable[[], None] = functools.partial(exec, WORKER_START, namespace)
    return fn


def die_with_parent() -> bool:
    """Ask the kernel to kill this process (SIGKILL) when its parent dies; Linux only
    (``prctl(PR_SET_PDEATHSIG)``).  Returns whether it was set."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(1, signal.SIGKILL, 0, 0, 0) != 0:
            return False
    except (OSError, AttributeError):
        return False
    return True
