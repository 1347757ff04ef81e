#include "codefile/cell_table.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <functional>
#include <string>

#include "codec/voxel_grid.h"
#include "io/npy_header.h"

namespace ovk::codefile {

namespace {
constexpr std::size_t kColumns = 9;
}

BinClock::BinClock(std::uint32_t tmin, std::uint32_t tmax, std::uint16_t time_bins)
    : scale_(tmin, tmax),
      tmin_(tmin),
      tmax_(tmax),
      range_(std::max<std::uint32_t>(tmax - tmin, 1)),
      time_bins_(time_bins) {}

std::uint64_t BinClock::bin_of(std::uint64_t t) const {
  return scale_.scaled(static_cast<std::uint32_t>(t), static_cast<double>(time_bins_) - 1.0);
}

std::uint64_t BinClock::start(std::uint64_t bin) const {
  const std::uint64_t none = std::uint64_t{tmax_} + 1;
  if (bin == 0) return tmin_;
  if (time_bins_ < 2) return none;
  // Exact rational estimate, then a few steps to agree with the double rule.
  std::uint64_t t = tmin_ + (bin * range_ + time_bins_ - 2) / (time_bins_ - 1u);
  t = std::min(t, none);
  while (t > tmin_ && bin_of(t - 1) >= bin) --t;
  while (t <= tmax_ && bin_of(t) < bin) ++t;
  return t;
}

namespace {

// start() of the bins bin0 and bin0 + dbins of one frame's boxes: every leaf
// has the same dbins, so the boundaries are the multiples of it, each
// computed once.
class BoundaryMemo {
 public:
  BoundaryMemo(const BinClock& clock, std::uint64_t step, std::uint64_t padded_bins)
      : clock_(clock), step_(step), starts_(padded_bins / step + 1, kUnknown) {}
  std::uint64_t start(std::uint64_t bin) {
    std::uint64_t& slot = starts_[bin / step_];
    if (slot == kUnknown) slot = clock_.start(bin);
    return slot;
  }

 private:
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  const BinClock& clock_;
  std::uint64_t step_;
  std::vector<std::uint64_t> starts_;
};

}  // namespace

std::uint64_t box_count(const std::vector<LeafBoxes>& frames) {
  std::uint64_t count = 0;
  for (const LeafBoxes& f : frames) count += f.origins.size();
  return count;
}

void for_each_cell_row(const CodeFile& file, const std::vector<LeafBoxes>& frames,
                       const std::function<void(const CellRow&)>& visit) {
  const std::uint64_t padded_bins = next_power_of_two(file.geometry.time_bins);
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const FrameEntry& entry = file.frames[k];
    const LeafBoxes& boxes = frames[k];
    if (boxes.origins.empty()) continue;
    const BinClock clock(entry.tmin, entry.tmax, file.geometry.time_bins);
    BoundaryMemo memo(clock, boxes.dt, std::max(padded_bins, boxes.dt));
    for (const BoxOrigin& o : boxes.origins) {
      visit({k, o.x0, o.y0, o.t0, boxes.dx, boxes.dy, boxes.dt, memo.start(o.t0),
             memo.start(o.t0 + boxes.dt)});
    }
  }
}

std::vector<std::uint64_t> cell_rows(const CodeFile& file, const std::vector<LeafBoxes>& frames) {
  std::vector<std::uint64_t> rows;
  rows.reserve(box_count(frames) * kColumns);
  for_each_cell_row(file, frames, [&rows](const CellRow& row) {
    rows.insert(rows.end(), row.begin(), row.end());
  });
  return rows;
}

std::vector<std::uint8_t> cells_csv(const CodeFile& file, const std::vector<LeafBoxes>& frames) {
  std::vector<std::uint8_t> out(kCellColumns, kCellColumns + std::strlen(kCellColumns));
  out.push_back('\n');
  out.reserve(out.size() + box_count(frames) * 24);
  char text[24];
  for_each_cell_row(file, frames, [&](const CellRow& row) {
    for (std::size_t i = 0; i < kColumns; ++i) {
      const auto [end, ec] = std::to_chars(text, text + sizeof text, row[i]);
      out.insert(out.end(), text, end);
      out.push_back(i + 1 == kColumns ? '\n' : ',');
    }
  });
  return out;
}

std::vector<std::uint8_t> cells_npy(const CodeFile& file, const std::vector<LeafBoxes>& frames) {
  const std::uint64_t boxes = box_count(frames);
  const std::uint64_t shape[] = {boxes, kColumns};
  const std::string header = io::npy_header("'<u8'", shape);
  std::vector<std::uint8_t> out(header.size() + boxes * kColumns * sizeof(std::uint64_t));
  std::uint8_t* at = std::copy(header.begin(), header.end(), out.data());
  for_each_cell_row(file, frames, [&at](const CellRow& row) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(at, row.data(), sizeof row);
      at += sizeof row;
    } else {
      for (const std::uint64_t v : row) {
        for (int i = 0; i < 8; ++i) *at++ = static_cast<std::uint8_t>(v >> (8 * i));
      }
    }
  });
  return out;
}

}  // namespace ovk::codefile
