// The .ovkc reader fed arbitrary bytes. The first input byte picks whether
// the rest is taken as it is (exercising the checksum) or with its checksum
// recomputed (exercising every structural check behind it). Whatever the
// bytes, parsing and decoding must end in a value or an error: never a
// crash, a hang, a fault or an allocation the file cannot justify.
#include <cstdint>
#include <span>
#include <vector>

#include "cell_table_shortcuts.h"
#include "codefile/code_file.h"
#include "codefile/leaf_boxes.h"

namespace {

// Replaces the last eight bytes by the checksum of those before them.
void set_checksum(std::vector<std::uint8_t>& bytes) {
  const std::size_t body = bytes.size() - ovk::codefile::kChecksumBytes;
  const std::uint64_t sum = ovk::codefile::file_checksum(std::span(bytes).first(body));
  for (int i = 0; i < 8; ++i) bytes[body + i] = static_cast<std::uint8_t>(sum >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  if ((data[0] & 1) != 0 && bytes.size() >= ovk::codefile::kChecksumBytes) set_checksum(bytes);
  const auto file = ovk::codefile::parse_code_file(bytes);
  if (!file.ok()) return 0;
  // A file that parses writes back to the same bytes, but for the version:
  // a reader takes version 2 without a context-coded frame, the writer
  // gives such a file version 1.
  const std::uint16_t version = ovk::codefile::format_version(file.value());
  if (bytes[4] != version) {
    bytes[4] = static_cast<std::uint8_t>(version);
    set_checksum(bytes);
  }
  if (ovk::codefile::serialize_code_file(file.value()) != bytes) __builtin_trap();
  const auto frames = ovk::codefile::decode_frames(file.value());
  if (!frames.ok()) return 0;
  if (frames.value().size() != file.value().frames.size()) __builtin_trap();
  (void)ovk::codefile::cell_rows(file.value(), frames.value());
  return 0;
}
