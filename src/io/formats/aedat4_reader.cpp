#include "io/formats/aedat4_reader.h"

#include <lz4frame.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "aedat4_events_generated.h"
#include "aedat4_ioheader_generated.h"
#include "io/formats/aedat4_streams.h"
#include "io/formats/byte_input.h"

namespace ovk::io {
namespace {

using aedat4::Compression;

Error invalid(std::string message) { return Error(ErrorKind::kInvalidData, std::move(message)); }

std::string at_byte(std::uint64_t position) { return " at byte " + std::to_string(position); }

std::uint32_t load_u32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

Status resize_buffer(std::vector<std::uint8_t>& buffer, std::size_t size) {
  return catching_out_of_memory([&]() -> Status {
    buffer.resize(size);
    return Ok{};
  });
}

// Reads exactly `out.size()` bytes or says what was being read when the
// input ended.
Status read_exactly(ByteInput& input, std::span<std::uint8_t> out, const char* what) {
  const std::uint64_t start = input.position();
  OVK_ASSIGN_OR_RETURN(const std::size_t n, input.read(out));
  if (n != out.size()) {
    return invalid("AEDAT 4 file ends inside " + std::string(what) + at_byte(start) + " (" +
                   std::to_string(n) + " of " + std::to_string(out.size()) + " bytes)");
  }
  return Ok{};
}

// LZ4 content checksums are left unchecked: they cost more than the
// decompression itself. This gives up detecting a corrupted packet that
// still decodes to well-formed, in-range events; safety never rests on them
// (the flatbuffer verifier and the range check of every event guard reads).
// The output buffer may move when it grows, so it is not declared stable.
constexpr LZ4F_decompressOptions_t kLz4Options = {0, 1, 0, 0};  // stableDst, skipChecksums

struct Lz4Free {
  void operator()(LZ4F_dctx* c) const { LZ4F_freeDecompressionContext(c); }
};
struct ZstdFree {
  void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

// Decompresses packet bodies into a buffer that grows as the frame asks,
// never past kMaxAedat4PacketBytes.
class PacketDecompressor {
 public:
  PacketDecompressor(Compression compression, std::size_t limit)
      : compression_(compression), limit_(limit) {}

  // The decompressed flatbuffer of `body`, valid until the next call.
  Result<std::span<std::uint8_t>> decompress(std::span<std::uint8_t> body,
                                                   std::uint64_t position) {
    switch (compression_) {
      case Compression::Lz4:
      case Compression::Lz4High:
        return lz4(body, position);
      case Compression::Zstd:
      case Compression::ZstdHigh:
        return zstd(body, position);
      default:
        return body;
    }
  }

 private:
  // Makes room for more output: doubles, up to the limit.
  Status grow(std::size_t used, std::uint64_t position) {
    if (used >= limit_) {
      return invalid("AEDAT 4 packet" + at_byte(position) + " decompresses to more than " +
                     std::to_string(limit_) + " bytes");
    }
    const std::size_t next = std::min(limit_, std::max<std::size_t>(used * 2, 1 << 16));
    return resize_buffer(out_, next);
  }

  Result<std::span<std::uint8_t>> lz4(std::span<const std::uint8_t> body,
                                            std::uint64_t position) {
    if (!lz4_) {
      LZ4F_dctx* context = nullptr;
      if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION))) {
        return Error::out_of_memory();
      }
      lz4_.reset(context);
    }
    LZ4F_resetDecompressionContext(lz4_.get());
    std::size_t in = 0;
    std::size_t used = 0;
    std::size_t hint = 1;
    while (in < body.size()) {
      if (used == out_.size()) OVK_RETURN_IF_ERROR(grow(used, position));
      std::size_t src = body.size() - in;
      std::size_t dst = out_.size() - used;
      hint = LZ4F_decompress(lz4_.get(), out_.data() + used, &dst, body.data() + in, &src,
                             &kLz4Options);
      if (LZ4F_isError(hint)) {
        return invalid("AEDAT 4 packet" + at_byte(position) + ": LZ4 " +
                       LZ4F_getErrorName(hint));
      }
      in += src;
      used += dst;
      if (src == 0 && dst == 0) break;
    }
    // Output still held in the context once the input is consumed.
    while (hint != 0) {
      if (used == out_.size()) OVK_RETURN_IF_ERROR(grow(used, position));
      std::size_t src = 0;
      std::size_t dst = out_.size() - used;
      hint = LZ4F_decompress(lz4_.get(), out_.data() + used, &dst, nullptr, &src, &kLz4Options);
      if (LZ4F_isError(hint)) {
        return invalid("AEDAT 4 packet" + at_byte(position) + ": LZ4 " +
                       LZ4F_getErrorName(hint));
      }
      used += dst;
      if (dst == 0) {
        return invalid("AEDAT 4 packet" + at_byte(position) + " ends inside its LZ4 frame");
      }
    }
    return std::span<std::uint8_t>(out_.data(), used);
  }

  Result<std::span<std::uint8_t>> zstd(std::span<const std::uint8_t> body,
                                             std::uint64_t position) {
    if (!zstd_) {
      zstd_.reset(ZSTD_createDCtx());
      if (!zstd_) return Error::out_of_memory();
    }
    ZSTD_DCtx_reset(zstd_.get(), ZSTD_reset_session_only);
    ZSTD_inBuffer in{body.data(), body.size(), 0};
    std::size_t used = 0;
    std::size_t hint = 1;
    for (;;) {
      if (used == out_.size()) OVK_RETURN_IF_ERROR(grow(used, position));
      ZSTD_outBuffer out{out_.data() + used, out_.size() - used, 0};
      hint = ZSTD_decompressStream(zstd_.get(), &out, &in);
      if (ZSTD_isError(hint)) {
        return invalid("AEDAT 4 packet" + at_byte(position) + ": zstd " +
                       ZSTD_getErrorName(hint));
      }
      used += out.pos;
      const bool drained = out.pos < out.size;
      if (in.pos == in.size && drained) break;
    }
    if (hint != 0) {
      return invalid("AEDAT 4 packet" + at_byte(position) + " ends inside its zstd frame");
    }
    return std::span<std::uint8_t>(out_.data(), used);
  }

  Compression compression_;
  std::size_t limit_;
  std::unique_ptr<LZ4F_dctx, Lz4Free> lz4_;
  std::unique_ptr<ZSTD_DCtx, ZstdFree> zstd_;
  std::vector<std::uint8_t> out_;
};

// Checks a size-prefixed flatbuffer: the prefix must name the bytes that
// follow it, within the buffer.
bool size_prefix_fits(std::span<const std::uint8_t> buffer) {
  return buffer.size() >= 8 && std::uint64_t{load_u32(buffer.data())} + 4 <= buffer.size();
}

// The verified root of the size-prefixed flatbuffer at the start of
// `buffer` (whose address is 8-aligned), or null. Writers differ in what
// they align the buffer's 8-byte fields to: some count from the size
// prefix, some from the flatbuffer after it. A buffer that verifies only in
// the second way is moved down over its prefix, so that every field read is
// aligned in memory as the verifier checked it.
template <class Root, bool (*VerifyPrefixed)(flatbuffers::Verifier&),
          bool (*VerifyPlain)(flatbuffers::Verifier&)>
const Root* verified_root(std::span<std::uint8_t> buffer) {
  if (!size_prefix_fits(buffer)) return nullptr;
  const std::size_t length = std::size_t{load_u32(buffer.data())};
  {
    flatbuffers::Verifier verifier(buffer.data(), length + 4);
    if (VerifyPrefixed(verifier)) return flatbuffers::GetSizePrefixedRoot<Root>(buffer.data());
  }
  std::memmove(buffer.data(), buffer.data() + 4, length);
  flatbuffers::Verifier verifier(buffer.data(), length);
  if (VerifyPlain(verifier)) return flatbuffers::GetRoot<Root>(buffer.data());
  return nullptr;
}

// The event records of the packet being handed out (16 bytes each: t i64,
// x i16, y i16, polarity, padding).
constexpr std::size_t kEventRecordBytes = 16;
static_assert(sizeof(aedat4::Event) == kEventRecordBytes);

struct Record {
  std::int64_t t;
  std::int32_t x;
  std::int32_t y;
  std::uint8_t p;
};

inline Record load_record(const std::uint8_t* in) {
  std::int64_t t;
  std::int16_t x;
  std::int16_t y;
  std::memcpy(&t, in, 8);
  std::memcpy(&x, in + 8, 2);
  std::memcpy(&y, in + 10, 2);
  return {t, x, y, static_cast<std::uint8_t>(in[12] != 0)};
}

struct EventRecords {
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
  const std::uint8_t* data() const { return bytes; }
  std::size_t size() const { return count; }
  bool empty() const { return count == 0; }
};

std::string skipped_kind(const Aedat4Stream* stream, std::int32_t id) {
  if (stream == nullptr) return "packets of undeclared stream " + std::to_string(id);
  if (stream->type == "FRME") return "frame packets";
  if (stream->type == "IMUS") return "IMU packets";
  if (stream->type == "TRIG") return "trigger packets";
  if (stream->type == "EVTS") return "event packets of stream " + std::to_string(id);
  return "packets of stream " + std::to_string(id) + " (" + stream->type.substr(0, 16) + ")";
}

class Aedat4Source final : public SpentAfterError {
 public:
  static Result<std::unique_ptr<EventSource>> open(std::unique_ptr<ByteInput> input,
                                                   std::size_t limit) {
    auto source = std::unique_ptr<Aedat4Source>(new Aedat4Source(std::move(input), limit));
    OVK_RETURN_IF_ERROR(source->read_header());
    return std::unique_ptr<EventSource>(std::move(source));
  }

  std::optional<SensorGeometry> declared_sensor() const override { return sensor_; }

  std::vector<SkippedRecords> skipped_records() const override {
    std::vector<SkippedRecords> result;
    for (const auto& [kind, count] : skipped_) result.push_back({kind, count});
    return result;
  }

 private:
  Aedat4Source(std::unique_ptr<ByteInput> input, std::size_t limit)
      : SpentAfterError("AEDAT 4"),
        input_(std::move(input)),
        limit_(limit),
        decompressor_(Compression::None, limit) {}

  Status read_header() {
    std::array<std::uint8_t, 18> head{};
    OVK_RETURN_IF_ERROR(read_exactly(*input_, head, "the version line"));
    if (!looks_like_aedat4(head)) return invalid("not an AEDAT 4.0 file (no #!AER-DAT4.0 line)");
    const std::uint32_t size = load_u32(head.data() + 14);
    if (size > limit_ || size < 8) {
      return invalid("AEDAT 4 header claims " + std::to_string(size) + " bytes");
    }
    OVK_RETURN_IF_ERROR(check_remaining(size, "header"));
    std::vector<std::uint8_t> header;
    OVK_RETURN_IF_ERROR(resize_buffer(header, std::size_t{size} + 4));
    std::memcpy(header.data(), head.data() + 14, 4);
    OVK_RETURN_IF_ERROR(read_exactly(*input_, std::span(header).subspan(4), "the header"));

    const auto* io = verified_root<aedat4::IoHeader, aedat4::VerifySizePrefixedIoHeaderBuffer,
                                   aedat4::VerifyIoHeaderBuffer>(header);
    if (io == nullptr) return invalid("AEDAT 4 header is not a valid IOHeader flatbuffer");
    const auto compression = io->compression();
    if (compression < Compression::None || compression > Compression::ZstdHigh) {
      return invalid("AEDAT 4 header names unknown compression " +
                     std::to_string(static_cast<int>(compression)));
    }
    decompressor_ = PacketDecompressor(compression, limit_);
    table_position_ = io->data_table_position();
    if (table_position_ < -1 ||
        (table_position_ >= 0 && static_cast<std::uint64_t>(table_position_) < input_->position())) {
      return invalid("AEDAT 4 header gives packet table position " +
                     std::to_string(table_position_));
    }
    const std::string_view xml =
        io->info_node() != nullptr ? io->info_node()->string_view() : std::string_view();
    OVK_ASSIGN_OR_RETURN(streams_, parse_aedat4_streams(xml));
    for (const Aedat4Stream& stream : streams_) {
      if (stream.type == "EVTS") {
        event_stream_ = stream.id;
        sensor_ = stream.sensor;
        break;
      }
    }
    return Ok{};
  }

  // Fails when the input is known to hold fewer than `count` more bytes.
  Status check_remaining(std::uint64_t count, const char* what) {
    const auto total = input_->total_size();
    if (!total) return Ok{};
    const std::uint64_t left = *total - std::min(*total, input_->position());
    if (count > left) {
      return invalid("AEDAT 4 " + std::string(what) + at_byte(input_->position()) + " claims " +
                     std::to_string(count) + " bytes, but only " + std::to_string(left) +
                     " remain");
    }
    return Ok{};
  }

  // Writes into the caller's block in place: it grows only when it is
  // shorter than the events found (a block of the previous call's size costs
  // nothing), and is cut to them at the end.
  Status fill_block(Event64Vec& block) override {
    std::size_t filled = 0;
    while (filled < kSourceBlockEvents) {
      if (next_ == events_.size()) {
        OVK_ASSIGN_OR_RETURN(const bool more, next_event_packet());
        if (!more) break;
        continue;
      }
      const std::size_t take = std::min(kSourceBlockEvents - filled, events_.size() - next_);
      if (block.size() < filled + take) {
        OVK_RETURN_IF_ERROR(catching_out_of_memory([&]() -> Status {
          block.resize(filled + take);
          return Ok{};
        }));
      }
      OVK_RETURN_IF_ERROR(
          convert(events_.data() + next_ * kEventRecordBytes, take, block.data() + filled));
      next_ += take;
      filled += take;
    }
    block.resize(filled);
    return Ok{};
  }

  // Event records are read through memcpy: a writer may place the vector at
  // an address only 4-aligned, which the verifier does not check for structs.
  Status convert(const std::uint8_t* in, std::size_t count, Event64* out) {
    const std::uint32_t width = sensor_ ? sensor_->width : 65536u;
    const std::uint32_t height = sensor_ ? sensor_->height : 65536u;
    // No early exit in the loop, so that it vectorises; a bad event is
    // looked for again only when there is one.
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i) {
      const Record r = load_record(in + i * kEventRecordBytes);
      ok &= (r.t >= 0) & (r.x >= 0) & (r.y >= 0) & (static_cast<std::uint32_t>(r.x) < width) &
            (static_cast<std::uint32_t>(r.y) < height);
      out[i] = Event64{static_cast<std::uint16_t>(r.x), static_cast<std::uint16_t>(r.y),
                       static_cast<std::uint64_t>(r.t), r.p};
    }
    if (ok) [[likely]] return Ok{};
    for (std::size_t i = 0; i < count; ++i) {
      const Record r = load_record(in + i * kEventRecordBytes);
      if (r.t < 0 || r.x < 0 || r.y < 0 || static_cast<std::uint32_t>(r.x) >= width ||
          static_cast<std::uint32_t>(r.y) >= height) {
        return invalid("AEDAT 4 event (x " + std::to_string(r.x) + ", y " + std::to_string(r.y) +
                       ", t " + std::to_string(r.t) + ") is outside the " +
                       (sensor_ ? std::to_string(width) + "x" + std::to_string(height) + " sensor"
                                : std::string("unsigned range")) +
                       " (packet" + at_byte(packet_position_) + ")");
      }
    }
    return Ok{};
  }

  // Reads packets up to the next one of the event stream; false at the end.
  Result<bool> next_event_packet() {
    events_ = {};
    next_ = 0;
    for (;;) {
      packet_position_ = input_->position();
      if (table_position_ >= 0 && packet_position_ >= static_cast<std::uint64_t>(table_position_)) {
        if (packet_position_ == static_cast<std::uint64_t>(table_position_)) return false;
        return invalid("AEDAT 4 packet ends" + at_byte(packet_position_) +
                       ", past the packet table at byte " + std::to_string(table_position_));
      }
      std::array<std::uint8_t, 8> header{};
      OVK_ASSIGN_OR_RETURN(const std::size_t n, input_->read(header));
      if (n == 0) {
        if (table_position_ < 0) return false;
        return invalid("AEDAT 4 file ends" + at_byte(packet_position_) +
                       " before its packet table at byte " + std::to_string(table_position_));
      }
      if (n != header.size()) {
        return invalid("AEDAT 4 file ends inside a packet header" + at_byte(packet_position_));
      }
      const auto stream = static_cast<std::int32_t>(load_u32(header.data()));
      const auto size = static_cast<std::int32_t>(load_u32(header.data() + 4));
      if (size < 0) {
        return invalid("AEDAT 4 packet" + at_byte(packet_position_) + " has negative size " +
                       std::to_string(size));
      }
      OVK_RETURN_IF_ERROR(check_remaining(static_cast<std::uint64_t>(size), "packet"));
      if (stream != event_stream_ || event_stream_ < 0) {
        OVK_RETURN_IF_ERROR(skip_packet(stream, static_cast<std::uint64_t>(size)));
        continue;
      }
      OVK_RETURN_IF_ERROR(read_event_packet(static_cast<std::size_t>(size)));
      if (!events_.empty()) return true;
    }
  }

  Status skip_packet(std::int32_t stream, std::uint64_t size) {
    OVK_ASSIGN_OR_RETURN(const std::uint64_t skipped, input_->skip(size));
    if (skipped != size) {
      return invalid("AEDAT 4 packet" + at_byte(packet_position_) + " claims " +
                     std::to_string(size) + " bytes, but the file ends after " +
                     std::to_string(skipped));
    }
    const auto found = std::find_if(streams_.begin(), streams_.end(),
                                    [&](const Aedat4Stream& s) { return s.id == stream; });
    ++skipped_[skipped_kind(found == streams_.end() ? nullptr : &*found, stream)];
    return Ok{};
  }

  Status read_event_packet(std::size_t size) {
    if (size > limit_) {
      return invalid("AEDAT 4 packet" + at_byte(packet_position_) + " claims " +
                     std::to_string(size) + " bytes, more than the " + std::to_string(limit_) +
                     " accepted");
    }
    OVK_RETURN_IF_ERROR(resize_buffer(body_, size));
    OVK_RETURN_IF_ERROR(read_exactly(*input_, body_, "a packet"));
    OVK_ASSIGN_OR_RETURN(const std::span<std::uint8_t> packet,
                         decompressor_.decompress(body_, packet_position_));
    if (!size_prefix_fits(packet)) {
      return invalid("AEDAT 4 event packet" + at_byte(packet_position_) +
                     " has a size prefix larger than its " + std::to_string(packet.size()) +
                     " bytes");
    }
    const auto* root =
        verified_root<aedat4::EventPacket, aedat4::VerifySizePrefixedEventPacketBuffer,
                      aedat4::VerifyEventPacketBuffer>(packet);
    if (root == nullptr) {
      return invalid("AEDAT 4 packet" + at_byte(packet_position_) +
                     " of the event stream is not a valid event packet flatbuffer");
    }
    const auto* elements = root->elements();
    if (elements != nullptr) {
      // A vector of structs is the structs themselves, verified in bounds.
      events_ = EventRecords{elements->Data(), elements->size()};
    }
    return Ok{};
  }

  std::unique_ptr<ByteInput> input_;
  std::size_t limit_;
  PacketDecompressor decompressor_;
  std::int64_t table_position_ = -1;
  std::vector<Aedat4Stream> streams_;
  std::int32_t event_stream_ = -1;
  std::optional<SensorGeometry> sensor_;
  std::map<std::string, std::uint64_t> skipped_;
  std::vector<std::uint8_t> body_;
  EventRecords events_;
  std::size_t next_ = 0;
  std::uint64_t packet_position_ = 0;
};

}  // namespace

bool looks_like_aedat4(std::span<const std::uint8_t> head) {
  return head.size() >= kAedat4VersionLine.size() &&
         std::memcmp(head.data(), kAedat4VersionLine.data(), kAedat4VersionLine.size()) == 0;
}

Result<std::unique_ptr<EventSource>> open_aedat4(std::string_view path) {
  OVK_ASSIGN_OR_RETURN(std::unique_ptr<ByteInput> input, open_byte_input(path));
  return open_aedat4_input(std::move(input));
}

Result<std::unique_ptr<EventSource>> open_aedat4_input(std::unique_ptr<ByteInput> input,
                                                       std::size_t max_packet_bytes) {
  return Aedat4Source::open(std::move(input), max_packet_bytes);
}

}  // namespace ovk::io
