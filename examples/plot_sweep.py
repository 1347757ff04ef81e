"""Draw the bits per event of an `ovk sweep` against the tree depth.

    ovk sweep recordings/ --time-bins 16,64,256 --depth 4-10 --baselines zstd3,xz \\
        --format jsonl -o sweep.jsonl
    python3 examples/plot_sweep.py sweep.jsonl -o sweep.png

The table may also be csv (`--format csv`) or the csv or Parquet output of
`ovk merge` / `ovk-dask sweep`.

One line per time-bin count and coding for the occupancy code (lossy: it
keeps which cells hold events, not the events; event-weighted over the
recordings, single-frame rows only; `--coding static,context` sweeps draw the
context coding dashed beside the static one), and as horizontal lines the
lossless figures: ovk's lossless code (every event exact) and each baseline
compressor. Needs
matplotlib; without it the script prints the same figures as a table.
"""

from __future__ import annotations

import argparse
import csv
import json
import sys
from collections import defaultdict
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

BASELINE_SUFFIX = "_bits_per_event"


@dataclass
class SweepCurves:
    """Event-weighted bits per event: per time-bin count and depth, per baseline."""

    # Keyed by (time bins, coding), then depth.
    coded_bits: dict[tuple[int, str], dict[int, float]] = field(default_factory=dict)
    coded_events: dict[tuple[int, str], dict[int, int]] = field(default_factory=dict)
    baseline_bits: dict[str, float] = field(default_factory=dict)
    baseline_events: dict[str, int] = field(default_factory=dict)

    def add(self, row: dict[str, object]) -> None:
        events = int(str(row["n_events"]))
        bins = (int(str(row["time_bins"])), str(row.get("coding", "static")))
        depth = int(str(row["max_depth"]))
        bits = float(str(row["bits_per_event"])) * max(events, 1)
        self.coded_bits.setdefault(bins, {})
        self.coded_events.setdefault(bins, {})
        self.coded_bits[bins][depth] = self.coded_bits[bins].get(depth, 0.0) + bits
        self.coded_events[bins][depth] = self.coded_events[bins].get(depth, 0) + events

    def add_baselines(self, row: dict[str, object]) -> None:
        events = int(str(row["n_events"]))
        for key, value in row.items():
            if key.endswith(BASELINE_SUFFIX) and key != "bits_per_event":
                name = key[: -len(BASELINE_SUFFIX)]
                self.baseline_bits[name] = self.baseline_bits.get(name, 0.0) + float(str(value)) * events
                self.baseline_events[name] = self.baseline_events.get(name, 0) + events

    def curve(self, bins: tuple[int, str]) -> tuple[list[int], list[float]]:
        depths = sorted(self.coded_bits[bins])
        values = [self.coded_bits[bins][d] / max(self.coded_events[bins][d], 1) for d in depths]
        return depths, values

    def baselines(self) -> dict[str, float]:
        return {name: bits / max(self.baseline_events[name], 1) for name, bits in self.baseline_bits.items()}


def read_rows(path: Path) -> Iterator[dict[str, object]]:
    """The rows of a sweep or of a merged table: jsonl, csv, or Parquet (with pyarrow)."""
    if path.suffix == ".parquet":
        import pyarrow.parquet  # type: ignore[import-not-found, import-untyped, unused-ignore]

        rows: list[dict[str, object]] = pyarrow.parquet.read_table(path).to_pylist()
        yield from rows
        return
    with path.open(encoding="utf-8", newline="") as lines:
        if path.suffix == ".csv":
            yield from csv.DictReader(lines)
            return
        for line in lines:
            if line.strip():
                row: dict[str, object] = json.loads(line)
                yield row


def read_sweep(path: Path) -> SweepCurves:
    curves = SweepCurves()
    seen: defaultdict[str, bool] = defaultdict(bool)
    for row in read_rows(path):
        if int(str(row["n_frames"])) == 1:
            curves.add(row)
        recording = str(row["path"])
        if not seen[recording]:  # every row of a recording repeats its baselines
            seen[recording] = True
            curves.add_baselines(row)
    return curves


def print_table(curves: SweepCurves) -> None:
    for bins in sorted(curves.coded_bits):
        depths, values = curves.curve(bins)
        cells = "  ".join(f"depth {d}: {v:.3f}" for d, v in zip(depths, values))
        print(f"occupancy (lossy) time_bins {bins[0]} {bins[1]}: {cells}")
    for name, value in sorted(curves.baselines().items()):
        print(f"lossless {name}: {value:.3f}")


def draw(curves: SweepCurves, output: Path) -> bool:
    try:
        # Optional: without it the curves are printed instead.
        import matplotlib  # type: ignore[import-not-found, unused-ignore]

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return False
    figure, axes = plt.subplots(figsize=(6.4, 4.0), dpi=100)
    colours: dict[int, str] = {}
    for bins in sorted(curves.coded_bits, key=lambda key: (key[0], key[1] != "static")):
        depths, values = curves.curve(bins)
        colour = colours.setdefault(bins[0], f"C{len(colours)}")
        axes.plot(depths, values, marker="o", color=colour,
                  linestyle="-" if bins[1] == "static" else "--",
                  label=f"occupancy, {bins[0]} time bins, {bins[1]} (lossy)")
    styles = ["--", ":", "-.", (0, (5, 1))]
    colors = ["dimgrey", "black", "tab:brown", "tab:purple"]
    for i, (name, value) in enumerate(sorted(curves.baselines().items())):
        label = "ovk lossless" if name == "lossless" else f"{name} (lossless)"
        axes.axhline(value, color=colors[i % len(colors)], linestyle=styles[i % len(styles)], label=label)
    axes.set_xlabel("tree depth limit")
    axes.set_ylabel("bits per event")
    axes.set_yscale("log")
    axes.set_title("occupancy code (lossy: cells only) and lossless codes")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    figure.tight_layout()
    figure.savefig(output)
    plt.close(figure)
    return True


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sweep", type=Path, help="rows of `ovk sweep` or `ovk merge`: .jsonl, .csv or .parquet")
    parser.add_argument("-o", "--output", type=Path, default=Path("sweep.png"), help="picture to write")
    args = parser.parse_args(argv)
    curves = read_sweep(args.sweep)
    if not curves.coded_bits:
        print(f"{args.sweep}: no single-frame rows to draw", file=sys.stderr)
        return 1
    print_table(curves)
    if draw(curves, args.output):
        print(f"wrote {args.output}")
    else:
        print("matplotlib is not installed: no picture drawn (pip install matplotlib)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
