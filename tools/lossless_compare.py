"""Lossless sizes of event recordings: ovk's lossless code beside xz and zstd.

For every recording (files or folders, searched recursively) this prints, in
bits per event and from one run:

  xz9e        xz -9e (LZMA2, preset 9 extreme) on the 9-byte compact records
  zstd19      zstd -19 on the same records (the zstd command, same run)
  xz9e_cols   xz -9e on a column layout of the same events (all x, then all y,
              t, p; each column little-endian at its own width)
  ovk         `ovk encode --lossless` (when --ovk names the tool): the fast
              code, with its ratio to xz9e; the round trip through `ovk
              convert` is checked
  best        with --best: the same for `ovk encode --lossless --best`, the
              smallest code
  before      with --before OLD_OVK: the same for another build of the tool
              (an earlier version of the code), in the same run, with its
              ratio to xz9e; with --bench-before OLD_BENCH also its speed
  enc, dec    with --bench (bench/lossless_bench.cpp): M events/s of the
              lossless coding on one core, from events in memory to bytes
              and back (with --best also for the smallest code)

and, with --entropy, the empirical order-0 entropies of the streams a lossless
event coder can model (bits per event): the timestamp step dt, the rows and
columns and their steps from the previous event, the polarity alone, after the
previous event's and after the same pixel's last one, and whether a pixel is
one of the few most recently seen.

The last lines are the totals, event-weighted (sum of bits / sum of events).

Recordings are read by the ovk tool where it reads them (`ovk convert -o
X.npy`); other formats fall back to readers from PyPI when they are installed
(expelliarmus for EVT 2.0/3.0 and DAT, event_stream for .es, aedat for AEDAT
4) and to numpy for x,y,p,t CSV text, and are skipped with a reason when none
reads them. Timestamps that do not fit the compact records' 32 bits are taken
relative to the first event there (the lossless code keeps them whole).

    python3 tools/lossless_compare.py ../shared/data/real --ovk build/bin/ovk --entropy \
        --bench build-bench/bench/ovk_lossless_bench
"""

from __future__ import annotations

import argparse
import lzma
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Optional

import numpy as np

EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u8"), ("p", "u1")])
COMPACT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
SKIP_SUFFIXES = {".md", ".txt", ".py"}


def as_events(x, y, t, p) -> np.ndarray:
    events = np.empty(len(x), EVENT_DTYPE)
    events["x"], events["y"], events["t"], events["p"] = x, y, t, p
    return events


def read_with_tool(tool: str, path: Path, scratch: Path) -> Optional[np.ndarray]:
    extra = ["--reader", "nmnist"] if path.suffix == ".bs2" else []
    out = scratch / "read.npy"
    done = subprocess.run([tool, "convert", str(path), *extra, "-o", str(out), "-f"], capture_output=True)
    if done.returncode != 0:
        return None
    array = np.load(out)
    out.unlink()
    return as_events(array["x"], array["y"], array["t"], array["p"])


def read_with_peers(path: Path) -> Optional[np.ndarray]:
    suffix = path.suffix
    try:
        if suffix in (".raw", ".dat"):
            from expelliarmus import Wizard  # type: ignore

            with open(path, "rb") as f:
                head = f.read(4096)
            encoding = "dat" if suffix == ".dat" else ("evt3" if b"evt 3" in head else "evt2")
            a = Wizard(encoding=encoding).read(str(path))
            return as_events(a["x"], a["y"], a["t"], a["p"])
        if suffix == ".es":
            import event_stream  # type: ignore

            parts = [c for c in event_stream.Decoder(str(path))]
            a = np.concatenate(parts)
            return as_events(a["x"], a["y"], a["t"], a["on"])
        if suffix == ".aedat4":
            import aedat  # type: ignore

            parts = [pk["events"] for pk in aedat.Decoder(str(path)) if "events" in pk]
            a = np.concatenate(parts)
            return as_events(a["x"], a["y"], a["t"], a["on"])
        if suffix == ".csv":
            a = np.loadtxt(path, delimiter=",", dtype=np.int64, ndmin=2)
            return as_events(a[:, 0], a[:, 1], a[:, 3], a[:, 2])
    except ImportError:
        return None
    return None


def compact_records(events: np.ndarray) -> bytes:
    t = events["t"]
    if len(t) and int(t.max()) >= 1 << 32:
        t = t - t.min()
    records = np.empty(len(events), COMPACT_DTYPE)
    records["x"], records["y"], records["t"], records["p"] = events["x"], events["y"], t, events["p"]
    return records.tobytes()


def column_layout(records: bytes) -> bytes:
    a = np.frombuffer(records, COMPACT_DTYPE)
    return b"".join(np.ascontiguousarray(a[name]).tobytes() for name in ("x", "y", "t", "p"))


def xz9e(data: bytes) -> int:
    return len(lzma.compress(data, preset=9 | lzma.PRESET_EXTREME))


def zstd19(data: bytes, scratch: Path) -> int:
    src = scratch / "records"
    src.write_bytes(data)
    out = subprocess.run(["zstd", "-19", "-q", "-c", str(src)], capture_output=True, check=True)
    return len(out.stdout)


def entropy(values: np.ndarray) -> float:
    """Order-0 entropy in bits per value (rows of a 2-d array are one value)."""
    if len(values) == 0:
        return 0.0
    if values.ndim == 2:
        values = np.ascontiguousarray(values).view(np.dtype((np.void, values.dtype.itemsize * values.shape[1])))
    _, counts = np.unique(values, return_counts=True)
    freq = counts / counts.sum()
    return float(-(freq * np.log2(freq)).sum())


def recency_rank(pixels: np.ndarray, depth: int = 8) -> np.ndarray:
    """For each event, its pixel's rank among the `depth` most recent distinct
    pixels (0 = same as the previous event), or depth when not among them."""
    recent: list[int] = []
    ranks = np.empty(len(pixels), np.int64)
    for i, pixel in enumerate(pixels.tolist()):
        try:
            r = recent.index(pixel)
            recent.pop(r)
        except ValueError:
            r = depth
            if len(recent) == depth:
                recent.pop()
        recent.insert(0, pixel)
        ranks[i] = r
    return ranks


def stream_entropies(events: np.ndarray) -> dict[str, float]:
    x = events["x"].astype(np.int64)
    y = events["y"].astype(np.int64)
    t = events["t"].astype(np.int64)
    p = events["p"].astype(np.int64)
    dt = np.diff(t, prepend=t[:1])
    dx = np.diff(x, prepend=x[:1])
    dy = np.diff(y, prepend=y[:1])
    prev_p = np.concatenate([[0], p[:-1]])
    pixel = x * 65536 + y
    last_p = {}
    same_pixel_prev = np.empty(len(p), np.int64)
    for i, (px, pv) in enumerate(zip(pixel.tolist(), p.tolist())):
        same_pixel_prev[i] = last_p.get(px, 2)
        last_p[px] = pv
    dt_class = np.where(dt > 0, np.floor(np.log2(np.maximum(dt, 1))).astype(np.int64) + 1, 0)
    dt_class[dt < 0] = -1
    dt_extra = np.where(dt_class > 1, dt_class - 1, 0)
    ranks = recency_rank(pixel[:200_000])
    n = len(events)
    return {
        "H(dt)": entropy(dt),
        "H(dtclass)+bits": entropy(dt_class) + float(dt_extra.mean()),
        "H(x)+H(y)": entropy(x) + entropy(y),
        "H(x,y)": entropy(np.stack([x, y], 1)),
        "H(dx,dy)": entropy(np.stack([dx, dy], 1)),
        "H(dy)+H(dx|dy=0)": entropy(dy) + (entropy(dx[dy == 0]) * (dy == 0).sum() + entropy(x[dy != 0]) * (dy != 0).sum()) / n,
        "H(p)": entropy(p),
        "H(p|prev p)": entropy(np.stack([p, prev_p], 1)) - entropy(prev_p),
        "H(p|pixel p)": entropy(np.stack([p, same_pixel_prev], 1)) - entropy(same_pixel_prev),
        "H(rank8)": entropy(ranks),
        "P(rank<8)": float((ranks < 8).mean()),
    }


def bench_speed(bench: str, events: np.ndarray, scratch: Path,
                version: Optional[int] = None) -> Optional[tuple[float, float]]:
    src = scratch / "in.npy"
    np.save(src, events)
    which = ["--version", str(version)] if version else []
    done = subprocess.run([bench, "speed", *which, str(src)], capture_output=True, text=True)
    if done.returncode != 0 or len(done.stdout.splitlines()) < 2:
        return None
    fields = done.stdout.splitlines()[1].split()
    return float(fields[-2]), float(fields[-1])


def run_ovk(tool: str, events: np.ndarray, scratch: Path,
            options: tuple[str, ...] = ()) -> Optional[tuple[int, float, float]]:
    src, coded, back = scratch / "in.npy", scratch / "out.ovkc", scratch / "back.npy"
    np.save(src, events)
    for f in (coded, back):
        if f.exists():
            f.unlink()
    start = time.perf_counter()
    done = subprocess.run([tool, "encode", "--lossless", *options, str(src), "-o", str(coded)],
                          capture_output=True)
    encode_s = time.perf_counter() - start
    if done.returncode != 0:
        print(f"  ovk encode failed: {done.stderr.decode().strip()}", file=sys.stderr)
        return None
    start = time.perf_counter()
    done = subprocess.run([tool, "convert", str(coded), "-o", str(back), "-f"], capture_output=True)
    decode_s = time.perf_counter() - start
    if done.returncode != 0:
        print(f"  ovk decode failed: {done.stderr.decode().strip()}", file=sys.stderr)
        return None
    decoded = np.load(back)
    same = (len(decoded) == len(events) and all(
        np.array_equal(decoded[k].astype(np.uint64), events[k].astype(np.uint64)) for k in "xytp"))
    if not same:
        print("  ovk round trip differs", file=sys.stderr)
        return None
    return coded.stat().st_size, encode_s, decode_s


def collect(paths: list[str]) -> list[Path]:
    found: list[Path] = []
    for name in paths:
        path = Path(name)
        if path.is_dir():
            found += sorted(p for p in path.rglob("*") if p.is_file() and p.suffix not in SKIP_SUFFIXES
                            and not p.name.endswith(".ref.npy"))
        else:
            found.append(path)
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+")
    parser.add_argument("--ovk", help="the ovk tool, to read recordings and code them losslessly")
    parser.add_argument("--entropy", action="store_true", help="also print stream entropies")
    parser.add_argument("--bench", help="bench/lossless_bench.cpp's program, for one-core speed")
    parser.add_argument("--best", action="store_true", help="also measure the smallest code (--best)")
    parser.add_argument("--before", help="another ovk tool (an earlier build) to code the same events")
    parser.add_argument("--bench-before", help="the benchmark program of that earlier build")
    args = parser.parse_args()
    if shutil.which("zstd") is None:
        print("the zstd command is needed (Debian: zstd)", file=sys.stderr)
        return 2
    tool = args.ovk or shutil.which("ovk")
    totals = {"events": 0, "xz9e": 0, "zstd19": 0, "xz9e_cols": 0, "ovk": 0, "ovk_events": 0,
              "xz9e_ovk": 0, "before": 0, "before_events": 0, "xz9e_before": 0,
              "best": 0, "best_events": 0, "xz9e_best": 0}
    header = (f"{'recording':44s} {'events':>9s} {'xz9e':>6s} {'zstd19':>6s} {'xz9e_cols':>9s} "
              f"{'ovk':>6s} {'ovk/xz':>6s} {'enc':>6s} {'dec':>6s}"
              + (f" {'best':>6s} {'bst/xz':>6s} {'enc':>6s} {'dec':>6s}" if args.best else "")
              + (f" {'before':>6s} {'bef/xz':>6s}" if args.before else "")
              + (f" {'b.enc':>6s} {'b.dec':>6s}" if args.bench_before else ""))
    print(header)
    with tempfile.TemporaryDirectory() as tmp:
        scratch = Path(tmp)
        for path in collect(args.paths):
            events = (read_with_tool(tool, path, scratch) if tool else None)
            if events is None:
                events = read_with_peers(path)
            if events is None:
                print(f"{str(path)[-44:]:44s} skipped: no reader", file=sys.stderr)
                continue
            n = len(events)
            if n == 0:
                continue
            records = compact_records(events)
            sizes = {"xz9e": xz9e(records), "zstd19": zstd19(records, scratch),
                     "xz9e_cols": xz9e(column_layout(records))}
            bpe = {k: 8 * v / n for k, v in sizes.items()}
            ovk = run_ovk(tool, events, scratch) if tool else None
            ovk_text = f"{8 * ovk[0] / n:6.2f} {8 * ovk[0] / n / bpe['xz9e']:6.3f}" if ovk else f"{'-':>6s} {'-':>6s}"
            speed = bench_speed(args.bench, events, scratch, 3) if args.bench else None
            speed_text = f"{speed[0]:6.2f} {speed[1]:6.2f}" if speed else f"{'-':>6s} {'-':>6s}"
            best = run_ovk(tool, events, scratch, ("--best",)) if tool and args.best else None
            best_text = ""
            if args.best:
                best_text = (f" {8 * best[0] / n:6.2f} {8 * best[0] / n / bpe['xz9e']:6.3f}" if best
                             else f" {'-':>6s} {'-':>6s}")
                best_speed = bench_speed(args.bench, events, scratch, 2) if args.bench else None
                best_text += (f" {best_speed[0]:6.2f} {best_speed[1]:6.2f}" if best_speed
                              else f" {'-':>6s} {'-':>6s}")
            before = run_ovk(args.before, events, scratch) if args.before else None
            before_text = best_text
            if args.before:
                before_text = (f" {8 * before[0] / n:6.2f} {8 * before[0] / n / bpe['xz9e']:6.3f}" if before
                               else f" {'-':>6s} {'-':>6s}")
            if args.bench_before:
                old = bench_speed(args.bench_before, events, scratch)
                before_text += f" {old[0]:6.2f} {old[1]:6.2f}" if old else f" {'-':>6s} {'-':>6s}"
            print(f"{str(path)[-44:]:44s} {n:9d} {bpe['xz9e']:6.2f} {bpe['zstd19']:6.2f} {bpe['xz9e_cols']:9.2f} "
                  f"{ovk_text} {speed_text}{before_text}", flush=True)
            if args.entropy:
                print("  " + "  ".join(f"{k} {v:.3f}" for k, v in stream_entropies(events).items()))
            totals["events"] += n
            for k in ("xz9e", "zstd19", "xz9e_cols"):
                totals[k] += sizes[k]
            if ovk:
                totals["ovk"] += ovk[0]
                totals["ovk_events"] += n
                totals["xz9e_ovk"] += sizes["xz9e"]
            if best:
                totals["best"] += best[0]
                totals["best_events"] += n
                totals["xz9e_best"] += sizes["xz9e"]
            if before:
                totals["before"] += before[0]
                totals["before_events"] += n
                totals["xz9e_before"] += sizes["xz9e"]
    n = max(totals["events"], 1)
    print(f"event-weighted over {totals['events']} events: xz9e {8 * totals['xz9e'] / n:.2f}, "
          f"zstd19 {8 * totals['zstd19'] / n:.2f}, xz9e_cols {8 * totals['xz9e_cols'] / n:.2f} bits/event")
    if totals["ovk_events"]:
        m = totals["ovk_events"]
        print(f"ovk lossless over {m} events: {8 * totals['ovk'] / m:.2f} bits/event, "
              f"{totals['ovk'] / totals['xz9e_ovk']:.3f} of xz9e on the same recordings")
    if totals["best_events"]:
        m = totals["best_events"]
        print(f"ovk lossless --best over {m} events: {8 * totals['best'] / m:.2f} bits/event, "
              f"{totals['best'] / totals['xz9e_best']:.3f} of xz9e on the same recordings")
    if totals["before_events"]:
        m = totals["before_events"]
        print(f"before (--before) over {m} events: {8 * totals['before'] / m:.2f} bits/event, "
              f"{totals['before'] / totals['xz9e_before']:.3f} of xz9e on the same recordings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
