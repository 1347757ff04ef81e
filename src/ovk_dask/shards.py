"""Running one shard of a sweep: the task each Dask worker executes."""

import ctypes
import signal
import subprocess
import sys
import time

# The message `ovk sweep --resume` gives while another run holds the file.
BUSY = "another sweep is writing this file"
SUMMARY = "summary: "
# ovk's exit status for usage errors: retrying cannot help.
USAGE = 2


class ShardFailed(RuntimeError):
    """A shard's sweep did not finish; Dask runs the task again."""


# Looked up here, not in the child: between fork and exec the child only
# calls it (no library loading while other threads may hold the loader's lock).
_PRCTL = ctypes.CDLL(None, use_errno=True).prctl if sys.platform.startswith("linux") else None
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """In the child before exec: SIGKILL when the worker that started it dies,
    so a killed worker leaves no sweep behind appending to the shard file."""
    _PRCTL(_PR_SET_PDEATHSIG, signal.SIGKILL)


def run_shard(command, cwd, summarised=True):
    """Runs `command` (an ``ovk sweep ... --shard K/N --resume -o FILE``) in
    `cwd`. Returns ``{"failures": [...]}``, the recordings it reported as
    failed ("path: message" lines), or ``{"rejected": text}`` when the sweep
    refused its command line or its file (no retry can help).

    `summarised` is False for commands that print no summary (convert,
    encode): any exit status 0 or 1 then means the shard ran to its end.

    Raises ShardFailed when the sweep was killed, crashed, or found its file
    held by another run: a retry resumes it.
    """
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, errors="replace",
                          preexec_fn=_die_with_parent if _PRCTL is not None else None)
    lines = done.stderr.splitlines()
    finished = any(line.startswith(SUMMARY) for line in lines) or not summarised
    if done.returncode == USAGE:
        return {"rejected": "\n".join(lines)}
    if done.returncode in (0, 1) and finished:
        report = []
        for line in lines:
            if line.startswith(SUMMARY):
                break
            if "recordings already measured" not in line:
                report.append(line)
        return {"failures": report}
    if any(line.endswith(BUSY) for line in lines):
        time.sleep(0.5)  # the sweep of a worker that just died may hold the file a moment
        raise ShardFailed("\n".join(lines))
    if done.returncode == 1:
        return {"rejected": "\n".join(lines)}  # the shard file cannot be used as it is
    raise ShardFailed(f"{' '.join(command)}: exit status {done.returncode}: {done.stderr[-2000:]}")
