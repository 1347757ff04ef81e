"""The `ovk` command-line tool, run as a subprocess and checked against the module."""

import json
import lzma
import os
import random
import struct
import subprocess
import threading
import zlib
from pathlib import Path

import pytest

import ovk
from conftest import CLI, REAL_DATA, needs_cli, needs_real, run_cli as run, run_with_stderr_on_a_terminal

pytestmark = needs_cli

TIMING_KEYS = ("encode_us", "decode_us")


def jsonl(stdout):
    return [json.loads(line) for line in stdout.splitlines()]


def compact_bytes(events):
    return b"".join(struct.pack("<HHIB", e.x, e.y, e.t, e.p) for e in events)


def as_tuples(events):
    return [(e.x, e.y, e.t, e.p) for e in events]


def write_compact(path, events):
    path.write_bytes(compact_bytes(events))
    return path


def random_events(n, seed, width=40, height=30, span=50_000):
    rng = random.Random(seed)
    times = sorted(rng.randrange(span) for _ in range(n))
    return [ovk.Event(rng.randrange(width), rng.randrange(height), t, rng.randrange(2)) for t in times]


def without_timing(rows):
    return [{k: v for k, v in row.items() if k not in TIMING_KEYS and not k.endswith("_us")}
            for row in rows]


def expected_row(events, width, height, bins, depth, frames):
    if frames == 1:
        _, result = ovk.compress(events, width, height, bins, depth)
    else:
        _, result = ovk.compress_sequence(events, width, height, bins, depth, frames)
    return {"n_events": result.n_events, "width": width, "height": height, "time_bins": bins,
            "max_depth": depth, "n_frames": frames, "n_bits": result.n_bits,
            "bitstream_bytes": result.bitstream_bytes, "bits_per_event": result.bits_per_event,
            "compression_ratio": result.compression_ratio, "sparsity": result.sparsity}


def assert_rows_match_module(rows, events, width, height, grid):
    assert len(rows) == len(grid)
    for row, (bins, depth, frames) in zip(rows, grid):
        want = expected_row(events, width, height, bins, depth, frames)
        assert {k: row[k] for k in want} == want


# --- sweep ----------------------------------------------------------------------------------


def test_sweep_rows_equal_the_module_on_a_compact_file(tmp_path):
    events = random_events(3000, seed=1)
    path = write_compact(tmp_path / "a.evb", events)
    done = run("sweep", path, "--time-bins", "16,64", "--depth", "4-5", "--frames", "1,3",
               "--baselines", "none", "--format", "jsonl", check=0)
    rows = jsonl(done.stdout)
    # Sensor from the events: largest x and y plus one.
    width = max(e.x for e in events) + 1
    height = max(e.y for e in events) + 1
    grid = [(b, d, f) for b in (16, 64) for d in (4, 5) for f in (1, 3)]
    assert_rows_match_module(rows, events, width, height, grid)
    assert all(row["path"] == str(path) and row["reader"] == "compact" for row in rows)
    assert list(rows[0]) == ["path", "reader", "n_events", "width", "height", "time_bins",
                             "max_depth", "n_frames", "coding", "n_bits", "bitstream_bytes",
                             "bits_per_event", "compression_ratio", "sparsity", "encode_us",
                             "decode_us", "events_per_cell", "lossless_bits_per_event",
                             "lossless_us"]


def test_sweep_reports_both_codings_in_one_run(tmp_path):
    events = random_events(3000, seed=21)
    path = write_compact(tmp_path / "a.evb", events)
    rows = jsonl(run("sweep", path, "--time-bins", "16", "--depth", "4-5", "--frames", "1,3",
                     "--coding", "static,context", "--baselines", "none", "--format", "jsonl",
                     check=0).stdout)
    width = max(e.x for e in events) + 1
    height = max(e.y for e in events) + 1
    assert [r["coding"] for r in rows] == ["static", "context"] * 4
    static = [r for r in rows if r["coding"] == "static"]
    assert_rows_match_module(static, events, width, height,
                             [(16, d, f) for d in (4, 5) for f in (1, 3)])
    for s, c in zip(static, (r for r in rows if r["coding"] == "context")):
        # The same trees (uniform noise: about as many bytes either way).
        assert (c["n_bits"], c["sparsity"], c["n_frames"]) == (s["n_bits"], s["sparsity"],
                                                               s["n_frames"])
        assert 0 < c["bitstream_bytes"] < 1.1 * s["bitstream_bytes"]
    bad = run("sweep", path, "--coding", "dynamic", check=2)
    assert "expected static, context or static,context" in bad.stderr


def test_sweep_sensor_option_overrides_the_rule(tmp_path):
    events = random_events(500, seed=2)
    path = write_compact(tmp_path / "a.evb", events)
    rows = jsonl(run("sweep", path, "--sensor", "64x48", "--baselines", "none", "--format",
                     "jsonl", check=0).stdout)
    assert_rows_match_module(rows, events, 64, 48, [(64, 10, 1)])


def test_sweep_lists_keep_order_and_drop_repeats(tmp_path):
    path = write_compact(tmp_path / "a.evb", random_events(200, seed=3))
    rows = jsonl(run("sweep", path, "--time-bins", "32,8,32", "--depth", "3,1-2", "--baselines",
                     "none", "--format", "jsonl", check=0).stdout)
    assert [(r["time_bins"], r["max_depth"]) for r in rows] == [
        (32, 3), (32, 1), (32, 2), (8, 3), (8, 1), (8, 2)]


def test_sweep_output_order_does_not_depend_on_jobs(tmp_path):
    for i in range(7):
        # Different sizes so that the recordings finish out of order.
        write_compact(tmp_path / f"r{i}.evb", random_events(4000 - 500 * i, seed=10 + i))
    args = ("sweep", tmp_path, "--time-bins", "16,64", "--depth", "6", "--format", "jsonl",
            "--baselines", "zstd3,zlib")
    one = jsonl(run(*args, "--jobs", "1", check=0).stdout)
    two = jsonl(run(*args, "--jobs", "2", check=0).stdout)
    assert [r["path"] for r in one] == sorted(str(tmp_path / f"r{i}.evb") for i in range(7)
                                              for _ in (16, 64))
    assert without_timing(one) == without_timing(two)


def test_sweep_baselines_are_the_libraries_on_the_compact_records(tmp_path):
    events = random_events(2000, seed=4)
    path = write_compact(tmp_path / "a.evb", events)
    row, = jsonl(run("sweep", path, "--baselines", "zlib,xz,zstd3", "--format", "jsonl",
                     check=0).stdout)
    records = compact_bytes(events)
    assert row["zlib_bits_per_event"] == len(zlib.compress(records, 6)) * 8 / len(events)
    xz = lzma.compress(records, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64, preset=6)
    # The one-shot encoder also stores the block sizes in the block header:
    # a few bytes more than the streaming encoder behind Python's lzma.
    assert 0 <= row["xz_bits_per_event"] * len(events) / 8 - len(xz) <= 16
    assert 0 < row["zstd3_bits_per_event"] < 72
    assert all(isinstance(row[f"{b}_us"], int) for b in ("zlib", "xz", "zstd3"))


def test_sweep_csv_format_and_output_file(tmp_path):
    events = random_events(300, seed=5)
    path = write_compact(tmp_path / "a,b.evb", events)
    out = tmp_path / "rows.csv"
    done = run("sweep", path, "--format", "csv", "-o", out, check=0)
    assert done.stdout == ""
    lines = out.read_text().splitlines()
    assert lines[0] == ("path,reader,n_events,width,height,time_bins,max_depth,n_frames,coding,n_bits,"
                        "bitstream_bytes,bits_per_event,compression_ratio,sparsity,encode_us,"
                        "decode_us,events_per_cell,lossless_bits_per_event,lossless_us,"
                        "zstd3_bits_per_event,zstd3_us")
    assert lines[1].startswith(f'"{path}",compact,300,')
    assert len(lines) == 2
    assert "summary: 1 recordings, 0 failed, 300 events" in done.stderr


def test_sweep_table_ends_with_the_event_weighted_summary(tmp_path):
    a = random_events(1000, seed=6)
    b = random_events(3000, seed=7)
    write_compact(tmp_path / "a.evb", a)
    write_compact(tmp_path / "b.evb", b)
    done = run("sweep", tmp_path, "--sensor", "40x30", "--baselines", "none", check=0)
    coded = sum(ovk.compress(ev, 40, 30, 64, 10)[1].bitstream_bytes for ev in (a, b))
    assert "summary: 2 recordings, 0 failed, 4000 events in " in done.stdout
    last = done.stdout.strip().splitlines()[-1].split()
    assert last == ["64", "10", "1", "static", "2", "4000", f"{coded * 8 / 4000:.3f}"]


def test_a_folder_with_one_broken_recording(tmp_path):
    good = random_events(400, seed=8)
    write_compact(tmp_path / "a_good.evb", good)
    (tmp_path / "b_bad.evb").write_bytes(b"\x01" * 10)
    (tmp_path / "c_bad.csv").write_text("1,2,3,4\n5,6,x,1\n")
    (tmp_path / "d_good.csv").write_text("x,y,t,p\n1,2,3,1\n4,5,6,0\n")
    (tmp_path / "notes.md").write_text("not a recording")  # other extensions are not collected
    done = run("sweep", tmp_path, "--format", "jsonl", "--jobs", "2", check=1)
    rows = jsonl(done.stdout)
    assert [Path(r["path"]).name for r in rows] == ["a_good.evb", "d_good.csv"]
    assert rows[0]["n_events"] == 400 and rows[1]["n_events"] == 2
    failures = [line for line in done.stderr.splitlines() if not line.startswith(" ")]
    messages = {}
    for name in ("b_bad.evb", "c_bad.csv"):
        with pytest.raises(Exception) as raised:
            ovk.load_events(str(tmp_path / name))
        messages[name] = str(raised.value)
    # The tool's CSV errors name the line.
    assert failures[:2] == [f"{tmp_path / 'b_bad.evb'}: {messages['b_bad.evb']}",
                            f"{tmp_path / 'c_bad.csv'}: line 2: {messages['c_bad.csv']}"]
    assert messages["b_bad.evb"] == "Compact binary file size 10 is not a multiple of 9"
    assert "summary: 4 recordings, 2 failed" in done.stderr


def test_missing_and_unknown_files_fail_with_the_loader_message(tmp_path):
    (tmp_path / "x.xyz").write_bytes(b"")
    done = run("sweep", tmp_path / "missing.evb", tmp_path / "x.xyz", check=1)
    lines = done.stderr.splitlines()
    assert lines[0] == f"{tmp_path / 'missing.evb'}: No such file or directory (os error 2)"
    with pytest.raises(Exception) as raised:
        ovk.load_events(str(tmp_path / "x.xyz"))
    # The tool reads more formats than the module, and its list says so.
    unknown, _ = str(raised.value).split(" Supported: ")
    assert lines[1] == (f"{tmp_path / 'x.xyz'}: {unknown} Supported: .bin, .evb, .aedat, .csv, "
                        ".txt, .raw, .dat, .es, .aedat4, .h5, .hdf5, .npy, .npz")


@pytest.mark.parametrize("reader", ["compact", "nmnist", "aedat2", "csv", "auto", "evt2", "evt21",
                                    "evt3", "dat", "es"])
def test_hostile_bytes_never_crash_the_tool(tmp_path, reader):
    rng = random.Random(reader)
    for i in range(12):
        size = rng.choice([0, 1, 5, 8, 9, 45, 72, 200, 1000])
        data = bytes(rng.randrange(256) for _ in range(size))
        if i % 3 == 0:
            data = b"#!AER-DAT2.0\n" + data
        (tmp_path / f"f{i}.bin").write_bytes(data)
    for command in (("sweep", "--baselines", "zstd3,zlib", "--depth", "0-3", "--frames", "1,4"),
                    ("info",)):
        done = run(*command, tmp_path, "--reader", reader)
        assert done.returncode in (0, 1), done.stderr


# --- real recordings ------------------------------------------------------------------------


@needs_real
def test_info_on_real_recordings():
    nmnist = REAL_DATA / "nmnist" / "1.bs2"
    aedat = REAL_DATA / "aedat2" / "DVS128-2017-03-21-short.aedat"
    done = run("info", nmnist, "--reader", "nmnist", check=0)
    assert done.stdout.splitlines() == [
        str(nmnist), "  reader    nmnist", "  events    4681", "  x         0..33",
        "  y         0..33", "  t         893..305924 us", "  duration  0.305031 s",
        "  rate      15346 events/s", "  sensor    34x34"]
    lines = run("info", aedat, check=0).stdout.splitlines()
    assert lines[1:4] == ["  reader    aedat2", "  events    130114", "  x         0..127"]
    assert lines[-1] == "  sensor    128x128"
    header_only = run("info", REAL_DATA / "aedat2" / "sample_aedat_header.aedat", check=0)
    assert "  events    0" in header_only.stdout.splitlines()


@needs_real
def test_info_reports_real_csv_in_other_column_order_as_the_loader_does():
    # These files hold x,y,p,t: the timestamp lands in the 8-bit polarity column.
    path = REAL_DATA / "csv" / "feedback-sorted.csv"
    done = run("info", path, check=1)
    with pytest.raises(Exception) as raised:
        ovk.load_csv(str(path))
    assert done.stderr == f"{path}: line 1: {raised.value}\n"
    # Told the column order, the tool reads them.
    lines = run("info", path, "--columns", "x,y,p,t", check=0).stdout.splitlines()
    assert lines[2:5] == ["  events    21436", "  x         0..639", "  y         0..479"]


@needs_real
def test_sweep_on_real_recordings_equals_the_module():
    files = {REAL_DATA / "aedat2" / "mnist_0_scale04_0001.aedat": (128, 128, 15744),
             REAL_DATA / "nmnist" / "sample_nmnist.bin": (34, 34, 4325)}
    done = run("sweep", *files, "--time-bins", "16,64", "--depth", "6-7", "--frames", "1,5",
               "--baselines", "none", "--format", "jsonl", "--jobs", "2", check=0)
    rows = jsonl(done.stdout)
    grid = [(b, d, f) for b in (16, 64) for d in (6, 7) for f in (1, 5)]
    for i, (path, (width, height, count)) in enumerate(files.items()):
        events = ovk.load_events(str(path))
        assert len(events) == count
        mine = rows[i * len(grid):(i + 1) * len(grid)]
        assert {r["path"] for r in mine} == {str(path)}
        assert_rows_match_module(mine, events, width, height, grid)


@needs_real
def test_sweep_over_the_nmnist_folder_with_a_named_reader():
    counts = {"1.bs2": 4681, "10.bs2": 3664, "60003.bs2": 1665, "sample_nmnist.bin": 4325}
    done = run("sweep", REAL_DATA / "nmnist", "--reader", "nmnist", "--format", "jsonl",
               "--baselines", "none")
    # The two label lists in that folder are not N-MNIST data.
    assert done.returncode == 1
    assert {Path(line.split(":")[0]).name for line in done.stderr.splitlines()
            if not line.startswith(" ") and not line.startswith("summary")} == {
                "test100.txt", "train1K.txt"}
    rows = {Path(r["path"]).name: r for r in jsonl(done.stdout)}
    assert len(rows) == 21
    assert {name: rows[name]["n_events"] for name in counts} == counts
    assert all((r["width"], r["height"], r["reader"]) == (34, 34, "nmnist") for r in rows.values())


@needs_real
@pytest.mark.parametrize("name,reader,count", [
    ("nmnist/sample_nmnist.bin", "auto", 4325),
    ("nmnist/60001.bs2", "nmnist", 3330),
    ("aedat2/DVS128-2017-03-21-short.aedat", "auto", 130114),
])
def test_convert_real_recordings_to_npy(tmp_path, name, reader, count):
    np = pytest.importorskip("numpy")
    source = REAL_DATA / name
    out = tmp_path / "out.npy"
    run("convert", source, "--reader", reader, "-o", out, check=0)
    array = np.load(out)
    loader = ovk.load_nmnist if reader == "nmnist" else ovk.load_events
    events = loader(str(source))
    assert len(array) == count == len(events)
    assert [tuple(int(v) for v in r) for r in array] == as_tuples(events)


# --- convert --------------------------------------------------------------------------------


def test_npy_is_the_structured_array_numpy_reads(tmp_path):
    np = pytest.importorskip("numpy")
    events = [ovk.Event(65535, 0, 4294967295, 255), ovk.Event(1, 2, 3, 0)]
    source = write_compact(tmp_path / "a.evb", events)
    run("convert", source, "-o", tmp_path / "a.npy", check=0)
    array = np.load(tmp_path / "a.npy")
    assert array.dtype == np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
    assert array.shape == (2,)
    assert array["x"].tolist() == [65535, 1] and array["t"].tolist() == [4294967295, 3]
    assert array["p"].tolist() == [255, 0]
    raw = (tmp_path / "a.npy").read_bytes()
    header_len = struct.unpack("<H", raw[8:10])[0]
    assert raw[:8] == b"\x93NUMPY\x01\x00" and (10 + header_len) % 64 == 0
    assert raw[10 + header_len:] == compact_bytes(events)


def test_npy_of_no_events(tmp_path):
    np = pytest.importorskip("numpy")
    source = write_compact(tmp_path / "empty.evb", [])
    run("convert", source, "-o", tmp_path / "e.npy", check=0)
    assert np.load(tmp_path / "e.npy").shape == (0,)


def test_convert_round_trips_through_every_output(tmp_path):
    events = random_events(1000, seed=9, width=70, height=60)
    source = tmp_path / "in.csv"
    source.write_text("".join(f"{e.x} {e.y}\t{e.t}, {e.p}\n" for e in events))
    run("convert", source, "-o", tmp_path / "out.evb", check=0)
    assert (tmp_path / "out.evb").read_bytes() == compact_bytes(events)
    run("convert", tmp_path / "out.evb", "-o", tmp_path / "out.csv", check=0)
    text = (tmp_path / "out.csv").read_text()
    assert text.startswith("x,y,t,p\n") and text.endswith(f"{events[-1].t},{events[-1].p}\n")
    assert as_tuples(ovk.load_csv(str(tmp_path / "out.csv"))) == as_tuples(events)


def test_failed_convert_leaves_no_file(tmp_path):
    bad = tmp_path / "bad.aedat"
    bad.write_bytes(b"#!AER-DAT2.0\n" + b"\x00" * 7)
    target = tmp_path / "out.npy"
    target.write_bytes(b"old")
    done = run("convert", bad, "-o", target, "-f", check=1)
    assert done.stderr == f"{bad}: AEDAT2 data section size 7 is not a multiple of 8\n"
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.aedat", "out.npy"]
    good = write_compact(tmp_path / "g.evb", random_events(10, seed=1))
    missing_dir = tmp_path / "no" / "such" / "x.npy"
    done = run("convert", good, "-o", missing_dir, check=1)
    assert done.stderr == f"{missing_dir}: No such file or directory (os error 2)\n"


# --- usage ----------------------------------------------------------------------------------


@pytest.mark.parametrize("args,usage", [
    ((), "Usage: ovk [OPTIONS] SUBCOMMAND"),
    (("frobnicate",), "Usage: ovk [OPTIONS] SUBCOMMAND"),
    (("sweep",), "Usage: ovk sweep [OPTIONS] paths..."),
    (("sweep", "x.evb", "--depth", "9-3"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--depth", "256"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--time-bins", "0"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--time-bins", "16,,64"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--frames", "0"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--format", "xml"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--jobs", "0"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--baselines", "gzip"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--sensor", "64"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--sensor", "0x64"), "Usage: ovk sweep"),
    (("sweep", "x.evb", "--reader", "aedat3"), "Usage: ovk sweep"),
    (("info",), "Usage: ovk info"),
    (("convert", "x.evb"), "Usage: ovk convert"),
    (("convert", "x.evb", "-o", "out.txt"), "Usage: ovk convert"),
])
def test_usage_errors_exit_2_with_the_usage_line(args, usage):
    done = run(*args, check=2)
    assert usage in done.stderr
    assert done.stdout == ""


def test_help_exits_0():
    for command in ("info", "sweep", "convert"):
        assert "Example: ovk " + command in run(command, "--help", check=0).stdout


@pytest.mark.parametrize("name,data,reader", [
    ("bad.evb", b"\x00" * 10, "auto"),
    ("bad.bin", b"\x00" * 12, "nmnist"),
    ("bad.bin", b"\x00" * 11, "auto"),
    ("missing.evb", None, "auto"),
])
@pytest.mark.parametrize("out", ["o.npy", "o.evb", "o.csv"])
def test_convert_failures_carry_the_loader_message(tmp_path, name, data, reader, out):
    source = tmp_path / name
    if data is not None:
        source.write_bytes(data)
    done = run("convert", source, "--reader", reader, "-o", tmp_path / out, check=1)
    loader = ovk.load_nmnist if reader == "nmnist" else ovk.load_events
    with pytest.raises(OSError) as raised:
        loader(str(source))
    assert done.stderr == f"{source}: {raised.value}\n"
    assert not (tmp_path / out).exists()


def test_nmnist_records_become_compact_records(tmp_path):
    # x=1, y=2, polarity bit set, t=0x012345; then x=33, y=0, p=0, t=7.
    source = tmp_path / "a.bin"
    source.write_bytes(bytes([1, 2, 0x81, 0x23, 0x45, 33, 0, 0, 0, 7]))
    run("convert", source, "-o", tmp_path / "a.evb", check=0)
    assert (tmp_path / "a.evb").read_bytes() == compact_bytes(
        [ovk.Event(1, 2, 0x012345, 1), ovk.Event(33, 0, 7, 0)])
    run("convert", source, "-o", tmp_path / "a.csv", check=0)
    assert (tmp_path / "a.csv").read_text() == "x,y,t,p\n1,2,74565,1\n33,0,7,0\n"



def nmnist_as_compact(raw):
    # Each 5-byte record: x, y, then polarity in the top bit above a 23-bit big-endian time.
    out = bytearray()
    for i in range(0, len(raw), 5):
        x, y, b2, b3, b4 = raw[i:i + 5]
        out += struct.pack("<HHIB", x, y, ((b2 & 0x7F) << 16) | (b3 << 8) | b4, b2 >> 7)
    return bytes(out)


def npy_parts(raw):
    header_len = struct.unpack("<H", raw[8:10])[0]
    return raw[10:10 + header_len].decode("latin1"), raw[10 + header_len:]


# 65536 records fill one block of the streamed conversions; the sizes around it end a
# block early, exactly, and one record late.
@pytest.mark.parametrize("records", [0, 1, 65535, 65536, 65537, 150_001])
def test_compact_and_nmnist_convert_across_blocks(tmp_path, records):
    rng = random.Random(records)
    evb = tmp_path / "in.evb"
    evb.write_bytes(rng.randbytes(9 * records))
    nmnist = tmp_path / "in.bin"
    nmnist.write_bytes(rng.randbytes(5 * records))
    for source, body in ((evb, evb.read_bytes()), (nmnist, nmnist_as_compact(nmnist.read_bytes()))):
        run("convert", source, "-o", tmp_path / "o.evb", "-f", check=0)
        assert (tmp_path / "o.evb").read_bytes() == body
        run("convert", source, "-o", tmp_path / "o.npy", "-f", check=0)
        header, array = npy_parts((tmp_path / "o.npy").read_bytes())
        assert f"'shape': ({records},)" in header and array == body
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.bin", "in.evb", "o.evb", "o.npy"]


def feed_fifo(path, data):
    os.mkfifo(path)
    writer = threading.Thread(target=path.write_bytes, args=(data,), daemon=True)
    writer.start()
    return writer


@pytest.mark.parametrize("suffix", [".evb", ".bin"])
@pytest.mark.parametrize("out", ["o.npy", "o.evb"])
def test_convert_reads_a_fifo_as_it_reads_the_file(tmp_path, suffix, out):
    # Whole records of either kind, more than a pipe holds (see below).
    data = random.Random(3).randbytes(9 * 5 * 3001)
    regular = tmp_path / ("file" + suffix)
    regular.write_bytes(data)
    run("convert", regular, "-o", tmp_path / ("file-" + out), check=0)
    writer = feed_fifo(tmp_path / ("pipe" + suffix), data)
    run("convert", tmp_path / ("pipe" + suffix), "-o", tmp_path / ("pipe-" + out), check=0)
    writer.join(timeout=60)
    assert (tmp_path / ("pipe-" + out)).read_bytes() == (tmp_path / ("file-" + out)).read_bytes()


# The FIFOs carry more than a pipe holds, so their writer is still there while the
# reader looks at them.
@pytest.mark.parametrize("suffix,size", [(".evb", 9 * 20_000 + 1), (".bin", 5 * 20_000 + 3)])
def test_fifo_of_partial_records_fails_as_the_file_does(tmp_path, suffix, size):
    data = random.Random(size).randbytes(size)
    regular = tmp_path / ("file" + suffix)
    regular.write_bytes(data)
    from_file = run("convert", regular, "-o", tmp_path / "a.npy", check=1)
    writer = feed_fifo(tmp_path / ("pipe" + suffix), data)
    from_pipe = run("convert", tmp_path / ("pipe" + suffix), "-o", tmp_path / "b.npy", check=1)
    writer.join(timeout=60)
    assert from_pipe.stderr == from_file.stderr.replace(str(regular), str(tmp_path / ("pipe" + suffix)))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file" + suffix, "pipe" + suffix]


def test_fifo_whose_writer_has_finished_is_read_once(tmp_path):
    # Two compact records (x 1, y 2, t 3, p 1 and x 4, y 5, t 6, p 0): the writer
    # is gone as soon as they are read, so a second open would wait forever.
    data = bytes.fromhex("010002000300000001" "040005000600000000")
    writer = feed_fifo(tmp_path / "pipe.evb", data)
    done = subprocess.run([CLI, "info", str(tmp_path / "pipe.evb")], capture_output=True,
                          text=True, timeout=60)
    writer.join(timeout=60)
    assert done.returncode == 0, done.stderr
    assert "  reader    compact\n  events    2\n" in done.stdout


def test_bin_fifo_is_judged_by_the_bytes_it_holds(tmp_path):
    # Two N-MNIST records, (x 3, y 4, t 5, p 1) and (x 6, y 7, t 9, p 0): 10
    # bytes, which 9 does not divide, so the .bin length rule says N-MNIST
    # and the sensor is the N-MNIST one, even though a FIFO has no size.
    writer = feed_fifo(tmp_path / "pipe.bin", bytes.fromhex("0304800005" "0607000009"))
    done = subprocess.run([CLI, "info", str(tmp_path / "pipe.bin")], capture_output=True,
                          text=True, timeout=60)
    writer.join(timeout=60)
    assert done.returncode == 0, done.stderr
    assert "  reader    nmnist\n  events    2\n" in done.stdout
    assert "  sensor    34x34\n" in done.stdout


def test_convert_onto_its_own_input(tmp_path):
    data = random.Random(4).randbytes(9 * 1000)
    source = tmp_path / "a.evb"
    source.write_bytes(data)
    for force in ([], ["-f"]):
        done = run("convert", source, "-o", source, *force, check=1)
        assert done.stderr == (f"{source}: is the input {source}; refusing to write over it "
                               "(even with --force)\n")
    assert source.read_bytes() == data
    assert [p.name for p in tmp_path.iterdir()] == ["a.evb"]


@pytest.mark.parametrize("suffix", [".evb", ".bin"])
def test_streamed_convert_onto_a_folder_leaves_no_temporary(tmp_path, suffix):
    source = tmp_path / ("in" + suffix)
    source.write_bytes(bytes(45))
    target = tmp_path / "o.npy"
    (target / "child").mkdir(parents=True)
    done = run("convert", source, "-o", target, check=1)
    assert done.stderr == f"{target}: Is a directory (os error 21)\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in" + suffix, "o.npy"]
    assert [p.name for p in target.iterdir()] == ["child"]

def test_progress_line_only_when_stderr_is_a_terminal(tmp_path):
    for i in range(3):
        write_compact(tmp_path / f"r{i}.evb", random_events(300, seed=i))
    args = [CLI, "sweep", str(tmp_path), "--format", "jsonl", "--baselines", "none"]
    piped = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert "\r" not in piped.stderr and "ETA" not in piped.stderr
    on_terminal, seen = run_with_stderr_on_a_terminal(*args[1:])
    assert on_terminal.returncode == 0
    assert b"3/3 recordings" in seen and b" events/s  ETA " in seen
    # The rows are the same whether or not the progress line is drawn.
    assert without_timing(jsonl(on_terminal.stdout.decode())) == without_timing(jsonl(piped.stdout))


def test_a_coordinate_of_65535_needs_an_explicit_sensor(tmp_path):
    path = write_compact(tmp_path / "edge.evb", [ovk.Event(65535, 3, 0, 0)])
    done = run("sweep", path, "--baselines", "none", check=1)
    assert done.stderr.splitlines()[0] == (
        f"{path}: largest x is 65535, so the sensor size does not fit 16 bits; give --sensor WxH")
    run("info", path, "--sensor", "8x8", check=0)


def test_folders_are_walked_in_order_without_following_linked_folders(tmp_path):
    (tmp_path / "b").mkdir()
    (tmp_path / "a" / "deep").mkdir(parents=True)
    write_compact(tmp_path / "b" / "1.evb", random_events(10, seed=1))
    write_compact(tmp_path / "a" / "deep" / "2.evb", random_events(20, seed=2))
    write_compact(tmp_path / "c.evb", random_events(30, seed=3))
    (tmp_path / "b" / "loop").symlink_to(tmp_path)
    (tmp_path / "link.evb").symlink_to(tmp_path / "c.evb")
    rows = jsonl(run("sweep", tmp_path, "--baselines", "none", "--format", "jsonl", check=0).stdout)
    assert [(Path(r["path"]).relative_to(tmp_path).as_posix(), r["n_events"]) for r in rows] == [
        ("a/deep/2.evb", 20), ("b/1.evb", 10), ("c.evb", 30), ("link.evb", 30)]


def test_compact_files_larger_than_a_read_block(tmp_path):
    # Any bytes are compact records; 300001 of them span several read blocks.
    source = tmp_path / "big.evb"
    source.write_bytes(random.Random(5).randbytes(9 * 300_001))
    run("convert", source, "-o", tmp_path / "big.csv", check=0)
    events = ovk.load_events(str(source))
    assert (tmp_path / "big.csv").read_text().splitlines()[1:] == [
        f"{e.x},{e.y},{e.t},{e.p}" for e in events]
    row, = jsonl(run("sweep", source, "--sensor", "64x64", "--time-bins", "8", "--depth", "4",
                     "--baselines", "none", "--format", "jsonl", check=0).stdout)
    assert_rows_match_module([row], events, 64, 64, [(8, 4, 1)])


@needs_cli
def test_info_json_line_per_recording(tmp_path):
    records = bytes([1, 0, 2, 0, 5, 0, 0, 0, 1, 9, 0, 3, 0, 7, 0, 0, 0, 0])  # compact
    (tmp_path / "a.evb").write_bytes(records)
    done = run("info", "--json", tmp_path / "a.evb", check=0)
    assert json.loads(done.stdout) == {
        "path": str(tmp_path / "a.evb"), "reader": "compact", "events": 2, "x_range": [1, 9],
        "y_range": [2, 3], "t_range": [5, 7], "width": 10, "height": 4}
    (tmp_path / "empty.evb").write_bytes(b"")
    empty = json.loads(run("info", "--json", tmp_path / "empty.evb", check=0).stdout)
    assert empty["events"] == 0 and empty["x_range"] is None


@needs_cli
def test_info_json_refuses_code_files(tmp_path):
    (tmp_path / "a.evb").write_bytes(bytes([1, 0, 2, 0, 5, 0, 0, 0, 1]))
    run("encode", tmp_path / "a.evb", "-o", tmp_path / "a.ovkc", check=0)
    done = run("info", "--json", tmp_path / "a.ovkc", check=1)
    assert done.stderr == f"{tmp_path / 'a.ovkc'}: --json describes recordings, not code files\n"
