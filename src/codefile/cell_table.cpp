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
constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

void put_row_le(const CellRow& row, std::vector<std::uint8_t>& out) {
  const std::size_t at = out.size();
  out.resize(at + sizeof row);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out.data() + at, row.data(), sizeof row);
  } else {
    std::uint8_t* p = out.data() + at;
    for (const std::uint64_t v : row) {
      for (int i = 0; i < 8; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
    }
  }
}
}  // namespace

CellRowMaker::CellRowMaker(const CodeFile& file) : file_(file) {}

void CellRowMaker::frame_rows(std::size_t k, const LeafBoxes& boxes,
                              const std::function<void(const CellRow&)>& visit) {
  if (boxes.origins.empty()) return;
  const FrameEntry& entry = file_.frames[k];
  const BinClock clock(entry.tmin, entry.tmax, file_.geometry.time_bins);
  // Every leaf has the same dbins, so the boundaries are its multiples.
  const std::uint64_t step = boxes.dt;
  const std::uint64_t padded = std::max(next_power_of_two(file_.geometry.time_bins), step);
  if (starts_.size() < padded / step + 1) starts_.assign(padded / step + 1, kUnknown);
  const auto start = [&](std::uint64_t bin) {
    const auto slot = static_cast<std::uint32_t>(bin / step);
    if (starts_[slot] == kUnknown) {
      starts_[slot] = clock.start(bin);
      touched_.push_back(slot);
    }
    return starts_[slot];
  };
  for (const BoxOrigin& o : boxes.origins) {
    visit({k, o.x0, o.y0, o.t0, boxes.dx, boxes.dy, boxes.dt, start(o.t0), start(o.t0 + step)});
  }
  for (const std::uint32_t slot : touched_) starts_[slot] = kUnknown;
  touched_.clear();
}

void append_csv_row(const CellRow& row, std::vector<std::uint8_t>& out) {
  char text[24];
  for (std::size_t i = 0; i < kColumns; ++i) {
    const auto [end, ec] = std::to_chars(text, text + sizeof text, row[i]);
    out.insert(out.end(), text, end);
    out.push_back(i + 1 == kColumns ? '\n' : ',');
  }
}

void append_npy_row(const CellRow& row, std::vector<std::uint8_t>& out) { put_row_le(row, out); }

std::string cells_csv_heading() { return std::string(kCellColumns) + "\n"; }

std::string cells_npy_header(std::uint64_t boxes) {
  const std::uint64_t shape[] = {boxes, kColumns};
  return io::npy_header("'<u8'", shape);
}

}  // namespace ovk::codefile
