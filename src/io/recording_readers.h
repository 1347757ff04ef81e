// Readers of the four recording formats. Each takes a UTF-8 path handed to the
// operating system unchanged and returns the events in file order, or the
// LoadError whose message is the only thing that reaches the caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io {

// A loader failure: category (ErrorKind) and final message text.
using LoadError = Error;

// Compact binary: headerless 9-byte little-endian records x(2) y(2) t(4) p(1).
Result<EventVec> read_compact(std::string_view path);
// N-MNIST: headerless 5-byte big-endian records.
Result<EventVec> read_nmnist(std::string_view path);
// AEDAT 2.0, DVS128 address layout: '#' header lines, then 8-byte records.
Result<EventVec> read_aedat2(std::string_view path);
// CSV / plain text, one event per line, columns x, y, t, p.
Result<EventVec> read_csv(std::string_view path);

// The same decoders over bytes already in memory (used by the file readers,
// the ".bin" length rule and the fuzz targets).
Result<EventVec> decode_compact(std::span<const std::uint8_t> bytes);
Result<EventVec> decode_nmnist(std::span<const std::uint8_t> bytes);
Result<EventVec> decode_aedat2(std::span<const std::uint8_t> bytes);
Result<EventVec> decode_csv(std::span<const std::uint8_t> bytes);

// Extension of the path's last component ("" allowed), or nullopt for none.
std::optional<std::string_view> file_extension(std::string_view path);

// Chooses the reader by extension: bin (compact or N-MNIST by length), evb,
// aedat, csv, txt. Anything else fails without touching the file.
Result<EventVec> load_events(std::string_view path);

}  // namespace ovk::io
