#include "cli/event_encoders.h"

#include <charconv>

#include "io/compact_writer.h"

namespace ovk::cli {
namespace {

constexpr std::string_view kNpyMagic("\x93NUMPY\x01\x00", 8);
constexpr std::size_t kNpyAlignment = 64;
// "65535,65535,4294967295,255\n"
constexpr std::size_t kLongestCsvLine = 27;

char* put_number(char* out, std::uint32_t value) { return std::to_chars(out, out + 10, value).ptr; }

}  // namespace

std::string npy_header(std::uint64_t count) {
  std::string dict =
      "{'descr': [('x', '<u2'), ('y', '<u2'), ('t', '<u4'), ('p', '|u1')], "
      "'fortran_order': False, 'shape': (" +
      std::to_string(count) + ",), }";
  // Magic (8 bytes), header length (2 bytes), dictionary, spaces, line feed.
  const std::size_t unpadded = kNpyMagic.size() + 2 + dict.size() + 1;
  dict.append((kNpyAlignment - unpadded % kNpyAlignment) % kNpyAlignment, ' ');
  dict.push_back('\n');
  std::string header(kNpyMagic);
  header.push_back(static_cast<char>(dict.size() & 0xFF));
  header.push_back(static_cast<char>(dict.size() >> 8));
  return header + dict;
}

Result<std::vector<std::uint8_t>> encode_npy(EventSpan events) {
  return catching_out_of_memory([&]() -> Result<std::vector<std::uint8_t>> {
    const std::string header = npy_header(events.size());
    std::vector<std::uint8_t> out(header.begin(), header.end());
    OVK_RETURN_IF_ERROR(io::append_compact_records(events, out));
    return out;
  });
}

Result<std::vector<std::uint8_t>> encode_csv(EventSpan events) {
  return catching_out_of_memory([&]() -> Result<std::vector<std::uint8_t>> {
    constexpr std::string_view kHeader = "x,y,t,p\n";
    std::vector<std::uint8_t> out(kHeader.size() + events.size() * kLongestCsvLine);
    char* const begin = reinterpret_cast<char*>(out.data());
    char* pos = std::copy(kHeader.begin(), kHeader.end(), begin);
    for (const Event& event : events) {
      pos = put_number(pos, event.x);
      *pos++ = ',';
      pos = put_number(pos, event.y);
      *pos++ = ',';
      pos = put_number(pos, event.t);
      *pos++ = ',';
      pos = put_number(pos, event.p);
      *pos++ = '\n';
    }
    out.resize(static_cast<std::size_t>(pos - begin));
    return out;
  });
}

}  // namespace ovk::cli
