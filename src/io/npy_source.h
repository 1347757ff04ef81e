// Events from a NumPy .npy file holding a one-dimensional structured array
// with fields for x, y, t and p, read a block at a time (from a FIFO too).
//
// The fields are found by name, as a CSV header's columns are (t, ts,
// timestamp, ...; p, pol, polarity, ...), in any order and among other
// fields, which are passed over. Each is an integer of 1, 2, 4 or 8 bytes,
// signed or not, of either byte order; p may be a bool. Values are checked
// event by event: x and y 0..65535, t not negative, p 0..255. What
// `ovk convert -o X.npy` writes (x <u2, y <u2, t <u4 or <u8, p |u1) is one
// such array.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "codec/result.h"
#include "io/event_sources.h"

namespace ovk::io {

// Where one event field sits in a record and how it is stored.
struct NpyField {
  std::uint32_t offset = 0;
  std::uint8_t bytes = 0;  // 1, 2, 4 or 8
  bool is_signed = false;
  bool big_endian = false;
};

// The layout of an event array: where the records start, how many there are
// and their size, and the x, y, t and p fields in that order.
struct NpyEventLayout {
  std::size_t data_offset = 0;
  std::uint64_t count = 0;
  std::size_t record_bytes = 0;
  std::array<NpyField, 4> fields{};
};

// Parses the header at the start of `head` (which must hold all of it).
[[nodiscard]] Result<NpyEventLayout> parse_npy_event_header(std::span<const std::uint8_t> head);

// True when `head` starts with the .npy magic.
bool looks_like_npy(std::span<const std::uint8_t> head) noexcept;

// Opens `path` as an event array. A regular file must hold exactly the
// records its header states; a stream must end after them.
Result<SourcePtr> open_npy_source(std::string_view path, const ReaderOptions& options);

}  // namespace ovk::io
