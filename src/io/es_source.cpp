// Event Stream (.es) 2.x recordings of DVS or ATIS events: a 15-byte magic
// and version, the stream type, the sensor's width and height (16 bits each,
// little-endian), then events as byte-coded time differences. ATIS exposure
// measurements (threshold crossings) are counted and passed over.
#include <cstring>
#include <string>

#include "io/event_sources.h"
#include "io/stream_source.h"

namespace ovk::io {
namespace {

constexpr std::string_view kMagic = "Event Stream";
constexpr std::uint8_t kDvsStream = 1;
constexpr std::uint8_t kAtisStream = 2;
constexpr std::size_t kHeaderBytes = 20;  // magic, version, type, width, height

// One state machine for both types: byte 0 holds the time difference and
// the polarity bits (and, for ATIS, the threshold-crossing flag), then x and
// y follow as 16-bit little-endian values. DVS: byte 0 is t[6:0] then
// is_increase; 0xFE is a reset, 0xFF an overflow of 127 us. ATIS: byte 0 is
// t[5:0], polarity, is_tc; 0xFC is a reset, 0xFD..0xFF overflows of 1 to 3
// times 63 us.
class EsSource final : public StreamSource {
 public:
  EsSource(ByteStream stream, bool atis) : StreamSource(std::move(stream), 1, 1), atis_(atis) {
    set_skipped_kinds({"ATIS exposure measurements"});
  }

 private:
  Result<std::size_t> decode(std::span<const std::uint8_t> bytes, Event64* block,
                             std::size_t capacity, std::size_t& written) override {
    return atis_ ? run<true>(bytes, block, capacity, written)
                 : run<false>(bytes, block, capacity, written);
  }

  template <bool kAtis>
  std::size_t run(std::span<const std::uint8_t> bytes, Event64* block, std::size_t capacity,
                  std::size_t& written) {
    const std::uint8_t* b = bytes.data();
    const std::uint8_t* const end = b + bytes.size();
    Event64* out = block + written;
    Event64* const last = block + capacity - 1;
    std::uint64_t exposures = 0;
    for (; b < end && out <= last; ++b) {
      const std::uint32_t byte = *b;
      switch (state_) {
        case 0:
          if constexpr (kAtis) {
            if (byte >= 0xFC) {
              t_ += std::uint64_t{63} * (byte & 3);
              break;
            }
            t_ += byte >> 2;
            flags_ = byte & 3;
          } else {
            if (byte >= 0xFE) {
              if (byte == 0xFF) t_ += 127;
              break;
            }
            t_ += byte >> 1;
            flags_ = byte & 1;
          }
          state_ = 1;
          break;
        case 1:
          x_ = byte;
          state_ = 2;
          break;
        case 2:
          x_ |= byte << 8;
          state_ = 3;
          break;
        case 3:
          y_ = byte;
          state_ = 4;
          break;
        default: {
          state_ = 0;
          const auto y = static_cast<std::uint16_t>(y_ | (byte << 8));
          const auto x = static_cast<std::uint16_t>(x_);
          if constexpr (kAtis) {
            if (flags_ & 1) {
              ++exposures;
              break;
            }
            *out++ = Event64{x, y, t_, static_cast<std::uint8_t>(flags_ >> 1)};
          } else {
            *out++ = Event64{x, y, t_, static_cast<std::uint8_t>(flags_)};
          }
          break;
        }
      }
    }
    written = static_cast<std::size_t>(out - block);
    count_skipped(0, exposures);
    return static_cast<std::size_t>(b - bytes.data());
  }

  Status finish(std::size_t, std::uint64_t) override {
    if (state_ == 0) return Ok{};
    return Error(ErrorKind::kInvalidData, "the file ends inside an event");
  }

  bool atis_;
  unsigned state_ = 0;
  std::uint32_t x_ = 0;
  std::uint32_t y_ = 0;
  std::uint32_t flags_ = 0;
  std::uint64_t t_ = 0;
};

}  // namespace

bool looks_like_es(std::span<const std::uint8_t> head) noexcept {
  return head.size() >= kMagic.size() &&
         std::memcmp(head.data(), kMagic.data(), kMagic.size()) == 0;
}

Result<SourcePtr> open_es_source(std::string_view path, const ReaderOptions&) {
  OVK_ASSIGN_OR_RETURN(ByteStream stream, ByteStream::open(path));
  OVK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> head, stream.fill(kHeaderBytes));
  if (!looks_like_es(head)) {
    return Error(ErrorKind::kInvalidData, "not an Event Stream file (no \"Event Stream\" magic)");
  }
  if (head.size() < 16) return truncated_error("Event Stream header", head.size());
  if (head[12] != 2) {
    return Error(ErrorKind::kInvalidData, "Event Stream version " + std::to_string(head[12]) + "." +
                                              std::to_string(head[13]) + " is not read; only 2.x");
  }
  const std::uint8_t type = head[15];
  if (type != kDvsStream && type != kAtisStream) {
    return Error(ErrorKind::kInvalidData, "Event Stream of type " + std::to_string(type) +
                                              "; only DVS (1) and ATIS (2) streams are read");
  }
  if (head.size() < kHeaderBytes) return truncated_error("Event Stream header", head.size());
  const SensorGeometry size{load_le16(head.data() + 16), load_le16(head.data() + 18)};
  stream.consume(kHeaderBytes);
  auto source = std::make_unique<EsSource>(std::move(stream), type == kAtisStream);
  if (size.width > 0 && size.height > 0) source->set_declared_sensor(size);
  return SourcePtr(std::move(source));
}

}  // namespace ovk::io
