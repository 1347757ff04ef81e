"""ovk encode / decode / check: the .ovkc code file seen from the command line.

The container is parsed here by a small independent reader, the codes are
compared with the module's own, and the decoded boxes with an occupancy
model written from the binning rule alone.
"""
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ovk

from conftest import REAL_DATA, REPO, needs_cli, needs_real, padded as next_pow2, run_cli, time_bin

pytestmark = needs_cli

GOLDEN = REPO / "tests" / "data" / "golden_two_frames.ovkc"
COLUMNS = "frame,x0,y0,bin0,dx,dy,dbins,t_start_us,t_end_us"


def run(*args):
    return run_cli(*args, timeout=120)


def write_csv(path, events):
    path.write_text("".join(f"{x},{y},{t},{p}\n" for x, y, t, p in events))
    return path


def parse_ovkc(data):
    """The container by its documented layout, without the tool's reader."""
    magic, version, reserved = struct.unpack_from("<4sHH", data, 0)
    assert magic == b"OVKC" and version in (1, 2) and reserved == 0
    width, height, bins, depth, pad, n_events, tmin, tmax, n_frames = \
        struct.unpack_from("<HHHBBQIIQ", data, 8)
    frames, offset = [], 40 + 40 * n_frames
    for k in range(n_frames):
        coding, *pad7, events, ftmin, ftmax, bits, length = \
            struct.unpack_from("<B7BQIIQQ", data, 40 + 40 * k)
        frames.append(dict(coding=coding, events=events, tmin=ftmin, tmax=ftmax, bits=bits,
                           code=data[offset:offset + length]))
        offset += length
    assert offset + 8 == len(data)
    return dict(width=width, height=height, bins=bins, depth=depth, events=n_events,
                tmin=tmin, tmax=tmax, frames=frames, version=version)


def frame_of(events, n_frames):
    ts = [t for _, _, t, _ in events]
    tmin, tmax = min(ts), max(ts)
    return [min(int((n_frames - 1.0) * ((t - tmin) / max(tmax - tmin, 1))), n_frames - 1)
            for t in ts]


def model_rows(events, width, height, bins, depth, n_frames):
    """(frame, x0, y0, bin0, dx, dy, dbins, t_start, t_end) of every occupied leaf box."""
    wp, hp, tp = next_pow2(width), next_pow2(height), next_pow2(bins)
    dx, dy, dt = wp, hp, tp
    for _ in range(depth):
        if dx == dy == dt == 1:
            break
        dx, dy, dt = max(dx // 2, 1), max(dy // 2, 1), max(dt // 2, 1)
    rows = set()
    if not events:
        return rows
    frames = frame_of(events, n_frames)
    for f in range(n_frames):
        mine = [e for e, k in zip(events, frames) if k == f]
        if not mine:
            continue
        tmin, tmax = min(e[2] for e in mine), max(e[2] for e in mine)
        bin_of = {t: min(time_bin(t, tmin, tmax - tmin, bins), tp - 1)
                  for t in range(tmin, tmax + 1)}

        def start(b):
            return next((t for t in range(tmin, tmax + 1) if bin_of[t] >= b), tmax + 1)

        for x, y, t, _ in mine:
            x0 = min(x, wp - 1) // dx * dx
            y0 = min(y, hp - 1) // dy * dy
            b0 = bin_of[t] // dt * dt
            rows.add((f, x0, y0, b0, dx, dy, dt, start(b0), start(b0 + dt)))
    return rows


def read_rows(path):
    lines = path.read_text().splitlines()
    assert lines[0] == COLUMNS
    return [tuple(map(int, line.split(","))) for line in lines[1:]]


events_strategy = st.lists(
    st.tuples(st.integers(0, 40), st.integers(0, 40), st.integers(0, 3000), st.integers(0, 1)),
    max_size=60)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(events=events_strategy, width=st.integers(1, 40), height=st.integers(1, 40),
       bins=st.integers(1, 20), depth=st.integers(0, 8), n_frames=st.integers(1, 4),
       coding=st.sampled_from(["static", "context"]))
def test_round_trip_matches_model_and_module(tmp_path, events, width, height, bins, depth,
                                             n_frames, coding):
    rec = write_csv(tmp_path / "r.csv", events)
    out = tmp_path / "r.ovkc"
    done = run("encode", rec, "-o", out, "-f", "--sensor", f"{width}x{height}", "--time-bins",
               bins, "--depth", depth, "--frames", n_frames, "--coding", coding)
    assert done.returncode == 0, done.stderr
    parsed = parse_ovkc(out.read_bytes())
    evs = [ovk.Event(*e) for e in events]
    if n_frames == 1:
        codes, result = ovk.compress(evs, width, height, bins, depth)
        codes = [codes]
    else:
        codes, result = ovk.compress_sequence(evs, width, height, bins, depth, n_frames)
    if coding == "static":
        assert [f["code"] for f in parsed["frames"]] == codes
        assert parsed["version"] == 1
    else:
        # The same trees, each frame context-coded.
        assert [f["coding"] for f in parsed["frames"]] == [2] * len(codes)
        assert sum(f["bits"] for f in parsed["frames"]) == result.n_bits
        # Version 2 marks a file with context-coded frames; no frames, version 1.
        assert parsed["version"] == (2 if codes else 1)
    assert (parsed["width"], parsed["height"], parsed["bins"], parsed["depth"],
            parsed["events"]) == (width, height, bins, depth, len(events))

    cells = tmp_path / "cells.csv"
    assert run("decode", out, "-o", cells, "-f").returncode == 0
    rows = read_rows(cells)
    assert len(rows) == len(set(rows))
    assert set(rows) == model_rows(events, width, height, bins, depth, n_frames)
    assert run("check", out, rec).returncode == 0


def test_golden_file_decodes():
    # Five events (x, y, t): (0,0,0) (1,1,10) (3,0,20) (2,1,30) in frame 0 and
    # (3,1,40) in frame 1; 4 x 2 sensor, 4 time bins, depth 3. Frame 0 spans
    # 0..30 us, so bin k starts at 10 k us and bin 3 holds only t = 30.
    done = run("decode", GOLDEN)
    assert done.returncode == 0
    assert done.stdout.splitlines()[1:] == [
        "  frames:   2",
        "  boxes:    5",
        "  events:   5, 0..40 us",
        "  geometry: 4x2 sensor, 4 time bins, depth 3; padded 4x2x4, leaf box 1x1x1",
        "  code:     16 bytes, 38 tree bits",
    ]


@pytest.mark.parametrize("suffix", ["csv", "npy"])
def test_golden_file_cells(tmp_path, suffix):
    out = tmp_path / f"cells.{suffix}"
    assert run("decode", GOLDEN, "-o", out).returncode == 0
    expected = [(0, 0, 0, 0, 1, 1, 1, 0, 10), (0, 1, 1, 1, 1, 1, 1, 10, 20),
                (0, 3, 0, 2, 1, 1, 1, 20, 30), (0, 2, 1, 3, 1, 1, 1, 30, 31),
                (1, 3, 1, 0, 1, 1, 1, 40, 41)]
    if suffix == "csv":
        assert read_rows(out) == expected
    else:
        np = pytest.importorskip("numpy")
        cells = np.load(out)
        assert cells.dtype == np.dtype("<u8") and cells.shape == (5, 9)
        assert [tuple(int(v) for v in row) for row in cells] == expected


@pytest.fixture
def small_file(tmp_path):
    rec = write_csv(tmp_path / "r.csv", [(1, 0, 0, 0), (3, 0, 100, 0)])
    out = tmp_path / "small.ovkc"
    assert run("encode", rec, "-o", out, "--sensor", "4x1", "--time-bins", 2,
               "--depth", 2, "--coding", "static").returncode == 0
    return out


def one_error_line(done, path):
    assert done.returncode == 1
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"{path}: "), done.stderr
    return lines[0][len(str(path)) + 2:]


def test_every_byte_change_is_a_one_line_error(tmp_path, small_file):
    data = small_file.read_bytes()
    assert len(data) == 95
    bad = tmp_path / "bad.ovkc"
    for i in range(len(data)):
        changed = bytearray(data)
        changed[i] ^= 0x5A
        bad.write_bytes(bytes(changed))
        message = one_error_line(run("decode", bad), bad)
        if i < 4:
            assert message == "not an ovk code file (bad magic)"
        elif i < 6:
            assert message.startswith("unsupported format version ")
        else:
            assert message.startswith("checksum mismatch: "), (i, message)


def test_every_truncation_is_a_one_line_error(tmp_path, small_file):
    data = small_file.read_bytes()
    bad = tmp_path / "short.ovkc"
    for n in range(len(data)):
        bad.write_bytes(data[:n])
        message = one_error_line(run("decode", bad), bad)
        assert message.startswith("truncated file: " if n < 48 else "checksum mismatch: ")


def test_check_reports_the_first_difference(tmp_path, small_file):
    same = write_csv(tmp_path / "same.csv", [(3, 0, 100, 1), (1, 0, 0, 0)])
    done = run("check", small_file, same)
    assert (done.returncode, done.stdout) == (
        0, f"{small_file}: identical to {same} (1 frame, 2 boxes)\n")
    other = write_csv(tmp_path / "other.csv", [(1, 0, 0, 0), (2, 0, 100, 0)])
    done = run("check", small_file, other)
    assert (done.returncode, done.stdout) == (
        1, f"{small_file}: differs from {other}: frame 0: leaf box 1 is (3, 0, 1) in the file, "
           "(2, 0, 1) in the recording (x0, y0, bin0)\n")


def test_summary_of_the_small_file(small_file):
    done = run("decode", small_file)
    assert done.returncode == 0
    assert done.stdout == (f"{small_file}\n  frames:   1\n  boxes:    2\n  events:   2, 0..100 us\n"
                           "  geometry: 4x1 sensor, 2 time bins, depth 2; padded 4x1x2, leaf box "
                           "1x1x1\n  code:     7 bytes, 9 tree bits\n")


def test_defaults_and_sensor_rule(tmp_path):
    rec = write_csv(tmp_path / "r.csv", [(9, 4, 0, 0), (2, 30, 5, 1)])
    out = tmp_path / "r.ovkc"
    done = run("encode", rec, "-o", out)
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{out}: 1 frame, {out.stat().st_size} bytes, " \
        f"{parse_ovkc(out.read_bytes())['frames'][0]['bits']} tree bits, 10x31 sensor, " \
        "64 time bins, depth 6\n"


@pytest.mark.parametrize("args", [
    ["--frames", "0"], ["--frames", "1000001"], ["--sensor", "10"], ["--sensor", "0x5"],
    ["--sensor", "70000x5"], ["--depth", "256"], ["--time-bins", "65536"], ["--time-bins", "0"],
    ["--reader", "bin"]])
def test_usage_errors_exit_2(tmp_path, args):
    rec = write_csv(tmp_path / "r.csv", [(1, 1, 1, 1)])
    assert run("encode", rec, "-o", tmp_path / "x.ovkc", *args).returncode == 2
    assert not (tmp_path / "x.ovkc").exists()


def test_decode_rejects_unknown_table_suffix(small_file, tmp_path):
    done = run("decode", small_file, "-o", tmp_path / "cells.txt")
    assert done.returncode == 2
    assert "the output name must end in .npy or .csv" in done.stderr


def test_failures_name_the_path(tmp_path, small_file):
    missing = tmp_path / "missing.ovkc"
    assert one_error_line(run("decode", missing), missing).startswith("No such file")
    rec = write_csv(tmp_path / "r.csv", [(1, 1, 1, 1)])
    target = tmp_path / "no_dir" / "x.ovkc"
    done = run("encode", rec, "-o", target)
    assert done.returncode == 1 and done.stderr.startswith(f"{target}: ")
    assert not target.exists()
    bad = write_csv(tmp_path / "bad.xyz", [(1, 1, 1, 1)])
    done = run("check", small_file, bad)
    assert done.returncode == 1 and done.stderr.startswith(f"{bad}: ")


def test_empty_recording(tmp_path):
    # No events: the sensor rule gives 0x0, as info reports it.
    rec = write_csv(tmp_path / "empty.csv", [])
    for frames, n in ((1, 1), (3, 0)):
        out = tmp_path / f"e{frames}.ovkc"
        assert run("encode", rec, "-o", out, "--frames", frames).returncode == 0
        parsed = parse_ovkc(out.read_bytes())
        assert (len(parsed["frames"]), parsed["width"], parsed["height"]) == (n, 0, 0)
        assert run("check", out, rec).returncode == 0


def test_sensor_that_does_not_fit_16_bits_asks_for_sensor(tmp_path):
    rec = write_csv(tmp_path / "wide.csv", [(65535, 3, 0, 1)])
    out = tmp_path / "wide.ovkc"
    message = one_error_line(run("encode", rec, "-o", out), rec)
    assert message == ("largest x is 65535, so the sensor size does not fit 16 bits; "
                       "give --sensor WxH")
    assert not out.exists()
    info = run("info", rec)
    assert info.returncode == 1 and info.stderr == f"{rec}: {message}\n"


def test_reader_choice_names_the_format_whatever_the_extension(tmp_path):
    # One N-MNIST record: x 3, y 5, polarity 1, t 7 us. By extension (.dat)
    # no reader applies; --reader nmnist reads it, with the 34x34 sensor.
    rec = tmp_path / "sample.dat"
    rec.write_bytes(bytes([3, 5, 0x80, 0, 7]))
    out = tmp_path / "sample.ovkc"
    refused = run("encode", rec, "-o", out)
    listed = run("info", rec)
    assert refused.returncode == listed.returncode == 1
    assert refused.stderr == listed.stderr and refused.stderr.startswith(f"{rec}: ")
    assert not out.exists()
    done = run("encode", rec, "-o", out, "--reader", "nmnist", "--time-bins", 1)
    assert done.returncode == 0, done.stderr
    parsed = parse_ovkc(out.read_bytes())
    assert (parsed["width"], parsed["height"], parsed["events"], parsed["tmin"]) == (34, 34, 1, 7)
    assert run("check", out, rec, "--reader", "nmnist").returncode == 0
    assert one_error_line(run("check", out, rec), rec) == refused.stderr.strip()[len(f"{rec}: "):]
    # The same bytes read as CSV text are not a recording.
    assert run("check", out, rec, "--reader", "csv").returncode == 1


REAL_FILES = ["aedat2/DVS128-2017-03-21-short.aedat", "aedat2/mnist_0_scale04_0001.aedat",
              "nmnist/sample_nmnist.bin"]


@needs_real
@pytest.mark.parametrize("name", REAL_FILES)
@pytest.mark.parametrize("frames", [1, 4])
def test_real_recordings_round_trip(tmp_path, name, frames):
    rec = REAL_DATA / name
    out = tmp_path / "real.ovkc"
    done = run("encode", rec, "-o", out, "--frames", frames, "--coding", "static")
    assert done.returncode == 0, done.stderr
    parsed = parse_ovkc(out.read_bytes())
    assert (parsed["width"], parsed["height"]) == ((34, 34) if name.endswith(".bin") else (128, 128))
    assert run("check", out, rec).returncode == 0
    evs = ovk.load_events(str(rec))
    w, h, b, d = parsed["width"], parsed["height"], parsed["bins"], parsed["depth"]
    expected = [ovk.compress(evs, w, h, b, d)[0]] if frames == 1 else \
        ovk.compress_sequence(evs, w, h, b, d, frames)[0]
    assert [f["code"] for f in parsed["frames"]] == expected
    assert parsed["events"] == len(evs)
