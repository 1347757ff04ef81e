"""Read throughput of the AEDAT 4 and HDF5 (DSEC layout) readers against the
fastest readers on PyPI, on the same 5M-event files in the same run.

The files are written by independent writers: faery for AEDAT 4 (LZ4 and
zstd packets) and h5py for HDF5 (contiguous, chunked, and chunked with gzip).
ovk is timed through ovk_formats_probe's `count` (open, decode every event to
a checksum): as a whole process (start-up and dynamic linking included), and
from open to the last event as the probe measures it in-process, which is
what the peers' figures are (whole file into numpy arrays, in-process). Each
figure is the best of REPEAT runs. Run through `make bench`, or by hand:

    python3 bench/bench_formats.py --probe build-bench/bin/ovk_formats_probe

Figures are printed, never asserted.
"""

from __future__ import annotations

import argparse
import importlib
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Mapping

import numpy as np

Events = tuple[np.ndarray, ...]

N_EVENTS = 5_000_000
WIDTH, HEIGHT = 640, 480
REPEAT = 3


def best_of(run: Callable[[], int]) -> tuple[float, int]:
    best = float("inf")
    count = 0
    for _ in range(REPEAT):
        start = time.perf_counter()
        count = run()
        best = min(best, time.perf_counter() - start)
    return best, count


def random_events(n: int) -> Events:
    rng = np.random.default_rng(1)
    # About 5 M events/s, as a busy VGA sensor records: a step of 1 µs
    # after one event in five.
    t = 1_600_000_000_000_000 + np.cumsum(rng.random(n) < 0.2)
    x = rng.integers(0, WIDTH, n, dtype=np.uint16)
    y = rng.integers(0, HEIGHT, n, dtype=np.uint16)
    p = rng.integers(0, 2, n, dtype=np.uint8)
    return t.astype(np.uint64), x, y, p


def write_aedat4(path: Path, events: Events, compression: tuple[str, int],
                 size: tuple[int, int] = (WIDTH, HEIGHT)) -> None:
    faery = importlib.import_module("faery")
    EVENTS_DTYPE = importlib.import_module("faery.events_stream").EVENTS_DTYPE

    t, x, y, p = events
    array = np.zeros(len(t), dtype=EVENTS_DTYPE)
    array["t"], array["x"], array["y"], array["on"] = t, x, y, p
    faery.events_stream_from_array(array, size).to_file(
        str(path), compression=compression, zero_t0=False)


def write_h5(path: Path, events: Events, **options: Any) -> None:
    h5py = importlib.import_module("h5py")

    t, x, y, p = events
    t_offset = int(t[0])
    with h5py.File(path, "w") as f:
        group = f.create_group("events")
        group.create_dataset("x", data=x, **options)
        group.create_dataset("y", data=y, **options)
        group.create_dataset("p", data=p, **options)
        group.create_dataset("t", data=(t - t_offset).astype(np.uint32), **options)
        f.create_dataset("t_offset", data=np.int64(t_offset))


def ovk_runs(probe: str, path: Path) -> tuple[float, float, int]:
    """Best whole-process and best in-process seconds, and the event count."""
    whole = inner = float("inf")
    count = 0
    for _ in range(REPEAT):
        start = time.perf_counter()
        out = subprocess.run([probe, "count", str(path)], capture_output=True, text=True, check=True)
        whole = min(whole, time.perf_counter() - start)
        words = out.stdout.split()
        count = int(words[1])
        inner = min(inner, float(words[5]))
    return whole, inner, count


def faery_reader(path: Path) -> Callable[[], int]:
    faery = importlib.import_module("faery")
    return lambda: len(faery.events_stream_from_file(str(path)).to_array())


def aedat_reader(path: Path) -> Callable[[], int]:
    aedat = importlib.import_module("aedat")

    def run() -> int:
        chunks = [packet["events"] for packet in aedat.Decoder(str(path)) if "events" in packet]
        return len(np.concatenate(chunks))
    return run


def dv_reader(path: Path) -> Callable[[], int]:
    dv = importlib.import_module("dv_processing")

    def run() -> int:
        recording = dv.io.MonoCameraRecording(str(path))
        chunks = []
        while (batch := recording.getNextEventBatch()) is not None:
            chunks.append(batch.numpy())
        return len(np.concatenate(chunks))
    return run


def h5py_reader(path: Path) -> Callable[[], int]:
    h5py = importlib.import_module("h5py")

    def run() -> int:
        with h5py.File(path, "r") as f:
            columns = [f["events"][name][:] for name in ("x", "y", "p", "t")]
            _ = int(f["t_offset"][()])
        return len(columns[0])
    return run


def available(module: str) -> bool:
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def compare(label: str, probe: str, path: Path,
            peers: Mapping[str, Callable[[Path], Callable[[], int]]]) -> None:
    whole, ours, count = ovk_runs(probe, path)
    rows = [("ovk", ours, count)]
    for name, make in peers.items():
        seconds, n = best_of(make(path))
        if n != count:
            print(f"  {name} read {n} events, ovk {count}", file=sys.stderr)
        rows.append((name, seconds, n))
    fastest_peer = min(rows[1:], key=lambda r: r[1]) if len(rows) > 1 else None
    print(f"\n{label}  ({count:,} events, {path.stat().st_size / 1e6:.1f} MB)")
    print(f"  {'ovk process':<14} {whole * 1e3:8.1f} ms  {count / whole / 1e6:7.1f} M events/s")
    for name, seconds, n in rows:
        print(f"  {name:<14} {seconds * 1e3:8.1f} ms  {n / seconds / 1e6:7.1f} M events/s")
    if fastest_peer:
        print(f"  ovk / fastest peer ({fastest_peer[0]}): {fastest_peer[1] / ours:.2f}x in-process, "
              f"{fastest_peer[1] / whole:.2f}x as a whole process")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--probe", required=True, help="path of ovk_formats_probe")
    parser.add_argument("--events", type=int, default=N_EVENTS)
    args = parser.parse_args()
    events = random_events(args.events)
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        if available("faery"):
            peers: dict[str, Callable[[Path], Callable[[], int]]] = {"faery": faery_reader}
            if available("aedat"):
                peers["aedat"] = aedat_reader
            if available("dv_processing"):
                peers["dv-processing"] = dv_reader
            for compression in (("lz4", 1), ("zstd", 3)):
                path = root / f"events_{compression[0]}.aedat4"
                write_aedat4(path, events, compression)
                compare(f"AEDAT 4, {compression[0]} packets (written by faery)", args.probe, path, peers)
        else:
            print("faery is not installed: no AEDAT 4 figures")
        if available("h5py"):
            for label, options in (("contiguous", {}), ("chunked 64Ki", {"chunks": (65536,)}),
                                   ("chunked 64Ki, gzip 1", {"chunks": (65536,), "compression": "gzip", "compression_opts": 1})):
                path = root / "events.h5"
                write_h5(path, events, **options)
                compare(f"HDF5 DSEC, {label} (written by h5py)", args.probe, path, {"h5py": h5py_reader})
        else:
            print("h5py is not installed: no HDF5 figures")
    return 0


if __name__ == "__main__":
    sys.exit(main())
