#include "codefile/code_file.h"

#include <xxhash.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "codec/context_coder.h"
#include "codec/rans.h"
#include "codec/tree_bits.h"
#include "codec/voxel_grid.h"

namespace ovk::codefile {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kMinFileBytes = kHeaderBytes + kChecksumBytes;
// Bits a rANS stream can carry per byte, rounded up from 8 / log2(4096/4095).
constexpr std::uint64_t kRansBitsPerByte = 23'000;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kU64Max - b ? kU64Max : a + b;
}
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (b != 0 && a > kU64Max / b) ? kU64Max : a * b;
}

Error invalid(std::string message) { return Error::invalid_data(std::move(message)); }

std::string hex64(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016" PRIx64, v);
  return text;
}

// Writes little-endian fields into a buffer allocated at its final size and
// zeroed, so reserved fields need no writing.
class ByteWriter {
 public:
  explicit ByteWriter(std::size_t size) : out_(size, 0) {}
  // The field of the record that starts at `record`.
  void put(std::size_t record, Field field, std::uint64_t value) {
    for (std::size_t i = 0; i < field.size; ++i)
      out_[record + field.offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  // Bytes appended after what was written so far (from `at` on).
  void put_bytes(std::size_t at, std::span<const std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), out_.begin() + static_cast<std::ptrdiff_t>(at));
  }
  std::span<const std::uint8_t> first(std::size_t n) const { return std::span(out_).first(n); }
  std::vector<std::uint8_t> take() { return std::move(out_); }

 private:
  std::vector<std::uint8_t> out_;
};

// Little-endian fields at fixed offsets; the caller has checked the bounds.
std::uint64_t get(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes[offset + i]} << (8 * i);
  return value;
}
std::uint64_t get(std::span<const std::uint8_t> bytes, std::size_t record, Field field) {
  return get(bytes, record + field.offset, field.size);
}
std::uint64_t frame_count_of(std::span<const std::uint8_t> bytes) {
  return get(bytes, 0, header_field::kFrameCount);
}
std::size_t entry_start(std::uint64_t k) {
  return kHeaderBytes + static_cast<std::size_t>(k) * kFrameEntryBytes;
}

// `size` plus the code lengths of the table's `frames` entries (saturating);
// the caller has checked that the table is there.
std::uint64_t plus_code_lengths(std::span<const std::uint8_t> bytes, std::uint64_t frames,
                                std::uint64_t size) {
  for (std::uint64_t k = 0; k < frames; ++k) {
    size = saturating_add(size, get(bytes, entry_start(k), entry_field::kCodeLength));
  }
  return size;
}

// The file size the header and frame table declare, used only to word a
// checksum failure. When the table itself runs past the end, only its end
// is known: `exact` is false and `size` a lower bound.
struct DeclaredSize {
  std::uint64_t size;
  bool exact;
};
DeclaredSize declared_size(std::span<const std::uint8_t> bytes) {
  const std::uint64_t frames = frame_count_of(bytes);
  const std::uint64_t size =
      saturating_add(saturating_mul(frames, kFrameEntryBytes), kHeaderBytes + kChecksumBytes);
  if (frames > (bytes.size() - kHeaderBytes) / kFrameEntryBytes) return {size, false};
  return {plus_code_lengths(bytes, frames, size), true};
}

// The caller has checked that the version field is there.
Status check_version(std::span<const std::uint8_t> bytes) {
  const std::uint64_t version = get(bytes, 0, header_field::kVersion);
  if (version != kFormatVersion && version != kContextFormatVersion) {
    return invalid("unsupported format version " + std::to_string(version) +
                   " (this reader knows versions " + std::to_string(kFormatVersion) + " and " +
                   std::to_string(kContextFormatVersion) + ")");
  }
  return Ok{};
}

// The first bytes, as many as there are up to the magic's length, are the
// magic's.
Status check_magic(std::span<const std::uint8_t> bytes) {
  const std::size_t magic_bytes = std::min<std::size_t>(bytes.size(), sizeof kMagic);
  if (!std::equal(bytes.begin(), bytes.begin() + magic_bytes, kMagic)) {
    return invalid("not an ovk code file (bad magic)");
  }
  return Ok{};
}

Status check_signature(std::span<const std::uint8_t> bytes) {
  OVK_RETURN_IF_ERROR(check_magic(bytes));
  if (bytes.size() < kMinFileBytes) {
    return invalid("truncated file: " + std::to_string(bytes.size()) + " bytes, shorter than the " +
                   std::to_string(kMinFileBytes) + "-byte header and checksum");
  }
  return check_version(bytes);
}

Status check_checksum(std::span<const std::uint8_t> bytes) {
  const std::size_t body = bytes.size() - kChecksumBytes;
  const std::uint64_t stored = get(bytes, body, kChecksumBytes);
  const std::uint64_t computed = file_checksum(bytes.first(body));
  if (stored == computed) return Ok{};
  const DeclaredSize declared = declared_size(bytes);
  if (declared.size != bytes.size()) {
    return invalid("checksum mismatch: the header declares " +
                   std::string(declared.exact ? "" : "at least ") + std::to_string(declared.size) +
                   " bytes but the file holds " + std::to_string(bytes.size()) +
                   " (truncated or damaged)");
  }
  return invalid("checksum mismatch: stored " + hex64(stored) + ", computed " + hex64(computed) +
                 " (the file is damaged)");
}

// A reserved field of the record that starts at `record`.
Status check_zero(std::span<const std::uint8_t> bytes, std::size_t record, Field field) {
  for (std::size_t i = record + field.offset; i < record + field.offset + field.size; ++i) {
    if (bytes[i] != 0)
      return invalid("reserved byte at offset " + std::to_string(i) + " is not zero");
  }
  return Ok{};
}

Status check_time_range(const std::string& what, std::uint64_t events, std::uint32_t tmin,
                        std::uint32_t tmax) {
  if (events == 0 && (tmin != 0 || tmax != 0)) {
    return invalid(what + " has no events but a time range " + std::to_string(tmin) + ".." +
                   std::to_string(tmax));
  }
  if (tmin > tmax) {
    return invalid(what + " has a time range that ends before it starts (" + std::to_string(tmin) +
                   ".." + std::to_string(tmax) + ")");
  }
  return Ok{};
}

std::string frame_name(std::uint64_t k) { return "frame " + std::to_string(k); }

// A code that starts with a fixed part (`what` of at least `min_bytes`
// bytes, `start` naming that part) and can carry at most `max_bits(length)`
// tree bits.
struct CodeStart {
  const char* what;
  const char* start;
  std::uint64_t min_bytes;
};
Status check_coded_length(const std::string& name, std::uint64_t bits, std::uint64_t length,
                          const CodeStart& code, std::uint64_t (*max_bits)(std::uint64_t)) {
  if (length < code.min_bytes) {
    return invalid(name + ": " + code.what + " of " + std::to_string(length) +
                   " bytes is shorter than its " + std::to_string(code.min_bytes) + "-byte " +
                   code.start);
  }
  if (bits > max_bits(length)) {
    return invalid(name + ": bit count " + std::to_string(bits) + " exceeds what its " +
                   std::to_string(length) + "-byte " + code.what + " can carry");
  }
  return Ok{};
}

// The bit count against the geometry and against what the code can carry.
Status check_bit_count(std::uint64_t k, const FrameEntry& frame, std::uint64_t tree_limit) {
  const std::string name = frame_name(k);
  const std::uint64_t bits = frame.bit_count;
  const std::uint64_t length = frame.code.size();
  if (bits == 0) return invalid(name + ": bit count 0 (every tree has at least its root bit)");
  if (bits > tree_limit) {
    return invalid(name + ": bit count " + std::to_string(bits) + " exceeds the " +
                   std::to_string(tree_limit) + " bits a tree of this geometry can have");
  }
  if (frame.coding == FrameCoding::kRans) {
    return check_coded_length(name, bits, length, {"rANS code", "header", kRansHeaderBytes},
                              max_rans_bits);
  }
  if (frame.coding == FrameCoding::kContext) {
    return check_coded_length(name, bits, length,
                              {"context code", "start", kContextCodeMinBytes},
                              max_context_bits);
  }
  if (length % 2 != 0) {
    return invalid(name + ": run-length code of odd length " + std::to_string(length));
  }
  if (bits > saturating_mul(length / 2, 255 * 8)) {
    return invalid(name + ": bit count " + std::to_string(bits) + " exceeds what its " +
                   std::to_string(length) + "-byte run-length code can expand to");
  }
  return Ok{};
}

Result<FrameEntry> parse_frame_entry(std::span<const std::uint8_t> bytes, std::uint64_t k,
                                     std::size_t code_offset) {
  const std::size_t at = entry_start(k);
  FrameEntry frame;
  const std::uint64_t coding = get(bytes, at, entry_field::kCoding);
  const FrameCoding last = get(bytes, 0, header_field::kVersion) == kContextFormatVersion
                               ? FrameCoding::kContext
                               : FrameCoding::kXorRunLength;
  if (coding > static_cast<std::uint8_t>(last)) {
    return invalid(frame_name(k) + ": unknown coding " + std::to_string(coding));
  }
  frame.coding = static_cast<FrameCoding>(coding);
  OVK_RETURN_IF_ERROR(check_zero(bytes, at, entry_field::kReserved));
  frame.event_count = get(bytes, at, entry_field::kEventCount);
  frame.tmin = static_cast<std::uint32_t>(get(bytes, at, entry_field::kTmin));
  frame.tmax = static_cast<std::uint32_t>(get(bytes, at, entry_field::kTmax));
  frame.bit_count = get(bytes, at, entry_field::kBitCount);
  const std::uint64_t length = get(bytes, at, entry_field::kCodeLength);
  const std::size_t body_end = bytes.size() - kChecksumBytes;
  if (length > body_end - code_offset) {
    return invalid(frame_name(k) + ": code of " + std::to_string(length) +
                   " bytes runs past the end of the file");
  }
  frame.code.assign(bytes.begin() + static_cast<std::ptrdiff_t>(code_offset),
                    bytes.begin() + static_cast<std::ptrdiff_t>(code_offset + length));
  return frame;
}

Status check_frame_ranges(const CodeFile& file) {
  std::uint64_t events = 0;
  for (std::size_t k = 0; k < file.frames.size(); ++k) {
    const FrameEntry& f = file.frames[k];
    OVK_RETURN_IF_ERROR(check_time_range(frame_name(k), f.event_count, f.tmin, f.tmax));
    if (f.event_count > 0 && (f.tmin < file.tmin || f.tmax > file.tmax)) {
      return invalid(frame_name(k) + ": time range " + std::to_string(f.tmin) + ".." +
                     std::to_string(f.tmax) + " lies outside the recording's " +
                     std::to_string(file.tmin) + ".." + std::to_string(file.tmax));
    }
    if (f.event_count > kU64Max - events) {
      return invalid("the frames' event counts add up to more than 64 bits hold");
    }
    events += f.event_count;
  }
  if (events != file.event_count) {
    return invalid("the frames hold " + std::to_string(events) + " events but the header says " +
                   std::to_string(file.event_count));
  }
  return Ok{};
}

}  // namespace

Result<std::uint64_t> declared_size_so_far(std::span<const std::uint8_t> head) {
  OVK_RETURN_IF_ERROR(check_magic(head));
  if (head.size() < kHeaderBytes) return kHeaderBytes;
  OVK_RETURN_IF_ERROR(check_version(head));
  const std::uint64_t frames = frame_count_of(head);
  const std::uint64_t table_end =
      saturating_add(saturating_mul(frames, kFrameEntryBytes), kHeaderBytes);
  if (head.size() < table_end) return table_end;
  return plus_code_lengths(head, frames, saturating_add(table_end, kChecksumBytes));
}

std::uint64_t file_checksum(std::span<const std::uint8_t> bytes) {
  return XXH64(bytes.data(), bytes.size(), 0);
}

std::uint64_t max_tree_bits(const Geometry& geometry) {
  return TreeLevels(GridGeometry(geometry.width, geometry.height, geometry.time_bins),
                    geometry.depth)
      .full_tree_nodes();
}

std::uint16_t format_version(const CodeFile& file) {
  for (const FrameEntry& f : file.frames) {
    if (f.coding == FrameCoding::kContext) return kContextFormatVersion;
  }
  return kFormatVersion;
}

std::uint64_t max_rans_bits(std::uint64_t length) {
  if (length < kRansHeaderBytes) return 0;
  return saturating_mul(length - kRansHeaderBytes + 1, kRansBitsPerByte);
}

std::vector<std::uint8_t> serialize_code_file(const CodeFile& file) {
  std::size_t size = kHeaderBytes + file.frames.size() * kFrameEntryBytes + kChecksumBytes;
  for (const FrameEntry& f : file.frames) size += f.code.size();
  ByteWriter out(size);
  namespace h = header_field;
  out.put_bytes(h::kMagic.offset, kMagic);
  out.put(0, h::kVersion, format_version(file));
  out.put(0, h::kWidth, file.geometry.width);
  out.put(0, h::kHeight, file.geometry.height);
  out.put(0, h::kTimeBins, file.geometry.time_bins);
  out.put(0, h::kDepth, file.geometry.depth);
  out.put(0, h::kEventCount, file.event_count);
  out.put(0, h::kTmin, file.tmin);
  out.put(0, h::kTmax, file.tmax);
  out.put(0, h::kFrameCount, file.frames.size());
  std::size_t code_at = entry_start(file.frames.size());
  for (std::size_t k = 0; k < file.frames.size(); ++k) {
    const FrameEntry& f = file.frames[k];
    const std::size_t at = entry_start(k);
    out.put(at, entry_field::kCoding, static_cast<std::uint8_t>(f.coding));
    out.put(at, entry_field::kEventCount, f.event_count);
    out.put(at, entry_field::kTmin, f.tmin);
    out.put(at, entry_field::kTmax, f.tmax);
    out.put(at, entry_field::kBitCount, f.bit_count);
    out.put(at, entry_field::kCodeLength, f.code.size());
    out.put_bytes(code_at, f.code);
    code_at += f.code.size();
  }
  out.put(code_at, Field{0, kChecksumBytes}, file_checksum(out.first(code_at)));
  return out.take();
}

Result<CodeFile> parse_code_file(std::span<const std::uint8_t> bytes) {
  return catching_out_of_memory([&]() -> Result<CodeFile> {
    OVK_RETURN_IF_ERROR(check_signature(bytes));
    OVK_RETURN_IF_ERROR(check_checksum(bytes));
    namespace h = header_field;
    OVK_RETURN_IF_ERROR(check_zero(bytes, 0, h::kReservedA));
    OVK_RETURN_IF_ERROR(check_zero(bytes, 0, h::kReservedB));
    CodeFile file;
    file.geometry.width = static_cast<std::uint16_t>(get(bytes, 0, h::kWidth));
    file.geometry.height = static_cast<std::uint16_t>(get(bytes, 0, h::kHeight));
    file.geometry.time_bins = static_cast<std::uint16_t>(get(bytes, 0, h::kTimeBins));
    file.geometry.depth = static_cast<std::uint8_t>(get(bytes, 0, h::kDepth));
    file.event_count = get(bytes, 0, h::kEventCount);
    file.tmin = static_cast<std::uint32_t>(get(bytes, 0, h::kTmin));
    file.tmax = static_cast<std::uint32_t>(get(bytes, 0, h::kTmax));
    OVK_RETURN_IF_ERROR(check_time_range("the recording", file.event_count, file.tmin, file.tmax));

    const std::uint64_t frame_count = frame_count_of(bytes);
    const std::size_t body_end = bytes.size() - kChecksumBytes;
    if (frame_count > (body_end - kHeaderBytes) / kFrameEntryBytes) {
      return invalid("frame table of " + std::to_string(frame_count) +
                     " frames runs past the end of the file");
    }
    const std::uint64_t tree_limit = max_tree_bits(file.geometry);
    file.frames.reserve(static_cast<std::size_t>(frame_count));
    std::size_t code_offset = entry_start(frame_count);
    for (std::uint64_t k = 0; k < frame_count; ++k) {
      OVK_ASSIGN_OR_RETURN(FrameEntry frame, parse_frame_entry(bytes, k, code_offset));
      OVK_RETURN_IF_ERROR(check_bit_count(k, frame, tree_limit));
      code_offset += frame.code.size();
      file.frames.push_back(std::move(frame));
    }
    if (code_offset != body_end) {
      return invalid("extra bytes between the last code and the checksum (" +
                     std::to_string(body_end - code_offset) + ")");
    }
    OVK_RETURN_IF_ERROR(check_frame_ranges(file));
    return file;
  });
}

}  // namespace ovk::codefile
