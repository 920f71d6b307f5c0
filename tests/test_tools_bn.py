"""vicatools' B_n layer: `bn` / `b4` / `b5` and the command line's b4, b5, bn."""
import csv
import json
import subprocess
import sys

import pytest

import vicatools as vt

A3_TO_CM3 = 0.602214076


def cli(*args, timeout=180):
    return subprocess.run([sys.executable, "-m", "vicatools", *args], capture_output=True, text=True, timeout=timeout)


def test_b4_scan_writes_molar_csv_and_json(tmp_path):
    out_csv, out_json = tmp_path / "b4.csv", tmp_path / "b4.json"
    p = cli("b4", "trappe-co2", "-t", "300", "--runs", "2", "--force-runs", "--max-blocks", "1", "--block-steps", "20000",
            "--workers", "2", "--csv", str(out_csv), "--json", str(out_json))
    assert p.returncode == 0, p.stderr
    assert "[Bn::run" not in p.stdout + p.stderr
    assert "B4 of trappe-co2 in cm^9/mol^3" in p.stdout and "u_min = " in p.stderr
    data = json.loads(out_json.read_text())
    assert data["coefficient"] == "B4" and data["unit"] == "cm^9/mol^3"
    assert data["entries_unit"] == "angstrom^9 per molecule"
    runs = data["temperatures"][0]["runs"]
    assert len(runs) == 2 and all(len(r) == 3 for r in runs)
    row = list(csv.reader(open(out_csv, newline="")))[1]
    f = A3_TO_CM3**3
    assert float(row[2]) == pytest.approx((runs[0][0] + runs[1][0]) / 2 * f, rel=1e-12)
    # entries as Bms's: T dX/dT = -e1, T^2 d2X/dT2 = 2 e1 + 2 e2
    assert float(row[4]) == pytest.approx(-(runs[0][1] + runs[1][1]) / 2 * f, rel=1e-12)
    e1, e2 = (runs[0][1] + runs[1][1]) / 2, (runs[0][2] + runs[1][2]) / 2
    assert float(row[6]) == pytest.approx((2 * e1 + 2 * e2) * f, rel=1e-9)


@pytest.mark.parametrize(
    "args, expect",
    [
        (["bn", "argon", "-t", "300"], "--order"),
        (["bn", "argon", "-t", "300", "--order", "9"], "from 2 to 8"),
        (["b4", "argon", "argon", "-t", "300"], "1 or 4 models"),
        (["b5", "argon", "-t", "300", "--block-steps", "10"], "--block-steps"),
        (["b4", "argon", "-t", "300", "--max-blocks", "0"], "--max-blocks"),
        (["b4", "argon", "-t", "300", "--runs", "1"], "at least 2"),
        (["b5", "argon", "-t", "300", "--runs", "4"], "--force-runs"),
    ],
)
def test_bad_input_gives_one_line(args, expect):
    p = cli(*args)
    assert p.returncode == 2
    assert "Traceback" not in p.stderr and len(p.stderr.strip().splitlines()) == 1, p.stderr
    assert expect in p.stderr


def test_api_refusals():
    with pytest.raises(ValueError, match="from 2 to 8"):
        vt.bn("argon", 9, temperatures=300)
    with pytest.raises(ValueError, match="n = 4 models"):
        vt.bn(["argon", "argon"], 4, temperatures=300)
    with pytest.raises(ValueError, match="block_steps"):
        vt.b5("argon", temperatures=300, block_steps=5)
    with pytest.raises(ValueError, match="order_max"):
        vt.b4("argon", temperatures=300, order_max=31)
    with pytest.raises(ValueError, match="force_runs"):
        vt.b5("argon", temperatures=300, runs=4)
