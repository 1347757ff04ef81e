// Readers of the four recording formats. Each takes a UTF-8 path handed to the
// operating system unchanged and returns the events in file order, or the
// Error whose message is the only thing that reaches the caller. A blocked
// open or read that a signal interrupts asks `interrupts` whether to go on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/event.h"
#include "codec/result.h"
#include "io/file_access.h"

namespace ovk::io {

// Without `interrupts`, each file reader repeats interrupted system calls.

// Compact binary: headerless 9-byte little-endian records x(2) y(2) t(4) p(1).
Result<EventVec> read_compact(std::string_view path,
                              const Interruptions& interrupts = retry_interrupted());
// N-MNIST: headerless 5-byte big-endian records.
Result<EventVec> read_nmnist(std::string_view path,
                             const Interruptions& interrupts = retry_interrupted());
// AEDAT 2.0, DVS128 address layout: '#' header lines, then 8-byte records.
Result<EventVec> read_aedat2(std::string_view path,
                             const Interruptions& interrupts = retry_interrupted());
// CSV / plain text, one event per line, columns x, y, t, p.
Result<EventVec> read_csv(std::string_view path,
                          const Interruptions& interrupts = retry_interrupted());

// The binary decoders over bytes already in memory (used by the file readers,
// the ".bin" length rule and the fuzz targets).
Result<EventVec> decode_compact(std::span<const std::uint8_t> bytes);
Result<EventVec> decode_nmnist(std::span<const std::uint8_t> bytes);
Result<EventVec> decode_aedat2(std::span<const std::uint8_t> bytes);

// Extension of the path's last component ("" allowed), or nullopt for none.
std::optional<std::string_view> file_extension(std::string_view path);

// The ".bin" length rule: compact records are 9 bytes and N-MNIST records 5,
// so a length that only 9 divides holds compact records and any other length
// (multiples of 45 included) N-MNIST records.
bool bin_holds_compact_records(std::uint64_t length) noexcept;

// Chooses the reader by extension: bin (compact or N-MNIST by the length of
// the bytes read, which are then decoded), evb, aedat, csv, txt. Anything
// else fails without touching the file.
Result<EventVec> load_events(std::string_view path,
                             const Interruptions& interrupts = retry_interrupted());

}  // namespace ovk::io
