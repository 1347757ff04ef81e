// Events from a NumPy .npy file holding a one-dimensional structured array
// with the fields x '<u2', y '<u2', t '<u4' or '<u8', p '|u1' in that order,
// packed (what `ovk convert -o X.npy` writes), read a block at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "codec/result.h"
#include "io/event_source.h"
#include "io/file_access.h"

namespace ovk::io {

// The layout of an event array's header: where the records start, how many
// there are, and the width of t (4 or 8 bytes).
struct NpyEventLayout {
  std::size_t data_offset = 0;
  std::uint64_t count = 0;
  unsigned t_bytes = 4;
  std::size_t record_bytes() const { return 2 + 2 + t_bytes + 1; }
};

// Parses the header at the start of `head` (which must hold all of it).
Result<NpyEventLayout> parse_npy_event_header(std::span<const std::uint8_t> head);

// Opens `path` as an event array; the file must hold exactly the records
// its header states.
Result<std::unique_ptr<EventSource>> open_npy_events(std::string_view path);

}  // namespace ovk::io
