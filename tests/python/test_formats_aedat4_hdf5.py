"""The AEDAT 4 and HDF5 (DSEC layout) readers and the DSEC writer against
independent programs from PyPI: aedat, faery and dv-processing read and write
AEDAT 4, h5py reads and writes HDF5. The readers are driven through
ovk_formats_probe (OVK_FORMATS_PROBE), which dumps the events they hand out.
Each comparison skips with its reason when its package is not installed.

No HDF5 event recording with a licence was found, so the HDF5 files here are
written by h5py; no real zstd-compressed AEDAT 4 file was found either, so
faery and dv-processing write those.
"""

import os
import subprocess

import numpy as np
import pytest

from conftest import REAL_DATA

PROBE = os.environ.get("OVK_FORMATS_PROBE")
pytestmark = pytest.mark.skipif(
    not PROBE, reason="OVK_FORMATS_PROBE not set (the tool and its format libraries were not built)"
)

RECORD = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u8"), ("p", "u1")])
AEDAT4_DIR = REAL_DATA / "aedat4"
REAL_AEDAT4 = ["tonic_sample.aedat4", "evvislib_sample.aedat4"]


def probe_read(path, tmp_path):
    """Events and facts (sensor, skipped, count) as the probe reads them."""
    out = tmp_path / "events.bin"
    done = subprocess.run([PROBE, "read", str(path), str(out)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    facts = {"skipped": {}}
    for line in done.stdout.splitlines():
        word, rest = line.split(" ", 1)
        if word == "sensor":
            facts["sensor"] = None if rest == "none" else tuple(int(v) for v in rest.split())
        elif word == "skipped":
            count, kind = rest.split(" ", 1)
            facts["skipped"][kind] = int(count)
        elif word == "events":
            facts["events"] = int(rest)
    events = np.fromfile(out, dtype=RECORD)
    assert len(events) == facts["events"]
    return events, facts


def probe_failure(path):
    done = subprocess.run([PROBE, "count", str(path)], capture_output=True, text=True)
    return done.returncode, done.stderr


def assert_same_events(ours, t, x, y, p):
    assert len(ours) == len(t)
    np.testing.assert_array_equal(ours["t"], np.asarray(t, dtype=np.uint64))
    np.testing.assert_array_equal(ours["x"], np.asarray(x, dtype=np.uint16))
    np.testing.assert_array_equal(ours["y"], np.asarray(y, dtype=np.uint16))
    np.testing.assert_array_equal(ours["p"], np.asarray(p, dtype=np.uint8))


def need_real():
    if not AEDAT4_DIR.is_dir():
        pytest.skip(f"real recordings not available at {AEDAT4_DIR}")


def aedat_events(path):
    aedat = pytest.importorskip("aedat", reason="aedat (PyPI) is not installed")
    decoder = aedat.Decoder(str(path))
    chunks = [packet["events"] for packet in decoder if "events" in packet]
    return np.concatenate(chunks) if chunks else np.zeros(0, dtype=[("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("on", "?")])


def faery_events(path):
    faery = pytest.importorskip("faery", reason="faery (PyPI) is not installed")
    return faery.events_stream_from_file(str(path)).to_array()


def dv_events(path):
    dv = pytest.importorskip("dv_processing", reason="dv-processing (PyPI) is not installed")
    recording = dv.io.MonoCameraRecording(str(path))
    chunks = []
    while True:
        batch = recording.getNextEventBatch()
        if batch is None:
            break
        chunks.append(batch.numpy())
    return np.concatenate(chunks), recording.getEventResolution()


@pytest.mark.parametrize("name", REAL_AEDAT4)
def test_real_aedat4_equals_aedat(name, tmp_path):
    need_real()
    ours, facts = probe_read(AEDAT4_DIR / name, tmp_path)
    theirs = aedat_events(AEDAT4_DIR / name)
    assert_same_events(ours, theirs["t"], theirs["x"], theirs["y"], theirs["on"])


@pytest.mark.parametrize("name", REAL_AEDAT4)
def test_real_aedat4_equals_faery(name, tmp_path):
    need_real()
    ours, _ = probe_read(AEDAT4_DIR / name, tmp_path)
    theirs = faery_events(AEDAT4_DIR / name)
    # faery counts time from the recording's start unless told otherwise;
    # compare the rest field by field and the time differences.
    np.testing.assert_array_equal(ours["x"], theirs["x"])
    np.testing.assert_array_equal(ours["y"], theirs["y"])
    np.testing.assert_array_equal(ours["p"], theirs["on"].astype(np.uint8))
    np.testing.assert_array_equal(np.diff(ours["t"].astype(np.int64)), np.diff(theirs["t"].astype(np.int64)))


@pytest.mark.parametrize("name", REAL_AEDAT4)
def test_real_aedat4_equals_dv_processing(name, tmp_path):
    need_real()
    ours, facts = probe_read(AEDAT4_DIR / name, tmp_path)
    theirs, resolution = dv_events(AEDAT4_DIR / name)
    assert facts["sensor"] == tuple(resolution)
    assert_same_events(ours, theirs["timestamp"], theirs["x"], theirs["y"], theirs["polarity"])


def random_events(n, width, height, seed):
    rng = np.random.default_rng(seed)
    t = 1_600_000_000_000_000 + np.cumsum(rng.integers(0, 30, n))
    return (t.astype(np.uint64), rng.integers(0, width, n), rng.integers(0, height, n),
            rng.integers(0, 2, n))


@pytest.mark.parametrize("compression", [("lz4", 1), ("zstd", 3)])
def test_faery_written_aedat4(compression, tmp_path):
    faery = pytest.importorskip("faery", reason="faery (PyPI) is not installed")
    from faery.events_stream import EVENTS_DTYPE

    t, x, y, p = random_events(150_000, 640, 480, seed=5)
    array = np.zeros(len(t), dtype=EVENTS_DTYPE)
    array["t"], array["x"], array["y"], array["on"] = t, x, y, p
    path = tmp_path / f"faery_{compression[0]}.aedat4"
    faery.events_stream_from_array(array, (640, 480)).to_file(
        str(path), compression=compression, zero_t0=False)
    ours, facts = probe_read(path, tmp_path)
    assert facts["sensor"] == (640, 480)
    assert_same_events(ours, t, x, y, p)


@pytest.mark.parametrize("compression", ["LZ4", "ZSTD", "NONE"])
def test_dv_processing_written_aedat4(compression, tmp_path):
    dv = pytest.importorskip("dv_processing", reason="dv-processing (PyPI) is not installed")
    t, x, y, p = random_events(20_000, 346, 260, seed=6)
    store = dv.EventStore()
    for i in range(len(t)):
        store.push_back(int(t[i]), int(x[i]), int(y[i]), bool(p[i]))
    config = dv.io.MonoCameraWriter.EventOnlyConfig(
        "DAVIS346_test", (346, 260), getattr(dv.CompressionType, compression))
    path = tmp_path / f"dv_{compression}.aedat4"
    writer = dv.io.MonoCameraWriter(str(path), config)
    writer.writeEvents(store)
    del writer  # closes the file and writes its packet table
    ours, facts = probe_read(path, tmp_path)
    assert facts["sensor"] == (346, 260)
    assert_same_events(ours, t, x, y, p)


def test_truncated_real_file_is_a_one_line_error(tmp_path):
    need_real()
    data = (AEDAT4_DIR / "evvislib_sample.aedat4").read_bytes()
    # Cuts inside the header and inside the packets; the packet table at the
    # end is not needed to read the events, so a cut there reads whole.
    for cut in (10, 100, 3000, len(data) // 3, len(data) // 2):
        path = tmp_path / "cut.aedat4"
        path.write_bytes(data[:cut])
        code, err = probe_failure(path)
        assert code == 1, cut
        assert err.startswith(f"{path}: ") and err.count("\n") == 1, err


# ---- HDF5 in the DSEC layout ----

def write_dsec_h5py(path, t, x, y, p, t_offset, t_dtype, **dataset_options):
    h5py = pytest.importorskip("h5py", reason="h5py (PyPI) is not installed")
    with h5py.File(path, "w") as f:
        events = f.create_group("events")
        events.create_dataset("x", data=np.asarray(x, dtype="<u2"), **dataset_options)
        events.create_dataset("y", data=np.asarray(y, dtype="<u2"), **dataset_options)
        events.create_dataset("p", data=np.asarray(p, dtype="u1"), **dataset_options)
        events.create_dataset("t", data=np.asarray(t - t_offset, dtype=t_dtype), **dataset_options)
        relative = (t - t_offset).astype(np.int64)
        f.create_dataset("ms_to_idx", data=np.searchsorted(relative, np.arange(0, relative[-1] // 1000 + 1) * 1000))
        f.create_dataset("t_offset", data=np.int64(t_offset))


@pytest.mark.parametrize("options", [
    {"t_dtype": "<u4"},
    {"t_dtype": "<i8", "chunks": (4096,), "compression": "gzip"},
    {"t_dtype": "<u8", "chunks": True, "compression": "lzf"},
])
def test_h5py_written_dsec_files(options, tmp_path):
    t, x, y, p = random_events(200_000, 640, 480, seed=7)
    path = tmp_path / "events.h5"
    options = dict(options)
    t_dtype = options.pop("t_dtype")
    if options.get("compression") == "lzf":
        # lzf is h5py's own filter: libhdf5 has no lzf, and the reader says so.
        write_dsec_h5py(path, t, x, y, p, int(t[0]), t_dtype, **options)
        code, err = probe_failure(path)
        assert code == 1
        assert err == f"{path}: HDF5 dataset /events/x needs filter 32000 (lzf), which this libhdf5 cannot load (a plugin for it in HDF5_PLUGIN_PATH would provide it)\n"
        return
    write_dsec_h5py(path, t, x, y, p, int(t[0]), t_dtype, **options)
    ours, facts = probe_read(path, tmp_path)
    assert facts["sensor"] is None  # DSEC files carry no size; the events decide
    assert_same_events(ours, t, x, y, p)


def test_dsec_writer_output_reads_in_h5py(tmp_path):
    h5py = pytest.importorskip("h5py", reason="h5py (PyPI) is not installed")
    t, x, y, p = random_events(100_000, 640, 480, seed=8)
    records = np.zeros(len(t), dtype=RECORD)
    records["t"], records["x"], records["y"], records["p"] = t, x, y, p
    source = tmp_path / "in.bin"
    records.tofile(source)
    out = tmp_path / "out.h5"
    done = subprocess.run([PROBE, "write-h5", str(source), str(out), "640", "480"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with h5py.File(out, "r") as f:
        assert f["events/x"].dtype == np.dtype("<u2")
        assert f["events/y"].dtype == np.dtype("<u2")
        assert f["events/p"].dtype == np.dtype("u1")
        assert f["events/t"].dtype == np.dtype("<i8")
        t_offset = int(f["t_offset"][()])
        assert t_offset == int(t[0])
        np.testing.assert_array_equal(f["events/t"][:] + t_offset, t.astype(np.int64))
        np.testing.assert_array_equal(f["events/x"][:], x)
        np.testing.assert_array_equal(f["events/y"][:], y)
        np.testing.assert_array_equal(f["events/p"][:], p)
        relative = f["events/t"][:]
        expected = np.searchsorted(relative, np.arange(0, relative[-1] // 1000 + 1) * 1000)
        np.testing.assert_array_equal(f["ms_to_idx"][:], expected)
        assert (int(f.attrs["width"]), int(f.attrs["height"])) == (640, 480)
    # And back through the reader, exactly.
    ours, facts = probe_read(out, tmp_path)
    assert facts["sensor"] == (640, 480)
    assert_same_events(ours, t, x, y, p)
