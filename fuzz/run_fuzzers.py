#!/usr/bin/env python3
"""Runs every libFuzzer target of a fuzz build and prints a table of
executions, executions per second and findings.

The targets are those listed in <build>/fuzz/fuzz_targets.txt (written by
fuzz/CMakeLists.txt). Each starts from its seed corpus, adds what it finds to
a scratch corpus in <build>/corpus/<target>, and writes any crash, timeout or
out-of-memory input into its seed corpus folder, which CTest replays.
"""
import argparse
import concurrent.futures
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

# Every target must reach this many executions per second under the sanitizers.
MIN_EXECS_PER_SECOND = 2000


def read_targets(build: Path, only: list[str]) -> list[dict[str, Any]]:
    targets = []
    for line in (build / "fuzz" / "fuzz_targets.txt").read_text().splitlines():
        name, corpus, dictionary = (line.split("\t") + ["", "", ""])[:3]
        if name and (not only or name in only):
            targets.append({"name": name, "corpus": Path(corpus), "dict": dictionary,
                            "binary": build / "fuzz" / f"fuzz_{name}"})
    return targets


def run_target(target: dict[str, Any], build: Path, seconds: int) -> dict[str, Any]:
    scratch = build / "corpus" / target["name"]
    scratch.mkdir(parents=True, exist_ok=True)
    command = [str(target["binary"]), f"-max_total_time={seconds}", "-print_final_stats=1",
               "-timeout=10", f"-artifact_prefix={target['corpus']}/"]
    if target["dict"]:
        command.append(f"-dict={target['dict']}")
    command += [str(scratch), str(target["corpus"])]
    started = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, errors="replace")
    assert proc.stderr is not None
    log = proc.stderr.read()
    # The CPU time the target got: on a shared machine its wall-clock rate
    # depends on everything else running.
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    (build / "corpus" / f"{target['name']}.log").write_text(log)

    def stat(key: str) -> int:
        match = re.search(rf"stat::{key}:\s+(\d+)", log)
        return int(match.group(1)) if match else 0

    findings = re.findall(r"Test unit written to (\S+)", log)
    return {"name": target["name"], "seconds": time.monotonic() - started,
            "execs": stat("number_of_executed_units"),
            "per_second": stat("average_exec_per_sec"), "cpu": cpu,
            "corpus": len(list(scratch.iterdir())),
            "findings": findings, "exit": proc.returncode}


def print_table(results: list[dict[str, Any]]) -> None:
    print(f"{'target':<16} {'seconds':>7} {'executions':>12} {'exec/s':>8} {'cpu s':>6} "
          f"{'exec/cpu s':>10} {'corpus':>7}  findings")
    for r in results:
        slow = ""
        if r["per_second"] < MIN_EXECS_PER_SECOND:
            slow = f"  (below {MIN_EXECS_PER_SECOND})"
        found = ", ".join(r["findings"]) or ("none" if r["exit"] == 0 else f"exit {r['exit']}")
        per_cpu = round(r["execs"] / r["cpu"]) if r["cpu"] > 0 else 0
        print(f"{r['name']:<16} {r['seconds']:>7.0f} {r['execs']:>12,} {r['per_second']:>8,} "
              f"{r['cpu']:>6.1f} {per_cpu:>10,} {r['corpus']:>7}  {found}{slow}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path, help="the fuzz build folder")
    parser.add_argument("--seconds", type=int, default=20, help="run time of each target")
    parser.add_argument("--jobs", type=int, default=1,
                        help="targets run at once (at most the number of cores)")
    parser.add_argument("targets", nargs="*", help="only these targets")
    args = parser.parse_intermixed_args()
    targets = read_targets(args.build, args.targets)
    jobs = max(1, min(args.jobs, os.cpu_count() or 1))
    print(f"{len(targets)} targets, {args.seconds} s each, {jobs} at a time; "
          f"load average before: {os.getloadavg()[0]:.2f}", flush=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        results = list(pool.map(lambda t: run_target(t, args.build, args.seconds), targets))
    print_table(results)
    print(f"load average after: {os.getloadavg()[0]:.2f} (1 min), "
          f"{os.getloadavg()[1]:.2f} (5 min); logs in {args.build / 'corpus'}")
    failed = [r for r in results if r["findings"] or r["exit"] != 0]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
