"""`ovk merge`: the jsonl rows of sharded sweeps as one table, run as a subprocess."""

import csv
import io
import json

import pytest

from test_cli_shards import CLI, NAMES, make_dataset, measured, rows_of, run

pytestmark = pytest.mark.skipif(
    not CLI, reason="OVK_CLI is not set: the ovk tool was not built (its libraries are missing)")

GRID = ("--depth", "4,6", "--frames", "1,2")


@pytest.fixture
def dataset(tmp_path):
    return make_dataset(tmp_path / "data")


def shards(root, tmp_path, count, *extra):
    out = []
    for index in range(1, count + 1):
        path = tmp_path / f"shard{index}-{count}.jsonl"
        run("sweep", root, *GRID, "--format", "jsonl", "--shard", f"{index}/{count}", "-o", path,
            *extra, check=0)
        out.append(path)
    return out


def typed(text):
    """A csv cell as the JSON value it came from."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def test_merged_shards_are_the_unsharded_sweep_in_its_order(dataset, tmp_path):
    whole = run("sweep", dataset, *GRID, "--format", "jsonl", check=0)
    whole_csv = run("sweep", dataset, *GRID, "--format", "csv", check=0).stdout
    for count in (2, 3, 5):
        parts = shards(dataset, tmp_path, count)
        merged = tmp_path / f"merged{count}.jsonl"
        done = run("merge", *parts, "-o", merged, "--expect", dataset, check=0)
        assert done.stderr == ""
        got = rows_of(merged.read_text())
        assert [measured(r) for r in got] == [measured(r) for r in rows_of(whole.stdout)]
        # Rows keep their text: each merged line is a line of a shard.
        shard_lines = {line for p in parts for line in p.read_text().splitlines()}
        assert set(merged.read_text().splitlines()) == shard_lines
        # The summary is the sweep's, less its timing line.
        assert done.stdout.splitlines()[1:] == whole.stderr.splitlines()[1:]
        assert done.stdout.startswith(f"summary: {len(NAMES)} recordings, {4 * len(NAMES)} rows "
                                      f"from {count} shards")

        merged_csv = tmp_path / f"merged{count}.csv"
        run("merge", *parts, "-o", merged_csv, check=0)
        text = merged_csv.read_text()
        assert text.splitlines()[0] == whole_csv.splitlines()[0]
        table = list(csv.DictReader(io.StringIO(text)))
        assert [{k: typed(v) for k, v in row.items()} for row in table] == got


def test_duplicates_are_reported_and_the_first_rows_kept(dataset, tmp_path):
    two = shards(dataset, tmp_path, 2)
    three = shards(dataset, tmp_path, 3)
    merged = tmp_path / "merged.jsonl"
    done = run("merge", two[0], *three, two[1], "-o", merged, check=1)
    lines = done.stderr.splitlines()
    # Every recording of the 3 shards that shard 1/2 already held is a duplicate.
    first = {r["path"] for r in rows_of(two[0].read_text())}
    assert len(lines) == len(NAMES)
    for line in lines:
        path, message = line.split(": ", 1)
        owner = str(two[0]) if path in first else None
        assert message.startswith("rows in ")
        assert message.endswith("(kept those of the first)")
        if owner:
            assert message.startswith(f"rows in {owner} and in ")
    assert f"{len(NAMES)} duplicated" in done.stdout
    assert len(rows_of(merged.read_text())) == 4 * len(NAMES)

    # A row repeated within one shard.
    again = tmp_path / "again.jsonl"
    text = two[0].read_text()
    again.write_text(text + text.splitlines(keepends=True)[0])
    done = run("merge", again, check=1)
    row = json.loads(text.splitlines()[0])
    assert done.stderr == (f"{again}: line {len(text.splitlines()) + 1} repeats the row of "
                           f"{row['path']} for time_bins=64 max_depth=4 n_frames=1 coding=static\n")


def test_missing_and_unexpected_recordings_are_reported(dataset, tmp_path):
    parts = shards(dataset, tmp_path, 3)
    done = run("merge", parts[0], parts[2], "--expect", dataset, check=1)
    lost = sorted(NAMES)[1::3]
    reported = sorted(line.split(": ")[0] for line in done.stderr.splitlines())
    assert reported == sorted(str(dataset / name) for name in lost)
    assert all(line.endswith(": no rows in the shards (failed, or its shard did not run)")
               for line in done.stderr.splitlines())
    assert f"{len(lost)} missing" in done.stdout

    done = run("merge", *parts, "--expect", dataset / "sub", check=1)
    unexpected = [line for line in done.stderr.splitlines() if "not among the expected" in line]
    assert len(unexpected) == len([n for n in NAMES if not n.startswith("sub/")])


def test_incomplete_recordings_and_rows_of_other_sweeps(dataset, tmp_path):
    parts = shards(dataset, tmp_path, 2)
    narrow = tmp_path / "narrow.jsonl"
    run("sweep", dataset, "--depth", "4", "--frames", "1", "--format", "jsonl", "--shard", "2/2",
        "-o", narrow, check=0)
    done = run("merge", parts[0], narrow, check=1)
    assert done.stderr.splitlines()[0].endswith(": rows for 1 of 4 parameter combinations")
    assert len(done.stderr.splitlines()) == len(sorted(NAMES)[1::2])

    other = tmp_path / "other.jsonl"
    run("sweep", dataset, *GRID, "--format", "jsonl", "--shard", "2/2", "--baselines", "none",
        "-o", other, check=0)
    done = run("merge", parts[0], other, check=1)
    assert done.stderr.splitlines()[0] == (
        f"{other}: line 1 has other columns than {parts[0]} line 1 (rows of another sweep)")

    broken = tmp_path / "broken.jsonl"
    broken.write_text(parts[0].read_text()[:-30])
    done = run("merge", broken, check=1)
    lines = done.stderr.splitlines()
    assert lines[0] == f"{broken}: line {len(parts[0].read_text().splitlines())} is not a row of ovk sweep"
    assert lines[1:] == [f"{rows_of(parts[0].read_text())[-1]['path']}: rows for 3 of 4 parameter combinations"]

    done = run("merge", tmp_path, check=1)
    assert done.stderr == f"{tmp_path}: Is a directory (os error 21)\n"
    done = run("merge", tmp_path / "absent.jsonl", check=1)
    assert done.stderr == f"{tmp_path / 'absent.jsonl'}: No such file or directory (os error 2)\n"


def test_parquet_and_other_outputs_are_usage_errors(tmp_path):
    shard = tmp_path / "s.jsonl"
    shard.write_text("")
    done = run("merge", shard, "-o", tmp_path / "out.parquet", check=2)
    assert "Parquet is written with pyarrow: run `ovk-dask merge`" in done.stderr
    done = run("merge", shard, "-o", tmp_path / "out.txt", check=2)
    assert "the output name must end in .csv or .jsonl" in done.stderr
    assert not (tmp_path / "out.parquet").exists()
