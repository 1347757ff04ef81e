"""`ovk-dask sweep` on a LocalCluster against `ovk sweep --jobs N` on the same folder.

    python3 bench/bench_dask.py --writer build-bench/bench/write_synthetic_recording \\
        --ovk build-bench/bin/ovk

Writes RECORDINGS synthetic recordings of EVENTS events each (once; they are
kept in --data), then times, in one run and alternating, `ovk sweep --jobs
WORKERS` and `ovk-dask sweep --workers WORKERS` (a LocalCluster of threads;
interpreter start, imports and cluster start included), both at the sweep's
default grid, and checks that they give the same rows. Then runs the driver
with worker processes and kills one worker with SIGKILL in the middle: every
recording must still have its row exactly once.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def write_data(writer: Path, folder: Path, recordings: int, events: int) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for i in range(recordings):
        path = folder / f"r{i:03d}.evb"
        if not path.exists() or path.stat().st_size != 9 * events:
            subprocess.run([str(writer), str(path), str(events), "346", "260", str(i + 1)],
                           check=True)


def driver_command() -> list[str]:
    return [sys.executable, "-m", "ovk_dask"]


def driver_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "src"), env.get("PYTHONPATH")) if p)
    return env


def timed(command: list[str]) -> tuple[float, float]:
    """Wall seconds, and CPU seconds (user + system) of the command and its children."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=driver_env())
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def measured_rows(path: Path) -> list[tuple[tuple[str, object], ...]]:
    rows = [json.loads(line) for line in path.read_text().splitlines()]
    return sorted(tuple(sorted((k, v) for k, v in r.items() if not k.endswith("_us"))) for r in rows)


def children(pid: int) -> list[int]:
    found: list[int] = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        text = (task / "children").read_text().split()
        found += [int(p) for p in text]
    return found


def worker_pids(driver: int) -> list[int]:
    pids = []
    for pid in children(driver):
        try:
            command = Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        if b"spawn_main" in command or b"forkserver" in command:
            pids.append(pid)
    return pids


def kill_one_worker(ovk: Path, data: Path, out: Path, workers: int, shards: int) -> None:
    out.unlink(missing_ok=True)
    command = [*driver_command(), "sweep", str(data), "-o", str(out), "--workers", str(workers),
               "--worker-processes", "--shards", str(shards), "--ovk", str(ovk)]
    start = time.perf_counter()
    process = subprocess.Popen(command, env=driver_env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    shard_dir = out.with_name(out.name + ".shards")
    killed = None
    while process.poll() is None and killed is None:
        written = sum(p.read_text().count("\n") for p in shard_dir.glob("*.jsonl")) \
            if shard_dir.is_dir() else 0
        pids = worker_pids(process.pid)
        if written >= 3 and pids:
            os.kill(pids[0], signal.SIGKILL)
            killed = (pids[0], written, time.perf_counter() - start)
        time.sleep(0.05)
    _, errors = process.communicate()
    seconds = time.perf_counter() - start
    rows = [json.loads(line) for line in out.read_text().splitlines()] if out.exists() else []
    paths = [r["path"] for r in rows]
    once = len(paths) == len(set(paths)) == len(list(data.glob("*.evb")))
    print(f"kill one worker: killed pid {killed[0] if killed else None} after "
          f"{killed[1] if killed else 0} rows at {killed[2] if killed else 0:.1f} s; exit status "
          f"{process.returncode}; {len(rows)} rows, {len(set(paths))} recordings, every row "
          f"exactly once: {once}; {seconds:.2f} s")
    if errors.strip():
        print(errors.strip())


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--writer", type=Path, required=True, help="write_synthetic_recording")
    parser.add_argument("--ovk", type=Path, required=True, help="the ovk tool")
    parser.add_argument("--data", type=Path, default=Path("/tmp/ovk-dask-bench"))
    parser.add_argument("--recordings", type=int, default=40)
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--no-kill", action="store_true", help="skip the run that loses a worker")
    args = parser.parse_args(argv)
    data = args.data / "recordings"
    write_data(args.writer, data, args.recordings, args.events)
    plain, dask = args.data / "sweep.jsonl", args.data / "dask.jsonl"
    sweep_times, dask_times = [], []
    for _ in range(args.repeat):
        sweep_times.append(timed([str(args.ovk), "sweep", str(data), "--jobs", str(args.workers),
                                  "--format", "jsonl", "-o", str(plain), "-f"]))
        dask.unlink(missing_ok=True)
        dask_times.append(timed([*driver_command(), "sweep", str(data), "-o", str(dask),
                                 "--workers", str(args.workers), "--shards", str(args.shards),
                                 "--ovk", str(args.ovk)]))
    same = measured_rows(plain) == measured_rows(dask)
    (best_sweep, sweep_cpu), (best_dask, dask_cpu) = min(sweep_times), min(dask_times)
    events = args.recordings * args.events
    print(f"{args.recordings} recordings x {args.events} events, {args.workers} workers, "
          f"{args.shards} shards, best of {args.repeat}; load average {os.getloadavg()[0]:.1f}")
    print(f"ovk sweep --jobs {args.workers}:        {best_sweep:7.2f} s  "
          f"{events / best_sweep / 1e6:6.2f} M events/s  {sweep_cpu:6.2f} CPU s")
    print(f"ovk-dask sweep (LocalCluster): {best_dask:7.2f} s  "
          f"{events / best_dask / 1e6:6.2f} M events/s  {dask_cpu:6.2f} CPU s  "
          f"ratio {best_dask / best_sweep:.3f}x (target <= 1.2x); same rows: {same}")
    if not args.no_kill:
        kill_one_worker(args.ovk, data, args.data / "killed.jsonl", args.workers, args.shards)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
