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
#include "io/python_literal.h"

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

// The header of one .npy array: where its data starts, its length (it must
// be one-dimensional) and its dtype as written.
struct NpyArray {
  std::size_t data_offset = 0;
  std::uint64_t count = 0;
  PyLiteral descr;
};

// The bytes of header `head` starts with, read from its first 12 bytes
// (0 when they are not a .npy header's); at most 64 KiB and 12 bytes.
std::size_t npy_header_bytes(std::span<const std::uint8_t> head) noexcept;

// Parses the header at the start of `head` (which must hold all of it).
[[nodiscard]] Result<NpyArray> parse_npy_array_header(std::span<const std::uint8_t> head);
// The x, y, t and p fields of a structured array.
[[nodiscard]] Result<NpyEventLayout> event_layout(const NpyArray& array);
[[nodiscard]] Result<NpyEventLayout> parse_npy_event_header(std::span<const std::uint8_t> head);
// The array as a column of one event field (0 x, 1 y, 2 t, 3 p): a plain
// integer array (bool for p); its offset is 0 and its size the record's.
[[nodiscard]] Result<NpyField> event_column(const NpyArray& array, int role, std::string_view name);

// Decodes records (or a column's values) into `out`, checking each value;
// an error names the event by its number from `first`, after `what`.
[[nodiscard]] Status decode_npy_records(const std::uint8_t* records, const NpyEventLayout& layout,
                                        std::span<Event64> out, std::uint64_t first,
                                        std::string_view what);
[[nodiscard]] Status decode_npy_column(const std::uint8_t* values, const NpyField& field, int role,
                                       std::span<Event64> out, std::uint64_t first,
                                       std::string_view what);

// True when `head` starts with the .npy magic.
bool looks_like_npy(std::span<const std::uint8_t> head) noexcept;

// Opens `path` as an event array. A regular file must hold exactly the
// records its header states; a stream must end after them.
Result<SourcePtr> open_npy_source(std::string_view path, const ReaderOptions& options);

}  // namespace ovk::io
