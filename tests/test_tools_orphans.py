"""No process outlives the command: the command is killed (SIGKILL, which it cannot handle) at
many moments of its workers' start-up and of a pool rebuild, and every process it started (the
workers, the resource tracker, anything they started) is gone seconds later."""
import os
import signal
import subprocess
import sys
import time
import uuid

import pytest

psutil = pytest.importorskip("psutil")

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the death signal is Linux's")

LONG_SCAN = ["b2", "argon", "--dev-tol", "1e-12", "--workers", "2", "--runs", "2", "-t", "300", "--quiet"]
MARK = "VICATOOLS_FAMILY_UNDER_TEST"


def _start(tmp_path, token):
    env = dict(os.environ, **{MARK: token})
    return subprocess.Popen([sys.executable, "-m", "vicatools", *LONG_SCAN, "--results", str(tmp_path / "s.jsonl")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)


def _family(token):
    """Every live process carrying the token in its environment (it survives the parent's death)."""
    out = []
    for p in psutil.process_iter():
        try:
            if p.environ().get(MARK) == token and p.status() != psutil.STATUS_ZOMBIE:
                out.append(p)
        except (psutil.NoSuchProcess, psutil.AccessDenied, psutil.ZombieProcess):
            continue
    return out


def _workers(proc):
    try:
        return [p for p in psutil.Process(proc.pid).children() if "spawn_main" in " ".join(p.cmdline())]
    except (psutil.NoSuchProcess, psutil.ZombieProcess):
        return []


def _wait(cond, timeout=60):
    end = time.monotonic() + timeout
    while True:
        value = cond()
        if value:
            return value
        assert time.monotonic() < end, "timed out"
        time.sleep(0.01)


def _kill_and_check(proc, token):
    proc.send_signal(signal.SIGKILL)
    proc.wait(10)
    end = time.monotonic() + 30  # a worker still importing (a loaded machine) ends once it can check
    left = _family(token)
    while left and time.monotonic() < end:
        time.sleep(0.1)
        left = _family(token)
    names = [" ".join(p.cmdline())[-80:] for p in left]
    for p in left:  # leave nothing behind, whatever the verdict
        p.kill()
    return names


@pytest.mark.parametrize("delay", [0.0, 0.1, 0.3, 0.6])
def test_killed_while_its_workers_start(tmp_path, delay):
    token = uuid.uuid4().hex
    proc = _start(tmp_path, token)
    _wait(lambda: _workers(proc))  # the first worker exists: it is starting up now
    time.sleep(delay)
    assert _kill_and_check(proc, token) == []


@pytest.mark.parametrize("delay", [0.0, 0.2])
def test_killed_while_the_pool_is_rebuilt(tmp_path, delay):
    token = uuid.uuid4().hex
    proc = _start(tmp_path, token)
    first = _wait(lambda: len(_workers(proc)) >= 2 and _workers(proc))
    time.sleep(0.3)
    first[0].kill()  # the pool breaks and is rebuilt with new workers
    old = {p.pid for p in first}
    _wait(lambda: [p for p in _workers(proc) if p.pid not in old])
    time.sleep(delay)
    assert _kill_and_check(proc, token) == []
