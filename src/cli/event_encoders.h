// Events as the bytes of the files `ovk convert` writes, other than compact
// records (io/compact_writer.h): a NumPy .npy array and CSV text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/event.h"
#include "codec/result.h"

namespace ovk::cli {

// The .npy header (format version 1.0) of a one-dimensional structured array
// of `count` records with fields x '<u2', y '<u2', t '<u4', p '|u1', packed
// (9 bytes each, the compact record layout). Its length is a multiple of 64.
std::string npy_header(std::uint64_t count);

// A complete .npy file: the header, then one compact record per event.
Result<std::vector<std::uint8_t>> encode_npy(EventSpan events);

// CSV text: the line "x,y,t,p", then one "x,y,t,p" line of decimal numbers
// per event, every line ending in a line feed.
Result<std::vector<std::uint8_t>> encode_csv(EventSpan events);

}  // namespace ovk::cli
