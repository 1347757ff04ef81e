"""`ovk convert X -o y.npy` against the fastest reader from PyPI on the same files.

Each format gets a file of 5M random events (1280x720, 10 s) written by an
independent writer (faery for EVT 2.0, EVT 3.0, DAT, CSV and AEDAT 4, h5py for
HDF5 in the DSEC layout, event_stream for Event Stream, numpy for AEDAT 2.0,
whose layout is a plain big-endian array, for a .npy event array in another
reader's field order and widths, and for the same events as a deflated .npz of
columns). Every contender runs as a whole process that reads the file and
writes a .npy array: the tool, and a Python interpreter running each peer that
reads the format (faery, expelliarmus, event_stream, dv-processing, h5py,
numpy). The best of --repeat runs is kept; figures and ratios are printed,
never asserted.

Two more columns put the conversion's time in context. "read": the tool's
reader alone, in-process, as ovk_source_bench times it (CPU time; given with
--source-bench), or else `ovk info`, which reads and decodes every event as
convert does but writes nothing. "floor": `dd` copying the tool's own
.npy output (already in the page cache) to a new file and syncing it, as the
tool syncs its temporary before renaming it into place; no conversion that
writes that file safely can be faster on this machine.

    python3 bench/bench_readers.py --ovk build/bin/ovk
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import bench_formats

EVENTS = 5_000_000
WIDTH, HEIGHT, SPAN_US = 1280, 720, 10_000_000

# Peer programs: read sys.argv[1], save the events to sys.argv[2].
FAERY = """
import sys, numpy as np, faery
a = np.concatenate(list(faery.events_stream_from_file(sys.argv[1])))
np.save(sys.argv[2], a)
"""
EXPELLIARMUS = """
import sys, numpy as np, expelliarmus
np.save(sys.argv[2], expelliarmus.Wizard(encoding="{encoding}").read(sys.argv[1]))
"""
EVENT_STREAM = """
import sys, numpy as np, event_stream
np.save(sys.argv[2], np.concatenate(list(event_stream.Decoder(sys.argv[1]))))
"""
NUMPY_AEDAT2 = """
import sys, numpy as np
raw = open(sys.argv[1], "rb").read()
start = 0
while raw.startswith(b"#", start):
    start = raw.index(b"\\n", start) + 1
r = np.frombuffer(raw, dtype=">u4", offset=start).reshape(-1, 2)
a = np.empty(len(r), dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
a["x"] = (r[:, 0] >> 1) & 0x7F
a["y"] = (r[:, 0] >> 8) & 0x7F
a["t"] = r[:, 1]
a["p"] = r[:, 0] & 1
np.save(sys.argv[2], a)
"""
DV_PROCESSING = """
import sys, numpy as np, dv_processing as dv
recording = dv.io.MonoCameraRecording(sys.argv[1])
chunks = []
while (batch := recording.getNextEventBatch()) is not None:
    chunks.append(batch.numpy())
np.save(sys.argv[2], np.concatenate(chunks))
"""
H5PY = """
import sys, numpy as np, h5py
with h5py.File(sys.argv[1], "r") as f:
    events = f["events"]
    x, y, p, t = (events[name][:] for name in ("x", "y", "p", "t"))
    t_offset = int(f["t_offset"][()])
a = np.empty(len(x), dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u8"), ("p", "u1")])
a["x"], a["y"], a["p"] = x, y, p
a["t"] = t.astype(np.uint64) + t_offset
np.save(sys.argv[2], a)
"""
NUMPY_NPY = """
import sys, numpy as np
a = np.load(sys.argv[1])
b = np.empty(len(a), dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
b["x"], b["y"], b["t"], b["p"] = a["x"], a["y"], a["t"], a["p"]
np.save(sys.argv[2], b)
"""
NUMPY_NPZ = """
import sys, numpy as np
with np.load(sys.argv[1]) as a:
    b = np.empty(len(a["x"]), dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
    b["x"], b["y"], b["t"], b["p"] = a["x"], a["y"], a["t"], a["p"]
np.save(sys.argv[2], b)
"""
NUMPY_CSV = """
import sys, numpy as np
a = np.loadtxt(sys.argv[1], delimiter=",", skiprows=1, dtype=np.uint64)
np.save(sys.argv[2], a)
"""


def random_events() -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(15)
    return (np.sort(rng.integers(0, SPAN_US, EVENTS)), rng.integers(0, WIDTH, EVENTS),
            rng.integers(0, HEIGHT, EVENTS), rng.integers(0, 2, EVENTS).astype(bool))


def write_files(folder: Path) -> dict[str, Path]:
    t, x, y, p = random_events()
    files: dict[str, Path] = {}
    try:
        import faery  # type: ignore[import-untyped,import-not-found,unused-ignore]
        events = np.zeros(EVENTS, dtype=faery.EVENTS_DTYPE)
        events["t"], events["x"], events["y"], events["p"] = t, x, y, p
        for name, version, ext in (("EVT 2.0", "evt2", "raw"), ("EVT 3.0", "evt3", "raw"),
                                   ("DAT", "dat2", "dat"), ("CSV", None, "csv")):
            path = folder / f"{version or 'events'}.{ext}"
            faery.events_stream_from_array(events, (WIDTH, HEIGHT)).to_file(
                str(path), version=version)
            files[name] = path
    except ImportError:
        print("faery is not installed: no EVT 2.0, EVT 3.0, DAT or CSV files", file=sys.stderr)
    try:
        import event_stream  # type: ignore[import-untyped,import-not-found,unused-ignore]
        events = np.zeros(EVENTS, dtype=event_stream.dvs_dtype)
        events["t"], events["x"], events["y"], events["on"] = t, x, y, p
        files["Event Stream"] = folder / "events.es"
        with event_stream.Encoder(str(files["Event Stream"]), "dvs", WIDTH, HEIGHT) as encoder:
            encoder.write(events)
    except ImportError:
        print("event_stream is not installed: no Event Stream file", file=sys.stderr)
    address = ((y % 128).astype(np.uint32) << 8) | ((x % 128).astype(np.uint32) << 1) | p
    records = np.empty((EVENTS, 2), dtype=">u4")
    records[:, 0], records[:, 1] = address, t
    files["AEDAT 2.0"] = folder / "events.aedat"
    files["AEDAT 2.0"].write_bytes(b"#!AER-DAT2.0\r\n" + records.tobytes())
    # An array in another reader's layout (t <i8, x <i2, y <i2, p u1), which a conversion
    # must rearrange.
    array = np.empty(EVENTS, dtype=[("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1")])
    array["t"], array["x"], array["y"], array["p"] = t, x, y, p
    files["NumPy"] = folder / "events.npy"
    np.save(files["NumPy"], array)
    # The same events as four deflated column members, as np.savez_compressed writes them.
    files["NumPy npz"] = folder / "events.npz"
    np.savez_compressed(files["NumPy npz"], t=array["t"], x=array["x"], y=array["y"], p=array["p"])
    files.update(write_library_files(folder, (t.astype(np.uint64), x.astype(np.uint16),
                                              y.astype(np.uint16), p.astype(np.uint8))))
    return files


def write_library_files(folder: Path, events: bench_formats.Events) -> dict[str, Path]:
    """AEDAT 4 (faery) and HDF5 (h5py) files, as the format benchmark writes them."""
    files: dict[str, Path] = {}
    if bench_formats.available("faery"):
        for compression in (("lz4", 1), ("zstd", 3)):
            name = f"AEDAT 4 {compression[0]}"
            files[name] = folder / f"events_{compression[0]}.aedat4"
            bench_formats.write_aedat4(files[name], events, compression, (WIDTH, HEIGHT))
    if bench_formats.available("h5py"):
        for label, options in (("contiguous", {}), ("chunked", {"chunks": (65536,)}),
                               ("gzip", {"chunks": (65536,), "compression": "gzip",
                                         "compression_opts": 1})):
            name = f"HDF5 {label}"
            files[name] = folder / f"events_{label}.h5"
            bench_formats.write_h5(files[name], events, **options)
    return files


PEERS = {
    "EVT 2.0": [("faery", FAERY), ("expelliarmus", EXPELLIARMUS.format(encoding="evt2"))],
    "EVT 3.0": [("faery", FAERY)],  # expelliarmus is faster but its timestamps are wrong
    "DAT": [("expelliarmus", EXPELLIARMUS.format(encoding="dat"))],
    "Event Stream": [("event_stream", EVENT_STREAM), ("faery", FAERY)],
    "AEDAT 2.0": [("numpy", NUMPY_AEDAT2)],
    "NumPy": [("numpy", NUMPY_NPY)],
    "NumPy npz": [("numpy", NUMPY_NPZ)],
    "CSV": [("faery", FAERY), ("numpy", NUMPY_CSV)],
    "AEDAT 4 lz4": [("faery", FAERY), ("dv-processing", DV_PROCESSING)],
    "AEDAT 4 zstd": [("faery", FAERY), ("dv-processing", DV_PROCESSING)],
    "HDF5 contiguous": [("h5py", H5PY)],
    "HDF5 chunked": [("h5py", H5PY)],
    "HDF5 gzip": [("h5py", H5PY)],
}


def best_time(command: list[str], repeat: int) -> tuple[float, float] | None:
    """The best wall time and the best CPU time (user + system) of `repeat` runs."""
    best = None
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        done = subprocess.run(command, capture_output=True)
        elapsed = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if done.returncode != 0:
            return None
        best = (elapsed, cpu) if best is None else (min(best[0], elapsed), min(best[1], cpu))
    return best


def in_process_seconds(source_bench: str, files: list[Path]) -> dict[str, float]:
    """The reader's CPU seconds per file, the median of three repetitions."""
    done = subprocess.run([source_bench, "--benchmark_format=json", "--benchmark_repetitions=3",
                           "--benchmark_report_aggregates_only=true", *map(str, files)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        return {}
    seconds = {}
    for row in json.loads(done.stdout)["benchmarks"]:
        if row.get("aggregate_name") == "median":
            path = row["run_name"].removesuffix("/process_time")
            seconds[path] = row["cpu_time"] / 1e3  # reported in ms
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ovk", default="build/bin/ovk", help="the ovk tool")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--source-bench", help="ovk_source_bench, for in-process read times")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        files = write_files(folder)
        reads = in_process_seconds(args.source_bench, list(files.values())) \
            if args.source_bench else {}
        out, ours = str(folder / "out.npy"), str(folder / "ovk.npy")
        print("wall seconds (CPU seconds in brackets), best of each; ratio = peer / ovk")
        print(f"{'format':<16} {'ovk s':>14} {'Mev/s':>6}  {'best peer':<13} {'peer s':>14} "
              f"{'Mev/s':>6} {'ratio':>6} {'CPU ratio':>9} {'read s':>7} {'Mev/s':>6} "
              f"{'floor s':>7} {'Mev/s':>6}")
        for name, path in files.items():
            mine = best_time([args.ovk, "convert", str(path), "-o", ours, "-f"], args.repeat)
            peers = []
            for peer, code in PEERS[name]:
                measured = best_time([sys.executable, "-c", code, str(path), out], args.repeat)
                if measured is not None:
                    peers.append((measured, peer))
            if mine is None:
                print(f"{name:<16} ovk failed")
                continue
            read = (reads[str(path)], reads[str(path)]) if str(path) in reads else \
                best_time([args.ovk, "info", str(path)], args.repeat)
            floor = best_time(["dd", f"if={ours}", f"of={out}", "bs=1M", "conv=fsync",
                               "status=none"], args.repeat)
            line = f"{name:<16} {mine[0]:6.3f} ({mine[1]:5.3f}) {EVENTS / mine[0] / 1e6:6.1f}"
            if peers:
                (wall, cpu), peer = min(peers)
                line += (f"  {peer:<13} {wall:6.3f} ({cpu:5.3f}) {EVENTS / wall / 1e6:6.1f} "
                         f"{wall / mine[0]:6.2f} {cpu / max(mine[1], 1e-3):9.2f}")
            else:
                line += "  (no peer installed)"
            for extra in (read, floor):
                if extra is not None:
                    line += f" {extra[0]:7.3f} {EVENTS / extra[0] / 1e6:6.1f}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
