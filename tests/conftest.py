"""Collection rules and markers of the test suite."""
import sys

# The match statement exists from CPython 3.10 on; its tests live in a module
# of their own that older interpreters do not collect.
collect_ignore = []
if sys.version_info < (3, 10):
    collect_ignore.append("test_potk_match.py")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "physics: long Monte Carlo runs checked against physical references (left out of the "
        "sanitizer run of .ci/run)")
    config.addinivalue_line(
        "markers", "rss: measures the process's resident size (meaningless under a sanitizer's allocator)")


import pytest  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def _session_results_dir(tmp_path_factory):
    """Module-scoped fixtures scan too: they store into the session's own directory, never into
    the user's (where a later run of the suite would find them)."""
    import os
    old = os.environ.get("XDG_DATA_HOME")
    os.environ["XDG_DATA_HOME"] = str(tmp_path_factory.mktemp("xdg-session"))
    yield
    if old is None:
        os.environ.pop("XDG_DATA_HOME", None)
    else:
        os.environ["XDG_DATA_HOME"] = old


@pytest.fixture(autouse=True)
def _own_results_dir(tmp_path_factory, monkeypatch):
    """Every test has its own default results store directory: stored runs of one test (or of
    an earlier session) never count towards another's scan."""
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path_factory.mktemp("xdg-data")))
