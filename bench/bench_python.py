"""End-to-end timings of the ovk module on synthetic and real recordings.

Run through `make bench` (which builds the module and the recording writer),
or by hand:

    PYTHONPATH=build-bench/python python3 bench/bench_python.py \
        --writer build-bench/bench/write_synthetic_recording

Figures are printed, never asserted.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import TypeVar
from pathlib import Path

import ovk

WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH = 346, 260, 64, 10
T = TypeVar("T")
REAL_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "real"


def best_of(repeats: int, fn: Callable[[], T]) -> tuple[float, T]:
    """Smallest wall time of `repeats` calls, and the last result."""
    times: list[float] = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def write_recording(writer: Path, path: Path, n_events: int) -> None:
    subprocess.run([str(writer), str(path), str(n_events), str(WIDTH), str(HEIGHT)], check=True)


def bench_compress(events: list[ovk.Event], repeats: int) -> None:
    n = len(events)
    print(f"\ncompress: {n:,} events, {WIDTH}x{HEIGHT}, {TIME_BINS} time bins, depth {MAX_DEPTH}")
    # event_stats converts the list exactly as compress does and then only
    # scans it: a fair measure of the conversion cost.
    convert_s, _ = best_of(repeats, lambda: ovk.event_stats(events))
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        data, result = ovk.compress(events, WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH)
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


def bench_sequence(events: list[ovk.Event], repeats: int, n_frames: int = 10) -> None:
    print(f"\ncompress_sequence: n_frames={n_frames}")
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        codes, result = ovk.compress_sequence(events, WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH, n_frames)
        runs.append((time.perf_counter() - start, result, codes))
    wall_s, result, codes = min(runs, key=lambda r: r[0])
    print(f"  {result!r}  frames={len(codes)}  n_bits={result.n_bits:,}")
    print(f"  whole call {wall_s * 1e3:9.1f} ms   encode {result.encode_us / 1e3:9.1f} ms"
          f"   decode {result.decode_us / 1e3:9.1f} ms")


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
        bench_sequence(events, args.repeats)
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
