"""End-to-end timings of the ovk module on synthetic and real recordings.

Run through `make bench` (which builds the module and the recording writer),
or by hand:

    PYTHONPATH=build-bench/python python3 bench/bench_python.py \
        --writer build-bench/bench/write_synthetic_recording

Figures are printed, never asserted.
"""

from __future__ import annotations

import argparse
import ctypes
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Sequence, TypeVar

import ovk

WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH = 346, 260, 64, 10
REAL_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "real"


T = TypeVar("T")

# Geometries of the ladder: (label, uniform random events instead of the
# synthetic recording, width, height, time bins, depth).
LADDER = (
    ("synthetic 346x260x64 d10", False, 346, 260, 64, 10),
    ("synthetic 1280x720x4096 d16", False, 1280, 720, 4096, 16),
    ("synthetic 4096x4096x65535 d16", False, 4096, 4096, 65535, 16),
    ("synthetic 65535^3 d16", False, 65535, 65535, 65535, 16),
    ("synthetic 65535^3 d20", False, 65535, 65535, 65535, 20),
    ("uniform 65535^3 d16", True, 65535, 65535, 65535, 16),
)


def best_of(repeats: int, fn: Callable[[], T]) -> tuple[float, T]:
    """Smallest wall time of `repeats` calls, and the last result."""
    start = time.perf_counter()
    result = fn()
    times = [time.perf_counter() - start]
    for _ in range(repeats - 1):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB (0 where there is none)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def peak_mib_of(fn: Callable[[], object]) -> float:
    """Peak resident memory that one call adds, in MiB (Linux only)."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)  # hand freed heap memory back first
    except (OSError, AttributeError):
        pass
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets the peak to the current size
    except OSError:
        return float("nan")
    base = status_kib("VmRSS")
    fn()
    return (status_kib("VmHWM") - base) / 1024


def write_recording(writer: Path, path: Path, n_events: int) -> None:
    subprocess.run([str(writer), str(path), str(n_events), str(WIDTH), str(HEIGHT)], check=True)


def bench_compress(events: Sequence[ovk.Event], repeats: int) -> None:
    n = len(events)
    print(f"\ncompress: {n:,} events, {WIDTH}x{HEIGHT}, {TIME_BINS} time bins, depth {MAX_DEPTH}")
    # event_stats converts the list exactly as compress does and then only
    # scans it: a fair measure of the conversion cost.
    convert_s, _ = best_of(repeats, lambda: ovk.event_stats(events))
    runs: list[tuple[float, ovk.CompressionResult]] = []
    for _ in range(repeats):
        start = time.perf_counter()
        _, result = ovk.compress(events, WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH)
        runs.append((time.perf_counter() - start, result))
    wall_s, result = min(runs, key=lambda r: r[0])
    encode_s = statistics.median(r.encode_us for _, r in runs) / 1e6
    decode_s = statistics.median(r.decode_us for _, r in runs) / 1e6
    print(f"  {result!r}  n_bits={result.n_bits:,}  sparsity={result.sparsity:.6f}")
    print(f"  whole call       {wall_s * 1e3:9.1f} ms  {n / wall_s / 1e6:7.2f} M events/s")
    print(f"  converting list  {convert_s * 1e3:9.1f} ms  {n / convert_s / 1e6:7.2f} M events/s")
    print(f"  encode window    {encode_s * 1e3:9.1f} ms  {n / encode_s / 1e6:7.2f} M events/s"
          f"  {result.n_bits / encode_s / 1e6:7.1f} M bits/s")
    print(f"  decode window    {decode_s * 1e3:9.1f} ms  {result.n_bits / decode_s / 1e6:7.1f} M bits/s")


def bench_sequence(events: Sequence[ovk.Event], repeats: int, n_frames: int) -> None:
    print(f"\ncompress_sequence: n_frames={n_frames}")
    runs: list[tuple[float, ovk.CompressionResult, list[bytes]]] = []
    for _ in range(repeats):
        start = time.perf_counter()
        codes, result = ovk.compress_sequence(events, WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH, n_frames)
        runs.append((time.perf_counter() - start, result, codes))
    wall_s, result, codes = min(runs, key=lambda r: r[0])
    print(f"  {result!r}  frames={len(codes)}  n_bits={result.n_bits:,}")
    print(f"  whole call {wall_s * 1e3:9.1f} ms   encode {result.encode_us / 1e3:9.1f} ms"
          f"   decode {result.decode_us / 1e3:9.1f} ms")


def bench_ladder(synthetic: Sequence[ovk.Event], repeats: int) -> None:
    n = len(synthetic)
    rng = random.Random(7)
    uniform = [ovk.Event(rng.randrange(65536), rng.randrange(65536), rng.randrange(1_000_000),
                         rng.randrange(2)) for _ in range(n)]
    print(f"\ngeometry ladder: {n:,} events, whole compress call (best of {repeats})")
    print(f"  {'geometry':32s} {'n_bits':>12s} {'bytes':>11s} {'ms':>8s} {'ns/(ev+bit)':>11s}"
          f" {'peak MB':>8s}")
    for label, use_uniform, width, height, time_bins, depth in LADDER:
        events = uniform if use_uniform else synthetic

        def call() -> tuple[bytes, ovk.CompressionResult]:
            return ovk.compress(events, width, height, time_bins, depth)

        peak = peak_mib_of(call)
        seconds, (_, result) = best_of(repeats, call)
        per_unit = seconds / (n + result.n_bits) * 1e9
        print(f"  {label:32s} {result.n_bits:12,} {result.bitstream_bytes:11,}"
              f" {seconds * 1e3:8.1f} {per_unit:11.2f} {peak:8.1f}")


def bench_load(label: str, loader: Callable[[str], list[ovk.Event]], path: Path,
               repeats: int) -> None:
    seconds, events = best_of(repeats, lambda: loader(str(path)))
    n = len(events)
    rate = n / seconds / 1e6 if seconds > 0 else float("inf")
    print(f"  {label:44s} {n:>10,} events  {seconds * 1e3:9.1f} ms  {rate:7.2f} M events/s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--writer", type=Path, required=True,
                        help="the write_synthetic_recording program")
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--load-events", type=int, default=5_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="ovk-bench-") as tmp_name:
        tmp = Path(tmp_name)
        evb = tmp / "synthetic.evb"
        write_recording(args.writer, evb, args.events)
        events = ovk.load_events(str(evb))
        bench_compress(events, args.repeats)
        for n_frames in (10, 1000, 100_000):
            bench_sequence(events, args.repeats, n_frames)
        bench_ladder(events, args.repeats)
        del events

        print(f"\nloaders (best of {args.repeats}; whole call including Event objects)")
        if REAL_DIR.is_dir():
            for path in sorted((REAL_DIR / "aedat2").glob("*.aedat")):
                bench_load(f"load_aedat2 {path.name}", ovk.load_aedat2, path, args.repeats)
        for ext, loader in ((".evb", ovk.load_events), (".bin", ovk.load_nmnist),
                            (".aedat", ovk.load_aedat2), (".csv", ovk.load_csv)):
            path = tmp / f"large{ext}"
            write_recording(args.writer, path, args.load_events)
            bench_load(f"{loader.__name__} synthetic{ext}", loader, path, args.repeats)
            path.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
