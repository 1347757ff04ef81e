// The header of a NumPy .npy file (format version 1.0), shared by every
// writer of .npy arrays: the magic, the version, the header length, then a
// Python dictionary literal padded with spaces and ended by a line feed so
// that the data starts at a multiple of 64 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ovk::io {

// `descr` is the dtype as NumPy writes it, e.g. "'<u8'" or
// "[('x', '<u2'), ('y', '<u2')]"; `shape` the array's dimensions in C order,
// written as a Python tuple ("(5,)", "(5, 9)").
std::string npy_header(std::string_view descr, std::span<const std::uint64_t> shape);

}  // namespace ovk::io
