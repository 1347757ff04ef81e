// The table of decoded leaf boxes that `ovk decode -o` writes: one row per
// box with its frame, origin, size and time span, as CSV text or as a NumPy
// .npy array of little-endian unsigned 64-bit integers, shape (rows, 9).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/voxel_grid.h"
#include "codefile/code_file.h"
#include "codefile/leaf_boxes.h"

namespace ovk::codefile {

inline constexpr const char* kCellColumns = "frame,x0,y0,bin0,dx,dy,dbins,t_start_us,t_end_us";

// Microsecond boundaries of a frame's time bins. Bin k holds the events with
// k <= (time_bins - 1) * (t - tmin) / range < k + 1, range = max(tmax - tmin, 1),
// in the codec's double arithmetic, so the last bin holds only t = tmax.
class BinClock {
 public:
  BinClock(std::uint32_t tmin, std::uint32_t tmax, std::uint16_t time_bins);
  // The first whole microsecond of [tmin, tmax] whose bin is at least `bin`,
  // or tmax + 1 when there is none. Bins first..last cover [start(first), start(last + 1)).
  std::uint64_t start(std::uint64_t bin) const;

 private:
  std::uint64_t bin_of(std::uint64_t t) const;
  TimeScale scale_;
  std::uint32_t tmin_, tmax_, range_;
  std::uint16_t time_bins_;
};

using CellRow = std::array<std::uint64_t, 9>;

// The rows (frame, x0, y0, bin0, dx, dy, dbins, t_start_us, t_end_us) of
// the leaf boxes of one frame at a time, the time span half-open, boxes in
// tree order, for callers that decode frames one by one (FrameDecoder). The bin boundaries are remembered per frame in a table
// made once; only the entries a frame used are cleared after it, so a frame
// costs its boxes, not the padded time bins.
class CellRowMaker {
 public:
  explicit CellRowMaker(const CodeFile& file);
  // Calls `visit` with every row of frame `k`, whose boxes are `boxes`.
  void frame_rows(std::size_t k, const LeafBoxes& boxes,
                  const std::function<void(const CellRow&)>& visit);

 private:
  const CodeFile& file_;
  std::vector<std::uint64_t> starts_;   // by bin / dt; kUnknown when not computed
  std::vector<std::uint32_t> touched_;  // the slots of starts_ the frame filled
};

// One row as a CSV line, or as nine little-endian u64 values (the .npy
// body), appended to `out`.
void append_csv_row(const CellRow& row, std::vector<std::uint8_t>& out);
void append_npy_row(const CellRow& row, std::vector<std::uint8_t>& out);

// The heading line of the CSV table, and the .npy header for `boxes` rows.
std::string cells_csv_heading();
std::string cells_npy_header(std::uint64_t boxes);

}  // namespace ovk::codefile
