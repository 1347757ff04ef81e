"""The tool's readers of Prophesee RAW (EVT 2.0, 2.1, 3.0), DAT and Event Stream files, its
reader options, time windows and streaming, checked on the real recordings, against
independent readers and writers from PyPI, and on hostile bytes."""

import fcntl
import os
import random
import resource
import struct
import sys
import threading

import pytest

from conftest import REAL_DATA, needs_cli, needs_real, run_cli as run

np = pytest.importorskip("numpy")

pytestmark = needs_cli


def convert(source, tmp_path, *options):
    out = tmp_path / "out.npy"
    run("convert", source, "-o", out, "-f", *options, check=0)
    return np.load(out)


def npy_bytes(array, version=None):
    import io
    out = io.BytesIO()
    np.lib.format.write_array(out, array, version=version, allow_pickle=False)
    return out.getvalue()


def tuples(array):
    return [tuple(int(v) for v in row) for row in array[["x", "y", "t", "p"]]]


def info_lines(path, *options):
    return run("info", path, *options, check=0).stdout.splitlines()


def fields_equal(mine, theirs, polarity="p"):
    assert len(mine) == len(theirs)
    for a, b in (("x", "x"), ("y", "y"), ("t", "t"), ("p", polarity)):
        assert (mine[a].astype(np.int64) == theirs[b].astype(np.int64)).all(), a


# --- the real recordings --------------------------------------------------------------------

# count, sensor, first event, last event (x, y, t, p); counts and durations as SOURCES.md
# gives them, first and last events as the independent readers give them.
REAL = {
    "evt2/faery_evt2_sparklers.raw": ("evt2", 521252, "640x480", (35, 443, 913716224, 1),
                                      (12, 471, 913812095, 0)),
    "evt3/expelliarmus_evt3_sample.raw": ("evt3", 219596, "1280x720", (874, 200, 11718656, 0),
                                          (1218, 572, 11727457, 1)),
    "evt3/expelliarmus_pedestrians_cut5000.raw": ("evt3", 5000, "1280x720",
                                                  (707, 297, 5840504, 0),
                                                  (598, 260, 5885714, 0)),
    # The DAT header names neither a size nor a camera: the size comes from the events
    # (N-CARS crops are 120x100; --sensor 120x100 says so).
    "dat/ncars_obj_004397_td.dat": ("dat", 4407, "54x61", (6, 18, 0, 1), (48, 47, 99937, 1)),
    "es/event_stream_dvs.es": ("es", 473225, "320x240", (0, 239, 0, 1), (38, 46, 999000, 1)),
}


@needs_real
@pytest.mark.parametrize("name", sorted(REAL))
def test_real_recordings_are_pinned(tmp_path, name):
    reader, count, sensor, first, last = REAL[name]
    lines = info_lines(REAL_DATA / name)
    assert lines[1:3] == [f"  reader    {reader}", f"  events    {count}"]
    assert f"  sensor    {sensor}" in lines
    array = convert(REAL_DATA / name, tmp_path)
    assert array.dtype.names == ("x", "y", "t", "p") and array["t"].dtype == np.dtype("<u4")
    assert len(array) == count
    assert tuples(array[:1]) == [first] and tuples(array[-1:]) == [last]


@needs_real
def test_dat_equals_its_reference_array(tmp_path):
    reference = np.load(REAL_DATA / "dat" / "ncars_obj_004397_td.ref.npy")
    fields_equal(convert(REAL_DATA / "dat" / "ncars_obj_004397_td.dat", tmp_path), reference)


@needs_real
def test_the_sensor_rule_takes_the_camera_the_header_names(tmp_path):
    # The EVT 2.0 header names the Gen3 plugin, not the geometry: 640x480 even so, and
    # --sensor overrides it.
    path = REAL_DATA / "evt2" / "faery_evt2_sparklers.raw"
    assert "  sensor    640x480" in info_lines(path)
    assert "  sensor    1280x720" in info_lines(path, "--sensor", "1280x720")


def faery_events(path):
    faery = pytest.importorskip("faery", reason="faery (an independent reader) is not installed")
    return np.concatenate(list(faery.events_stream_from_file(str(path))))


@needs_real
@pytest.mark.parametrize("name", ["evt2/faery_evt2_sparklers.raw",
                                  "evt3/expelliarmus_pedestrians_cut5000.raw"])
def test_real_raw_files_equal_faery(tmp_path, name):
    fields_equal(convert(REAL_DATA / name, tmp_path), faery_events(REAL_DATA / name))


@needs_real
def test_evt3_time_low_going_back_follows_the_last_word_written(tmp_path):
    # One EVT_TIME_LOW steps back from 811 to 800; the words update the time base as
    # they come, so the events after it carry 800. faery keeps the larger value there.
    path = REAL_DATA / "evt3" / "expelliarmus_evt3_sample.raw"
    mine = convert(path, tmp_path)
    theirs = faery_events(path)
    assert all((mine[k] == theirs[k]).all() for k in ("x", "y"))
    differ = np.nonzero(mine["t"].astype(np.int64) != theirs["t"].astype(np.int64))[0]
    assert len(differ) == 1455
    gap = theirs["t"][differ].astype(np.int64) - mine["t"][differ].astype(np.int64)
    assert gap.min() > 0 and gap.max() <= 11


@needs_real
@pytest.mark.parametrize("name,encoding", [("evt2/faery_evt2_sparklers.raw", "evt2"),
                                           ("dat/ncars_obj_004397_td.dat", "dat")])
def test_real_files_equal_expelliarmus(tmp_path, name, encoding):
    expelliarmus = pytest.importorskip("expelliarmus", reason="expelliarmus is not installed")
    theirs = expelliarmus.Wizard(encoding=encoding).read(str(REAL_DATA / name))
    fields_equal(convert(REAL_DATA / name, tmp_path), theirs)


@needs_real
def test_real_es_equals_event_stream(tmp_path):
    event_stream = pytest.importorskip("event_stream", reason="event_stream is not installed")
    path = REAL_DATA / "es" / "event_stream_dvs.es"
    theirs = np.concatenate(list(event_stream.Decoder(str(path))))
    fields_equal(convert(path, tmp_path), theirs, polarity="on")


# --- files written by independent writers ---------------------------------------------------


def random_events(n, seed, span, width=1280, height=720):
    rng = np.random.default_rng(seed)
    return (np.sort(rng.integers(0, span, n)), rng.integers(0, width, n),
            rng.integers(0, height, n), rng.integers(0, 2, n).astype(bool))


@pytest.mark.parametrize("version,span", [("evt2", 6_000_000_000), ("evt3", 6_000_000_000),
                                          ("dat2", 4_000_000_000)])
def test_files_written_by_faery(tmp_path, version, span):
    faery = pytest.importorskip("faery", reason="faery (an independent writer) is not installed")
    t, x, y, p = random_events(50_000, seed=len(version), span=span)
    events = np.zeros(len(t), dtype=faery.EVENTS_DTYPE)
    events["t"], events["x"], events["y"], events["p"] = t, x, y, p
    path = tmp_path / ("in.dat" if version == "dat2" else "in.raw")
    faery.events_stream_from_array(events, (1280, 720)).to_file(str(path), version=version,
                                                                zero_t0=False)
    array = convert(path, tmp_path)
    fields_equal(array, events)
    # Timestamps past 32 bits take a 64-bit field; those that fit keep the compact layout.
    assert array["t"].dtype == np.dtype("<u8" if t.max() > 2**32 - 1 else "<u4")


@pytest.mark.parametrize("kind", ["dvs", "atis"])
def test_files_written_by_event_stream(tmp_path, kind):
    event_stream = pytest.importorskip("event_stream", reason="event_stream is not installed")
    t, x, y, p = random_events(20_000, seed=5, span=80_000_000, width=640, height=480)
    dtype = event_stream.dvs_dtype if kind == "dvs" else event_stream.atis_dtype
    events = np.zeros(len(t), dtype=dtype)
    events["t"], events["x"], events["y"] = t, x, y
    if kind == "dvs":
        events["on"] = p
    else:
        events["polarity"] = p
        events["exposure"] = np.random.default_rng(6).integers(0, 2, len(t)).astype(bool)
    path = tmp_path / "in.es"
    with event_stream.Encoder(str(path), kind, 640, 480) as encoder:
        encoder.write(events)
    if kind == "atis":
        lines = info_lines(path)
        assert f"  skipped   {int(events['exposure'].sum())} ATIS exposure measurements" in lines
        events = events[~events["exposure"]]
    fields_equal(convert(path, tmp_path), events, polarity="on" if kind == "dvs" else "polarity")


# --- EVT 2.1, from its documented words ------------------------------------------------------


def evt21_word(kind, payload):
    return (kind << 60) | payload


def evt21_bytes(words, halves=False):
    # Whole 64-bit words little-endian; "legacy" headers send the high half first.
    if halves:
        return b"".join(struct.pack("<II", w >> 32, w & 0xFFFFFFFF) for w in words)
    return b"".join(struct.pack("<Q", w) for w in words)


@pytest.mark.parametrize("fmt", ["EVT21", "EVT21;legacy"])
def test_evt21_vector_words(tmp_path, fmt):
    # TIME_HIGH 5 (t = 5 << 6 = 320), then a POS vector at x 64, y 10, ts 3 with pixels 0,
    # 1 and 31 valid, then a NEG vector at x 96, y 11 with pixel 2, then a trigger.
    words = [evt21_word(0x8, 5 << 32),
             evt21_word(0x1, (3 << 54) | (64 << 43) | (10 << 32) | 0x80000003),
             evt21_word(0x0, (7 << 54) | (96 << 43) | (11 << 32) | 0x4),
             evt21_word(0xA, 0)]
    path = tmp_path / "v.raw"
    header = f"% format {fmt};width=1280;height=720\n% end\n".encode()
    path.write_bytes(header + evt21_bytes(words, halves=fmt.endswith("legacy")))
    assert tuples(convert(path, tmp_path)) == [(64, 10, 323, 1), (65, 10, 323, 1),
                                               (95, 10, 323, 1), (98, 11, 327, 0)]
    lines = info_lines(path)
    assert "  reader    evt21" in lines and "  sensor    1280x720" in lines
    assert "  skipped   1 trigger events" in lines


def test_raw_without_a_version_names_the_readers(tmp_path):
    path = tmp_path / "x.raw"
    path.write_bytes(b"% date today\n" + struct.pack("<Q", evt21_word(0x1, 3)))
    done = run("info", path, check=1)
    assert done.stderr == (f"{path}: the RAW header names no EVT version; give --reader evt2, "
                           "evt21 or evt3\n")
    assert "  events    2" in info_lines(path, "--reader", "evt21")


def test_evt3_vectors_and_time_wrap(tmp_path):
    def w(kind, payload):
        return struct.pack("<H", (kind << 12) | payload)
    words = [w(0x8, 0xFFF), w(0x6, 5), w(0x0, 7),  # t = 0xFFF005, y 7
             w(0x3, (1 << 11) | 100), w(0x4, 0b100000000001), w(0x5, 0b10000000),  # x 100, 111, 119
             w(0x8, 0x000), w(0x6, 1), w(0x2, 3)]  # TIME_HIGH wraps: t = 2^24 + 1, x 3, p 0
    path = tmp_path / "w.raw"
    path.write_bytes(b"% evt 3.0\n% geometry 640x480\n% end\n" + b"".join(words))
    assert tuples(convert(path, tmp_path)) == [(100, 7, 0xFFF005, 1), (111, 7, 0xFFF005, 1),
                                               (119, 7, 0xFFF005, 1), (3, 7, 2**24 + 1, 0)]
    assert "  sensor    640x480" in info_lines(path)


# --- reader options --------------------------------------------------------------------------


def aedat2(path, records):
    path.write_bytes(b"#!AER-DAT2.0\r\n" + b"".join(struct.pack(">II", a, t) for a, t in records))
    return path


def test_aedat2_jaer_layout_and_specials(tmp_path):
    # x field 5, y 9, raw polarity 1; a special event (bit 31); a sync event (bit 15).
    path = aedat2(tmp_path / "a.aedat",
                  [((9 << 8) | (5 << 1) | 1, 10), (1 << 31, 11), ((1 << 15) | 2, 12)])
    assert tuples(convert(path, tmp_path)) == [(5, 9, 10, 1), (0, 0, 11, 0), (1, 0, 12, 0)]
    assert "  holds     2 special events (read as pixels)" in info_lines(path)
    assert tuples(convert(path, tmp_path, "--aedat2-layout", "jaer", "--drop-specials")) == [
        (122, 9, 10, 0)]
    assert "  skipped   2 special events" in info_lines(path, "--drop-specials")


def test_nmnist_overflow_markers(tmp_path):
    def record(x, y, t, p):
        return bytes([x, y, (p << 7) | (t >> 16), (t >> 8) & 0xFF, t & 0xFF])
    path = tmp_path / "n.bin"
    path.write_bytes(record(1, 2, 8000, 1) + record(0, 240, 0, 0) + record(3, 4, 100, 0))
    assert tuples(convert(path, tmp_path)) == [(1, 2, 8000, 1), (0, 240, 0, 0), (3, 4, 100, 0)]
    assert "  holds     1 overflow markers (read as events)" in info_lines(path)
    assert tuples(convert(path, tmp_path, "--resolve-overflow")) == [(1, 2, 8000, 1),
                                                                      (3, 4, 8292, 0)]


def test_csv_columns_and_header(tmp_path):
    plain = tmp_path / "a.csv"
    plain.write_text("1,2,0,70000\n3,4,1,70001\n")
    assert tuples(convert(plain, tmp_path, "--columns", "x,y,p,t")) == [(1, 2, 70000, 0),
                                                                        (3, 4, 70001, 1)]
    named = tmp_path / "b.csv"
    named.write_text("timestamp,x,y,polarity\n8589934592,5,6,1\n")
    assert tuples(convert(named, tmp_path)) == [(5, 6, 8589934592, 1)]
    bad = tmp_path / "c.csv"
    bad.write_text("t,x,y,p\n1,2,3,0\n\n4,5,x,1\n")
    assert run("info", bad, check=1).stderr == f"{bad}: line 4: invalid digit found in string\n"
    assert "--columns" in run("info", plain, "--columns", "x,y,p", check=2).stderr


def test_time_window_on_info_and_convert(tmp_path):
    path = tmp_path / "w.csv"
    path.write_text("".join(f"{i},0,{1000 + 10 * i},1\n" for i in range(10)))
    assert tuples(convert(path, tmp_path, "--time-window", "20:50")) == [
        (2, 0, 1020, 1), (3, 0, 1030, 1), (4, 0, 1040, 1)]
    assert tuples(convert(path, tmp_path, "--time-window", "@1080:")) == [(8, 0, 1080, 1),
                                                                          (9, 0, 1090, 1)]
    assert "  events    5" in info_lines(path, "--time-window", ":50")
    assert "START:END" in run("info", path, "--time-window", "5", check=2).stderr


def test_timestamps_past_32_bits(tmp_path):
    path = tmp_path / "big.csv"
    path.write_text("t,x,y,p\n5000000000,1,1,0\n5000000100,2,2,1\n")
    lines = info_lines(path)
    assert "  t         5000000000..5000000100 us" in lines
    assert "  offset    5000000000 us (timestamps are coded from here)" in lines
    # The codec counts from the offset, so the figures are those of the rebased events.
    run("sweep", path, "--baselines", "none", check=0)
    assert "does not fit the 32 bits" in run("convert", path, "-o", tmp_path / "o.evb",
                                             check=1).stderr
    wide = tmp_path / "wide.csv"
    wide.write_text("t,x,y,p\n0,1,1,0\n5000000000,2,2,1\n")
    done = run("sweep", wide, "--baselines", "none", check=1)
    assert "more than 32 bits of microseconds; code a part of it with --time-window" in done.stderr
    row = run("sweep", wide, "--baselines", "none", "--time-window", "@5000000000:",
              "--format", "jsonl", check=0).stdout
    assert '"n_events": 1' in row


# --- hostile input ---------------------------------------------------------------------------


def small_files():
    faery_like = b"% evt 2.0\n% end\n" + b"".join(
        struct.pack("<I", w) for w in (0x80000001, 0x10400803, 0x00800805, 0xA0000000))
    evt3 = b"% evt 3.0\n% end\n" + b"".join(
        struct.pack("<H", w) for w in (0x8001, 0x6002, 0x0003, 0x2804, 0x3005, 0x4FFF, 0x50FF))
    dat = b"% Version 2\n\x00\x08" + b"".join(
        struct.pack("<II", t, (1 << 28) | (t << 14) | t) for t in range(5))
    es = b"Event Stream\x02\x00\x00\x01" + struct.pack("<HH", 64, 48) + bytes(
        [0x03, 1, 0, 2, 0, 0xFF, 0x04, 3, 0, 4, 0, 0xFE])
    atis = b"Event Stream\x02\x00\x00\x02" + struct.pack("<HH", 64, 48) + bytes(
        [0x06, 1, 0, 2, 0, 0xFD, 0x05, 3, 0, 4, 0])
    return {"a.raw": faery_like, "b.raw": evt3, "c.dat": dat, "d.es": es, "e.es": atis,
            "f.npy": npy_bytes(np.array([(1, 2, 3, 1), (4, 5, 6, 0), (7, 8, 9, 1)],
                                        dtype=[("t", "<i8"), ("x", "<i2"), ("y", "<i2"),
                                               ("p", "u1")]))}


@pytest.mark.parametrize("name", sorted(small_files()))
def test_every_truncation_ends_in_one_line(tmp_path, name):
    data = small_files()[name]
    run("info", tmp_path / name, check=1)  # missing
    for cut in range(len(data) + 1):
        path = tmp_path / name
        path.write_bytes(data[:cut])
        done = run("info", path)
        assert done.returncode in (0, 1), done.stderr
        if done.returncode == 1:
            assert done.stderr.count("\n") == 1 and done.stderr.startswith(f"{path}: ")


@pytest.mark.parametrize("name", sorted(small_files()))
def test_random_bytes_after_a_valid_header(tmp_path, name):
    data = small_files()[name]
    header = data[:data.index(b"\n% end\n") + 7] if b"% end" in data else data[:20]
    if name.endswith(".dat"):
        header = data[:14]
    if name.endswith(".npy"):
        header = data[:data.index(b"\n") + 1]
    rng = random.Random(name)
    for i in range(20):
        path = tmp_path / f"r{i}{name[1:]}"
        path.write_bytes(header + rng.randbytes(rng.choice([1, 7, 64, 1000, 30_000])))
        for command in (("info",), ("convert", "-o", tmp_path / "o.npy")):
            done = run(command[0], path, *command[1:])
            assert done.returncode in (0, 1), done.stderr
            assert done.stderr.count("\n") <= 1


def test_absurd_headers(tmp_path):
    long_line = tmp_path / "long.raw"
    long_line.write_bytes(b"% evt 3.0 " + b"x" * 20_000_000 + b"\n% end\n" + bytes(4))
    # The version line is cut to its first kilobytes, so it no longer names a version.
    assert run("info", long_line, check=1).stderr.endswith("give --reader evt2, evt21 or evt3\n")
    endless = tmp_path / "endless.dat"
    endless.write_bytes(b"%" * 5_000_000)
    assert run("info", endless, check=1).stderr == (
        f"{endless}: the file ends inside a DAT header (0 bytes left over)\n")
    wrong_size = tmp_path / "odd.dat"
    wrong_size.write_bytes(b"% Version 2\n\x00\x10" + bytes(32))
    assert run("info", wrong_size, check=1).stderr == (
        f"{wrong_size}: DAT records of 16 bytes; only 8 (Event2D) are read\n")
    es = tmp_path / "v9.es"
    es.write_bytes(b"Event Stream\x09\x00\x00\x01" + bytes(4))
    assert "version 9.0 is not read" in run("info", es, check=1).stderr


# --- bounded memory --------------------------------------------------------------------------


def limited(megabytes):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))
    return apply


def feed_zeros(path, size, prefix=b""):
    """A FIFO at `path` that a thread fills with `prefix` and `size` zero bytes."""
    os.mkfifo(path)

    def write():
        fd = os.open(path, os.O_WRONLY)
        try:
            fcntl.fcntl(fd, 1031, 1 << 20)  # F_SETPIPE_SZ: fewer, larger transfers
        except OSError:
            pass
        chunk = bytes(1 << 20)
        left = size
        if prefix:
            os.write(fd, prefix)
        try:
            while left > 0:
                left -= os.write(fd, chunk[:min(left, len(chunk))])
        finally:
            os.close(fd)
    thread = threading.Thread(target=write, daemon=True)
    thread.start()
    return thread


@pytest.mark.skipif(os.environ.get("OVK_UNDER_SANITIZER") == "1",
                    reason="the sanitizer runtime reserves terabytes of address space")
@pytest.mark.skipif(sys.platform != "linux", reason="address-space limits are Linux's")
def test_multi_gigabyte_recordings_in_bounded_memory(tmp_path):
    # Zero compact records (each an event at x 0, y 0, t 0) streamed through FIFOs, read
    # under a 256 MB address-space limit: 2 GB by info, 1 GB by convert (whose window
    # keeps none of them, so the output stays small).
    size = (2 << 30) // 9 * 9
    feeder = feed_zeros(tmp_path / "a.evb", size)
    done = run("info", tmp_path / "a.evb", check=0, preexec_fn=limited(256))
    feeder.join()
    assert f"  events    {size // 9}\n" in done.stdout
    feeder = feed_zeros(tmp_path / "b.evb", size // 2 // 9 * 9)
    run("convert", tmp_path / "b.evb", "--time-window", "1:", "-o", tmp_path / "o.npy", check=0,
        preexec_fn=limited(256))
    feeder.join()
    assert len(np.load(tmp_path / "o.npy")) == 0
    # An event array of 100M records (1.3 GB), its header first.
    count = 100_000_000
    empty = npy_bytes(np.zeros(0, dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u8"), ("p", "u1")]))
    header = empty.replace(b"(0,)", b"(%d,)" % count).replace(b" " * 8 + b"\n", b"\n")
    assert len(header) == len(empty)
    feeder = feed_zeros(tmp_path / "c.npy", count * 13, prefix=header)
    done = run("info", tmp_path / "c.npy", check=0, preexec_fn=limited(256))
    feeder.join()
    assert f"  events    {count}\n" in done.stdout


def test_a_pipe_converts_to_npy_through_a_spool(tmp_path):
    # A .npy states its length and t's width first: a pipe is spooled, read
    # again for the 64-bit layout, and may go to a FIFO as well.
    data = b"t,x,y,p\n5000000000,1,1,0\n7,2,3,1\n"
    want = [(1, 1, 5000000000, 0), (2, 3, 7, 1)]
    env = {**os.environ, "TMPDIR": str(tmp_path)}
    fifo = tmp_path / "big.csv"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_bytes, args=(data,), daemon=True)
    writer.start()
    run("convert", fifo, "-o", tmp_path / "o.npy", check=0, env=env)
    writer.join(timeout=60)
    out = np.load(tmp_path / "o.npy")
    assert out.dtype["t"] == np.dtype("<u8") and tuples(out) == want
    writer = threading.Thread(target=fifo.write_bytes, args=(data,), daemon=True)
    writer.start()
    os.mkfifo(tmp_path / "out.npy")
    got = {}
    reader = threading.Thread(target=lambda: got.update(b=(tmp_path / "out.npy").read_bytes()),
                              daemon=True)
    reader.start()
    run("convert", fifo, "-o", tmp_path / "out.npy", "--time-window", "@0:@100", check=0, env=env)
    writer.join(timeout=60)
    reader.join(timeout=60)
    (tmp_path / "plain.npy").write_bytes(got["b"])
    assert tuples(np.load(tmp_path / "plain.npy")) == want[1:]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.csv", "o.npy", "out.npy", "plain.npy"]


def test_names_after_the_first_event_are_not_a_header(tmp_path):
    path = tmp_path / "late.csv"
    path.write_text("1,2,3,0\nx,y,p,t\n4,5,6,1\n")
    assert tuples(convert(path, tmp_path)) == [(1, 2, 3, 0), (4, 5, 6, 1)]


def test_a_pipe_of_wide_timestamps_encodes_like_its_file(tmp_path):
    # The occupancy code rebases timestamps past 32 bits, which takes a
    # second read: a pipe is spooled for it.
    data = b"t,x,y,p\n5000000000,1,1,0\n5000000700,2,3,1\n5000090000,0,2,1\n"
    (tmp_path / "file.csv").write_bytes(data)
    run("encode", tmp_path / "file.csv", "-o", tmp_path / "file.ovkc", check=0)
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_bytes, args=(data,), daemon=True)
    writer.start()
    run("encode", fifo, "-o", tmp_path / "pipe.ovkc", check=0,
        env={**os.environ, "TMPDIR": str(tmp_path)})
    writer.join(timeout=60)
    assert (tmp_path / "pipe.ovkc").read_bytes() == (tmp_path / "file.ovkc").read_bytes()


def test_a_refused_output_is_said_before_a_pipe_is_read(tmp_path):
    fifo = tmp_path / "in.csv"
    os.mkfifo(fifo)
    (tmp_path / "o.npy").write_bytes(b"kept")
    # Nothing ever writes the FIFO: reading it first would wait forever.
    done = run("convert", fifo, "-o", tmp_path / "o.npy", check=1, timeout=30)
    assert done.stderr == f"{tmp_path / 'o.npy'}: already exists; use -f or --force to replace it\n"
    assert (tmp_path / "o.npy").read_bytes() == b"kept"


# --- NumPy event arrays ----------------------------------------------------------------------


NAMES = {"x": ["x", "X"], "y": ["y"], "t": ["t", "ts", "timestamp", "t_us"],
         "p": ["p", "polarity", "pol", "on"]}
OTHER_FIELDS = ["<f4", "|V3", "|S5", "<U2", ("<i2", (2,)), ">f8", "<c8"]


def event_array_strategy():
    from hypothesis import strategies as st

    @st.composite
    def arrays(draw):
        fields, limits = [], {}
        for role, highest in (("x", 65535), ("y", 65535), ("t", 2**64 - 1), ("p", 255)):
            kinds = ["u", "i"] + (["b"] if role == "p" else [])
            kind = draw(st.sampled_from(kinds))
            size = 1 if kind == "b" else draw(st.sampled_from([1, 2, 4, 8]))
            order = "|" if size == 1 else draw(st.sampled_from("<>"))
            dtype = np.dtype(f"{order}{kind}{size}")
            top = 1 if kind == "b" else min(highest, int(np.iinfo(dtype).max))
            fields.append((draw(st.sampled_from(NAMES[role])), dtype))
            limits[role] = top
        for i in range(draw(st.integers(0, 3))):
            fields.append((f"extra{i}", draw(st.sampled_from(OTHER_FIELDS))))
        order = draw(st.permutations(range(len(fields))))
        dtype = np.dtype([fields[i] for i in order], align=draw(st.booleans()))
        n = draw(st.integers(0, 30))
        array = np.zeros(n, dtype=dtype)
        want = []
        for k in range(n):
            row = {}
            for (name, _), role in zip(fields, "xytp"):
                value = draw(st.integers(0, limits[role]) | st.sampled_from([0, limits[role]]))
                array[name][k] = value
                row[role] = value
            want.append((row["x"], row["y"], row["t"], row["p"]))
        version = draw(st.sampled_from([None, (1, 0), (2, 0), (3, 0)]))
        return npy_bytes(array, version), want
    return arrays()


def test_event_arrays_written_by_numpy(tmp_path):
    # Any structured array with the four fields among others, in any order, of any integer
    # width and byte order, aligned or packed, in every .npy version, written by numpy and
    # read back through a conversion that numpy loads again.
    from hypothesis import HealthCheck, given, settings

    @settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
    @given(event_array_strategy())
    def check(case):
        data, want = case
        (tmp_path / "in.npy").write_bytes(data)
        got = convert(tmp_path / "in.npy", tmp_path)
        assert tuples(got) == want

    check()


def test_a_stream_of_an_event_array_reads_like_its_file(tmp_path):
    array = np.array([(5, 2**40 + i, i % 2, 3 * i % 60_000) for i in range(200_000)],
                     dtype=[("x", ">u2"), ("t", "<u8"), ("p", "?"), ("y", "<i4")])
    (tmp_path / "a.npy").write_bytes(npy_bytes(array))
    fifo = tmp_path / "b.npy"
    os.mkfifo(fifo)
    writer = threading.Thread(target=fifo.write_bytes, args=(npy_bytes(array),), daemon=True)
    writer.start()
    run("encode", "--lossless", fifo, "-o", tmp_path / "b.ovkc", check=0)
    writer.join(timeout=60)
    run("encode", "--lossless", tmp_path / "a.npy", "-o", tmp_path / "a.ovkc", check=0)
    assert (tmp_path / "a.ovkc").read_bytes() == (tmp_path / "b.ovkc").read_bytes()
    out = convert(tmp_path / "b.ovkc", tmp_path)
    assert tuples(out[-1:]) == [(5, 3 * 199_999 % 60_000, 2**40 + 199_999, 1)]


def test_what_an_event_array_reader_refuses(tmp_path):
    def error(array, *, data=None, name="a.npy"):
        path = tmp_path / name
        path.write_bytes(npy_bytes(array) if data is None else data)
        done = run("info", path, check=1)
        assert done.stderr.startswith(f"{path}: ") and done.stderr.count("\n") == 1
        return done.stderr[len(f"{path}: "):-1]

    def events(x=1, y=2, t=3, p=1, types=("<i2", "<i2", "<i8", "<i2")):
        return np.array([(0, 0, 0, 0), (x, y, t, p)],
                        dtype=list(zip(("x", "y", "t", "p"), types)))

    assert error(events(x=-3)) == "npy event 1: x -3 is outside the 16-bit range"
    assert error(events(y=70000, types=("<i2", "<u4", "<i8", "<i2"))) == (
        "npy event 1: y 70000 is outside the 16-bit range")
    assert error(events(t=-1)) == "npy event 1: t -1 is negative"
    assert error(events(p=-1)) == "npy event 1: polarity -1 is not 0..255"
    assert error(events(p=256)) == "npy event 1: polarity 256 is not 0..255"
    assert error(np.zeros((3, 4), dtype="<i8")) == (
        "not an event array: a plain array of '<i8', not a structured array with fields x, y, t "
        "and p")
    assert error(np.zeros(3, dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<f8"), ("p", "u1")])) == (
        "not an event array: field 't' is '<f8'; x, y, t and p must be integers of 1, 2, 4 or 8 "
        "bytes (p may be a bool)")
    whole = npy_bytes(events())
    assert error(None, data=whole[:-1]) == (
        "not an event array: the header states 2 records of 14 bytes, the file holds 27 bytes "
        "after it")
    assert error(None, data=whole + b"\0") == (
        "not an event array: the header states 2 records of 14 bytes, the file holds 29 bytes "
        "after it")
    # An array under another extension is known by its magic; zeros are not an array.
    other = tmp_path / "events.array"
    other.write_bytes(whole)
    assert run("info", other, check=0).stdout.splitlines()[1] == "  reader    npy"
    assert run("info", "/dev/zero", "--reader", "npy", check=1).stderr == (
        "/dev/zero: not an event array: no .npy magic\n")


def test_a_stream_of_an_event_array_must_hold_its_records_and_no_more(tmp_path):
    whole = npy_bytes(np.zeros(1000, dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u8"),
                                            ("p", "u1")]))
    for data, message in ((whole[:-13], "the file ends after 999 of its 1000 records"),
                          (whole[:-1], "the file ends after 999 of its 1000 records"),
                          (whole + b"\0", "more bytes follow the 1000 records its header states")):
        fifo = tmp_path / "s.npy"
        os.mkfifo(fifo)
        writer = threading.Thread(target=fifo.write_bytes, args=(data,), daemon=True)
        writer.start()
        done = run("info", fifo, check=1)
        writer.join(timeout=60)
        assert done.stderr == f"{fifo}: not an event array: {message}\n"
        fifo.unlink()


@needs_real
def test_the_reference_array_of_a_real_recording_reads_as_its_recording(tmp_path):
    # An array another reader wrote (t <i8, x <i2, y <i2, p u1) gives the DAT file's events.
    array = convert(REAL_DATA / "dat" / "ncars_obj_004397_td.ref.npy", tmp_path)
    assert tuples(array) == tuples(convert(REAL_DATA / "dat" / "ncars_obj_004397_td.dat", tmp_path))


def real_recordings():
    if not REAL_DATA.is_dir():
        return []
    return sorted(p for p in REAL_DATA.glob("*/*")
                  if p.suffix not in (".md", ".npy") and not p.name.startswith("."))


@needs_real
def test_every_real_recording_converts_to_an_array_that_converts_to_itself(tmp_path):
    # The array reader and writer agree on every real recording: converting the tool's own
    # .npy gives the same bytes, and info gives the same counts and ranges for both.
    checked = 0
    for path in real_recordings():
        first = tmp_path / "a.npy"
        options = {".bs2": ["--reader", "nmnist"], ".csv": ["--columns", "x,y,p,t"]}
        run("convert", path, "-o", first, "-f", *options.get(path.suffix, []), check=0)
        run("convert", first, "-o", tmp_path / "b.npy", "-f", check=0)
        assert (tmp_path / "b.npy").read_bytes() == first.read_bytes(), path
        kept = ("  events", "  x ", "  y ", "  t ", "  duration", "  rate")
        assert [line for line in info_lines(path, *options.get(path.suffix, []))
                if line.startswith(kept)] == \
            [line for line in info_lines(first) if line.startswith(kept)], path
        checked += 1
    assert checked == len(real_recordings())


# --- NumPy .npz archives ---------------------------------------------------------------------


def npz_strategy():
    from hypothesis import strategies as st

    @st.composite
    def archives(draw):
        n = draw(st.integers(0, 25))
        values = {role: draw(st.lists(st.integers(0, top), min_size=n, max_size=n))
                  for role, top in (("x", 65535), ("y", 65535), ("t", 2**63 - 1), ("p", 1))}
        types = {"x": draw(st.sampled_from(["<u2", ">i4", "<u8"])),
                 "y": draw(st.sampled_from(["<u2", "<i4"])),
                 "t": draw(st.sampled_from(["<i8", ">u8"])),
                 "p": draw(st.sampled_from(["?", "u1", "<i2"]))}
        names = {role: draw(st.sampled_from(NAMES[role])) for role in "xytp"}
        members = {}
        if draw(st.booleans()):
            array = np.zeros(n, dtype=[(names[r], types[r]) for r in "tpxy"])
            for r in "xytp":
                array[names[r]] = values[r]
            members[draw(st.sampled_from(["event_data", "arr_0", "events"]))] = array
        else:
            for r in "xytp":
                members[names[r]] = np.array(values[r], dtype=types[r])
        if draw(st.booleans()):
            members["label"] = np.int64(7)
            members["image"] = np.zeros((2, 3), dtype="<f4")
            members["meta"] = np.zeros(2, dtype=[("a", "<f8"), ("b", "u1")])
        want = list(zip(values["x"], values["y"], values["t"], values["p"]))
        return members, draw(st.booleans()), want
    return archives()


def test_npz_archives_written_by_numpy(tmp_path):
    # One structured member or four named columns, among other members, stored or
    # deflated, written by numpy.savez and read back through a conversion.
    from hypothesis import HealthCheck, given, settings

    @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
    @given(npz_strategy())
    def check(case):
        members, compressed, want = case
        path = tmp_path / "in.npz"
        (np.savez_compressed if compressed else np.savez)(path, **members)
        assert tuples(convert(path, tmp_path)) == want

    check()


def small_npz(tmp_path, compressed, count):
    path = tmp_path / "small.npz"
    events = np.array([(i % 7, i % 5, 1000 + 3 * i, i % 2) for i in range(count)],
                      dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "?")])
    (np.savez_compressed if compressed else np.savez)(path, event_data=events)
    return path, [tuple(int(v) for v in e) for e in events]


def test_every_change_to_an_npz_archive_is_caught_or_harmless(tmp_path):
    # Every truncation is a one-line error; every single-byte change is an error, or (in a
    # field that holds no data) gives exactly the same events: the CRCs guard the data, which
    # only they guard in a stored member.
    for compressed in (True, False):
        path, want = small_npz(tmp_path, compressed, count=12)
        data = path.read_bytes()
        if compressed:  # a cut ends either kind's zip directory the same way
            for cut in range(len(data)):
                path.write_bytes(data[:cut])
                done = run("info", path, check=1)
                assert done.stderr.startswith(f"{path}: ") and done.stderr.count("\n") == 1, cut
        rng = random.Random(len(data))
        for at in range(len(data)):
            changed = bytearray(data)
            changed[at] ^= rng.randrange(1, 256)
            path.write_bytes(changed)
            done = run("convert", path, "-o", tmp_path / "out.npy", "-f")
            assert done.returncode in (0, 1), done.stderr
            if done.returncode == 0:
                assert tuples(np.load(tmp_path / "out.npy")) == want, at
            else:
                assert done.stderr.count("\n") == 1, done.stderr


def test_what_an_npz_reader_refuses(tmp_path):
    def error(**members):
        path = tmp_path / "a.npz"
        np.savez(path, **members)
        done = run("info", path, check=1)
        assert done.stderr.startswith(f"{path}: ") and done.stderr.count("\n") == 1
        return done.stderr[len(f"{path}: "):-1]

    events = np.zeros(3, dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u8"), ("p", "u1")])
    column = np.arange(3, dtype="<u2")
    assert error(a=events, b=events) == (
        "not an event archive: members 'a.npy' and 'b.npy' both hold events")
    assert error(x=column, y=column, t=column, ts=column, p=column) == (
        "not an event archive: members 't.npy' and 'ts.npy' both hold t")
    assert error(x=column, y=column[:2], t=column, p=column) == (
        "not an event archive: member 'y.npy' holds 2 values, 'x.npy' 3")
    assert error(x=column, y=column, t=column.astype("<f8"), p=column) == (
        "not an event array: field 't' is '<f8'; x, y, t and p must be integers of 1, 2, 4 or "
        "8 bytes (p may be a bool)")
    assert error(x=column, y=column, t=column.astype("<i8") - 5, p=column) == (
        "npz event 0: t -5 is negative")
    assert error(x=column.astype("<i2") - 1, y=column, t=column, p=column) == (
        "npz event 0: x -1 is outside the 16-bit range")
    assert error(image=np.zeros((4, 4)), x=column) == (
        "not an event archive: no member holds events: an array with fields x, y, t and p, or "
        "arrays x, y, t and p (members: 'image.npy', 'x.npy')")
    fifo = tmp_path / "f.npz"
    os.mkfifo(fifo)
    assert run("info", fifo, check=1).stderr == (
        f"{fifo}: a .npz archive is read by position: give a regular file, not a FIFO or device\n")
    text = tmp_path / "t.npz"
    text.write_text("x,y,t,p\n")
    assert run("info", text, check=1).stderr == f"{text}: not a .npz archive: Not a zip archive\n"
    # A stored member whose header was damaged is named as damaged, not passed over as
    # an array of another kind.
    path, _ = small_npz(tmp_path, compressed=False, count=3)
    data = bytearray(path.read_bytes())
    data[data.index(b"}") + 2] ^= 0x10
    path.write_bytes(data)
    assert run("info", path, check=1).stderr == f"{path}: member 'event_data.npy': CRC error\n"


@pytest.mark.skipif(os.environ.get("OVK_UNDER_SANITIZER") == "1",
                    reason="the sanitizer runtime reserves terabytes of address space")
@pytest.mark.skipif(sys.platform != "linux", reason="address-space limits are Linux's")
def test_a_large_npz_archive_is_read_in_bounded_memory(tmp_path):
    # 30M events (390 MB of columns) deflated to a few megabytes, read under 256 MB.
    count = 30_000_000
    zeros = np.zeros(count, dtype="<u2")
    np.savez_compressed(tmp_path / "big.npz", x=zeros, y=zeros, t=np.zeros(count, dtype="<u8"),
                        p=np.zeros(count, dtype="u1"))
    del zeros
    done = run("info", tmp_path / "big.npz", check=0, preexec_fn=limited(256))
    assert f"  events    {count}\n" in done.stdout
