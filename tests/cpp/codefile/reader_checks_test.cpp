// Malformed code files that hold together structurally but that no encoder
// writes: each is refused with its own one-line message. The forgeries are
// built as CodeFile values and serialised, so their checksums are valid.
#include <gtest/gtest.h>

#include <limits>
#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "codec_test_support.h"
#include "codec/rans.h"
#include "codefile/code_file.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"
#include "cell_table_shortcuts.h"

namespace ovk::codefile {
namespace {

// (1, 0, 0) and (3, 0, 100) on a 4 x 1 sensor.
const EventVec kTwoEvents = {{1, 0, 0, 0}, {3, 0, 100, 0}};

// The message parsing and decoding `file`'s bytes ends with; "" when accepted.
std::string rejection(const CodeFile& file) {
  const Result<CodeFile> parsed = parse_code_file(serialize_code_file(file));
  if (!parsed.ok()) return parsed.error().message();
  const Result<std::vector<LeafBoxes>> frames = decode_frames(parsed.value());
  return frames.ok() ? "" : frames.error().message();
}

// A one-frame file whose tree is the packed `bits` (MSB first).
CodeFile file_with_tree(const Geometry& g, const std::vector<std::uint8_t>& bits,
                        std::uint64_t bit_count) {
  CodeFile file;
  file.geometry = g;
  file.event_count = 1;
  file.frames.push_back(
      FrameEntry{FrameCoding::kRans, 1, 0, 0, bit_count, rans_encode_bits(bits, bit_count)});
  return file;
}

TEST(ReaderChecks, TheUnforgedFilesAreAccepted) {
  EXPECT_EQ(rejection(encode_events(kTwoEvents, {4, 1, 2, 2}, 1).value()), "");
  EXPECT_EQ(rejection(encode_events(kTwoEvents, {4, 1, 4, 2}, 2).value()), "");
  // The tree of the two events, by hand: root, x halves (bins halve too),
  // then x again: 1 | 1 0 0 1 | 0 1 0 1.
  EXPECT_EQ(rejection(file_with_tree({4, 1, 2, 2}, {0xCA, 0x80}, 9)), "");
}

TEST(ReaderChecks, FrameEventCountsThatOverflowAreRefused) {
  CodeFile file = encode_events(kTwoEvents, {4, 1, 4, 2}, 2).value();
  ASSERT_EQ(file.frames.size(), 2u);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  file.frames[0].event_count = kMax;
  file.frames[1].event_count = 2;
  for (const std::uint64_t header : {kMax, std::uint64_t{1}}) {  // saturated, wrapped
    file.event_count = header;
    EXPECT_EQ(rejection(file), "the frames' event counts add up to more than 64 bits hold");
  }
}

TEST(ReaderChecks, AnOccupiedNodeWithoutOccupiedChildrenIsRefused) {
  // Root, then one occupied quarter whose two children are empty.
  EXPECT_EQ(rejection(file_with_tree({4, 1, 2, 2}, {0xC0}, 7)),
            "frame 0: occupied node at depth 1, origin (0, 0, 0), has no occupied child");
  // An occupied root over no occupied child.
  EXPECT_EQ(rejection(file_with_tree({4, 1, 2, 2}, {0x80}, 5)),
            "frame 0: occupied node at depth 0, origin (0, 0, 0), has no occupied child");
}

TEST(ReaderChecks, BytesAfterTheRansStreamAreRefused) {
  CodeFile file = encode_events(kTwoEvents, {4, 1, 2, 2}, 1).value();
  for (const std::uint8_t extra : {0x00, 0x5A}) {
    CodeFile longer = file;
    longer.frames[0].code.push_back(extra);
    EXPECT_EQ(rejection(longer), "frame 0: 1 bytes left over after the rANS stream");
  }
  // A stream cut short ends in another state than the encoder started from.
  std::mt19937_64 rng(3);
  const EventVec many = testing_support::random_events(rng, 300, 64, 64, 5000);
  CodeFile big = encode_events(many, {64, 64, 16, 10}, 1).value();
  ASSERT_GT(big.frames[0].code.size(), 40u);
  big.frames[0].code.pop_back();
  const std::string message = rejection(big);
  EXPECT_FALSE(message.empty());
}

TEST(ReaderChecks, AnOccupiedTimeBinInThePaddingIsRefused) {
  // Coded over 4 bins, the second event lands in bin 3; stored as 3 bins
  // (padded to the same 4) that bin is padding.
  CodeFile file = encode_events(kTwoEvents, {4, 1, 4, 2}, 1).value();
  EXPECT_EQ(rejection(file), "");
  file.geometry.time_bins = 3;
  EXPECT_EQ(rejection(file),
            "frame 0: occupied leaf box at time bin 3 lies in the padding beyond the 3 time bins");
}

TEST(ReaderChecks, CheckComparesTheStoredEventCounts) {
  CodeFile file = encode_events(kTwoEvents, {4, 1, 2, 2}, 1).value();
  file.frames[0].event_count = 1'000'001;
  file.event_count = 1'000'001;
  ASSERT_EQ(rejection(file), "");  // a count alone is not malformed
  EXPECT_EQ(compare_frame_by_frame(file, kTwoEvents).value().difference,
            "frame 0: the file counts 1000001 events, the recording has 2");
  const Comparison same =
      compare_frame_by_frame(encode_events(kTwoEvents, {4, 1, 2, 2}, 1).value(), kTwoEvents)
          .value();
  EXPECT_EQ(same.difference, "");
  EXPECT_EQ(same.boxes, 2u);
}

// A one-frame file whose code is 32 to 39 bytes, forged to claim two frames:
// the second entry would end inside the checksum. The bound must be the end
// of the codes, not of the file, or a later code is read past the buffer.
TEST(ReaderChecks, AFrameTableEndingInsideTheChecksumRunsPastTheEnd) {
  std::mt19937_64 rng(5);
  int forged = 0;
  for (int round = 0; round < 400 && forged < 8; ++round) {
    const EventVec events = testing_support::random_events(rng, 2 + rng() % 40, 32, 32, 1000);
    const CodeFile file = encode_events(events, {32, 32, 8, 8}, 1).value();
    const std::size_t code = file.frames[0].code.size();
    if (code < 32 || code > 39) continue;
    ++forged;
    std::vector<std::uint8_t> bytes = serialize_code_file(file);
    bytes[32] = 2;  // the frame count
    const std::size_t body = bytes.size() - kChecksumBytes;
    const std::uint64_t sum = file_checksum(std::span(bytes).first(body));
    for (int i = 0; i < 8; ++i) bytes[body + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    // Exactly sized, so the sanitizers see any read past the end.
    const std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    const Result<CodeFile> parsed = parse_code_file(exact);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().message(), "frame table of 2 frames runs past the end of the file");
  }
  EXPECT_GE(forged, 4);
}

// A nearly full 16 x 16 x 16 grid (every cell but a few): the tree is almost
// all ones, its rANS code strongly skewed, and it comes back cell for cell.
TEST(ReaderChecks, ANearlyFullGridRoundTripsThroughTheFile) {
  std::mt19937_64 rng(9);
  for (const int missing : {0, 1, 5}) {
    std::set<std::tuple<int, int, int>> holes;
    while (static_cast<int>(holes.size()) < missing) {
      holes.insert({1 + static_cast<int>(rng() % 15), static_cast<int>(rng() % 16),
                    static_cast<int>(rng() % 16)});
    }
    // Bin b of 16 over 0..1500 us holds [100 b, 100 b + 100); bin 15 only t = 1500.
    EventVec events;
    std::set<std::tuple<int, int, int>> cells;
    for (int x = 0; x < 16; ++x) {
      for (int y = 0; y < 16; ++y) {
        for (int b = 0; b < 16; ++b) {
          if (holes.count({x, y, b}) != 0) continue;
          const std::uint32_t t = b == 15 ? 1500 : (x == 0 && y == 0 && b == 0 ? 0 : 100 * b + 50);
          events.push_back({static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), t, 1});
          cells.insert({x, y, b});
        }
      }
    }
    std::shuffle(events.begin(), events.end(), rng);
    const CodeFile coded = encode_events(events, {16, 16, 16, 4}, 1).value();
    const CodeFile file = parse_code_file(serialize_code_file(coded)).value();
    const std::vector<LeafBoxes> frames = decode_frames(file).value();
    std::set<std::tuple<int, int, int>> got;
    for (const BoxOrigin& o : frames[0].origins) got.insert({o.x0, o.y0, o.t0});
    EXPECT_EQ(got, cells) << missing << " cells missing";
    EXPECT_EQ(compare_frame_by_frame(file, events).value().difference, "");
  }
}

// A stream reader asks how much of the file to read: never more than the
// file for any prefix of it, the whole file once the table is in, and a
// refusal as soon as the first bytes are not the magic.
TEST(ReaderChecks, DeclaredSizeSoFarGrowsToTheFileSize) {
  const std::vector<std::uint8_t> good =
      serialize_code_file(encode_events(kTwoEvents, {4, 1, 4, 2}, 2).value());
  for (std::size_t n = 0; n <= good.size(); ++n) {
    const std::uint64_t declared =
        declared_size_so_far(std::span(good).first(n)).value();
    EXPECT_LE(declared, good.size()) << n;
    EXPECT_GT(declared, std::min<std::uint64_t>(n, good.size() - 1)) << n;
    if (n >= 40 + 2 * 40) {
      EXPECT_EQ(declared, good.size()) << n;
    }
  }
  for (const std::vector<std::uint8_t>& bad : {std::vector<std::uint8_t>{'O', 'X'},
                                              std::vector<std::uint8_t>(40, 0)}) {
    EXPECT_EQ(declared_size_so_far(bad).error().message(), "not an ovk code file (bad magic)");
  }
  std::vector<std::uint8_t> version = good;
  version[4] = 3;
  EXPECT_EQ(declared_size_so_far(version).error().message(),
            "unsupported format version 3 (this reader knows versions 1 and 2)");
}

// ---- second tests of rules a single test guarded before ----

std::string parse_message(const std::vector<std::uint8_t>& bytes) {
  const Result<CodeFile> file = parse_code_file(bytes);
  return file.ok() ? "" : file.error().message();
}

std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> bytes) {
  const std::size_t body = bytes.size() - kChecksumBytes;
  const std::uint64_t sum = file_checksum(std::span(bytes).first(body));
  for (int i = 0; i < 8; ++i) bytes[body + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  return bytes;
}

// Every bit after a frame's bit count in its last byte must stay clear, at
// each of the seven places a count can end inside a byte.
TEST(ReaderChecks, TheDeltaMaskCoversEveryBitPastTheCount) {
  for (std::uint64_t bit_count = 9; bit_count <= 15; ++bit_count) {
    // A delta against no previous frame is the frame's own bits.
    for (std::uint64_t bit = bit_count; bit < 16; ++bit) {
      CodeFile file;
      file.geometry = {64, 64, 64, 6};
      std::vector<std::uint8_t> bits(2, 0);
      bits[bit / 8] = static_cast<std::uint8_t>(0x80u >> (bit % 8));
      file.frames.push_back({FrameCoding::kXorRunLength, 0, 0, 0, bit_count,
                             {1, bits[0], 1, bits[1]}});
      EXPECT_EQ(decode_frames(file).error().message(),
                "frame 0: delta sets bits past the frame's bit count")
          << bit_count << " bits, bit " << bit;
    }
  }
}

// The checksum failure of a file whose size disagrees with its header names
// both sizes, however the two came apart.
TEST(ReaderChecks, TheChecksumMessageNamesTheDeclaredAndActualSizes) {
  const std::vector<std::uint8_t> good =
      serialize_code_file(encode_events(kTwoEvents, {4, 1, 4, 2}, 2).value());
  const std::string declared = std::to_string(good.size());
  for (const std::size_t extra : {1u, 7u, 100u}) {
    std::vector<std::uint8_t> longer = good;
    longer.insert(longer.end(), extra, 0xAB);
    EXPECT_EQ(parse_message(longer), "checksum mismatch: the header declares " + declared +
                                         " bytes but the file holds " +
                                         std::to_string(good.size() + extra) +
                                         " (truncated or damaged)");
  }
  std::vector<std::uint8_t> grown = good;
  grown[40 + 40 + 32] += 3;  // the second frame's code length, unsealed
  EXPECT_EQ(parse_message(grown), "checksum mismatch: the header declares " +
                                      std::to_string(good.size() + 3) +
                                      " bytes but the file holds " + declared +
                                      " (truncated or damaged)");
}

// Every reserved byte, of the header and of each frame entry, is checked.
TEST(ReaderChecks, EveryReservedByteOfEveryFrameIsChecked) {
  const std::vector<std::uint8_t> good =
      serialize_code_file(encode_events(kTwoEvents, {4, 1, 4, 2}, 2).value());
  std::vector<std::size_t> reserved = {6, 7, 15};
  for (std::size_t frame = 0; frame < 2; ++frame) {
    for (std::size_t i = 1; i < 8; ++i) reserved.push_back(40 + 40 * frame + i);
  }
  for (const std::size_t offset : reserved) {
    for (const std::uint8_t value : {0x01, 0x80, 0xFF}) {
      std::vector<std::uint8_t> bytes = good;
      bytes[offset] = value;
      EXPECT_EQ(parse_message(resealed(bytes)),
                "reserved byte at offset " + std::to_string(offset) + " is not zero");
    }
  }
}

// A run-length code of n pairs expands to at most 255 n bytes: 2040 n bits
// are allowed and one more is not, for any n.
TEST(ReaderChecks, RunLengthCapacityIsExactlyTheExpansion) {
  for (const std::size_t pairs : {1u, 2u, 5u}) {
    for (const std::uint64_t extra : {0u, 1u}) {
      CodeFile file;
      file.geometry = {256, 256, 256, 8};
      const std::uint64_t bits = 2040 * pairs + extra;
      const std::vector<std::uint8_t> empty_root = {0x00};
      file.frames.push_back({FrameCoding::kRans, 0, 0, 0, 1, rans_encode_bits(empty_root, 1)});
      file.frames.push_back({FrameCoding::kXorRunLength, 0, 0, 0, bits,
                             std::vector<std::uint8_t>(2 * pairs, 0xFF)});
      const std::string message = parse_message(serialize_code_file(file));
      if (extra == 0) {
        EXPECT_EQ(message, "") << pairs;
      } else {
        EXPECT_EQ(message, "frame 1: bit count " + std::to_string(bits) + " exceeds what its " +
                               std::to_string(2 * pairs) + "-byte run-length code can expand to");
      }
    }
  }
}

// check reports a frame whose stored time range is not the recording's,
// even when it lies inside the recording's range and the boxes agree.
TEST(ReaderChecks, CheckComparesEachFramesTimeRange) {
  const EventVec events = {{1, 0, 0, 0}, {3, 0, 100, 0}, {2, 0, 200, 0}, {0, 0, 300, 0}};
  CodeFile file = encode_events(events, {4, 1, 4, 2}, 2).value();
  ASSERT_EQ(file.frames.size(), 2u);
  const std::string range0 = std::to_string(file.frames[0].tmin) + ".." +
                             std::to_string(file.frames[0].tmax) + " us";
  file.frames[0].tmax -= 1;
  ASSERT_EQ(rejection(file), "");
  const std::string expected = "frame 0: time range " + std::to_string(file.frames[0].tmin) +
                               ".." + std::to_string(file.frames[0].tmax) +
                               " us in the file, " + range0 + " in the recording";
  EXPECT_EQ(compare_frame_by_frame(file, events).value().difference, expected);
}

}  // namespace
}  // namespace ovk::codefile
