#include "io/stream_source.h"

#include <algorithm>
#include <charconv>

namespace ovk::io {

std::vector<SkippedRecords> StreamSource::skipped_records() const {
  std::vector<SkippedRecords> out;
  for (const SkippedRecords& s : skipped_) {
    if (s.count > 0) out.push_back(s);
  }
  return out;
}

void StreamSource::set_skipped_kinds(std::vector<std::string> kinds) {
  skipped_.clear();
  for (std::string& kind : kinds) skipped_.push_back(SkippedRecords{std::move(kind), 0});
}

Status StreamSource::finish(std::size_t leftover, std::uint64_t) {
  if (leftover == 0) return Ok{};
  return truncated_error("word", leftover);
}

// A block holds kSourceBlockEvents, or fewer when a regular file's bytes
// left cannot make more events (a small file then costs what it holds); at
// least one unit's worth, so every call makes progress.
std::size_t StreamSource::block_capacity() const noexcept {
  const std::optional<std::uint64_t> size = stream_.regular_size();
  if (!size) return kSourceBlockEvents;
  const std::uint64_t left = *size > stream_.consumed() ? *size - stream_.consumed() : 0;
  const std::uint64_t most = (left / unit_ + 1) * most_per_unit_;
  return static_cast<std::size_t>(std::min<std::uint64_t>(kSourceBlockEvents, most));
}

Status StreamSource::next_block(Event64Vec& block) {
  block.clear();
  if (done_) return Ok{};
  // The events are decoded into `spare_`, which then trades places with the
  // caller's block: the next call gets back a vector that is already (about)
  // full size, so growing it again costs (almost) nothing.
  const std::size_t capacity = block_capacity();
  OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
    spare_.resize(capacity);
    return Ok{};
  }));
  std::size_t written = 0;
  while (written + most_per_unit_ <= capacity) {
    OVK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> bytes, stream_.fill(unit_));
    if (bytes.size() < unit_) {
      const std::uint64_t consumed = stream_.consumed();
      stream_.consume(bytes.size());
      done_ = true;
      OVK_RETURN_IF_ERROR(finish(bytes.size(), consumed));
      break;
    }
    const Result<std::size_t> used = decode(bytes, spare_.data(), capacity, written);
    if (!used.ok()) {
      done_ = true;
      return used.error();
    }
    stream_.consume(used.value());
  }
  spare_.resize(written);
  block.swap(spare_);
  return Ok{};
}

Error truncated_error(const char* what, std::size_t leftover) {
  return Error(ErrorKind::kInvalidData, "the file ends inside a " + std::string(what) + " (" +
                                            std::to_string(leftover) + " bytes left over)");
}

std::optional<SensorGeometry> parse_geometry(std::string_view text) noexcept {
  const auto number = [](std::string_view s) -> std::optional<std::uint16_t> {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || error != std::errc() || end != s.data() + s.size() || value == 0 ||
        value > 65535) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
  };
  const std::size_t cross = text.find('x');
  if (cross == std::string_view::npos) return std::nullopt;
  const auto w = number(text.substr(0, cross));
  const auto h = number(text.substr(cross + 1));
  if (!w || !h) return std::nullopt;
  return SensorGeometry{*w, *h};
}

}  // namespace ovk::io
