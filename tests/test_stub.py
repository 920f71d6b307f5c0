"""The type stub of vica: it matches the installed module and types real use.

stubtest compares every name, class, method and argument of the stub with the
module it imports; on CPython 3.9 the interpreter drops the text signature of
a class, so there the constructors' argument names go unchecked (the methods'
still are).  A small program then goes through mypy as a user's would: the
stub must be found from site-packages, accept correct calls and reject wrong
ones at the lines marked.
"""
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

MYPY_FLAGS = ["--no-incremental", "--no-error-summary", "--show-error-codes", "--config-file", ""]


def run_module(args, cwd):
    proc = subprocess.run(
        [sys.executable, "-m", *args], cwd=str(cwd), capture_output=True, text=True, timeout=600
    )
    return proc.returncode, proc.stdout + proc.stderr


def test_stub_matches_the_module(tmp_path):
    rc, out = run_module(["mypy.stubtest", "vica"], tmp_path)
    assert rc == 0, out


GOOD = '''
from typing import List
import vica
from vica import Bms, Cms, PotK, Uij

eps, sigma = 119.8, 3.405
lj = PotK.R6R12(-4.0 * eps * sigma**6, 4.0 * eps * sigma**12)
c6: float = lj._0
c12: float = lj[1]
n: int = len(lj)
q = PotK.R1R6R12(1.0, 2.0, 3.0)
plain: PotK = PotK("R1", [2.5])
kinds: List[PotK] = [PotK.R0(), PotK.R1(1.0), lj, q, plain]
argon = [[0.0, 0.0, 0.0]]
table = [[lj]]
b: List[float] = Bms(argon, argon, table).run(300.0, -1e6, 1e-3, 2)
c: List[float] = Cms(argon, argon, argon, table, table, table).run(t_kelvin=300.0, dev_tol=1e-3, order_max=1)
u: float = Uij(argon, argon, table).uij(3.5, 0.0, 0.25, 0.1, 0.2, 0.3)
ur: float = Uij(moli=argon, molj=argon, potk=table).u_r(3.5, 1e-3, 1000, 10, 1)
greeting: str = vica.hello()


class Tagged(PotK):
    pass
'''

BAD = '''
import vica
from vica import Bms, PotK

lj = PotK.R6R12(1.0, 2.0)
argon = [[0.0, 0.0, 0.0]]
table = [[lj]]
b: float = Bms(argon, argon, table).run(300.0, -1e6, 1e-3, 2)  # E: assignment
Bms(argon, argon, table).run("300", -1e6, 1e-3, 2)  # E: arg-type
Bms(argon, argon, [[1.0]])  # E: list-item
PotK.R1()  # E: call-arg
PotK("R1", [2.5]).foo  # E: attr-defined
lj._0 = 3.0  # E: misc
PotK.R1(1.0)._1  # E: attr-defined
vica.Bms(argon, argon, table).run(300.0, u_floor=-1e6, dev_tol=1e-3, order_max=2)  # E: call-arg


class Sub(vica.Bms):  # E: misc
    pass
'''


def test_typed_use_checks_with_mypy(tmp_path):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    rc, out = run_module(["mypy", *MYPY_FLAGS, "--strict", "good.py", "bad.py"], tmp_path)
    assert "Cannot find implementation or library stub" not in out, out
    found = set()
    for line in out.splitlines():
        m = re.match(r"(good|bad)\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        if m:
            found.add((m.group(1), int(m.group(2)), m.group(3)))
    expected = set()
    for number, text in enumerate(textwrap.dedent(BAD).splitlines(), start=1):
        if "# E: " in text:
            expected.add(("bad", number, text.split("# E: ")[1].strip()))
    assert found == expected, out
