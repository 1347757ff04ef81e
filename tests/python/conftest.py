import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import ovk

REPO = Path(__file__).resolve().parents[2]
REAL_DATA = REPO.parent / "shared" / "data" / "real"
needs_real = pytest.mark.skipif(not REAL_DATA.is_dir(),
                                reason=f"real recordings not found at {REAL_DATA}")

# The ovk tool, as CTest hands it over; its tests skip when it was not built.
CLI = os.environ.get("OVK_CLI")
needs_cli = pytest.mark.skipif(
    not CLI, reason="OVK_CLI is not set: the ovk tool was not built (its libraries are missing)")


def run_cli(*args, check=None, timeout=300, **kwargs):
    """Runs the tool; `check` is the exit status it must end with."""
    done = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert done.returncode >= 0, f"killed by signal {-done.returncode}: {done.stderr}"
    if check is not None:
        assert done.returncode == check, done.stderr
    return done


def run_with_stderr_on_a_terminal(*args, timeout=60):
    """Runs the tool with stderr on a pseudo-terminal; returns the finished
    process (stdout captured as bytes) and what the terminal received."""
    import pty
    import select
    master, slave = pty.openpty()
    try:
        done = subprocess.run([CLI, *map(str, args)], stdout=subprocess.PIPE, stderr=slave,
                              timeout=timeout)
        os.close(slave)
        slave = -1
        seen = b""
        while select.select([master], [], [], 1.0)[0]:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        if slave >= 0:
            os.close(slave)
        os.close(master)
    return done, seen


def padded(n):
    """A grid size padded to the next power of two (1 for 0 and 1)."""
    return 1 if n <= 1 else 1 << (n - 1).bit_length()


def time_bin(t, tmin, span, bins):
    """The binning rule: bins - 1 scaled by the normalised time, truncated, in
    double precision; a span below 1 counts as 1."""
    u = (bins - 1.0) * ((t - tmin) / max(span, 1))
    return int(u) if u > 0 else 0


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
