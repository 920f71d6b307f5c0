"""The numerical core stays free of the interpreter."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
CORE = ["runtime", "pot", "uij", "mayer", "bms", "cms", "virial"]


@pytest.mark.skipif(not SRC.is_dir(), reason="source tree not available")
def test_core_never_includes_python():
    offenders = []
    for part in CORE:
        for path in (SRC / part).rglob("*"):
            if path.suffix not in {".h", ".cpp"} or "binding" in path.relative_to(SRC).parts:
                continue
            text = path.read_text()
            if re.search(r'#\s*include\s*[<"](Python\.h|module/)', text):
                offenders.append(str(path.relative_to(SRC)))
    assert offenders == []
