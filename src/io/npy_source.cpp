#include "io/npy_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace ovk::io {
namespace {

constexpr std::uint8_t kNpyMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
constexpr std::size_t kMaxHeaderBytes = 1 << 16;

Error bad(const std::string& why) { return Error(ErrorKind::kInvalidData, "not an event array: " + why); }

std::string without_spaces(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ') out.push_back(c == '"' ? '\'' : c);
  }
  return out;
}

class NpySource final : public EventSource {
 public:
  NpySource(FileHandle file, NpyEventLayout layout) : file_(std::move(file)), layout_(layout) {}

  Status next_block(Event64Vec& block) override {
    const std::uint64_t n = std::min<std::uint64_t>(kSourceBlockEvents, layout_.count - done_);
    block.clear();
    if (n == 0) return Ok{};
    const std::size_t record = layout_.record_bytes();
    buffer_.resize(static_cast<std::size_t>(n) * record);
    std::span<std::uint8_t> rest(buffer_);
    while (!rest.empty()) {
      OVK_ASSIGN_OR_RETURN(const std::size_t got, read_some(file_, rest));
      if (got == 0) return bad("the file ends before its " + std::to_string(layout_.count) + " records");
      rest = rest.subspan(got);
    }
    block.resize(static_cast<std::size_t>(n));
    const std::uint8_t* at = buffer_.data();
    for (Event64& e : block) {
      e.x = static_cast<std::uint16_t>(at[0] | (at[1] << 8));
      e.y = static_cast<std::uint16_t>(at[2] | (at[3] << 8));
      std::uint64_t t = 0;
      for (unsigned i = 0; i < layout_.t_bytes; ++i) t |= std::uint64_t{at[4 + i]} << (8 * i);
      e.t = t;
      e.p = at[4 + layout_.t_bytes];
      at += record;
    }
    done_ += n;
    return Ok{};
  }

 private:
  FileHandle file_;
  NpyEventLayout layout_;
  std::uint64_t done_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

Result<NpyEventLayout> parse_npy_event_header(std::span<const std::uint8_t> head) {
  if (head.size() < 10 || !std::equal(std::begin(kNpyMagic), std::end(kNpyMagic), head.begin())) {
    return bad("no .npy magic");
  }
  const unsigned major = head[6];
  std::size_t length = 0;
  std::size_t start = 0;
  if (major == 1) {
    length = head[8] | (std::size_t{head[9]} << 8);
    start = 10;
  } else if (major == 2 || major == 3) {
    if (head.size() < 12) return bad("header cut short");
    length = head[8] | (std::size_t{head[9]} << 8) | (std::size_t{head[10]} << 16) |
             (std::size_t{head[11]} << 24);
    start = 12;
  } else {
    return bad("unknown .npy version " + std::to_string(major));
  }
  if (length > kMaxHeaderBytes || head.size() - start < length) return bad("header cut short");
  const std::string text = without_spaces(
      std::string_view(reinterpret_cast<const char*>(head.data()) + start, length));
  NpyEventLayout layout;
  layout.data_offset = start + length;
  if (text.find("[('x','<u2'),('y','<u2'),('t','<u4'),('p','|u1')]") != std::string::npos) {
    layout.t_bytes = 4;
  } else if (text.find("[('x','<u2'),('y','<u2'),('t','<u8'),('p','|u1')]") != std::string::npos) {
    layout.t_bytes = 8;
  } else {
    return bad("the fields must be x <u2, y <u2, t <u4 or <u8, p u1");
  }
  if (text.find("'fortran_order':False") == std::string::npos) return bad("Fortran order");
  const std::size_t shape = text.find("'shape':(");
  if (shape == std::string::npos) return bad("no one-dimensional shape");
  std::size_t i = shape + 9;
  std::uint64_t count = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (count > (UINT64_MAX - 9) / 10) return bad("shape out of range");
    count = count * 10 + static_cast<std::uint64_t>(text[i] - '0');
    digits = true;
  }
  if (!digits || i + 1 >= text.size() || text[i] != ',' || text[i + 1] != ')') {
    return bad("no one-dimensional shape");
  }
  layout.count = count;
  return layout;
}

Result<std::unique_ptr<EventSource>> open_npy_events(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(FileHandle file, open_for_reading(path));
  std::vector<std::uint8_t> head(kMaxHeaderBytes + 12);
  std::size_t have = 0;
  while (have < head.size()) {
    OVK_ASSIGN_OR_RETURN(const std::size_t got, read_some(file, std::span(head).subspan(have)));
    if (got == 0) break;
    have += got;
  }
  OVK_ASSIGN_OR_RETURN(const NpyEventLayout layout,
                       parse_npy_event_header(std::span(head).first(have)));
  struct stat info{};
  if (::fstat(file.fd(), &info) != 0) return os_error(errno);
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (S_ISREG(info.st_mode) &&
      (size < layout.data_offset ||
       (size - layout.data_offset) / layout.record_bytes() != layout.count ||
       (size - layout.data_offset) % layout.record_bytes() != 0)) {
    return bad("the header states " + std::to_string(layout.count) + " records, the file holds " +
               std::to_string(size < layout.data_offset ? 0 : (size - layout.data_offset) / layout.record_bytes()));
  }
  if (!S_ISREG(info.st_mode)) return bad("not a regular file");
  if (::lseek(file.fd(), static_cast<off_t>(layout.data_offset), SEEK_SET) < 0) return os_error(errno);
  return std::unique_ptr<EventSource>(std::make_unique<NpySource>(std::move(file), layout));
}

}  // namespace ovk::io
