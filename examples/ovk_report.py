"""Code event-camera recordings with ovk and print what the code costs.

    python3 examples/ovk_report.py [PATH ...] [--reader R] [--time-bins N] [--depth D] [--frames K]

Each PATH is a recording or a folder of them; without one, the small synthetic
recording next to this script is used. The reader is chosen by extension
(.bin, .evb, .aedat, .csv, .txt) unless --reader names one, which also lets a
folder of other names (say N-MNIST .bs2 files) be read. The sensor size is
the one the ovk command-line tool gives the recording (`ovk info --json`: the
size a file declares, else the largest x and y plus one), so the figures here
match the tool's; the tool is $OVK_CLI, else `ovk` on PATH. Without the tool
the size is taken from the events themselves, and a note says so.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import ovk

EXTENSIONS = {".bin", ".evb", ".aedat", ".csv", ".txt"}
READERS = {"auto": ovk.load_events, "nmnist": ovk.load_nmnist, "aedat2": ovk.load_aedat2,
           "csv": ovk.load_csv}
DEFAULT_RECORDING = Path(__file__).resolve().parent / "moving_edges.evb"

COLUMNS = ("recording", "mode", "events", "bits/event", "ratio", "n_bits", "sparsity",
           "encode µs", "decode µs")


def shown(path: Path | str) -> str:
    """The path as text that can always be printed: bytes that are not UTF-8
    (kept by Python as lone surrogates) are written as \\x escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def recordings(paths: list[Path], any_name: bool) -> list[Path]:
    found = []
    for path in paths:
        if path.is_dir():
            found.extend(sorted(p for p in path.rglob("*")
                                if p.is_file() and (any_name or p.suffix in EXTENSIONS)))
        else:
            found.append(path)
    return found


def ovk_tool() -> str | None:
    """The ovk command-line tool: $OVK_CLI, else ovk on PATH."""
    return os.environ.get("OVK_CLI") or shutil.which("ovk")


def tool_sensor(tool: str, text_path: str, reader: str) -> tuple[int, int]:
    """The sensor size the tool gives the recording, or OSError with the tool's message."""
    result = subprocess.run([tool, "info", "--json", "--reader", reader, "--", text_path],
                            capture_output=True, text=True, errors="backslashreplace", check=False)
    if result.returncode != 0:
        message = result.stderr.strip().splitlines()[-1] if result.stderr.strip() else "failed"
        raise OSError(message.removeprefix(f"{text_path}: "))
    info = json.loads(result.stdout.splitlines()[0])
    return info["width"], info["height"]


def row(name: str, mode: str, result: ovk.CompressionResult) -> tuple[str, ...]:
    return (name, mode, f"{result.n_events:,}", f"{result.bits_per_event:.2f}",
            f"{result.compression_ratio:.2f}x", f"{result.n_bits:,}", f"{result.sparsity:.6f}",
            f"{result.encode_us:,}", f"{result.decode_us:,}")


def print_table(rows: list[tuple[str, ...]]) -> None:
    widths = [max(len(r[i]) for r in [COLUMNS, *rows]) for i in range(len(COLUMNS))]
    line = "  ".join("-" * w for w in widths)
    print("  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(COLUMNS, widths))))
    print(line)
    for r in rows:
        print("  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))


def report(path: Path, args: argparse.Namespace) -> list[tuple[str, ...]]:
    name = shown(path.name)
    try:
        text_path = os.fsencode(path).decode("utf-8")
    except UnicodeDecodeError:
        # ovk takes paths as UTF-8 text only.
        raise OSError("file name is not valid UTF-8") from None
    events = READERS[args.reader](text_path)
    stats = ovk.event_stats(events)
    if stats is None:
        print(f"{name}: no events")
        return []
    tool = ovk_tool()
    if tool is not None:
        width, height = tool_sensor(tool, text_path, args.reader)
    else:
        width, height = stats["x_range"][1] + 1, stats["y_range"][1] + 1
    print(f"{name}: {stats['count']:,} events, x {stats['x_range']}, y {stats['y_range']}, "
          f"t {stats['t_range']}, {stats['duration_us'] / 1e6:.3f} s -> sensor {width}x{height}")
    _, single = ovk.compress(events, width, height, args.time_bins, args.depth)
    codes, sequence = ovk.compress_sequence(events, width, height, args.time_bins, args.depth,
                                            args.frames)
    return [row(name, "compress", single), row(name, f"sequence/{len(codes)}", sequence)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="*", type=Path, help="recordings or folders of them")
    parser.add_argument("--reader", choices=sorted(READERS), default="auto",
                        help="reader to use (auto: by file extension)")
    parser.add_argument("--time-bins", type=int, default=64, help="time bins of the grid (64)")
    parser.add_argument("--depth", type=int, default=10, help="depth limit of the tree (10)")
    parser.add_argument("--frames", type=int, default=10, help="frames for compress_sequence (10)")
    args = parser.parse_args(argv)

    files = recordings(args.paths or [DEFAULT_RECORDING], args.reader != "auto")
    if ovk_tool() is None:
        print("note: the ovk tool was not found ($OVK_CLI, PATH): sensor sizes are taken from "
              "the events (largest x and y, plus one)", file=sys.stderr)
    if not files:
        print("no recordings found", file=sys.stderr)
        return 1
    rows, failures = [], 0
    for i, path in enumerate(files, 1):
        if len(files) > 1:
            print(f"[{i}/{len(files)}] {shown(path)}", file=sys.stderr, flush=True)
        try:
            rows.extend(report(path, args))
        except (OSError, MemoryError, OverflowError, TypeError) as error:
            failures += 1
            print(f"{shown(path)}: {type(error).__name__}: {error}", file=sys.stderr)
    if rows:
        print()
        print_table(rows)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
