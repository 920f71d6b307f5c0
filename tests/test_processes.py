"""The module across process events: a daemon thread inside a call while the
interpreter shuts down, and children made by fork."""
import ast
import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest

import _vica_testing as t
from vica import PotK, Uij

# A daemon thread is inside a conversion (a __float__, a molecule's item, a
# table row's iteration) that sleeps, while the main thread ends and its
# finaliser keeps the interpreter finalizing long enough for the sleeper to
# wake up in it.  CPython then ends the thread with pthread_exit.
SHUTDOWN = textwrap.dedent(
    """
    import sys, threading, time
    from vica import Bms, PotK, Uij

    class Slow:
        def __float__(self):
            time.sleep(0.5); return 2.0

    class SlowSite:
        def __len__(self): return 3
        def __getitem__(self, i):
            time.sleep(0.5); return 0.0

    class SlowRow:
        def __len__(self): return 1
        def __getitem__(self, i):
            if i: raise IndexError
            time.sleep(0.5); return PotK.R1(1.0)

    class Fin:
        def __del__(self, sleep=time.sleep):
            sleep(1.0)

    u = Uij([[0, 0, 0]], [[0, 0, 0]], [[PotK.R1(1.0)]])
    calls = {
        "uij": lambda: u.uij(Slow(), 0, 0, 0, 0, 0),
        "molecule": lambda: Bms([SlowSite()], [[0, 0, 0]], [[PotK.R1(1.0)]]),
        "table": lambda: Bms([[0, 0, 0]], [[0, 0, 0]], [SlowRow()]),
    }
    a = Fin(); a.cycle = a; del a
    threading.Thread(target=calls[sys.argv[1]], daemon=True).start()
    time.sleep(0.1)
    """
)


def test_daemon_thread_inside_a_call_at_shutdown_does_not_crash_the_process():
    # Before daemon threads' forced unwind was let through, 11 of 20 such runs
    # died by SIGSEGV or SIGABRT.  The runs mostly sleep, so they go together.
    which = ["uij"] * 12 + ["molecule"] * 4 + ["table"] * 4
    procs = [
        subprocess.Popen([sys.executable, "-c", SHUTDOWN, w], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for w in which
    ]
    outcomes = []
    for w, p in zip(which, procs):
        out, err = p.communicate(timeout=120)
        outcomes.append((w, p.returncode, err.decode(errors="replace")[-400:]))
    assert [o for o in outcomes if o[1] != 0] == []


def _read_all(fd):
    chunks = []
    while True:
        b = os.read(fd, 65536)
        if not b:
            return b"".join(chunks)
        chunks.append(b)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_keys_a_generator_of_its_own():
    t.thread_next_u64()  # the parent's generator exists and has drawn
    parent_key = t.thread_rng_info()[3]
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        try:
            os.close(r)
            first = t.thread_rng_info()
            words = [t.thread_next_u64() for _ in range(8)]
            again = t.thread_rng_info()
            os.write(w, repr((first[3], words, again[3], again[1], again[2])).encode())
        finally:
            os._exit(0)
    os.close(w)
    parent_words = [t.thread_next_u64() for _ in range(8)]
    data = _read_all(r)
    os.close(r)
    os.waitpid(pid, 0)
    child_key, child_words, child_key_again, counter, index = ast.literal_eval(data.decode())
    assert child_key != parent_key
    assert child_words != parent_words and not set(child_words) & set(parent_words)
    # Keyed once: the child's later draws continue its own fresh stream.
    assert child_key_again == child_key and (counter, index) == (4, 16)
    assert t.thread_rng_info()[3] == parent_key  # the parent's generator is untouched


WATER = [[0, 0, 0], [0, 0.757, 0.586], [0, -0.757, 0.586]]
Q = [-0.834, 0.417, 0.417]
WATER_PAIR = Uij(WATER, WATER, [[PotK.R1(167100.0 * a * b) for b in Q] for a in Q])


def _u_r_in_worker(_):
    # 22 samples, 110 draws: a short run, so that a rekey of the generator
    # (after every 64 KiB of output) rarely falls inside it and hides a
    # continued stream.
    return WATER_PAIR.u_r(3.5, 0.0, 2, 1, 1000)


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="needs the fork start method")
def test_fork_pool_workers_give_independent_averages(capfd):
    _u_r_in_worker(None)  # the parent has drawn
    with multiprocessing.get_context("fork").Pool(4) as pool:
        # A worker that died would leave map() waiting for ever.
        worker_results = pool.map_async(_u_r_in_worker, range(8), chunksize=1).get(timeout=120)
    parent_next = _u_r_in_worker(None)
    capfd.readouterr()
    results = worker_results + [parent_next]
    # Forked workers that continued the parent's stream gave its next average,
    # each of them, as their first result.
    assert len(set(results)) == len(results), results
