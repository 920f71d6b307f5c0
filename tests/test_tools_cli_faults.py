"""The command line under hostile input and faults, as a careful user meets them: nothing wrong
with exit 0, no file of the user's overwritten or left half-written, nothing stale reused, one
line on standard error for what is refused (exit 2), before any run."""
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from vicatools.scan import store

QUICK = ["--dev-tol", "1e300", "--runs", "2", "--workers", "1"]


def _cli(*args, timeout=300, env=None, prefix=()):
    return subprocess.run([*prefix, sys.executable, "-m", "vicatools", *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


def _one_line_refusal(res, *words):
    assert res.returncode == 2, res.stderr
    assert res.stderr.count("\n") == 1 and "Traceback" not in res.stderr, res.stderr
    for w in words:
        assert w in res.stderr, res.stderr


def _namespace(*mounts, after=""):
    """A prefix running the command in a mount namespace of its own with `mounts` (shell
    commands) made first, and `after` run once it ended: a full or read-only file system
    without touching the machine's."""
    if not shutil.which("unshare") or subprocess.run(["unshare", "-Urm", "true"], capture_output=True).returncode:
        pytest.skip("needs unshare with user and mount namespaces")
    tail = f'; status=$?; {after}; exit $status' if after else ""
    # the machine's own tools (dd, mount) run without a preloaded sanitizer runtime, which
    # some of them do not survive; the command gets it back
    keep = 'preload="${LD_PRELOAD-}"; unset LD_PRELOAD; '
    return ("unshare", "-Urm", "sh", "-c", keep + " && ".join(mounts) + ' && LD_PRELOAD="$preload" "$@"' + tail,
            "sh")


@pytest.mark.parametrize("args", [
    ["b4", "argon", "-t", "300", "--u-min", "-1"],
    ["b4", "argon", "-t", "300", "--u-min", "0"],
    ["b5", "argon", "-t", "300", "--u-min", "1e300"],
    ["bn", "argon", "--order", "4", "-t", "300", "--u-min", "inf"],
    ["b2", "--method", "mayer", "argon", "-t", "300", "--u-min", "inf"],
    ["b4", "argon", "-t", "300", "--workers", str(10**30)],
    ["b4", "argon", "-t", "300", "--block-steps", str(10**11)],
    ["b4", "argon", "-t", "300", "--max-blocks", str(10**7)],
])
def test_floors_and_numbers_out_of_range_are_refused_before_any_run(tmp_path, args):
    res = _cli(*args, "--results", str(tmp_path / "s.jsonl"))
    _one_line_refusal(res)
    assert not (tmp_path / "s.jsonl").exists()


def test_results_that_is_not_a_store_is_refused_and_left_as_it_is(tmp_path):
    earlier = tmp_path / "scan.json"
    earlier.write_text(json.dumps({"coefficient": "B2", "temperatures": []}, indent=2) + "\n")
    model = tmp_path / "argon.toml"
    model.write_text('name = "a"\n[[sites]]\nname = "Ar"\nposition = [0, 0, 0]\nepsilon = 119.8\nsigma = 3.405\n'
                     'charge = 0\n')
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path in (earlier, model, fifo):
        before = None if path == fifo else path.read_bytes()
        # (a FIFO opened for writing would wait for a reader: the timeout would end the test)
        res = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--results", str(path), timeout=120)
        _one_line_refusal(res, "--results")
        if before is not None:
            assert path.read_bytes() == before


def test_output_paths_are_checked_before_the_scan(tmp_path):
    res = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--csv", str(tmp_path / "newdir") + "/",
               "--results", str(tmp_path / "s.jsonl"))
    _one_line_refusal(res, "--csv")
    assert not (tmp_path / "s.jsonl").exists()


def test_model_file_overflows_name_the_file(tmp_path):
    cases = {
        "huge.json": '{"name": "x", "sites": [{"name": "a", "position": [0, 0, 0], "epsilon": 1' + "0" * 400
                     + ', "sigma": 1, "charge": 0}]}',
        "deep.json": "[" * 100_000 + "]" * 100_000,
        "units.toml": 'name = "x"\nunits = {energy = "K", length = "nm"}\n[[sites]]\nname = "a"\n'
                      'position = [1e308, 0, 0]\nepsilon = 1\nsigma = 1\ncharge = 0\n',
    }
    for name, text in cases.items():
        (tmp_path / name).write_text(text)
        _one_line_refusal(_cli("b2", str(tmp_path / name), "-t", "300", timeout=60), name)


def test_read_only_complete_store_is_read_and_an_incomplete_one_refused(tmp_path):
    data = tmp_path / "ro"
    data.mkdir()
    path = data / "s.jsonl"
    first = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--results", str(path), "--quiet")
    assert first.returncode == 0, first.stderr
    ro = _namespace(f"mount --bind {data} {data}", f"mount -o remount,ro,bind {data}")
    again = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--results", str(path), prefix=ro)
    assert again.returncode == 0 and "(2 of 2 runs already there, 0 to make)" in again.stderr, again.stderr
    assert first.stdout.splitlines()[-1] == again.stdout.splitlines()[-1]
    more = _cli("b2", "--method", "mayer", "argon", "-t", "300", "400", *QUICK, "--results", str(path), "--quiet", prefix=ro)
    _one_line_refusal(more, "read-only", "2 run(s) are missing")


def test_full_disk_never_leaves_a_broken_output_nor_fails_a_run_by_its_log(tmp_path):
    full = tmp_path / "full"
    full.mkdir()
    ns = _namespace(f"mount -t tmpfs -o size=64k tmpfs {full}", f"mkdir {full}/logs",
                    f"echo '{{\"earlier\": true}}' > {full}/scan.json",
                    f"(dd if=/dev/zero of={full}/filler bs=1k count=64 2>/dev/null || true)",
                    after=f"echo ---; cat {full}/scan.json; ls -a {full}")
    res = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--results", str(tmp_path / "s.jsonl"), "--quiet",
               "--log-dir", str(full / "logs"), "--json", str(full / "scan.json"), prefix=ns)
    # the runs went through although their logs could not be written
    assert [r.status for r in store.read_records(tmp_path / "s.jsonl")] == ["ok", "ok"]
    # the JSON could not be written: one line, and the earlier file is whole, no temporary left
    assert res.returncode == 1 and "Traceback" not in res.stderr and res.stderr.count("\n") == 1, res.stderr
    after = res.stdout.split("---\n", 1)[1].split()
    assert after[:2] == ['{"earlier":', "true}"] and not [f for f in after if f.endswith(".tmp")], res.stdout


def test_a_run_that_cannot_reach_its_reference_is_stopped_early_and_named(tmp_path):
    res = _cli("b2", "--method", "mayer", "argon", "-t", "1", "--runs", "2", "--workers", "2", "--quiet",
               "--results", str(tmp_path / "s.jsonl"))
    assert res.returncode == 1
    assert "stopped early at block 0029" in res.stderr and "hard-sphere reference" in res.stderr, res.stderr
    assert "Broken pipe" not in res.stderr and "Traceback" not in res.stderr  # (block 29 of 1000)


def test_hangup_then_terminate_ends_as_the_hangup(tmp_path):
    path = tmp_path / "s.jsonl"
    proc = subprocess.Popen([sys.executable, "-m", "vicatools", "b2", "--method", "mayer", "argon", "-t", "300", "--dev-tol", "1e-12",
                             "--runs", "2", "--workers", "1", "--results", str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    end = time.monotonic() + 60
    while not path.exists() and time.monotonic() < end:
        time.sleep(0.05)
    time.sleep(1.0)  # into the run
    proc.send_signal(signal.SIGHUP)
    time.sleep(0.05)
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 129 and "stopped by SIGHUP" in err and "Traceback" not in err, err


def test_two_scans_on_one_store_never_make_a_run_twice(tmp_path):
    path = tmp_path / "s.jsonl"
    args = [sys.executable, "-m", "vicatools", "b2", "--method", "mayer", "argon", "-t", "300", "--dev-tol", "1e300", "--runs", "3",
            "--workers", "1", "--results", str(path)]
    first = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(0.5)
    second = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    outs = [p.communicate(timeout=300) for p in (first, second)]
    assert first.returncode == 0 and second.returncode == 0, outs
    assert len(list(store.read_records(path))) == 3  # not 6
    assert outs[0][0].splitlines()[-1] == outs[1][0].splitlines()[-1]  # the same runs, the same table


def test_poisoned_records_are_skipped_with_one_warning_and_remade(tmp_path):
    path = tmp_path / "s.jsonl"
    first = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--results", str(path), "--quiet")
    assert first.returncode == 0, first.stderr
    lines = path.read_text().splitlines()
    poisoned = json.loads(lines[0])
    poisoned["entries"] = ["nan", 1.0, 2.0]  # an ok record that would print "-"
    emptied = json.loads(lines[1])
    emptied["entries"] = []  # one that made every resume fail
    path.write_text(json.dumps(poisoned) + "\n" + json.dumps(emptied) + "\n")
    again = _cli("b2", "--method", "mayer", "argon", "-t", "300", *QUICK, "--results", str(path), "--csv", "/dev/stdout")
    assert again.returncode == 0 and "t_kelvin,runs,b," in again.stdout, again.stderr  # a device: written directly
    warning = [line for line in again.stderr.splitlines() if "warning" in line]
    assert len(warning) == 1 and "2 record(s) skipped" in warning[0], again.stderr
    assert "(0 of 2 runs already there, 2 to make" in again.stderr
    assert all(math.isfinite(x) for r in store.trusted_records(path)[0] for x in r.entries)
