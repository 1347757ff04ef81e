#include "codefile/cell_table.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "codec/voxel_grid.h"

namespace ovk::codefile {

namespace {
constexpr std::size_t kColumns = 9;
}

BinClock::BinClock(std::uint32_t tmin, std::uint32_t tmax, std::uint16_t time_bins)
    : tmin_(tmin), tmax_(tmax), range_(std::max<std::uint32_t>(tmax - tmin, 1)),
      time_bins_(time_bins) {}

std::uint64_t BinClock::bin_of(std::uint64_t t) const {
  return time_bin(static_cast<std::uint32_t>(t), tmin_, range_, time_bins_);
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

std::vector<std::uint64_t> cell_rows(const CodeFile& file, const std::vector<LeafBoxes>& frames) {
  std::size_t count = 0;
  for (const LeafBoxes& f : frames) count += f.origins.size();
  std::vector<std::uint64_t> rows;
  rows.reserve(count * kColumns);
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const FrameEntry& entry = file.frames[k];
    const BinClock clock(entry.tmin, entry.tmax, file.geometry.time_bins);
    const LeafBoxes& boxes = frames[k];
    for (const BoxOrigin& o : boxes.origins) {
      const std::uint64_t row[kColumns] = {k, o.x0, o.y0, o.t0, boxes.dx, boxes.dy, boxes.dt,
                                           clock.start(o.t0), clock.start(o.t0 + boxes.dt)};
      rows.insert(rows.end(), std::begin(row), std::end(row));
    }
  }
  return rows;
}

std::vector<std::uint8_t> cells_csv(const std::vector<std::uint64_t>& rows) {
  std::vector<std::uint8_t> out(kCellColumns, kCellColumns + std::strlen(kCellColumns));
  out.push_back('\n');
  out.reserve(out.size() + rows.size() * 6);
  char text[24];
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto [end, ec] = std::to_chars(text, text + sizeof text, rows[i]);
    out.insert(out.end(), text, end);
    out.push_back((i + 1) % kColumns == 0 ? '\n' : ',');
  }
  return out;
}

// NumPy format 1.0: magic, version, header length, then a Python dict
// literal padded with spaces to a multiple of 64 bytes and ended by '\n'.
std::vector<std::uint8_t> cells_npy(const std::vector<std::uint64_t>& rows) {
  std::string header = "{'descr': '<u8', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows.size() / kColumns) + ", " + std::to_string(kColumns) +
                       "), }";
  const std::size_t preamble = 10;
  header.append(63 - (preamble + header.size()) % 64, ' ');
  header.push_back('\n');
  const std::uint8_t magic[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
  std::vector<std::uint8_t> out(preamble + header.size() + rows.size() * 8);
  std::uint8_t* at = std::copy(std::begin(magic), std::end(magic), out.data());
  *at++ = static_cast<std::uint8_t>(header.size() & 0xFF);
  *at++ = static_cast<std::uint8_t>(header.size() >> 8);
  at = std::copy(header.begin(), header.end(), at);
  for (const std::uint64_t v : rows) {
    for (int i = 0; i < 8; ++i) *at++ = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return out;
}

}  // namespace ovk::codefile
