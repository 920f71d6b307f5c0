"""Notebook and script manners: HTML tables, scan.plot(), workers=1 in this process, and one
clear message for a scan started at the top level of a script without the __main__ guard;
and the documentation's promises: the README's test command is CI's, and the API reference
lists every public name."""
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import vicatools as vt
from vicatools.results.display import number
from vicatools.results.estimate import VirialEstimate, VirialScan

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _scan():
    runs = [[-100.0, 30.0, -4.0], [-102.0, 31.0, -4.2], [-101.0, 30.5, -4.1]]
    e1 = VirialEstimate.from_runs(2, 300.0, runs, "angstrom^3")
    e2 = VirialEstimate.from_runs(2, 400.0, [[x / 2 for x in r] for r in runs], "angstrom^3")
    return VirialScan(order=2, models=("argon",), estimates=(e1, e2), dev_tol=1e-3, order_max=2,
                      mixing="lorentz-berthelot")


def test_html_tables_show_every_temperature_with_its_error_and_unit():
    scan = _scan()
    page = scan._repr_html_()
    assert page.count("<tr>") == 3                       # header and two temperatures
    assert "Å³" in page and "argon" in page and "standard error" in page
    e = scan[0]
    assert number(e.value, e.value_stderr) in page       # -101.0 ± 0.58 -> to the error's 2nd digit
    assert number(-101.0, 0.577) == "-101.00 ± 0.58"
    assert number(-45912.0, 4812.0) == "-45900 ± 4800"
    molar = scan.molar()._repr_html_()
    assert "cm³/mol" in molar and "Å³" not in molar
    assert e._repr_html_().count("<tr>") == 2


def test_plot_draws_the_standard_figure(tmp_path):
    pytest.importorskip("matplotlib")
    ax = _scan().plot(tmp_path / "b.png")
    assert (tmp_path / "b.png").stat().st_size > 0
    assert ax.get_xlabel() == "T / K" and len(ax.lines) >= 1


def test_one_worker_makes_the_runs_in_this_process(monkeypatch):
    import concurrent.futures as cf

    def no_pool(*args, **kwargs):
        raise AssertionError("a process pool was started for workers=1")

    monkeypatch.setattr(cf, "ProcessPoolExecutor", no_pool)
    scan = vt.b2("argon", temperatures=[300.0], runs=2, dev_tol=1e300, workers=1, progress=False, results=False)
    e = scan[0]
    assert e.n_runs == 2 and e.runs[0] != e.runs[1]      # two independent runs, in this process
    assert -20.0 < e.molar().value < -11.0               # B(300 K) of LJ argon: -15.5 cm^3/mol


def test_the_command_line_keeps_a_worker_process_for_one_worker():
    import concurrent.futures as cf

    from vicatools.scan.pools import InProcessExecutor, own_executor, pool_for_one_worker

    assert isinstance(own_executor(1), InProcessExecutor)
    with pool_for_one_worker():             # so that a signal stops a run at once
        pool = own_executor(1)
    assert isinstance(pool, cf.ProcessPoolExecutor)
    pool.shutdown()


def test_a_script_without_the_main_guard_stops_with_one_message(tmp_path):
    script = tmp_path / "unguarded.py"
    script.write_text(textwrap.dedent("""
        import vicatools as vt
        scan = vt.b2("argon", temperatures=[300.0], runs=2, dev_tol=1e300, workers=2, results=False)
        print(scan[0].value)
    """))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr.count("Traceback") == 1, proc.stderr
    assert proc.stderr.count('if __name__ == "__main__":') == 1
    assert "UnguardedMainError" in proc.stderr and "bootstrapping" not in proc.stderr


def test_the_readme_test_command_is_ci_s_and_the_api_reference_lists_every_public_name():
    readme = (ROOT / "README.md").read_text()
    ci = (ROOT / ".ci" / "run").read_text()
    command = re.search(r"^(python -m pip install \"\.\[test\]\".*)$", readme, re.M).group(1)
    assert command in ci
    api = (ROOT / "docs" / "reference" / "api.md").read_text()
    listed = set(re.findall(r"^   ~?(?:[\w.]+\.)?(\w+)$", api, re.M))
    assert sorted(set(vt.__all__) - listed) == []
