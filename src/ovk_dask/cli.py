"""The ovk-dask command line: sweeps run shard by shard on a Dask cluster.

    ovk-dask sweep PATH... [sweep options] -o OUT.jsonl|OUT.csv|OUT.parquet
                   [--shards N] [--scheduler ADDRESS | --workers N] [--retries R]
    ovk-dask convert PATH... --output-dir DIR [--to npy|evb|csv] [--shards N] [...]
    ovk-dask encode PATH... --output-dir DIR [encode options] [--shards N] [...]
    ovk-dask merge SHARD.jsonl... -o OUT.jsonl|OUT.csv|OUT.parquet [--expect PATH...]

Each shard is one ``ovk sweep PATH... --shard K/N --resume -o SHARD.jsonl``
subprocess on a worker; shards write beside the output (OUT.shards/), so the
workers must see the recordings and that folder at the same paths as this
process (one machine, or a shared file system). A failed or lost shard is run
again and resumes where it stopped; running the same command again after an
interruption resumes every shard. ``ovk merge`` then checks and joins them.
"""

import argparse
import logging
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from ovk_dask.shards import run_shard

# The options of `ovk sweep` that are passed on to every shard.
SWEEP_OPTIONS = (("--time-bins", "LIST"), ("--depth", "LIST"), ("--frames", "LIST"),
                 ("--sensor", "WxH"), ("--reader", "NAME"), ("--baselines", "LIST"))
TABLE_SUFFIXES = (".jsonl", ".csv", ".parquet")


class UsageError(Exception):
    pass


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="ovk-dask", description="Run ovk sweeps shard by shard on a Dask cluster.")
    commands = parser.add_subparsers(dest="command", required=True)

    sweep = commands.add_parser(
        "sweep", help="sweep recordings on a Dask cluster and merge the shards",
        description="Sweep recordings on a Dask cluster (a LocalCluster on this machine unless "
                    "--scheduler is given) and merge the shards into one table. Options not "
                    "listed here go to every `ovk sweep` as they are (write them --name=value).")
    sweep.add_argument("paths", nargs="+", metavar="PATH", help="recordings or folders")
    for flag, metavar in SWEEP_OPTIONS:
        sweep.add_argument(flag, metavar=metavar, help=f"passed to ovk sweep {flag}")
    sweep.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                       help="recordings each shard measures at once (default 1)")
    add_table_output(sweep)
    sweep.add_argument("--shards", type=int, metavar="N",
                       help="shards to split the dataset into (default: 4 per worker thread)")
    add_cluster_options(sweep)
    sweep.add_argument("--work-dir", type=Path, metavar="DIR",
                       help="folder of the shard outputs (default: OUT.shards beside the output)")
    sweep.add_argument("--keep-shards", action="store_true",
                       help="keep the shard outputs after a clean merge")

    for name, what in (("convert", "arrays (.npy, .evb or .csv)"), ("encode", ".ovkc code files")):
        folder = commands.add_parser(
            name, help=f"write the recordings of folders as {what} on a Dask cluster",
            description=f"`ovk {name} PATH... --output-dir DIR` shard by shard on a Dask "
                        "cluster. Recordings whose output exists are skipped, so the same "
                        "command resumes an interrupted run. Options not listed here go to "
                        f"every `ovk {name}` as they are (write them --name=value).")
        folder.add_argument("paths", nargs="+", metavar="PATH", help="recordings or folders")
        folder.add_argument("--output-dir", type=Path, required=True, metavar="DIR")
        if name == "convert":
            folder.add_argument("--to", choices=("npy", "evb", "csv"), default="npy")
        folder.add_argument("--reader", metavar="NAME", help=f"passed to ovk {name} --reader")
        folder.add_argument("--shards", type=int, metavar="N",
                            help="shards to split the dataset into (default: 4 per worker thread)")
        add_cluster_options(folder)

    merge = commands.add_parser(
        "merge", help="merge the jsonl outputs of sharded sweeps (also into Parquet)",
        description="`ovk merge`, with Parquet output written by pyarrow.")
    merge.add_argument("shards", nargs="+", metavar="SHARD.jsonl")
    add_table_output(merge)
    merge.add_argument("--expect", nargs="+", metavar="PATH",
                       help="the PATH arguments of the sweeps: each recording must have rows")
    merge.add_argument("--reader", metavar="NAME", help="the sweeps' --reader")
    merge.add_argument("--ovk", metavar="PATH", help="the ovk tool (default: OVK_CLI or PATH)")

    args, rest = parser.parse_known_args(argv)
    if rest and args.command == "merge":
        parser.error("unrecognized arguments: " + " ".join(rest))
    args.passed_on = rest
    return args


def add_table_output(command):
    command.add_argument("-o", "--output", type=Path, required=True, metavar="OUT",
                         help="OUT.jsonl, OUT.csv or OUT.parquet (Parquet needs pyarrow)")
    command.add_argument("-f", "--force", action="store_true", help="replace OUT if it exists")


def add_cluster_options(command):
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    command.add_argument("--workers", type=int, metavar="N",
                         help="LocalCluster workers (default: the core count)")
    command.add_argument("--threads-per-worker", type=int, default=1, metavar="N",
                         help="LocalCluster threads per worker (default 1)")
    command.add_argument("--worker-processes", action="store_true",
                         help="LocalCluster workers as processes (default: threads of this "
                              "process; the work runs in ovk subprocesses either way)")
    command.add_argument("--retries", type=int, default=3, metavar="N",
                         help="times a failed shard is run again (default 3)")
    command.add_argument("--ovk", metavar="PATH",
                         help="the ovk tool on the workers (default: OVK_CLI, else ovk on PATH)")


def local_tool(given):
    """The ovk tool to run on this machine."""
    for candidate in (given, os.environ.get("OVK_CLI"), shutil.which("ovk"),
                      str(Path(sys.executable).parent / "ovk")):
        if candidate and (os.sep in candidate or shutil.which(candidate)):
            found = shutil.which(candidate) if os.sep not in candidate else candidate
            if found and os.access(found, os.X_OK):
                return os.path.abspath(found)
    raise UsageError("the ovk tool was not found: pip install . puts it on PATH, or give --ovk")


def check_output(path, force):
    if path.suffix not in TABLE_SUFFIXES:
        raise UsageError(f"{path}: the output name must end in .jsonl, .csv or .parquet")
    if path.exists() and not force:
        raise UsageError(f"{path}: already exists; -f replaces it")
    if path.suffix == ".parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise UsageError("Parquet output needs pyarrow: pip install pyarrow") from None


def sweep_command(tool, args, shard_file, index, count):
    command = [tool, "sweep", *args.paths]
    for flag, _ in SWEEP_OPTIONS:
        value = getattr(args, flag[2:].replace("-", "_"))
        if value is not None:
            command += [flag, value]
    command += ["--jobs", str(args.jobs), *args.passed_on, "--format", "jsonl",
                "--shard", f"{index}/{count}", "--resume", "-o", str(shard_file)]
    return command


class Progress:
    """A bar on stderr when it is a terminal: shards done, time, ETA."""

    def __init__(self, total):
        self.total, self.done, self.start = total, 0, time.monotonic()
        self.enabled = sys.stderr.isatty()
        self.draw()

    def advance(self):
        self.done += 1
        self.draw()

    def draw(self):
        if not self.enabled:
            return
        width = 30
        filled = width * self.done // max(self.total, 1)
        elapsed = time.monotonic() - self.start
        eta = elapsed * (self.total - self.done) / self.done if self.done else 0.0
        sys.stderr.write(f"\r\033[K[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}"
                         f" shards  {elapsed:.0f} s  ETA {eta:.0f} s")
        if self.done == self.total:
            sys.stderr.write("\r\033[K")
        sys.stderr.flush()


def open_client(args):
    """A client of the scheduler at --scheduler, else of a new LocalCluster."""
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        raise UsageError("ovk-dask needs dask.distributed: pip install 'dask[distributed]'") from None
    logging.getLogger("distributed").setLevel(logging.ERROR)
    if args.scheduler:
        return Client(args.scheduler), None
    import dask

    # The workers only wait for ovk subprocesses: their statistical profiler
    # (a sample every 10 ms) and frequent monitoring would cost more CPU
    # than the waiting, on the cores the subprocesses need.
    dask.config.set({"distributed.worker.profile.enabled": False,
                     "distributed.admin.system-monitor.interval": "2s",
                     "distributed.admin.tick.interval": "200ms"})
    cluster = LocalCluster(n_workers=args.workers or os.cpu_count() or 1,
                           threads_per_worker=args.threads_per_worker,
                           processes=args.worker_processes, dashboard_address=None)
    return Client(cluster), cluster


def run_shards(client, commands, retries, summarised=True):
    """Runs every shard; returns the failure lines and the rejected shards' messages."""
    from dask.distributed import as_completed

    cwd = os.getcwd()
    stamp = time.time_ns()
    futures = [client.submit(run_shard, command, cwd, summarised, retries=retries, pure=False,
                             key=f"ovk-{command[1]}-shard-{i}-of-{len(commands)}-{stamp}")
               for i, command in enumerate(commands, 1)]
    progress = Progress(len(futures))
    failures, problems = [], []
    for future in as_completed(futures):
        try:
            outcome = future.result()
        except Exception as error:  # a shard that failed every retry
            problems.append(str(error))
        else:
            failures += outcome.get("failures", [])
            if "rejected" in outcome:
                problems.append(outcome["rejected"])
        progress.advance()
    return failures, problems


def merge(tool, shard_files, output, expect, reader, work_dir):
    """`ovk merge` into the work folder, then the table moved to `output`
    (converted to Parquet first when asked). Returns the exit status."""
    work_dir.mkdir(parents=True, exist_ok=True)
    merged = work_dir / ("merged.jsonl" if output.suffix == ".parquet" else "merged" + output.suffix)
    command = [tool, "merge", *map(str, shard_files), "-o", str(merged)]
    if expect:
        command += ["--expect", *expect]
    if reader:
        command += ["--reader", reader]
    status = subprocess.run(command).returncode
    if status not in (0, 1) or not merged.exists():
        return status or 1
    if output.suffix == ".parquet":
        write_parquet(merged, work_dir / "merged.parquet")
        merged.unlink()
        merged = work_dir / "merged.parquet"
    os.replace(merged, output) if same_device(merged, output) else shutil.move(merged, output)
    return status


def same_device(a, b):
    return a.stat().st_dev == Path(os.path.abspath(b)).parent.stat().st_dev


def write_parquet(jsonl, parquet):
    """The rows of a merged jsonl table as a Parquet file, columns in their order."""
    import pyarrow.json
    import pyarrow.parquet

    if jsonl.stat().st_size == 0:
        table = pyarrow.table({})
    else:
        table = pyarrow.json.read_json(jsonl)
    pyarrow.parquet.write_table(table, parquet)


def run_sweep(args):
    check_output(args.output, args.force)
    work_dir = args.work_dir or args.output.with_name(args.output.name + ".shards")
    work_dir.mkdir(parents=True, exist_ok=True)
    client, cluster = open_client(args)
    try:
        tool = args.ovk or (local_tool(None) if cluster is not None else "ovk")
        threads = sum(client.nthreads().values()) or 1
        count = args.shards or 4 * threads
        if count < 1:
            raise UsageError("--shards must be at least 1")
        shard_files = [work_dir / f"sweep-{i}-of-{count}.jsonl" for i in range(1, count + 1)]
        commands = [sweep_command(tool, args, f, i, count) for i, f in enumerate(shard_files, 1)]
        failures, problems = run_shards(client, commands, args.retries)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    for line in failures:
        print(line, file=sys.stderr)
    if problems:
        for problem in problems:
            print(problem, file=sys.stderr)
        print(f"ovk-dask: {len(problems)} of {count} shards did not finish; their outputs are in "
              f"{work_dir}: run the same command again to resume them", file=sys.stderr)
        return 1
    merge_tool = local_tool(args.ovk) if cluster is None else tool
    status = merge(merge_tool, shard_files, args.output, args.paths, args.reader, work_dir)
    if status == 0 and not failures and not args.keep_shards:
        shutil.rmtree(work_dir)
    elif status != 0 or failures:
        print(f"ovk-dask: the shard outputs are kept in {work_dir}; the same command again "
              f"retries the recordings that failed", file=sys.stderr)
    return 1 if failures else status


def run_folder(args):
    """convert or encode in folder mode, one `ovk` subprocess per shard."""
    client, cluster = open_client(args)
    try:
        tool = args.ovk or (local_tool(None) if cluster is not None else "ovk")
        count = args.shards or 4 * (sum(client.nthreads().values()) or 1)
        if count < 1:
            raise UsageError("--shards must be at least 1")
        base = [tool, args.command, *args.paths, "--output-dir", str(args.output_dir)]
        if args.command == "convert":
            base += ["--to", args.to]
        if args.reader:
            base += ["--reader", args.reader]
        commands = [[*base, *args.passed_on, "--shard", f"{i}/{count}", "--resume"]
                    for i in range(1, count + 1)]
        failures, problems = run_shards(client, commands, args.retries, summarised=False)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    for line in failures + problems:
        print(line, file=sys.stderr)
    if problems:
        print(f"ovk-dask: {len(problems)} of {count} shards did not finish: run the same command "
              "again to resume them", file=sys.stderr)
    return 1 if failures or problems else 0


def run_merge(args):
    check_output(args.output, args.force)
    work_dir = args.output.with_name(args.output.name + ".merging")
    try:
        return merge(local_tool(args.ovk), args.shards, args.output, args.expect, args.reader,
                     work_dir)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)


def main(argv=None):
    args = parse_arguments(argv)
    try:
        if args.command == "sweep":
            return run_sweep(args)
        if args.command == "merge":
            return run_merge(args)
        return run_folder(args)
    except UsageError as error:
        print(f"ovk-dask: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
