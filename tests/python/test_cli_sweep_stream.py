"""`ovk sweep` reads recordings in passes: its rows equal the codec run on the
whole recording in memory (the module), on random and real recordings, and
a recording far larger than the memory it is given is swept."""

import json
import os
import resource
import struct
import sys
import threading
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ovk
from conftest import REAL_DATA, needs_cli, needs_real, run_cli as run
from test_cli import expected_row as module_row, jsonl

pytestmark = needs_cli

ROW_FIELDS = ("n_events", "width", "height", "time_bins", "max_depth", "n_frames", "n_bits",
              "bitstream_bytes", "bits_per_event", "compression_ratio", "sparsity")


def sensor_of(events):
    return (max((e.x for e in events), default=-1) + 1, max((e.y for e in events), default=-1) + 1)


def sweep(path, bins, depths, frames, *extra):
    done = run("sweep", path, "--time-bins", ",".join(map(str, bins)), "--depth",
               ",".join(map(str, depths)), "--frames", ",".join(map(str, frames)), "--coding",
               "static,context", "--format", "jsonl", *extra, check=0)
    return jsonl(done.stdout)


def assert_rows_are_the_module(rows, events, width, height, bins, depths, frames):
    grid = [(b, d, f, c) for b in bins for d in depths for f in frames
            for c in ("static", "context")]
    assert [(r["time_bins"], r["max_depth"], r["n_frames"], r["coding"]) for r in rows] == grid
    static = {}
    for row in rows:
        key = (row["time_bins"], row["max_depth"], row["n_frames"])
        if row["coding"] == "static":
            want = module_row(events, width, height, *key)
            assert {k: row[k] for k in ROW_FIELDS} == want, key
            static[key] = row
        else:
            # The same trees, context-coded (their bytes are pinned by the C++ tests).
            assert (row["n_bits"], row["sparsity"]) == (static[key]["n_bits"],
                                                        static[key]["sparsity"]), key


def compact(events):
    return b"".join(struct.pack("<HHIB", e.x, e.y, e.t, e.p) for e in events)


events_strategy = st.lists(
    st.builds(ovk.Event, st.integers(0, 70), st.integers(0, 40), st.integers(0, 3_000_000),
              st.integers(0, 255)),
    min_size=1, max_size=400)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(events=events_strategy,
       bins=st.lists(st.integers(1, 300), min_size=1, max_size=2, unique=True),
       depths=st.lists(st.integers(0, 14), min_size=1, max_size=2, unique=True),
       frames=st.lists(st.integers(1, 12), min_size=1, max_size=2, unique=True),
       late=st.booleans())
def test_streamed_rows_equal_the_whole_recording(tmp_path, events, bins, depths, frames, late):
    # `late` moves every timestamp near the top of 32 bits, where a wrong
    # offset or a wrapped difference would show.
    if late and events:
        events = [ovk.Event(e.x, e.y, e.t + (1 << 32) - 3_000_001, e.p) for e in events]
    path = tmp_path / "r.evb"
    records = compact(events)
    path.write_bytes(records)
    rows = sweep(path, bins, depths, frames, "--baselines", "zlib")
    width, height = sensor_of(events)
    assert_rows_are_the_module(rows, events, width, height, bins, depths, frames)
    zlib_bits = len(zlib.compress(records, 6)) * 8 / max(len(events), 1)
    assert {r["zlib_bits_per_event"] for r in rows} == {zlib_bits}
    lossless = run("encode", "--lossless", path, "-o", tmp_path / "r.ovkc", "-f", check=0)
    assert lossless.returncode == 0
    size = (tmp_path / "r.ovkc").stat().st_size
    assert {r["lossless_bits_per_event"] for r in rows} == {8 * size / max(len(events), 1)}


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(events=st.lists(st.tuples(st.integers(0, 50), st.integers(0, 30), st.integers(0, 10**6),
                                 st.integers(0, 1)), min_size=1, max_size=300),
       start=st.integers(0, 10**6), base=st.integers(1 << 32, 1 << 40),
       window=st.booleans())
def test_wide_timestamps_and_windows_are_rebased_as_before(tmp_path, events, start, base, window):
    # Timestamps past 32 bits are coded from the smallest one; a window keeps
    # the events within [first + start, ...) of the first event in file order.
    path = tmp_path / "r.csv"
    # (Named columns in another order than x,y,t,p take 64-bit timestamps.)
    path.write_text("t,x,y,p\n" + "".join(f"{base + t},{x},{y},{p}\n" for x, y, t, p in events))
    extra = ["--time-window", f"{start}:"] if window else []
    kept = [e for e in events if not window or e[2] - events[0][2] >= start]
    smallest = min((base + t for _, _, t, _ in kept), default=0)
    model = [ovk.Event(x, y, base + t - smallest, p) for x, y, t, p in kept]
    rows = sweep(path, [16], [6], [1, 4], "--baselines", "none", *extra)
    width, height = sensor_of(model)
    assert_rows_are_the_module(rows, model, width, height, [16], [6], [1, 4])


def npy_events(path, reader_args, tmp_path):
    """The recording read whole by the tool, rebased as the sweep rebases it."""
    out = tmp_path / "whole.npy"
    run("convert", path, *reader_args, "-o", out, "-f", check=0)
    array = np.load(out)
    t = array["t"].astype(np.uint64)
    offset = int(t.min()) if len(t) and int(t.max()) > 0xFFFFFFFF else 0
    return [ovk.Event(int(x), int(y), int(tt) - offset, int(p))
            for x, y, tt, p in zip(array["x"], array["y"], t, array["p"])]


REAL_SENSORS = {"aedat4/tonic_sample.aedat4": (320, 240),
                "aedat4/evvislib_sample.aedat4": (346, 260),
                "evt2/faery_evt2_sparklers.raw": (640, 480),
                "evt3/expelliarmus_evt3_sample.raw": (1280, 720),
                "evt3/expelliarmus_pedestrians_cut5000.raw": (1280, 720),
                "dat/ncars_obj_004397_td.dat": (120, 100),
                "es/event_stream_dvs.es": (320, 240),
                "aedat2/DVS128-2017-03-21-short.aedat": (128, 128),
                "nmnist/1.bs2": (34, 34),
                "csv/feedback-sorted.csv": (640, 480)}


@needs_real
@pytest.mark.parametrize("name", sorted(REAL_SENSORS))
def test_streamed_rows_on_real_recordings_equal_the_whole_recording(tmp_path, name):
    path = REAL_DATA / name
    reader = {".bs2": ["--reader", "nmnist"], ".csv": ["--columns", "x,y,p,t"]}.get(
        path.suffix, [])
    events = npy_events(path, reader, tmp_path)
    rows = sweep(path, [16, 256], [8], [1, 5], "--baselines", "none", *reader)
    width, height = rows[0]["width"], rows[0]["height"]
    if name.startswith(("aedat4", "es", "aedat2", "nmnist")):
        assert (width, height) == REAL_SENSORS[name]  # stated by the file or its format
    assert_rows_are_the_module(rows, events, width, height, [16, 256], [8], [1, 5])


def limited(megabytes):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))
    return apply


def fed_through_a_fifo(path, fifo):
    """A FIFO at `fifo` that a thread fills with the bytes of `path`."""
    os.mkfifo(fifo)

    def write():
        try:
            with open(path, "rb") as source, open(fifo, "wb") as sink:
                while chunk := source.read(1 << 20):
                    sink.write(chunk)
        except BrokenPipeError:
            pass  # the reader gave up first
    thread = threading.Thread(target=write, daemon=True)
    thread.start()
    return thread


def test_a_pipe_is_swept_like_the_file_it_carries(tmp_path):
    rng = np.random.default_rng(3)
    n = 5000
    events = [ovk.Event(int(x), int(y), int(t), int(p)) for x, y, t, p in
              zip(rng.integers(0, 90, n), rng.integers(0, 60, n),
                  np.sort(rng.integers(0, 2_000_000, n)), rng.integers(0, 2, n))]
    path = tmp_path / "events.evb"
    path.write_bytes(compact(events))
    args = ("--time-bins", "16,200", "--depth", "6,9", "--frames", "1,4", "--coding",
            "static,context", "--format", "jsonl")
    for window in ((), ("--time-window", "300000:1500000")):
        want = run("sweep", path, *args, *window, check=0).stdout
        feeder = fed_through_a_fifo(path, tmp_path / "pipe.evb")
        done = run("sweep", tmp_path / "pipe.evb", *args, *window, check=0,
                   env={**os.environ, "TMPDIR": str(tmp_path)})
        feeder.join()
        os.unlink(tmp_path / "pipe.evb")
        strip = lambda text: [{k: v for k, v in row.items() if not k.endswith(("_us", "path"))}
                              for row in jsonl(text)]
        assert strip(done.stdout) == strip(want)
        # The spool the passes read is gone with the process.
        assert sorted(p.name for p in tmp_path.iterdir()) == ["events.evb"]


def test_a_pipe_whose_spool_cannot_be_made_fails_in_one_line(tmp_path):
    path = tmp_path / "events.evb"
    path.write_bytes(compact([ovk.Event(1, 2, 3, 0)]))
    feeder = fed_through_a_fifo(path, tmp_path / "pipe.evb")
    done = run("sweep", tmp_path / "pipe.evb", check=1,
               env={**os.environ, "TMPDIR": str(tmp_path / "missing")})
    feeder.join()
    assert done.stderr.endswith(
        "cannot make the temporary file that holds a pipe's events: No such file or directory "
        "(os error 2)\n")
    assert done.stderr.count("\n") == 1


@pytest.mark.skipif(os.environ.get("OVK_UNDER_SANITIZER") == "1",
                    reason="the sanitizer runtime reserves terabytes of address space")
@pytest.mark.skipif(sys.platform != "linux", reason="address-space limits are Linux's")
@pytest.mark.parametrize("through", ["file", "fifo"])
def test_a_long_recording_of_few_cells_is_swept_in_bounded_memory(tmp_path, through):
    # 24M events (216 MB of compact records) on 64 pixels and few time bins:
    # their events would need 288 MB and their keys 192 MB, but the cells
    # are a few thousand; swept under a 256 MB address-space limit, from the
    # file or through a pipe (whose events the passes read from a spool).
    n = 24 << 20
    record = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
    events = np.zeros(n, dtype=record)
    i = np.arange(n, dtype=np.uint64)
    events["x"] = i % 8
    events["y"] = (i // 8) % 8
    events["t"] = i // 64
    events["p"] = i % 2
    path = tmp_path / "long.evb"
    events.tofile(path)
    del events, i
    feeder = fed_through_a_fifo(path, tmp_path / "pipe.evb") if through == "fifo" else None
    done = run("sweep", tmp_path / "pipe.evb" if feeder else path, "--time-bins", "64", "--depth",
               "20", "--frames", "1,3", "--format", "jsonl", "--baselines", "zstd3", check=None,
               preexec_fn=limited(256), timeout=120, env={**os.environ, "TMPDIR": str(tmp_path)})
    if feeder:
        feeder.join()
    assert done.returncode == 0, done.stderr
    rows = jsonl(done.stdout)
    assert [r["n_frames"] for r in rows] == [1, 3]
    assert all(r["n_events"] == n and (r["width"], r["height"]) == (8, 8) for r in rows)
    # Every pixel in every time bin: 8 x 8 x 64 cells.
    assert rows[0]["sparsity"] == 0.0
    assert rows[0]["events_per_cell"] == n / (8 * 8 * 64)
    assert 0 < rows[0]["zstd3_bits_per_event"] < 8
