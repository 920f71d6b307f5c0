"""The installed vicatools type-checks under mypy --strict (skipped where mypy is absent)."""
import subprocess
import sys

import pytest

import vicatools  # noqa: E402,F401
pytest.importorskip("mypy")

CONFIG = """\
[mypy]
strict = True
cache_dir = {cache}

# vica is checked through its stub; other third-party packages are taken as untyped (Any): faster,
# and their own typing is not tested here
[mypy-tqdm,tqdm.*,distributed,distributed.*,dask,dask.*,matplotlib,matplotlib.*,tomli,pandas,pandas.*,openmm,openmm.*]
ignore_missing_imports = True
follow_imports = skip
"""


def test_mypy_strict(tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text(CONFIG.format(cache=tmp_path / "cache"))
    p = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(config), "-p", "vicatools"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert p.returncode == 0, p.stdout + p.stderr
