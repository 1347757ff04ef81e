import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import ovk

REAL_DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data" / "real"


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter that imports the same ovk build."""
    env = dict(os.environ)
    module_dir = os.path.dirname(ovk.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="session")
def internal_fault():
    """The InternalFault class; any failed interpreter call inside ovk creates it."""
    with pytest.raises(TypeError):
        ovk.compress([], 1.5, 1, 1, 1)
    found = [c for c in BaseException.__subclasses__()
             if c.__module__ == "ovk" and c.__name__ == "InternalFault"]
    assert len(found) == 1
    return found[0]


@pytest.fixture
def evs():
    return [ovk.Event(1, 0, 0, 0), ovk.Event(3, 0, 100, 0)]
