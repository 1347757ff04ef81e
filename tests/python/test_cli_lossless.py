"""ovk encode --lossless / convert / info / check: the lossless .ovkc file from
the command line. Round trips compare every field with numpy arrays; the
container is read by a small independent parser of its documented layout, and
the fast code by an independent decoder (fast_chunk_model)."""
import random
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import fast_chunk_model
from conftest import REAL_DATA, REPO, needs_cli, run_cli as run

pytestmark = needs_cli

# The same events in versions 1 and 2 (read, no longer written), version 4
# (the smallest code, what encode --best writes) and version 3 (the fast code,
# what encode writes).
GOLDEN_V1 = REPO / "tests" / "data" / "golden_lossless.ovkc"
GOLDEN_V2 = REPO / "tests" / "data" / "golden_lossless_v2.ovkc"
GOLDEN_V4 = REPO / "tests" / "data" / "golden_lossless_v4.ovkc"
GOLDEN = REPO / "tests" / "data" / "golden_lossless_v3.ovkc"
DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u8"), ("p", "u1")])
MAX_T = 2**64 - 1

# The events of the golden file, in order.
GOLDEN_EVENTS = [(0, 0, 0, 0), (127, 127, 1000, 1), (127, 126, 1000, 1), (128, 126, 1003, 0),
                 (65535, 65535, MAX_T, 255), (5, 7, 12, 1), (5, 7, 12, 1), (5, 7, 11, 0),
                 (300, 200, 1_700_000_000_000_000, 1), (301, 200, 1_700_000_000_000_001, 0)] + \
                [(10 + i % 5, 20 + i // 5, 2000 + 7 * i, i % 2) for i in range(30)]


def save(path, events):
    np.save(path, np.array(events, dtype=DTYPE))
    return path


def encode(tmp_path, events, *options, name="rec"):
    source = save(tmp_path / f"{name}.npy", events)
    out = tmp_path / f"{name}.ovkc"
    done = run("encode", "--lossless", source, "-o", out, "-f", *options)
    assert done.returncode == 0, done.stderr
    return out


def decode(path, tmp_path, *options):
    out = tmp_path / "back.npy"
    if out.exists():
        out.unlink()
    done = run("convert", path, "-o", out, "-f", *options)
    assert done.returncode == 0, done.stderr
    return [tuple(int(v) for v in row) for row in np.load(out)]


def parse_lossless(data):
    """Header, chunk table and trailer by the documented layout."""
    magic, version, flags, chunk_events, width, height = struct.unpack_from("<4sHHIHH", data, 0)
    assert (magic, flags) == (b"OVKL", 0) and version in (1, 2, 3, 4)
    table_offset, count, events = struct.unpack_from("<QQQ", data, len(data) - 40)
    assert data[-8:] == b"OVKLEND\0"
    chunks = [dict(zip(("offset", "bytes", "events", "t_first", "t_min", "t_max", "sum"),
                       struct.unpack_from("<QIIQQQQ", data, table_offset + 48 * i)))
              for i in range(count)]
    assert table_offset + 48 * count + 40 == len(data)
    return dict(version=version, chunk_events=chunk_events, width=width, height=height, events=events, chunks=chunks)


def one_error_line(done, path):
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"{path}: "), done.stderr
    return lines[0]


# --- round trips ------------------------------------------------------------------------------

ADVERSARIAL = {
    "empty": [],
    "one event": [(1, 2, 3, 1)],
    "unsorted and repeated t": [(i % 7, i % 5, (i * 7919) % 13, i % 2) for i in range(500)],
    "far end of time": [(0, 0, MAX_T, 0), (1, 1, 0, 1), (2, 2, MAX_T, 0), (3, 3, MAX_T - 1, 1)],
    "one pixel": [(9, 9, i, 1) for i in range(2000)],
    "every pixel once": [(x, y, 100, 0) for y in range(40) for x in range(40)],
    "alternating polarity": [(i % 3, 0, i, i % 2) for i in range(3000)],
    "huge gaps": [(0, 0, 0, 0), (1, 0, 2**40, 1), (2, 0, 2**63, 0), (3, 0, 5, 1)],
    "full coordinates": [(65535, 0, 1, 0), (0, 65535, 2, 1), (65535, 65535, 3, 255), (32768, 32767, 4, 128)],
}


@pytest.mark.parametrize("code", [(), ("--best",)], ids=["fast", "best"])
@pytest.mark.parametrize("name", sorted(ADVERSARIAL))
def test_adversarial_round_trip(tmp_path, name, code):
    events = ADVERSARIAL[name]
    coded = encode(tmp_path, events, "--chunk-events", "256", *code)
    assert decode(coded, tmp_path) == events
    done = run("check", coded, tmp_path / "rec.npy")
    assert done.returncode == 0, done.stdout + done.stderr


events_strategy = st.lists(
    st.tuples(st.integers(0, 65535), st.integers(0, 65535),
              st.one_of(st.integers(0, MAX_T), st.sampled_from([0, 1, MAX_T, MAX_T - 1, 2**32]),
                        st.integers(0, 100)),
              st.integers(0, 255)),
    max_size=300)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(events=events_strategy, chunk=st.integers(1, 64), jobs=st.integers(1, 3))
def test_round_trip_any_events(tmp_path, events, chunk, jobs):
    coded = encode(tmp_path, events, "--chunk-events", chunk, "--jobs", jobs)
    assert decode(coded, tmp_path) == events
    assert fast_chunk_model.decode_file(coded.read_bytes()) == events
    layout = parse_lossless(coded.read_bytes())
    assert layout["events"] == len(events)
    assert [c["events"] for c in layout["chunks"]] == \
        [min(chunk, len(events) - i) for i in range(0, len(events), chunk)]


# Events on a few pixels whose low 9 bits collide (0, 512), at the edges of
# the coordinate range (the left and upper neighbours of column and row 0
# are column and row 65535), with polarities other than 0 and 1, and with
# times whose low 32 bits repeat or wrap: the polarity's contexts (the
# pixel's and its neighbours' last polarities, how long ago the pixel fired)
# meet each of their cases.
few_pixels_strategy = st.lists(
    st.tuples(st.sampled_from([0, 1, 2, 511, 512, 65535]), st.sampled_from([0, 1, 512, 65534, 65535]),
              st.one_of(st.integers(0, 3000), st.sampled_from([2**32 - 1, 2**32, 2**32 + 5, 2**40, MAX_T])),
              st.sampled_from([0, 1, 1, 0, 2, 255])),
    max_size=400)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(events=few_pixels_strategy, chunk=st.sampled_from([1, 7, 100, 65536]))
def test_round_trip_few_pixels(tmp_path, events, chunk):
    coded = encode(tmp_path, events, "--chunk-events", chunk)
    assert decode(coded, tmp_path) == events
    assert fast_chunk_model.decode_file(coded.read_bytes()) == events


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(steps=st.lists(st.tuples(st.integers(0, 3), st.integers(0, 3),
                                st.sampled_from([0, 1, 2, 1000, 70_000, 2**31, 2**33])),
                      min_size=1, max_size=500),
       flips=st.integers(0, 2**32))
def test_round_trip_sorted_bursts(tmp_path, steps, flips):
    # Sorted times on a 4 x 4 patch: pixels fire again soon, and long after.
    t, events = 0, []
    for i, (x, y, dt) in enumerate(steps):
        t = min(t + dt, MAX_T)
        events.append((x, y, t, (flips >> (i % 32)) & 1))
    coded = encode(tmp_path, events)
    assert decode(coded, tmp_path) == events
    assert fast_chunk_model.decode_file(coded.read_bytes()) == events


def documented_ages(events, chunk):
    """The age the encoder codes each event by, as docs/format.md states its
    choice (0: as a new pixel)."""
    def magnitude(step):
        step %= 65536
        return min(step, 65536 - step)
    ages = []
    for start in range(0, len(events), chunk):
        part = events[start:start + chunk]
        last = {}  # by the low 9 bits of x and y
        for n, (x, y, _, _) in enumerate(part):
            px, py = part[n - 1][:2] if n else (0, 0)
            m = last.get((x & 511, y & 511))
            age = 0 if m is None or part[m][:2] != (x, y) else n - m
            steps = magnitude(y - py).bit_length() + magnitude(x - px).bit_length()
            ages.append(age if 0 < age <= 4096 and (age - 1).bit_length() <= steps + 3 else 0)
            last[(x & 511, y & 511)] = n
    return ages


# Pixels side by side and a few at a distance, whose low 9 bits collide (0
# and 512): ages on both sides of the encoder's limit (between neighbours,
# 16 events back is coded as an age and 17 is not), steps of 0 in one
# coordinate, and pixels hidden by another with the same low bits.
FAR = [(0, 512), (512, 0), (300, 7), (40000, 3)]
AT_THE_LIMIT = ([(0, 1)] + [(1000 + i, 9) for i in range(14)] + [(0, 0), (0, 1)]
                + [(2000 + i, 9) for i in range(15)] + [(0, 0), (0, 1)])


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pixels=st.lists(st.sampled_from([(0, 0), (0, 1), (1, 0)] + FAR), min_size=100, max_size=400),
       chunk=st.sampled_from([50, 400]))
@example(pixels=AT_THE_LIMIT, chunk=400)
def test_encoder_codes_ages_as_documented(tmp_path, pixels, chunk):
    events = [(x, y, 3 * i, i % 2) for i, (x, y) in enumerate(pixels)]
    coded = encode(tmp_path, events, "--chunk-events", chunk)
    ages = []
    assert fast_chunk_model.decode_file(coded.read_bytes(), ages) == events
    assert ages == documented_ages(events, chunk)


def test_bytes_do_not_depend_on_jobs(tmp_path):
    rng = random.Random(3)
    events = [(rng.randrange(200), rng.randrange(100), i * 3, rng.randrange(2)) for i in range(5000)]
    one = encode(tmp_path, events, "--chunk-events", "300", "--jobs", "1", name="a").read_bytes()
    four = encode(tmp_path, events, "--chunk-events", "300", "--jobs", "4", name="b").read_bytes()
    assert one == four


def test_csv_and_evb_outputs(tmp_path):
    events = [(1, 2, 3, 1), (4, 5, 6, 0)]
    coded = encode(tmp_path, events)
    assert run("convert", coded, "-o", tmp_path / "e.csv").returncode == 0
    assert (tmp_path / "e.csv").read_text() == "x,y,t,p\n1,2,3,1\n4,5,6,0\n"
    assert run("convert", coded, "-o", tmp_path / "e.evb").returncode == 0
    assert (tmp_path / "e.evb").read_bytes() == struct.pack("<HHIBHHIB", 1, 2, 3, 1, 4, 5, 6, 0)


def test_h5_output_reads_back(tmp_path):
    events = [(i % 50, i % 40, 1000 + 3 * i - (i % 7), i % 2) for i in range(2000)]
    coded = encode(tmp_path, events, "--sensor", "64x48")
    h5 = tmp_path / "e.h5"
    assert run("convert", coded, "-o", h5).returncode == 0
    assert h5.read_bytes()[:8] == b"\x89HDF\r\n\x1a\n"
    back = tmp_path / "h5.npy"
    assert run("convert", h5, "-o", back).returncode == 0
    assert [tuple(int(v) for v in row) for row in np.load(back)] == events
    # DSEC times are signed from an offset: the far end of time is refused.
    far = encode(tmp_path, [(1, 2, 0, 1), (1, 2, MAX_T, 0)], name="far")
    done = run("convert", far, "-o", tmp_path / "far.h5")
    assert "more than 2^63" in one_error_line(done, tmp_path / "far.h5")
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix == ".h5") == ["e.h5"]


def test_evb_refuses_timestamps_past_32_bits(tmp_path):
    coded = encode(tmp_path, [(1, 2, 2**32, 1)])
    done = run("convert", coded, "-o", tmp_path / "e.evb")
    assert "does not fit the 32 bits" in one_error_line(done, tmp_path / "e.evb")
    assert not (tmp_path / "e.evb").exists()


# --- golden file ------------------------------------------------------------------------------

@pytest.mark.parametrize("golden, version", [(GOLDEN_V1, 1), (GOLDEN_V2, 2), (GOLDEN, 3), (GOLDEN_V4, 4)])
def test_golden_file_decodes(tmp_path, golden, version):
    assert decode(golden, tmp_path) == GOLDEN_EVENTS
    layout = parse_lossless(golden.read_bytes())
    assert layout["version"] == version
    assert (layout["width"], layout["height"], layout["events"]) == (65535, 65535, 40)
    assert layout["chunks"][0]["t_min"] == 0 and layout["chunks"][0]["t_max"] == MAX_T
    done = run("info", golden)
    name = {1: "first", 2: "earlier smallest", 3: "fast", 4: "smallest"}[version]
    assert f"lossless code (every event exact), version {version} ({name} code)" in done.stdout


@pytest.mark.parametrize("options, golden", [((), GOLDEN), (("--best",), GOLDEN_V4)])
def test_golden_file_is_what_encode_writes(tmp_path, options, golden):
    coded = encode(tmp_path, GOLDEN_EVENTS, "--sensor", "65535x65535", *options)
    assert coded.read_bytes() == golden.read_bytes()


# --- time windows -----------------------------------------------------------------------------

def test_random_windows_equal_filtering_the_full_decode(tmp_path):
    rng = random.Random(8)
    t, events = 5_000, []
    for _ in range(6000):
        t += rng.randrange(40)
        events.append((rng.randrange(64), rng.randrange(64), t, rng.randrange(2)))
    coded = encode(tmp_path, events, "--chunk-events", "500")
    t0 = events[0][0 + 2]
    for _ in range(12):
        a = rng.randrange(0, t - t0 + 100)
        b = a + rng.randrange(0, 30_000)
        window = [e for e in events if t0 + a <= e[2] < t0 + b]
        assert decode(coded, tmp_path, "--time-window", f"{a}:{b}") == window
    absolute = [e for e in events if e[2] >= t0 + 1000]
    assert decode(coded, tmp_path, "--time-window", f"@{t0 + 1000}:") == absolute


def test_window_up_to_the_end_of_time(tmp_path):
    events = [(0, 0, 10, 0), (1, 1, MAX_T, 1)]
    coded = encode(tmp_path, events)
    assert decode(coded, tmp_path, "--time-window", "5:") == [events[1]]


# --- hostile files ----------------------------------------------------------------------------

# Events in three blobs far apart, which the smallest code codes in absolute
# positions (its quadtree), as the first bit of the chunk's code says.
BLOBS = [(c[0] + (7 * i) % 5, c[1] + (3 * i) % 4, 10 * i, i % 2)
         for i, c in enumerate([(40000, 3), (7, 60000), (65530, 65530)] * 12)]


def blobs_file(tmp_path):
    coded = encode(tmp_path, BLOBS, "--best", name="blobs")
    data = coded.read_bytes()
    assert data[25] >= 0x80, "absolute positions"
    assert decode(coded, tmp_path) == BLOBS
    return coded


def golden_or_blobs(golden, tmp_path):
    return blobs_file(tmp_path) if golden == "blobs" else golden


@pytest.mark.parametrize("golden", [GOLDEN_V2, GOLDEN, GOLDEN_V4, "blobs"])
def test_every_truncation_is_a_one_line_error(tmp_path, golden):
    data = golden_or_blobs(golden, tmp_path).read_bytes()
    cut = tmp_path / "cut.ovkc"
    for n in range(len(data)):
        cut.write_bytes(data[:n])
        one_error_line(run("convert", cut, "-o", tmp_path / "o.npy"), cut)
        assert not (tmp_path / "o.npy").exists()


@pytest.mark.parametrize("golden", [GOLDEN_V2, GOLDEN, GOLDEN_V4, "blobs"])
def test_every_byte_change_is_a_one_line_error(tmp_path, golden):
    data = golden_or_blobs(golden, tmp_path).read_bytes()
    bad = tmp_path / "bad.ovkc"
    for i in range(len(data)):
        changed = bytearray(data)
        changed[i] ^= 0x21
        bad.write_bytes(bytes(changed))
        one_error_line(run("convert", bad, "-o", tmp_path / "o.npy"), bad)


def multi_chunk_file(tmp_path):
    events = [(i % 50, i % 40, 1000 + i, i % 2) for i in range(1000)]
    return events, encode(tmp_path, events, "--chunk-events", "100")


def test_damaged_chunk_is_named_and_skippable(tmp_path):
    events, coded = multi_chunk_file(tmp_path)
    data = bytearray(coded.read_bytes())
    chunk = parse_lossless(bytes(data))["chunks"][3]
    data[chunk["offset"] + chunk["bytes"] // 2] ^= 0x10
    coded.write_bytes(bytes(data))
    line = one_error_line(run("convert", coded, "-o", tmp_path / "o.npy"), coded)
    assert line.endswith("chunk 3 of 10: checksum mismatch")
    done = run("convert", coded, "-o", tmp_path / "o.npy", "--skip-damaged")
    assert done.returncode == 0
    assert done.stderr.strip().endswith("chunk 3 of 10: checksum mismatch; skipped its 100 events")
    kept = [tuple(int(v) for v in row) for row in np.load(tmp_path / "o.npy")]
    assert kept == events[:300] + events[400:]


def test_info_and_check_of_a_damaged_file(tmp_path):
    events, coded = multi_chunk_file(tmp_path)
    done = run("info", coded)
    assert done.returncode == 0
    assert "lossless" in done.stdout and "events    1000" in done.stdout
    assert "chunks    10 of up to 100 events" in done.stdout
    data = bytearray(coded.read_bytes())
    data[parse_lossless(bytes(data))["chunks"][9]["offset"]] ^= 1
    coded.write_bytes(bytes(data))
    done = run("check", coded, tmp_path / "rec.npy")
    assert done.returncode == 1 and "chunk 9 of 10: checksum mismatch" in done.stderr


def test_check_names_the_first_difference(tmp_path):
    events, coded = multi_chunk_file(tmp_path)
    other = list(events)
    other[417] = (0, 0, 0, 0)
    save(tmp_path / "other.npy", other)
    done = run("check", coded, tmp_path / "other.npy")
    assert done.returncode == 1
    assert "event 417 is 17,17,1417,1 in the file, 0,0,0,0 in the recording" in done.stdout


def test_occupancy_reader_rejects_a_lossless_file(tmp_path):
    done = run("decode", GOLDEN)
    assert "bad magic" in one_error_line(done, GOLDEN)


def test_info_of_an_occupancy_file(tmp_path):
    done = run("info", REPO / "tests" / "data" / "golden_two_frames.ovkc")
    assert done.returncode == 0 and "occupancy code (lossy" in done.stdout


# --- real recordings --------------------------------------------------------------------------

REAL = sorted(p for p in REAL_DATA.glob("*/*") if p.suffix in (".aedat", ".bs2", ".bin")) \
    if REAL_DATA.is_dir() else []


@pytest.mark.skipif(not REAL, reason=f"real recordings not found at {REAL_DATA}")
def test_real_recordings_round_trip(tmp_path):
    for path in REAL:
        reader = ["--reader", "nmnist"] if path.suffix == ".bs2" else []
        coded = tmp_path / "r.ovkc"
        done = run("encode", "--lossless", path, "-o", coded, "-f", *reader)
        assert done.returncode == 0, done.stderr
        assert run("check", coded, path, *reader).returncode == 0, path
        assert run("convert", path, *reader, "-o", tmp_path / "ref.npy", "-f").returncode == 0
        ref = [tuple(int(v) for v in row) for row in np.load(tmp_path / "ref.npy")]
        assert decode(coded, tmp_path) == ref, path
        if len(ref) <= 20_000:  # the independent decoder is slow
            assert fast_chunk_model.decode_file(coded.read_bytes()) == ref, path


# --- sweep ------------------------------------------------------------------------------------

def test_sweep_reports_lossless_size_and_events_per_cell(tmp_path):
    import json
    rng = random.Random(4)
    events = [(rng.randrange(20), rng.randrange(10), 10 * i, rng.randrange(2)) for i in range(3000)]
    records = b"".join(struct.pack("<HHIB", *e) for e in events)
    (tmp_path / "a.evb").write_bytes(records)
    done = run("sweep", tmp_path / "a.evb", "--time-bins", "1", "--depth", "12", "--format", "jsonl",
               "--baselines", "none")
    assert done.returncode == 0, done.stderr
    row = json.loads(done.stdout.splitlines()[0])
    pixels = len({(x, y) for x, y, _, _ in events})
    assert row["events_per_cell"] == pytest.approx(len(events) / pixels)
    coded = run("encode", "--lossless", tmp_path / "a.evb", "-o", tmp_path / "a.ovkc")
    assert coded.returncode == 0
    size = (tmp_path / "a.ovkc").stat().st_size
    assert row["lossless_bits_per_event"] == pytest.approx(8 * size / len(events))
    assert isinstance(row["lossless_us"], int)
    assert "occupancy code (lossy" in done.stderr and "lossless (ovk, every event exact)" in done.stderr


def test_the_documented_example(tmp_path):
    coded = encode(tmp_path, [(3, 4, 100, 1), (4, 4, 105, 1)], "--sensor", "8x8")
    data = coded.read_bytes()
    assert data[24:24 + 23].hex() == "82fa0b616032107815a2f48b02" "08" "0000010000020400" "44"
    assert fast_chunk_model.decode_file(data) == [(3, 4, 100, 1), (4, 4, 105, 1)]


def test_the_documented_example_of_the_smallest_code(tmp_path):
    coded = encode(tmp_path, [(3, 4, 100, 1), (4, 4, 105, 1)], "--sensor", "8x8", "--best")
    assert coded.read_bytes().hex() == (
        "4f564b4c0400000000000100080008006fce0dca58972b80"
        "008e1e3b170d4e0183c000"
        "18000000000000000b00000002000000640000000000000064000000000000006900000000000000c0c19e01eb366e57"
        "230000000000000001000000000000000200000000000000f2f2e3a7a9a27fa04f564b4c454e4400")
