"""`python -m vicatools`: tables, CSV / JSON / PNG files, and one clear line for bad input."""
import csv
import json
import os
import socket
import subprocess
import sys

import pytest

import vicatools  # noqa: E402,F401

CSV_HEADER = ["t_kelvin", "runs", "b", "b_stderr", "t_dbdt", "t_dbdt_stderr", "t2_d2bdt2", "t2_d2bdt2_stderr"]
A3_TO_CM3 = 0.602214076


def cli(*args, env=None, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "vicatools", *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def test_models_lists_the_library():
    p = cli("models")
    assert p.returncode == 0
    lines = p.stdout.splitlines()
    names = [line.split()[0] for line in lines]
    assert len(names) >= 25 and {
        "argon", "trappe-methane", "trappe-ethane", "trappe-n2", "trappe-co2", "spce", "tip4p-2005"
    } <= set(names)
    co2 = lines[names.index("trappe-co2")]
    assert "Potoff" in co2 and "3 sites" in co2 and "carbon dioxide" in co2
    assert "[mie]" in lines[names.index("mie-methane")]


def test_b2_scan_writes_csv_json_and_plot(tmp_path):
    files = {k: str(tmp_path / f"out.{k}") for k in ("csv", "json", "png")}
    p = cli(
        "b2", "--method", "mayer", "argon", "--temperatures", "250", "600", "--runs", "2", "--dev-tol", "1e300", "--workers", "2",
        "--csv", files["csv"], "--json", files["json"], "--plot", files["png"], "--log-dir", str(tmp_path / "logs"),
    )
    assert p.returncode == 0, p.stderr
    assert "[Bms::run" not in p.stdout + p.stderr
    assert "cm^3/mol" in p.stdout and "u_min = -inf K" in p.stderr
    assert "reference padding = 3.405 A (auto: " in p.stderr
    with open(files["csv"], newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == CSV_HEADER
    assert [float(r[0]) for r in rows[1:]] == [250.0, 600.0] and all(r[1] == "2" for r in rows[1:])
    data = json.loads(open(files["json"]).read())
    assert data["model"] == "argon" and data["unit"] == "cm^3/mol" and data["coefficient"] == "B2"
    assert [t["t_kelvin"] for t in data["temperatures"]] == [250.0, 600.0]
    assert data["reference_padding_angstrom"] == 3.405 and data["reference_padding"]["origin"] == "auto"
    assert all(len(t["cpu_seconds"]) == 2 and min(t["cpu_seconds"]) > 0 for t in data["temperatures"])
    for row, t in zip(rows[1:], data["temperatures"]):
        runs = t["runs"]  # every run's entries, A^3 per molecule
        assert len(runs) == 2 and all(len(r) == 3 for r in runs)
        b = (runs[0][0] + runs[1][0]) / 2 * A3_TO_CM3
        assert float(row[2]) == pytest.approx(b, rel=1e-12) and t["b"] == pytest.approx(b, rel=1e-12)
        t_dbdt = -(runs[0][1] + runs[1][1]) / 2 * A3_TO_CM3  # T dB/dT = -e1
        assert float(row[4]) == pytest.approx(t_dbdt, rel=1e-12)
        stderr = abs(runs[0][0] - runs[1][0]) / 2 * A3_TO_CM3  # sd / sqrt(2) of two values
        assert float(row[3]) == pytest.approx(stderr, rel=1e-9) and t["b_stderr"] == pytest.approx(stderr, rel=1e-9)
    assert float(rows[1][2]) < 0 < float(rows[2][2])  # LJ argon: B changes sign near 410 K
    with open(files["png"], "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert len(os.listdir(tmp_path / "logs")) == 4


def test_b3_csv_names_its_columns_after_c(tmp_path):
    out = tmp_path / "c.csv"
    p = cli("b3", "argon", "-t", "300", "--runs", "2", "--dev-tol", "1e300", "--order-max", "1", "--csv", str(out),
            "--quiet")
    assert p.returncode == 0, p.stderr
    assert p.stderr == ""  # --quiet: no progress bar
    assert "cm^6/mol^2" in p.stdout
    rows = list(csv.reader(open(out, newline="")))
    assert rows[0] == [c.replace("b", "c") for c in CSV_HEADER]
    assert 500 < float(rows[1][2]) < 1400  # C of LJ argon at 300 K is 2603 A^6 = 944 cm^6/mol^2
    assert rows[1][6] == "nan"  # no second derivative with --order-max 1


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _bad_model_file(tmp_path, text, name="bad.toml"):
    path = tmp_path / name
    path.write_bytes(text.encode("latin-1"))
    return str(path)


GOOD_SITE = '[[sites]]\nname = "A"\nposition = [0, 0, 0]\nepsilon = 100.0\nsigma = 3.0\ncharge = 0.0\n'


@pytest.mark.parametrize(
    "args, expect",
    [
        (["b2", "helium", "-t", "300"], "unknown model 'helium'"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "0"], "above 0 K"),
        (["b2", "--method", "mayer", "argon", "-t", "-20"], "above 0 K"),
        (["b2", "--method", "mayer", "argon", "-t", "nan"], "above 0 K"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--runs", "1"], "at least 2"),
        (["b2", "--method", "mayer", "argon", "-t", "abc"], "invalid float value"),
        (["b2", "--method", "mayer", "argon"], "--temperatures"),
        (["b3", "argon", "argon", "-t", "300"], "1 or 3 models"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--dev-tol", "0"], "--dev-tol"),
        (["b3", "argon", "-t", "300", "--reference-padding", "0"], "above 0"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--reference-padding", "big"], "--reference-padding"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--csv", "/nonexistent-dir/x.csv"], "does not exist"),
        (["b3", "argon", "-t", "300", "--u-min", "-100"], "unrecognized arguments: --u-min"),
        (["b2", "FILE:name = 'x'\n" + GOOD_SITE.replace('sigma = 3.0\n', ''), "-t", "300"], "'sites[0].sigma' is missing"),
        (["b2", "FILE:name = 'x'\n" + GOOD_SITE.replace('3.0', '"3.0"'), "-t", "300"], "'sites[0].sigma' must be a number"),
        (["b2", "FILE:" + GOOD_SITE, "-t", "300"], "'name' is missing"),
        (["b2", "FILE:name = 'x'\n[units]\nenergy = 'eV'\n" + GOOD_SITE, "-t", "300"], "'units.energy'"),
        (["b2", "FILE:name = 'x\n", "-t", "300"], "not valid TOML"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--csv", "DIR"], "is a directory"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--json", "DIR/ro.json"], "is not writable"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--plot", "b.gif"], "unknown suffix '.gif'"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--csv", "DIR/o", "--results", "DIR/o"], "name the same file"),
        (["b2", "FILE:name = 'x'\n" + GOOD_SITE, "-t", "300", "--json", "MODEL"], "is a model file of this scan"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--order-max", "170"], "at most 169"),
        (["b3", "argon", "-t", "300", "--runs", "1000000000"], "at most 100000"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--u-min", "-1"], "above the lowest pair energy of argon (-119.8 K)"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--u-min", "-2e3", "--runs", "1"], "at least 2"),  # -2e3 is a value
        (["b2", "FILE:\xff", "-t", "300"], "not UTF-8"),
        (["b2", "--method", "mayer", "argon", "-t", "300", "--log-dir", "DIR/ro.json"], "is not a directory"),
    ],
)
def test_bad_input_gives_one_line(tmp_path, args, expect):
    args = [_bad_model_file(tmp_path, a[5:]) if a.startswith("FILE:") else a for a in args]
    model = next((a for a in args if a.endswith("bad.toml")), None)
    if expect == "is not writable" and os.geteuid() == 0:
        pytest.skip("root may write a read-only file")
    (tmp_path / "ro.json").write_text("")
    (tmp_path / "ro.json").chmod(0o444)
    args = [a.replace("DIR", str(tmp_path)) if a.startswith("DIR") else model if a == "MODEL" else a for a in args]
    p = cli(*args)
    assert p.returncode == 2
    assert "Traceback" not in p.stderr
    assert len(p.stderr.strip().splitlines()) == 1, p.stderr
    assert expect in p.stderr
    if "unknown model" in expect:
        assert "trappe-co2" in p.stderr  # the known ones are listed


def test_unreachable_scheduler_gives_one_line():
    pytest.importorskip("distributed")
    env = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s")
    p = cli("b2", "--method", "mayer", "argon", "-t", "300", "--runs", "2", "--scheduler", f"tcp://127.0.0.1:{_free_port()}", env=env, timeout=60)
    assert p.returncode == 1
    assert "Traceback" not in p.stderr
    assert p.stderr.strip().splitlines()[-1].startswith("python -m vicatools: error: cannot reach the Dask scheduler")
    assert len([line for line in p.stderr.splitlines() if "error" in line.lower()]) == 1


def test_c_of_bare_charges_takes_a_stated_core_or_is_refused(tmp_path):
    out = tmp_path / "c.json"
    p = cli("b3", "spce", "-t", "500", "--runs", "2", "--dev-tol", "1e300", "--json", str(out), "--workers", "2")
    assert p.returncode == 0, p.stderr
    assert "core = 0.1 A (default" in p.stderr and "O-H" in p.stderr
    data = json.loads(out.read_text())
    assert data["core"]["angstrom"] == 0.1 and data["core"]["pairs"] == [["O", "H"]]
    assert abs(data["temperatures"][0]["c"]) < 1e6  # cm^6/mol^2: no collapse (without the core, ~1e10)
    for args in (("b3", "spce", "--core", "none"), ("b2", "tip4p-2005", "--u-min", "-inf", "--core", "none"),
                 ("b3", "spce", "--core", "-1")):
        p = cli(*args, "-t", "300", "--runs", "2", "--quiet")
        assert p.returncode == 2, p.stderr
        assert len(p.stderr.strip().splitlines()) == 1


def test_compare_prints_model_experiment_and_deviation(tmp_path):
    p = cli("b2", "--method", "mayer", "argon", "-t", "300", "400", "--runs", "2", "--dev-tol", "1e300", "--compare", "--quiet")
    assert p.returncode == 0, p.stderr
    lines = p.stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if "beside argon" in line)
    # the measured set by default, its source with the kind of its uncertainties, and each row's kind
    assert "[1] measured, uncertainties as stated" in lines[start + 1] and "Trusler" in lines[start + 1]
    assert "model - reference" in lines[start + 2]
    rows = [line.split() for line in lines[start + 3:]]
    assert [r[0] for r in rows] == ["355", "400"]  # reference temperatures inside the scan
    for r in rows:  # model, reference, deviation, each "x +/- u"; deviation = model - reference
        assert float(r[7]) == pytest.approx(float(r[1]) - float(r[4]), abs=0.02)
        assert r[11:13] == ["[1]", "measured"]
    p = cli("b2", "argon", "-t", "300", "400", "--runs", "2", "--dev-tol", "1e300", "--compare", "equation",
            "--quiet")
    assert p.returncode == 0, p.stderr
    assert "ESTIMATED by us" in p.stdout and "Tegeler" in p.stdout
    bad = tmp_path / "bad.csv"
    bad.write_text("300,abc,1\n")
    for args in (("--compare", str(bad)), ("--compare", str(tmp_path / "missing.csv"))):
        p = cli("b2", "--method", "mayer", "argon", "-t", "300", "--runs", "2", *args, "--quiet")
        assert p.returncode == 2 and len(p.stderr.strip().splitlines()) == 1, p.stderr
    p = cli("b2", "--method", "mayer", "argon", "trappe-methane", "-t", "300", "--runs", "2", "--compare", "--quiet")
    assert p.returncode == 2 and "one model" in p.stderr
