"""examples/ovk_report.py on folders holding awkward file names."""
import os
import subprocess
import sys
from pathlib import Path

import ovk

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
