"""examples/ovk_report.py on folders holding awkward file names, and the
sensor size it takes from the ovk tool."""
import json
import os
import subprocess
import sys
from pathlib import Path

import ovk
from conftest import needs_cli, run_cli

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "ovk_report.py"


def run_report(*paths):
    env = dict(os.environ)
    module_dir = os.path.dirname(ovk.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, str(SCRIPT), *paths], env=env, capture_output=True,
                          timeout=120)


def test_name_that_is_not_utf8_is_reported_and_the_rest_goes_on(tmp_path):
    # Two compact records: (1, 0, 0, 0) and (3, 0, 100, 1).
    records = bytes([1, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 100, 0, 0, 0, 1])
    (tmp_path / "good.evb").write_bytes(records)
    with open(os.fsencode(tmp_path) + b"/bad\xff.evb", "wb") as bad:
        bad.write(records)
    result = run_report(str(tmp_path))
    stderr = result.stderr.decode()
    assert "Traceback" not in stderr
    assert result.returncode == 1  # one recording failed
    assert f"{tmp_path}/bad\\xff.evb: OSError: file name is not valid UTF-8" in stderr
    lines = result.stdout.decode().splitlines()
    assert lines[0].startswith("good.evb: 2 events, x (1, 3), y (0, 0), t (0, 100)")
    assert [line.split()[:3] for line in lines if line.startswith("good.evb ")] == \
        [["good.evb", "compress", "2"], ["good.evb", "sequence/10", "2"]]


@needs_cli
def test_sensor_size_is_the_tools(tmp_path):
    # Two N-MNIST records, (1, 2) and (3, 4): the format's sensor is 34 x 34,
    # which the tool reports, where the events' extent alone would say 4 x 5.
    (tmp_path / "digit.bin").write_bytes(bytes([1, 2, 0, 0, 0, 3, 4, 0x80, 0, 100]))
    result = run_report(str(tmp_path / "digit.bin"))
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().splitlines()[0].endswith("-> sensor 34x34")
    info = run_cli("info", "--json", tmp_path / "digit.bin", check=0)
    assert json.loads(info.stdout)["width"] == 34


def test_without_the_tool_the_events_give_the_size(tmp_path):
    (tmp_path / "digit.bin").write_bytes(bytes([1, 2, 0, 0, 0, 3, 4, 0x80, 0, 100]))
    env = {key: value for key, value in os.environ.items() if key != "OVK_CLI"}
    env["PATH"] = str(tmp_path)  # no ovk on it
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.dirname(ovk.__file__), os.environ.get("PYTHONPATH")) if p)
    result = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path / "digit.bin")], env=env,
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr.decode().startswith("note: the ovk tool was not found")
    assert result.stdout.decode().splitlines()[0].endswith("-> sensor 4x5")
