"""The type stub matches the module, and the example and benchmark scripts type-check."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import ovk

pytest.importorskip("mypy", reason="mypy is not installed (make deps installs it)")

ROOT = Path(__file__).resolve().parents[2]
MODULE_DIR = Path(ovk.__file__).resolve().parent


def run_mypy(args, tmp_path):
    env = dict(os.environ, MYPYPATH=str(MODULE_DIR))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(MODULE_DIR), env.get("PYTHONPATH")) if p)
    # Run from a scratch folder, where mypy keeps its cache.
    return subprocess.run([sys.executable, "-m", *args], env=env, capture_output=True, text=True,
                          timeout=600, cwd=tmp_path)


def test_stub_is_installed_next_to_the_module():
    assert (MODULE_DIR / "ovk.pyi").is_file()


def test_stub_matches_the_module(tmp_path):
    result = run_mypy(["mypy.stubtest", "ovk"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_names_exactly_the_module_attributes():
    public = sorted(name for name in vars(ovk) if not name.startswith("_"))
    assert public == sorted(ovk.__all__) == sorted([
        "Event", "CompressionResult", "compress", "compress_sequence", "load_nmnist",
        "load_aedat2", "load_csv", "load_events", "event_stats"])


def test_scripts_pass_strict_type_checking(tmp_path):
    scripts = sorted(str(p) for folder in ("examples", "bench") for p in (ROOT / folder).glob("*.py"))
    assert scripts
    result = run_mypy(["mypy", "--strict", *scripts], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
