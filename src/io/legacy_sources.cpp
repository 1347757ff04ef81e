// Streaming sources of the formats the Python module reads too: compact
// 9-byte records, N-MNIST 5-byte records, AEDAT 2.0. With default options
// they hand out exactly the events of the module's loaders and fail with
// their messages.
#include <algorithm>
#include <span>
#include <string>

#include "io/event_sources.h"
#include "io/stream_source.h"

namespace ovk::io {
namespace {

constexpr std::size_t kNmnistRecordBytes = 5;
constexpr std::size_t kAedatRecordBytes = 8;
constexpr std::uint8_t kNmnistOverflowRow = 240;
constexpr std::uint64_t kNmnistOverflowMicroseconds = 8192;
constexpr std::uint16_t kDvs128Size = 128;
constexpr std::uint16_t kNmnistSize = 34;

Error size_error(const char* prefix, std::uint64_t size, const char* suffix) {
  return Error(ErrorKind::kInvalidData, prefix + std::to_string(size) + suffix);
}

// Reads the whole records of `bytes`, kRecordBytes each, as many as the block
// has room for: take(record, event) fills in the record's event and returns
// true, or returns false to leave the record out. Returns the bytes read.
template <std::size_t kRecordBytes, class Take>
std::size_t take_records(std::span<const std::uint8_t> bytes, Event64* block,
                         std::size_t capacity, std::size_t& written, Take take) {
  const std::size_t n = std::min(bytes.size() / kRecordBytes, capacity - written);
  const std::uint8_t* r = bytes.data();
  for (std::size_t i = 0; i < n; ++i, r += kRecordBytes) {
    if (take(r, block[written])) ++written;
  }
  return n * kRecordBytes;
}

class CompactSource final : public StreamSource {
 public:
  explicit CompactSource(ByteStream stream) : StreamSource(std::move(stream), kCompactRecordBytes, 1) {}

 private:
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    return take_records<kCompactRecordBytes>(
        bytes, block, capacity, written, [](const std::uint8_t* r, Event64& event) {
          event = Event64{load_le16(r), load_le16(r + 2), load_le32(r + 4), r[8]};
          return true;
        });
  }
  Status finish(std::size_t leftover, std::uint64_t consumed) override {
    if (leftover == 0) return Ok{};
    return size_error("Compact binary file size ", consumed + leftover, " is not a multiple of 9");
  }
};

class NmnistSource final : public StreamSource {
 public:
  NmnistSource(ByteStream stream, bool resolve)
      : StreamSource(std::move(stream), kNmnistRecordBytes, 1), resolve_(resolve) {
    set_declared_sensor(SensorGeometry{kNmnistSize, kNmnistSize});
    set_skipped_kinds({resolve ? "overflow markers" : "overflow markers (read as events)"});
  }

 private:
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    std::uint64_t markers = 0;
    const std::size_t used = take_records<kNmnistRecordBytes>(
        bytes, block, capacity, written, [&](const std::uint8_t* r, Event64& event) {
          // 23-bit big-endian timestamp below the polarity bit of byte 2.
          const std::uint32_t t = (static_cast<std::uint32_t>(r[2] & 0x7F) << 16) |
                                  (static_cast<std::uint32_t>(r[3]) << 8) | r[4];
          if (r[1] == kNmnistOverflowRow) {
            ++markers;
            if (resolve_) {
              extra_ += kNmnistOverflowMicroseconds;
              return false;
            }
          }
          event = Event64{r[0], r[1], t + extra_, static_cast<std::uint8_t>(r[2] >> 7)};
          return true;
        });
    count_skipped(0, markers);
    return used;
  }
  Status finish(std::size_t leftover, std::uint64_t consumed) override {
    if (leftover == 0) return Ok{};
    return size_error("N-MNIST file size ", consumed + leftover, " is not a multiple of 5");
  }

  bool resolve_;
  std::uint64_t extra_ = 0;
};

class Aedat2Source final : public StreamSource {
 public:
  Aedat2Source(ByteStream stream, const ReaderOptions& options, std::uint64_t data_start)
      : StreamSource(std::move(stream), kAedatRecordBytes, 1),
        jaer_(options.aedat2_jaer),
        drop_(options.drop_specials),
        data_start_(data_start) {
    set_declared_sensor(SensorGeometry{kDvs128Size, kDvs128Size});
    set_skipped_kinds({drop_ ? "special events" : "special events (read as pixels)"});
  }

 private:
  static constexpr std::uint32_t kSpecialBits = (1U << 31) | (1U << 15);

  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    std::uint64_t specials = 0;
    const std::size_t used = take_records<kAedatRecordBytes>(
        bytes, block, capacity, written, [&](const std::uint8_t* r, Event64& event) {
          // DVS128 address: bit 0 polarity, bits 1-7 x, bits 8-14 y.
          const std::uint32_t address = load_be32(r);
          if ((address & kSpecialBits) != 0) {
            ++specials;
            if (drop_) return false;
          }
          auto x = static_cast<std::uint16_t>((address >> 1) & 0x7F);
          auto p = static_cast<std::uint8_t>(address & 1);
          if (jaer_) {
            x = static_cast<std::uint16_t>(kDvs128Size - 1 - x);
            p = static_cast<std::uint8_t>(p ^ 1);
          }
          event = Event64{x, static_cast<std::uint16_t>((address >> 8) & 0x7F), load_be32(r + 4), p};
          return true;
        });
    count_skipped(0, specials);
    return used;
  }
  Status finish(std::size_t leftover, std::uint64_t consumed) override {
    if (leftover == 0) return Ok{};
    return size_error("AEDAT2 data section size ", consumed + leftover - data_start_,
                      " is not a multiple of 8");
  }

  bool jaer_;
  bool drop_;
  std::uint64_t data_start_;
};

}  // namespace

Result<SourcePtr> open_compact_source(std::string_view path, const ReaderOptions&) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  if (const auto size = stream.regular_size(); size && *size % kCompactRecordBytes != 0) {
    return size_error("Compact binary file size ", *size, " is not a multiple of 9");
  }
  return SourcePtr(new CompactSource(std::move(stream)));
}

Result<SourcePtr> open_nmnist_source(std::string_view path, const ReaderOptions& options) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  if (const auto size = stream.regular_size(); size && *size % kNmnistRecordBytes != 0) {
    return size_error("N-MNIST file size ", *size, " is not a multiple of 5");
  }
  return SourcePtr(new NmnistSource(std::move(stream), options.resolve_overflow));
}

Result<SourcePtr> open_aedat2_source(std::string_view path, const ReaderOptions& options) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  // Header lines start with '#' and end with (and include) a line feed; only
  // lines at the very start count. A header line without a line feed runs
  // to the end of the file, which then holds no events.
  for (;;) {
    OVK_ASSIGN_OR_RETURN(const std::optional<std::string> line, stream.marked_line('#'));
    if (!line) break;
  }
  const std::uint64_t data_start = stream.consumed();
  if (const auto size = stream.regular_size();
      size && *size >= data_start && (*size - data_start) % kAedatRecordBytes != 0) {
    return size_error("AEDAT2 data section size ", *size - data_start, " is not a multiple of 8");
  }
  return SourcePtr(new Aedat2Source(std::move(stream), options, data_start));
}

bool looks_like_aedat2(std::span<const std::uint8_t> head) noexcept {
  constexpr std::string_view kMagic = "#!AER-DAT2";
  return head.size() >= kMagic.size() &&
         std::string_view(reinterpret_cast<const char*>(head.data()), kMagic.size()) == kMagic;
}

}  // namespace ovk::io
