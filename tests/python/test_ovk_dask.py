"""The ovk-dask driver on a small LocalCluster (threads, 2 workers), run as a subprocess."""

import csv
import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli_shards import CLI, NAMES, make_dataset, measured, rows_of, run

SOURCES = Path(__file__).resolve().parents[2] / "src"
pytestmark = [
    pytest.mark.skipif(not CLI, reason="OVK_CLI is not set: the ovk tool was not built"),
    pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                       reason="dask.distributed is not installed (make deps installs it)"),
]
needs_pyarrow = pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None,
                                   reason="pyarrow is not installed (make deps installs it)")

GRID = ("--depth", "4,6", "--frames", "1,2")


def driver(*args, env=None, check=None):
    environment = dict(os.environ, **(env or {}))
    environment["PYTHONPATH"] = os.pathsep.join(
        p for p in (str(SOURCES), environment.get("PYTHONPATH")) if p)
    done = subprocess.run([sys.executable, "-m", "ovk_dask", *map(str, args)], env=environment,
                          capture_output=True, text=True, timeout=300)
    if check is not None:
        assert done.returncode == check, done.stderr
    return done


def cluster(*extra):
    return ("--workers", "2", "--ovk", CLI, *extra)


@pytest.fixture
def dataset(tmp_path):
    return make_dataset(tmp_path / "data")


def test_sweep_on_a_local_cluster_gives_the_rows_of_ovk_sweep(dataset, tmp_path):
    whole = run("sweep", dataset, *GRID, "--format", "jsonl", check=0)
    output = tmp_path / "out.jsonl"
    done = driver("sweep", dataset, *GRID, "-o", output, "--shards", "5", *cluster(), check=0)
    assert [measured(r) for r in rows_of(output.read_text())] == \
        [measured(r) for r in rows_of(whole.stdout)]
    assert done.stdout.startswith(f"summary: {len(NAMES)} recordings, {4 * len(NAMES)} rows "
                                  "from 5 shards")
    assert done.stdout.splitlines()[1:] == whole.stderr.splitlines()[1:]
    assert not (tmp_path / "out.jsonl.shards").exists()
    # The output is not replaced without -f.
    done = driver("sweep", dataset, *GRID, "-o", output, *cluster(), check=2)
    assert done.stderr == f"ovk-dask: {output}: already exists; -f replaces it\n"


def test_a_shard_killed_in_the_middle_is_run_again_and_resumed(dataset, tmp_path):
    # The first run of every shard writes its rows, cuts its last line short
    # and dies of SIGKILL; the retry must redo only the cut recording.
    markers = tmp_path / "markers"
    markers.mkdir()
    flaky = tmp_path / "flaky-ovk"
    flaky.write_text(
        '#!/bin/sh\n'
        'for last; do :; done\n'
        'marker="$MARKERS/$(basename "$last")"\n'
        'if [ "$1" = sweep ] && [ ! -e "$marker" ]; then\n'
        '  touch "$marker"\n'
        '  "$REAL_OVK" "$@" 2>/dev/null\n'
        '  size=$(wc -c < "$last")\n'
        '  [ "$size" -gt 25 ] && truncate -s $((size - 25)) "$last"\n'
        '  kill -9 $$\n'
        'fi\n'
        'exec "$REAL_OVK" "$@"\n')
    flaky.chmod(0o755)
    output = tmp_path / "out.csv"
    env = {"MARKERS": str(markers), "REAL_OVK": CLI}
    driver("sweep", dataset, *GRID, "-o", output, "--shards", "3", "--workers", "2", "--ovk", flaky,
           env=env, check=0)
    assert len(list(markers.iterdir())) == 3
    whole = run("sweep", dataset, *GRID, "--format", "csv", check=0).stdout
    strip = lambda text: [",".join(line.split(",")[:13]) for line in text.splitlines()]
    assert strip(output.read_text()) == strip(whole)


def test_a_shard_that_keeps_failing_is_reported_and_kept_for_later(dataset, tmp_path):
    broken = tmp_path / "broken-ovk"
    broken.write_text('#!/bin/sh\nkill -9 $$\n')
    broken.chmod(0o755)
    output = tmp_path / "out.jsonl"
    done = driver("sweep", dataset, "-o", output, "--shards", "2", "--retries", "1",
                  "--workers", "1", "--ovk", broken, check=1)
    assert done.stderr.endswith(f"ovk-dask: 2 of 2 shards did not finish; their outputs are in "
                                f"{output}.shards: run the same command again to resume them\n")
    assert not output.exists()
    # The same command with a working tool finishes the job.
    driver("sweep", dataset, "-o", output, "--shards", "2", *cluster(), check=0)
    assert len(rows_of(output.read_text())) == len(NAMES)


def test_failed_recordings_are_reported_and_the_rest_merged(dataset, tmp_path):
    (dataset / "bad.evb").write_bytes(b"\x00" * 10)
    output = tmp_path / "out.jsonl"
    done = driver("sweep", dataset, "--depth", "4", "-o", output, "--shards", "3", *cluster(),
                  check=1)
    assert f"{dataset / 'bad.evb'}: " in done.stderr
    assert f"{dataset / 'bad.evb'}: no rows in the shards" in done.stderr
    assert len(rows_of(output.read_text())) == len(NAMES)
    assert (tmp_path / "out.jsonl.shards").is_dir()


@needs_pyarrow
def test_merge_writes_equal_rows_as_jsonl_csv_and_parquet(dataset, tmp_path):
    import pyarrow.parquet

    shards = []
    for index in (1, 2):
        shard = tmp_path / f"s{index}.jsonl"
        run("sweep", dataset, *GRID, "--format", "jsonl", "--shard", f"{index}/2", "-o", shard,
            check=0)
        shards.append(shard)
    tables = {}
    for suffix in ("jsonl", "csv", "parquet"):
        output = tmp_path / f"merged.{suffix}"
        done = driver("merge", *shards, "-o", output, "--expect", dataset, "--ovk", CLI, check=0)
        assert done.stdout.startswith(f"summary: {len(NAMES)} recordings")
        tables[suffix] = output
    rows = rows_of(tables["jsonl"].read_text())
    with open(tables["csv"], newline="") as f:
        as_csv = [{k: json.loads(v) if k not in ("path", "reader", "coding") else v for k, v in r.items()}
                  for r in csv.DictReader(f)]
    parquet = pyarrow.parquet.read_table(tables["parquet"])
    assert parquet.column_names == list(rows[0])
    assert as_csv == rows
    assert parquet.to_pylist() == rows
    assert not (tmp_path / "merged.parquet.merging").exists()

    done = driver("merge", *shards, shards[0], "-o", tmp_path / "dup.parquet", "--ovk", CLI,
                  check=1)
    assert "(kept those of the first)" in done.stderr
    assert len(pyarrow.parquet.read_table(tmp_path / "dup.parquet")) == len(rows)


@pytest.mark.parametrize("command,extra", [("convert", ("--to", "csv")),
                                           ("encode", ("--time-bins=16",))])
def test_folder_conversions_on_a_local_cluster(dataset, tmp_path, command, extra):
    from test_cli_shards import tree

    direct = tmp_path / "direct"
    run(command, dataset, "--output-dir", direct, *(e for a in extra for e in a.split("=")), check=0)
    out = tmp_path / "out"
    driver(command, dataset, "--output-dir", out, *extra, "--shards", "3", *cluster(), check=0)
    assert tree(out) == tree(direct)
    # Outputs that exist are kept: the same command again writes nothing new.
    first = out / ("a.csv" if command == "convert" else "a.ovkc")
    first.write_bytes(b"kept")
    driver(command, dataset, "--output-dir", out, *extra, *cluster(), check=0)
    assert first.read_bytes() == b"kept"


def test_sweep_against_a_scheduler_address(dataset, tmp_path, monkeypatch):
    from dask.distributed import LocalCluster

    # The workers of this cluster live in this process: they import the
    # shard task from the sources, as a remote worker imports the package.
    monkeypatch.syspath_prepend(str(SOURCES))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, protocol="tcp",
                      host="127.0.0.1", dashboard_address=None) as scheduler:
        output = tmp_path / "out.jsonl"
        driver("sweep", dataset, "--depth", "4", "-o", output, "--scheduler",
               scheduler.scheduler_address, "--ovk", CLI, check=0)
    whole = run("sweep", dataset, "--depth", "4", "--format", "jsonl", check=0)
    assert [measured(r) for r in rows_of(output.read_text())] == \
        [measured(r) for r in rows_of(whole.stdout)]
