// The .ovkc code file: the coded tree bits of one recording together with
// everything needed to decode them (sensor geometry, time bins, depth, time
// range, and per frame its coding, bit count and code length), closed by an
// xxHash64 checksum. docs/format.md describes the layout byte by byte.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/result.h"

namespace ovk::codefile {

inline constexpr std::uint8_t kMagic[4] = {'O', 'V', 'K', 'C'};
inline constexpr std::uint16_t kFormatVersion = 1;
// Files with a context-coded frame carry version 2 (a version 1 reader
// rejects them by their version); files without one are still written as
// version 1, byte for byte as before. A reader takes both.
inline constexpr std::uint16_t kContextFormatVersion = 2;
inline constexpr std::size_t kHeaderBytes = 40;
inline constexpr std::size_t kFrameEntryBytes = 40;
inline constexpr std::size_t kChecksumBytes = 8;

// A little-endian field of the header or of a frame entry: its offset from
// the start of its record, and its size in bytes. The writer and the parser
// both go by these.
struct Field {
  std::size_t offset;
  std::size_t size;
};
namespace header_field {
inline constexpr Field kMagic{0, 4};
inline constexpr Field kVersion{4, 2};
inline constexpr Field kReservedA{6, 2};  // zero
inline constexpr Field kWidth{8, 2};
inline constexpr Field kHeight{10, 2};
inline constexpr Field kTimeBins{12, 2};
inline constexpr Field kDepth{14, 1};
inline constexpr Field kReservedB{15, 1};  // zero
inline constexpr Field kEventCount{16, 8};
inline constexpr Field kTmin{24, 4};
inline constexpr Field kTmax{28, 4};
inline constexpr Field kFrameCount{32, 8};
}  // namespace header_field
namespace entry_field {
inline constexpr Field kCoding{0, 1};
inline constexpr Field kReserved{1, 7};  // zero
inline constexpr Field kEventCount{8, 8};
inline constexpr Field kTmin{16, 4};
inline constexpr Field kTmax{20, 4};
inline constexpr Field kBitCount{24, 8};
inline constexpr Field kCodeLength{32, 8};
}  // namespace entry_field

// How one frame's tree bits are stored.
enum class FrameCoding : std::uint8_t {
  kRans = 0,          // the rANS stream of the bits
  kXorRunLength = 1,  // run-length code of the xor with the previous frame's bits
  kContext = 2,       // context-modelled range code of the bits (version 2 files)
};

struct Geometry {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t time_bins = 0;
  std::uint8_t depth = 0;

  friend bool operator==(const Geometry&, const Geometry&) = default;
};

struct FrameEntry {
  FrameCoding coding = FrameCoding::kRans;
  std::uint64_t event_count = 0;
  std::uint32_t tmin = 0;  // the frame's own time range (0, 0 for a frame without events)
  std::uint32_t tmax = 0;
  std::uint64_t bit_count = 0;  // tree bits of the frame
  std::vector<std::uint8_t> code;

  friend bool operator==(const FrameEntry&, const FrameEntry&) = default;
};

struct CodeFile {
  Geometry geometry;
  std::uint64_t event_count = 0;
  std::uint32_t tmin = 0;  // the recording's time range (0, 0 without events)
  std::uint32_t tmax = 0;
  std::vector<FrameEntry> frames;

  friend bool operator==(const CodeFile&, const CodeFile&) = default;
};

// The file bytes, checksum included.
std::vector<std::uint8_t> serialize_code_file(const CodeFile& file);

// Parses and validates the container: magic, version, checksum, lengths,
// reserved fields, time ranges, event counts and each frame's bit count
// against what its geometry and its code can hold. Every failure is a
// kInvalidData error with a one-line message; nothing is allocated beyond
// what the bytes themselves justify. The codes are not decoded here.
Result<CodeFile> parse_code_file(std::span<const std::uint8_t> bytes);

// For reading a file from a stream without trusting its length: the size
// of the file as far as its first bytes `head` tell. Fewer than the header:
// the header's size; the header: header and frame table; the header and
// the table: the whole file, codes and checksum included (saturating). A
// reader reads up to that size, asks again, and stops when the answer no
// longer grows. Fails "not an ovk code file (bad magic)" as soon as the
// first bytes are not the magic.
Result<std::uint64_t> declared_size_so_far(std::span<const std::uint8_t> head);

// xxHash64 (seed 0) of `bytes`: the file's checksum function.
std::uint64_t file_checksum(std::span<const std::uint8_t> bytes);

// Upper bound on the tree bits (= nodes) of a tree over the padded sizes of
// the geometry with its depth limit (a full tree: TreeLevels::full_tree_nodes).
std::uint64_t max_tree_bits(const Geometry& geometry);

// The format version a file with these frames is written as.
std::uint16_t format_version(const CodeFile& file);

// Upper bound on the bits a rANS stream of `length` bytes can code: every
// coded bit grows the coder state by a factor of at least about 4096/4095,
// and the state gains at most 8 bits per renormalisation byte plus 8 in the
// header.
std::uint64_t max_rans_bits(std::uint64_t length);

}  // namespace ovk::codefile
