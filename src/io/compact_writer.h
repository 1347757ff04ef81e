// The compact binary record layout as bytes: 9-byte little-endian records
// x(2) y(2) t(4) p(1), the inverse of decode_compact. Used to write .evb
// files and as the input of the general-purpose compressors the tool
// compares against.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io {

// Appends the records of `events` to `out`, in order. Fails with
// "out of memory" when `out` cannot grow; `out` is then unchanged.
Status append_compact_records(EventSpan events, std::vector<std::uint8_t>& out);

// The records of `events` alone.
Result<std::vector<std::uint8_t>> encode_compact(EventSpan events);

}  // namespace ovk::io
