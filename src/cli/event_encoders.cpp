#include "cli/event_encoders.h"

#include <charconv>

#include "io/compact_writer.h"
#include "io/npy_header.h"

namespace ovk::cli {
namespace {

// "65535,65535,4294967295,255\n"
constexpr std::size_t kLongestCsvLine = 27;

char* put_number(char* out, std::uint32_t value) { return std::to_chars(out, out + 10, value).ptr; }

}  // namespace

std::string npy_header(std::uint64_t count) {
  const std::uint64_t shape[] = {count};
  return io::npy_header("[('x', '<u2'), ('y', '<u2'), ('t', '<u4'), ('p', '|u1')]", shape);
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
