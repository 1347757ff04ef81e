// Writing output files so that a failure never leaves a partial file: the
// bytes go to a temporary file in the target's folder, which is flushed and
// then renamed over the target.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "codec/result.h"

namespace ovk::io {

// Writes `bytes` to `path` atomically. On any failure the temporary file is
// removed and the target is left as it was; the error message is the
// operating system's, as os_error_message gives it.
Status write_file_atomically(std::string_view path, std::span<const std::uint8_t> bytes);

}  // namespace ovk::io
