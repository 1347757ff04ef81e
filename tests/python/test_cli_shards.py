"""`ovk sweep --shard K/N` and `--resume`, run as a subprocess."""

import fcntl
import json
import os
import random
import signal
import struct
import subprocess
import time

import pytest

CLI = os.environ.get("OVK_CLI")
pytestmark = pytest.mark.skipif(
    not CLI, reason="OVK_CLI is not set: the ovk tool was not built (its libraries are missing)")

GRID = ("--depth", "4,6", "--frames", "1,3")


def run(*args, check=None):
    done = subprocess.run([CLI, *map(str, args)], capture_output=True, text=True, timeout=300)
    assert done.returncode >= 0, f"killed by signal {-done.returncode}: {done.stderr}"
    if check is not None:
        assert done.returncode == check, done.stderr
    return done


def write_recording(path, n, seed):
    rng = random.Random(seed)
    events = sorted((rng.randrange(200_000), rng.randrange(64), rng.randrange(48), rng.randrange(2))
                    for _ in range(n))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"".join(struct.pack("<HHIB", x, y, t, p) for t, x, y, p in events))


NAMES = ["a.evb", "b-1.evb", "b/c.evb", "b/d/e.evb", "sub/x.evb", "sub/y.evb", "z.evb",
         "Z.evb", "sub/0.evb", "b/d/f.evb", "m.evb"]


def make_dataset(root, names=NAMES, n=300):
    for i, name in enumerate(names):
        write_recording(root / name, n + 37 * i, seed=i)
    return root


def measured(row):
    """A row without its timings, which differ from run to run."""
    return tuple(sorted((k, v) for k, v in row.items() if not k.endswith("_us")))


def rows_of(text):
    return [json.loads(line) for line in text.splitlines()]


def relative_paths(rows, root):
    return [os.path.relpath(r["path"], root) for r in rows]


def test_shards_cover_the_dataset_once_for_several_counts(tmp_path):
    root = make_dataset(tmp_path / "data")
    whole = rows_of(run("sweep", root, *GRID, "--format", "jsonl", check=0).stdout)
    for count in (1, 2, 3, 4, 7, 11, 13):
        seen = []
        for index in range(1, count + 1):
            shard = rows_of(run("sweep", root, *GRID, "--format", "jsonl", "--shard",
                                f"{index}/{count}", check=0).stdout)
            seen += shard
        assert sorted(map(measured, seen)) == sorted(map(measured, whole)), count
        assert len(seen) == len(whole)


def test_shard_assignment_follows_sorted_relative_paths(tmp_path):
    root = make_dataset(tmp_path / "data")
    ordered = sorted(NAMES)
    for index in (1, 2, 3):
        rows = rows_of(run("sweep", root, "--depth", "4", "--format", "jsonl", "--shard",
                           f"{index}/3", check=0).stdout)
        assert sorted(relative_paths(rows, root)) == sorted(ordered[index - 1::3])


def test_shards_do_not_depend_on_listing_order_or_mount_point(tmp_path):
    # The same files made in opposite orders, below folders of other names
    # and depths: the file system lists them differently, the shards agree.
    first = make_dataset(tmp_path / "one")
    second = tmp_path / "elsewhere" / "two"
    for i, name in reversed(list(enumerate(NAMES))):
        write_recording(second / name, 300 + 37 * i, seed=i)
    for index in range(1, 5):
        shard = ("--shard", f"{index}/4")
        a = rows_of(run("sweep", first, "--depth", "4", "--format", "jsonl", *shard, check=0).stdout)
        b = rows_of(run("sweep", second, "--depth", "4", "--format", "jsonl", *shard, check=0).stdout)
        assert relative_paths(a, first) == relative_paths(b, second)
        assert [measured({**r, "path": ""}) for r in a] == [measured({**r, "path": ""}) for r in b]


def test_shards_of_several_arguments(tmp_path):
    left = make_dataset(tmp_path / "left", NAMES[:5])
    right = make_dataset(tmp_path / "right", NAMES[3:])
    single = tmp_path / "single.evb"
    write_recording(single, 100, seed=99)
    args = (left, right, single, "--depth", "4", "--format", "jsonl")
    whole = rows_of(run("sweep", *args, check=0).stdout)
    seen = []
    for index in (1, 2, 3):
        seen += rows_of(run("sweep", *args, "--shard", f"{index}/3", check=0).stdout)
    assert sorted(r["path"] for r in seen) == sorted(r["path"] for r in whole)


@pytest.mark.parametrize("text", ["0/3", "4/3", "1/0", "3", "a/b", "1/3/4", "-1/3", "1/1000001"])
def test_bad_shards_are_usage_errors(tmp_path, text):
    done = run("sweep", tmp_path, "--shard", text, check=2)
    assert "--shard: expected K/N with 1 <= K <= N" in done.stderr


@pytest.mark.parametrize("extra", [(), ("--format", "table", "-o", "x.txt"), ("--format", "jsonl")])
def test_resume_needs_a_csv_or_jsonl_file(tmp_path, extra):
    done = run("sweep", tmp_path, "--resume", *extra, check=2)
    assert "--resume: needs -o FILE and --format csv or jsonl" in done.stderr


@pytest.fixture(scope="module")
def slow_dataset(tmp_path_factory):
    """A folder that takes a second or so to sweep with one job."""
    root = tmp_path_factory.mktemp("slow")
    for i in range(16):
        rng = random.Random(i)
        xs, ys = rng.randbytes(12_000), rng.randbytes(12_000)
        (root / f"r{i:02d}.evb").write_bytes(b"".join(
            struct.pack("<HHIB", x % 64, y % 48, 9 * k, x & 1) for k, (x, y) in enumerate(zip(xs, ys))))
    return root


SLOW_GRID = ("--depth", "6-12", "--frames", "1,10", "--jobs", "1")


def kill_after_first_rows(args, output, rows=3):
    process = subprocess.Popen([CLI, *map(str, args)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if output.exists() and output.read_bytes().count(b"\n") >= rows:
            break
        time.sleep(0.005)
    process.send_signal(signal.SIGKILL)
    assert process.wait() == -signal.SIGKILL, "the sweep ended before it could be killed"


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_resume_after_sigkill_gives_every_row_once(tmp_path, slow_dataset, fmt):
    clean = tmp_path / f"clean.{fmt}"
    run("sweep", slow_dataset, *SLOW_GRID, "--format", fmt, "-o", clean, check=0)
    output = tmp_path / f"resumed.{fmt}"
    args = ("sweep", slow_dataset, *SLOW_GRID, "--format", fmt, "-o", output, "--resume")
    kill_after_first_rows(args, output)
    # What an interruption in the middle of a line leaves: a cut last line.
    with open(output, "ab") as f:
        f.write(clean.read_bytes().splitlines(keepends=True)[-1][:40])
    done = run(*args, check=0)
    assert "recordings already measured" in done.stderr
    if fmt == "jsonl":
        want, got = rows_of(clean.read_text()), rows_of(output.read_text())
    else:
        want = clean.read_text().splitlines()
        got = output.read_text().splitlines()
        assert got[0] == want[0]
        strip = lambda lines: [",".join(l.split(",")[:13]) for l in lines[1:]]
        want, got = strip(want), strip(got)
        assert len(got) == len(set(got))
        assert got == want
        return
    assert [measured(r) for r in got] == [measured(r) for r in want]
    # Nothing more to do: a third run appends nothing.
    before = output.read_bytes()
    run(*args, check=0)
    assert output.read_bytes() == before


def test_resume_cuts_a_recording_left_with_some_of_its_rows(tmp_path):
    root = make_dataset(tmp_path / "data", NAMES[:4])
    clean = tmp_path / "clean.jsonl"
    run("sweep", root, *GRID, "--format", "jsonl", "-o", clean, check=0)
    lines = clean.read_bytes().splitlines(keepends=True)
    for keep in range(len(lines) + 1):
        for cut in (0, 1, 17):
            output = tmp_path / "part.jsonl"
            text = b"".join(lines[:keep])
            if keep < len(lines):
                text += lines[keep][:cut]
            output.write_bytes(text)
            run("sweep", root, *GRID, "--format", "jsonl", "-o", output, "--resume", check=0)
            got = rows_of(output.read_text())
            assert [measured(r) for r in got] == [measured(r) for r in rows_of(clean.read_text())]


def test_resume_refuses_rows_of_other_options(tmp_path):
    root = make_dataset(tmp_path / "data", NAMES[:3])
    output = tmp_path / "out.jsonl"
    run("sweep", root, "--depth", "4,6", "--format", "jsonl", "-o", output, check=0)
    before = output.read_bytes()
    done = run("sweep", root, "--depth", "4,6,8", "--format", "jsonl", "-o", output, "--resume",
               check=1)
    assert done.stderr.startswith(f"{output}: {root}/a.evb has fewer rows than this sweep writes")
    done = run("sweep", root, "--depth", "4", "--format", "jsonl", "-o", output, "--resume", check=1)
    assert "has more rows than this sweep writes" in done.stderr
    assert output.read_bytes() == before

    csv = tmp_path / "out.csv"
    run("sweep", root, "--depth", "4", "--format", "csv", "-o", csv, check=0)
    done = run("sweep", root, "--depth", "4", "--format", "csv", "-o", csv, "--resume",
               "--baselines", "none", check=1)
    assert done.stderr == f"{csv}: its header is not the one this sweep writes (other --baselines?)\n"

    junk = tmp_path / "junk.jsonl"
    junk.write_text('{"path": "x"}\nnot json\n')
    done = run("sweep", root, "--format", "jsonl", "-o", junk, "--resume", check=1)
    assert done.stderr == f"{junk}: line 2 is not a row of ovk sweep\n"


def test_resume_refuses_a_file_another_sweep_holds(tmp_path):
    root = make_dataset(tmp_path / "data", NAMES[:2])
    output = tmp_path / "out.jsonl"
    output.write_text("")
    with open(output, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        done = run("sweep", root, "--format", "jsonl", "-o", output, "--resume", check=1)
    assert done.stderr == f"{output}: another sweep is writing this file\n"
    run("sweep", root, "--format", "jsonl", "-o", output, "--resume", check=0)
    assert len(output.read_text().splitlines()) == 2


def test_resume_starts_a_missing_csv_with_its_header(tmp_path):
    root = make_dataset(tmp_path / "data", NAMES[:2])
    output = tmp_path / "new.csv"
    clean = run("sweep", root, "--format", "csv", "--depth", "4", check=0).stdout
    run("sweep", root, "--format", "csv", "--depth", "4", "-o", output, "--resume", check=0)
    assert output.read_text().splitlines()[0] == clean.splitlines()[0]
    assert len(output.read_text().splitlines()) == 3
    # A header cut short is written again.
    output.write_text(clean[:10])
    run("sweep", root, "--format", "csv", "--depth", "4", "-o", output, "--resume", check=0)
    assert output.read_text().splitlines()[0] == clean.splitlines()[0]
    assert len(output.read_text().splitlines()) == 3


def tree(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.mark.parametrize("command,extension,extra", [
    ("convert", "npy", ("--to", "npy")), ("convert", "csv", ("--to", "csv")),
    ("encode", "ovkc", ("--time-bins", "16"))])
def test_folder_conversions_in_shards_write_the_whole_tree_once(tmp_path, command, extension, extra):
    root = make_dataset(tmp_path / "data")
    whole = tmp_path / "whole"
    run(command, root, "--output-dir", whole, *extra, check=0)
    expected = {os.path.splitext(name)[0] + "." + extension for name in NAMES}
    assert set(tree(whole)) == expected
    for count in (2, 3):
        seen = {}
        for index in range(1, count + 1):
            part = tmp_path / f"part{index}-{count}"
            run(command, root, "--output-dir", part, *extra, "--shard", f"{index}/{count}", check=0)
            written = tree(part)
            assert not set(written) & set(seen)
            seen.update(written)
        assert seen == tree(whole)


def test_single_conversions_match_the_folder_mode(tmp_path):
    root = make_dataset(tmp_path / "data", NAMES[:3])
    run("convert", root, "--output-dir", tmp_path / "out", "--to", "evb", check=0)
    run("encode", root, "--output-dir", tmp_path / "coded", check=0)
    for name in NAMES[:3]:
        stem = os.path.splitext(name)[0]
        assert (tmp_path / "out" / f"{stem}.evb").read_bytes() == (root / name).read_bytes()
        done = run("check", tmp_path / "coded" / f"{stem}.ovkc", root / name, check=0)
        assert "identical to" in done.stdout


def test_folder_resume_skips_written_outputs(tmp_path):
    root = make_dataset(tmp_path / "data", NAMES[:4])
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.npy").write_bytes(b"kept")
    run("convert", root, "--output-dir", out, "--resume", check=0)
    assert (out / "a.npy").read_bytes() == b"kept"
    assert len(tree(out)) == 4
    run("convert", root, "--output-dir", out, "-f", check=0)
    assert (out / "a.npy").read_bytes() != b"kept"


def test_folder_outputs_that_collide_are_failures(tmp_path):
    root = tmp_path / "data"
    write_recording(root / "a.evb", 50, seed=1)
    (root / "a.csv").write_text("1,2,3,0\n")
    done = run("convert", root, "--output-dir", tmp_path / "out", check=1)
    assert done.stderr == (f"{root / 'a.evb'}: its output {tmp_path / 'out' / 'a.npy'} is also "
                           f"that of {root / 'a.csv'}\n")


@pytest.mark.parametrize("command", ["convert", "encode"])
@pytest.mark.parametrize("args,message", [
    (("-o", "x.npy", "--shard", "1/2"), "--shard/--resume: need --output-dir"),
    (("--resume",), "--shard/--resume: need --output-dir"),
    ((), "--output: -o or --output-dir is required"),
    (("--output-dir", "d", "-o", "x.npy"), "--output: give -o or --output-dir, not both"),
])
def test_folder_mode_usage_errors(tmp_path, command, args, message):
    recording = tmp_path / "r.evb"
    write_recording(recording, 10, seed=1)
    if command == "encode":
        args = tuple("x.ovkc" if a == "x.npy" else a for a in args)
    done = run(command, recording, *args, check=2)
    assert f"ovk: {message}" in done.stderr


def test_a_folder_needs_the_output_dir(tmp_path):
    done = run("convert", tmp_path, "-o", tmp_path / "x.npy", check=2)
    assert "several recordings or a folder need --output-dir" in done.stderr
