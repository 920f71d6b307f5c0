"""The built extensions use only the 3.9 stable ABI and export only their entry points."""
import shutil
import subprocess
import sys

import pytest

import _vica_testing
import vica
from vicatools import _engine

MODULES = [vica, _vica_testing, _engine]


@pytest.mark.parametrize("mod", MODULES, ids=lambda m: m.__name__)
def test_abi3_audit_is_clean(mod):
    path = mod.__file__
    assert path.endswith(".abi3.so")
    res = subprocess.run(
        [sys.executable, "-m", "abi3audit", "--strict", "--assume-minimum-abi3", "3.9", "--verbose", path],
        capture_output=True,
        text=True,
    )
    out = res.stdout + res.stderr
    assert res.returncode == 0, out
    assert "0 ABI version mismatches and 0" in " ".join(out.split()), out


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
@pytest.mark.parametrize("mod", MODULES, ids=lambda m: m.__name__)
def test_only_entry_point_is_exported(mod):
    res = subprocess.run(["nm", "-D", "--defined-only", mod.__file__], capture_output=True, text=True, check=True)
    names = {line.split()[-1] for line in res.stdout.splitlines() if line.split()[-2] in "TDBWV"}
    py_names = {n for n in names if n.startswith("Py")}
    assert py_names == {"PyInit_" + mod.__name__.rsplit(".", 1)[-1]}
