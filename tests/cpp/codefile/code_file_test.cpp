// The .ovkc container: exact bytes, the golden file, hostile input (every
// truncation, every single-byte change, forged files with a valid checksum),
// and round trips against a simple occupancy model.
#include "codefile/code_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cell_table_shortcuts.h"
#include "reference_codec.h"
#include "codec_test_support.h"
#include "codec/compress.h"
#include "codec/rans.h"
#include "codec/voxel_grid.h"
#include "codefile/cell_table.h"
#include "codefile/encode.h"
#include "codefile/leaf_boxes.h"

namespace ovk::codefile {
namespace {

using testing_support::bytes_of;

// Recording (x, y, t): (1, 0, 0) and (3, 0, 100) on a 4 x 1 sensor, 2 time
// bins, depth 2: cells (1, 0, bin 0) and (3, 0, bin 1), tree bits
// 1 1 0 0 1 0 1 0 1, rANS code 1C 07 A6 2B F2 00 78.
const EventVec kExample = {{1, 0, 0, 0}, {3, 0, 100, 0}};
constexpr Geometry kExampleGeometry{4, 1, 2, 2};

std::vector<std::uint8_t> example_file_bytes() {
  return bytes_of({
      'O',  'V',  'K',  'C',  0x01, 0x00, 0x00, 0x00,  // magic, version 1, reserved
      0x04, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00,  // 4 x 1, 2 bins, depth 2
      0x02, 0,    0,    0,    0,    0,    0,    0,     // 2 events
      0x00, 0,    0,    0,    0x64, 0,    0,    0,     // 0 .. 100 us
      0x01, 0,    0,    0,    0,    0,    0,    0,     // 1 frame
      0x00, 0,    0,    0,    0,    0,    0,    0,     // rANS, reserved
      0x02, 0,    0,    0,    0,    0,    0,    0,     // 2 events
      0x00, 0,    0,    0,    0x64, 0,    0,    0,     // 0 .. 100 us
      0x09, 0,    0,    0,    0,    0,    0,    0,     // 9 tree bits
      0x07, 0,    0,    0,    0,    0,    0,    0,     // 7 code bytes
      0x1C, 0x07, 0xA6, 0x2B, 0xF2, 0x00, 0x78,        // the rANS code
      0xDF, 0x70, 0xF8, 0xB7, 0xDF, 0xD8, 0xDA, 0x47,  // xxHash64
  });
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Recomputes the checksum, so a forged field reaches the structural checks.
std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> bytes) {
  const std::size_t body = bytes.size() - kChecksumBytes;
  const std::uint64_t sum = file_checksum(std::span(bytes).first(body));
  for (int i = 0; i < 8; ++i) bytes[body + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  return bytes;
}

void put_u64(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string parse_error(const std::vector<std::uint8_t>& bytes) {
  const Result<CodeFile> file = parse_code_file(bytes);
  if (!file.ok()) return file.error().message();
  const Result<std::vector<LeafBoxes>> frames = decode_frames(file.value());
  return frames.ok() ? "" : frames.error().message();
}

TEST(CodeFileTest, ExampleFileHasExactBytes) {
  const CodeFile file = encode_events(kExample, kExampleGeometry, 1).value();
  EXPECT_EQ(serialize_code_file(file), example_file_bytes());
  EXPECT_EQ(parse_code_file(example_file_bytes()).value(), file);
}

TEST(CodeFileTest, ExampleDecodesToItsTwoCells) {
  const CodeFile file = parse_code_file(example_file_bytes()).value();
  const std::vector<LeafBoxes> frames = decode_frames(file).value();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].origins, (std::vector<BoxOrigin>{{1, 0, 0}, {3, 0, 1}}));
  EXPECT_EQ(std::tie(frames[0].dx, frames[0].dy, frames[0].dt), std::make_tuple(1, 1, 1));
  // Bin 0 holds 0 .. 99 us, bin 1 only t = 100.
  EXPECT_EQ(cell_rows(file, frames), (std::vector<std::uint64_t>{0, 1, 0, 0, 1, 1, 1, 0, 100, 0, 3,
                                                                 0, 1, 1, 1, 1, 100, 101}));
}

TEST(CodeFileTest, DepthOneGivesCoarseBoxes) {
  // Depth 1 over (4, 1, 2): leaves of size (2, 1, 1); bits 1 1 0 0 1.
  const CodeFile file = encode_events(kExample, {4, 1, 2, 1}, 1).value();
  EXPECT_EQ(file.frames[0].bit_count, 5u);
  const LeafBoxes boxes = decode_frames(file).value()[0];
  EXPECT_EQ(boxes.origins, (std::vector<BoxOrigin>{{0, 0, 0}, {2, 0, 1}}));
  EXPECT_EQ(std::tie(boxes.dx, boxes.dy, boxes.dt), std::make_tuple(2, 1, 1));
}

// The golden file: frames 0 (t = 0, 10, 20, 30) and 1 (t = 40) of the five
// events below on a 4 x 2 sensor, 4 time bins, depth 3.
const EventVec kGoldenEvents = {
    {0, 0, 0, 1}, {1, 1, 10, 0}, {3, 0, 20, 1}, {2, 1, 30, 0}, {3, 1, 40, 1}};

TEST(CodeFileTest, GoldenFileDecodesAndIsReproduced) {
  const std::vector<std::uint8_t> golden = read_file(OVK_TEST_DATA_DIR "/golden_two_frames.ovkc");
  ASSERT_EQ(golden.size(), 144u);
  const CodeFile file = parse_code_file(golden).value();
  EXPECT_EQ(file.geometry, (Geometry{4, 2, 4, 3}));
  EXPECT_EQ(std::tie(file.event_count, file.tmin, file.tmax), std::make_tuple(5, 0, 40));
  ASSERT_EQ(file.frames.size(), 2u);
  EXPECT_EQ(file.frames[0].coding, FrameCoding::kRans);
  EXPECT_EQ(file.frames[1].coding, FrameCoding::kXorRunLength);
  EXPECT_EQ(file.frames[0].code, bytes_of({0x3D, 0x0A, 0x84, 0x9F, 0xD5, 0x5E, 0xB3, 0x8A}));
  EXPECT_EQ(file.frames[1].code, bytes_of({0x01, 0x53, 0x01, 0xD0, 0x01, 0x92, 0x01, 0x00}));
  EXPECT_EQ(std::tie(file.frames[0].bit_count, file.frames[1].bit_count), std::make_tuple(25, 13));
  const std::vector<std::uint64_t> rows = cell_rows(file, decode_frames(file).value());
  EXPECT_EQ(rows, (std::vector<std::uint64_t>{0, 0, 0, 0, 1, 1, 1, 0,  10,  //
                                              0, 1, 1, 1, 1, 1, 1, 10, 20,  //
                                              0, 3, 0, 2, 1, 1, 1, 20, 30,  //
                                              0, 2, 1, 3, 1, 1, 1, 30, 31,  //
                                              1, 3, 1, 0, 1, 1, 1, 40, 41}));
  EXPECT_EQ(serialize_code_file(encode_events(kGoldenEvents, file.geometry, 2).value()), golden);
}

TEST(CodeFileTest, EveryTruncationIsAnError) {
  const std::vector<std::uint8_t> bytes = example_file_bytes();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const std::string error = parse_error({bytes.begin(), bytes.begin() + n});
    if (n < kHeaderBytes + kChecksumBytes) {
      EXPECT_EQ(error, "truncated file: " + std::to_string(n) +
                           " bytes, shorter than the 48-byte header and checksum");
    } else {
      const std::string declared = n < 80 ? "at least 88" : "95";
      EXPECT_EQ(error, "checksum mismatch: the header declares " + declared +
                           " bytes but the file holds " + std::to_string(n) +
                           " (truncated or damaged)");
    }
  }
}

TEST(CodeFileTest, EverySingleByteChangeIsAnError) {
  const std::vector<std::uint8_t> bytes = example_file_bytes();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (int flip : {0x01, 0x80, 0xFF}) {
      std::vector<std::uint8_t> changed = bytes;
      changed[i] = static_cast<std::uint8_t>(changed[i] ^ flip);
      const std::string error = parse_error(changed);
      SCOPED_TRACE("byte " + std::to_string(i));
      if (i < 4) {
        EXPECT_EQ(error, "not an ovk code file (bad magic)");
      } else if (i < 6) {
        EXPECT_EQ(error.rfind("unsupported format version ", 0), 0u) << error;
      } else {
        EXPECT_EQ(error.rfind("checksum mismatch: ", 0), 0u) << error;
      }
    }
  }
}

TEST(CodeFileTest, VersionMessageNamesBothVersions) {
  std::vector<std::uint8_t> bytes = example_file_bytes();
  bytes[4] = 3;
  EXPECT_EQ(parse_error(bytes), "unsupported format version 3 (this reader knows versions 1 and 2)");
  EXPECT_EQ(parse_error(bytes_of({'O', 'V'})),
            "truncated file: 2 bytes, shorter than the 48-byte header and checksum");
  EXPECT_EQ(parse_error(bytes_of({'P'})), "not an ovk code file (bad magic)");
}

// A reader takes version 2 without a context-coded frame; the writer gives
// such a file version 1, so it writes back as the example's own bytes.
TEST(CodeFileTest, Version2WithoutContextFrameWritesBackAsVersion1) {
  std::vector<std::uint8_t> bytes = example_file_bytes();
  bytes[4] = 2;
  const Result<CodeFile> file = parse_code_file(resealed(bytes));
  ASSERT_TRUE(file.ok()) << file.error().message();
  EXPECT_EQ(format_version(file.value()), 1);
  EXPECT_EQ(serialize_code_file(file.value()), example_file_bytes());
  ASSERT_TRUE(decode_frames(file.value()).ok());
}

// Field offsets of the example: header, its one frame entry at 40, code at 80.
constexpr std::size_t kFrame = kHeaderBytes;

struct Forgery {
  const char* name;
  void (*forge)(std::vector<std::uint8_t>&);
  const char* message;
};

const Forgery kForgeries[] = {
    {"reserved header", [](auto& b) { b[6] = 1; }, "reserved byte at offset 6 is not zero"},
    {"reserved frame byte", [](auto& b) { b[kFrame + 3] = 1; },
     "reserved byte at offset 43 is not zero"},
    {"unknown coding", [](auto& b) { b[kFrame] = 2; }, "frame 0: unknown coding 2"},
    {"frame count", [](auto& b) { put_u64(b, 32, 2); },
     "frame table of 2 frames runs past the end of the file"},
    {"huge frame count", [](auto& b) { put_u64(b, 32, ~0ull); },
     "frame table of 18446744073709551615 frames runs past the end of the file"},
    {"code length", [](auto& b) { put_u64(b, kFrame + 32, 8); },
     "frame 0: code of 8 bytes runs past the end of the file"},
    {"huge code length", [](auto& b) { put_u64(b, kFrame + 32, ~0ull); },
     "frame 0: code of 18446744073709551615 bytes runs past the end of the file"},
    {"short code", [](auto& b) { put_u64(b, kFrame + 32, 6); },
     "extra bytes between the last code and the checksum (1)"},
    {"zero bits", [](auto& b) { put_u64(b, kFrame + 24, 0); },
     "frame 0: bit count 0 (every tree has at least its root bit)"},
    {"bits past the geometry", [](auto& b) { put_u64(b, kFrame + 24, 14); },
     "frame 0: bit count 14 exceeds the 13 bits a tree of this geometry can have"},
    {"bits past the code",
     [](auto& b) {
       b[14] = 255;
       b[8] = 255;
       b[10] = 255;
       b[12] = 255;
       put_u64(b, kFrame + 24, 46001);
     },
     "frame 0: bit count 46001 exceeds what its 7-byte rANS code can carry"},
    {"one bit too many", [](auto& b) { put_u64(b, kFrame + 24, 10); },
     "frame 0: the tree ends before its bit count (1 left over)"},
    {"one bit too few", [](auto& b) { put_u64(b, kFrame + 24, 8); },
     "frame 0: the tree needs more than its 8 bits"},
    {"zero probability",
     [](auto& b) {
       b[80] = 0;
       b[81] = 0;
     },
     "frame 0: rANS header holds the probability 0, outside 1..4095"},
    {"low state", [](auto& b) { b[84] = 0x7F; },
     "frame 0: rANS header holds the state 8334246, outside 2^23..2^31-1"},
    {"event sum", [](auto& b) { b[16] = 3; }, "the frames hold 2 events but the header says 3"},
    {"reversed range", [](auto& b) { b[24] = 0x65; },
     "the recording has a time range that ends before it starts (101..100)"},
    {"frame outside", [](auto& b) { b[kFrame + 20] = 0x65; },
     "frame 0: time range 0..101 lies outside the recording's 0..100"},
    {"events in an empty tree",
     [](auto& b) {
       b[kFrame + 8] = 0;
       b[16] = 0;
       b[24] = 0;
       b[28] = 0;
       b[kFrame + 20] = 0;
     },
     "frame 0: holds no events but its tree is not empty"},
    {"run-length of odd length", [](auto& b) { b[kFrame] = 1; },
     "frame 0: run-length code of odd length 7"},
};

TEST(CodeFileTest, ForgedFieldsAreRejectedWithTheirOwnMessage) {
  for (const Forgery& f : kForgeries) {
    std::vector<std::uint8_t> bytes = example_file_bytes();
    f.forge(bytes);
    EXPECT_EQ(parse_error(resealed(bytes)), f.message) << f.name;
  }
}

TEST(CodeFileTest, ResealedByteChangesNeverGetPastTheChecksLoosely) {
  // With the checksum recomputed, each change meets the structural checks:
  // the result is an error or a file that writes back to the same bytes.
  const std::vector<std::uint8_t> golden = read_file(OVK_TEST_DATA_DIR "/golden_two_frames.ovkc");
  const std::vector<std::uint8_t> context =
      read_file(OVK_TEST_DATA_DIR "/golden_context_two_frames.ovkc");
  for (const std::vector<std::uint8_t>& base : {example_file_bytes(), golden, context}) {
    for (std::size_t i = 6; i + kChecksumBytes < base.size(); ++i) {
      for (int flip : {0x01, 0x10, 0x80, 0xFF}) {
        std::vector<std::uint8_t> changed = base;
        changed[i] = static_cast<std::uint8_t>(changed[i] ^ flip);
        changed = resealed(changed);
        const Result<CodeFile> file = parse_code_file(changed);
        if (!file.ok()) continue;
        EXPECT_EQ(serialize_code_file(file.value()), changed);
        const Result<std::vector<LeafBoxes>> frames = decode_frames(file.value());
        if (frames.ok()) (void)cell_rows(file.value(), frames.value());
      }
    }
  }
}

TEST(CodeFileTest, RunLengthCodesAreCheckedBeforeExpansion) {
  // One frame of a single empty root, coded as a delta against nothing.
  CodeFile file;
  file.frames.push_back({FrameCoding::kXorRunLength, 0, 0, 0, 1, {1, 0x00}});
  EXPECT_EQ(decode_frames(file).value()[0].origins.size(), 0u);
  file.frames[0].code = {0, 0x00, 1, 0x00};
  EXPECT_EQ(decode_frames(file).error().message(),
            "frame 0: run-length pair with count 0 at byte 0");
  file.frames[0].code = {2, 0x00};
  EXPECT_EQ(decode_frames(file).error().message(),
            "frame 0: run-length code expands to 2 bytes, expected 1");
  file.frames[0].code = {1, 0x01};
  EXPECT_EQ(decode_frames(file).error().message(),
            "frame 0: delta sets bits past the frame's bit count");
  // A parsed file bounds the bits by what the pairs can expand to.
  file.geometry = {64, 64, 64, 6};
  std::vector<std::uint8_t> bytes = serialize_code_file(file);
  put_u64(bytes, kFrame + 24, 8 * 255 + 1);
  EXPECT_EQ(parse_error(resealed(bytes)),
            "frame 0: bit count 2041 exceeds what its 2-byte run-length code can expand to");
}

TEST(CodeFileTest, RansCapacityBoundHoldsForTheMostSkewedStrings) {
  for (const std::uint8_t fill : {0x00, 0xFF}) {
    const std::vector<std::uint8_t> bits(250'000, fill);
    const std::uint64_t n = bits.size() * 8;
    const std::vector<std::uint8_t> code = rans_encode_bits(bits, n);
    EXPECT_LE(n, max_rans_bits(code.size()));
    EXPECT_GT(n, max_rans_bits(code.size()) * 9 / 10);  // and the bound is tight
  }
  EXPECT_EQ(max_rans_bits(5), 0u);
  EXPECT_EQ(max_rans_bits(6), 23'000u);
}

TEST(CodeFileTest, TreeBitLimitFollowsTheGeometry) {
  EXPECT_EQ(max_tree_bits({2, 1, 1, 1}), 3u);
  EXPECT_EQ(max_tree_bits({4, 1, 2, 2}), 1u + 4 + 8);
  EXPECT_EQ(max_tree_bits({4, 1, 2, 0}), 1u);
  EXPECT_EQ(max_tree_bits({1, 1, 1, 255}), 1u);
  EXPECT_EQ(max_tree_bits({16, 16, 16, 255}), 1u + 8 + 64 + 512 + 4096);
  EXPECT_EQ(max_tree_bits({65535, 65535, 65535, 255}), ((1ull << 51) - 1) / 7);
}

TEST(CodeFileTest, BinClockMatchesTheBinningRule) {
  const BinClock clock(0, 1000, 4);  // t = 500 -> bin 1, 999 -> bin 2, 1000 -> bin 3
  EXPECT_EQ(clock.start(0), 0u);
  EXPECT_EQ(clock.start(1), 334u);
  EXPECT_EQ(clock.start(2), 667u);
  EXPECT_EQ(clock.start(3), 1000u);
  EXPECT_EQ(clock.start(4), 1001u);
  const BinClock one_bin(7, 9, 1);
  EXPECT_EQ(one_bin.start(0), 7u);
  EXPECT_EQ(one_bin.start(1), 10u);
  // 55 * (3 / 11) rounds to 14.999999999999998: t = 3 is still in bin 14.
  EXPECT_EQ(BinClock(0, 11, 56).start(15), 4u);
  // Brute force over awkward ranges: start(k) is the first t whose bin >= k.
  for (const auto& [tmin, tmax, bins] : {std::tuple{5u, 5u, 7},
                                         {0u, 1u, 3},
                                         {0u, 22u, 45},
                                         {100u, 1133u, 37},
                                         {4294967000u, 4294967295u, 100}}) {
    const BinClock c(tmin, tmax, static_cast<std::uint16_t>(bins));
    const std::uint32_t range = std::max<std::uint32_t>(tmax - tmin, 1);
    for (std::uint64_t k = 0; k <= static_cast<std::uint64_t>(bins) + 1; ++k) {
      std::uint64_t expected = std::uint64_t{tmax} + 1;
      for (std::uint64_t t = tmin; t <= tmax; ++t) {
        if (reference::time_bin(static_cast<std::uint32_t>(t), tmin, range,
                     static_cast<std::uint16_t>(bins)) >= k) {
          expected = t;
          break;
        }
      }
      EXPECT_EQ(c.start(k), expected) << tmin << " " << tmax << " " << bins << " " << k;
    }
  }
}

TEST(CodeFileTest, CellTablesHaveExactBytes) {
  const CodeFile file = parse_code_file(example_file_bytes()).value();
  const std::vector<LeafBoxes> frames = decode_frames(file).value();
  const std::vector<std::uint8_t> csv = cells_csv(file, frames);
  EXPECT_EQ(std::string(csv.begin(), csv.end()),
            "frame,x0,y0,bin0,dx,dy,dbins,t_start_us,t_end_us\n"
            "0,1,0,0,1,1,1,0,100\n"
            "0,3,0,1,1,1,1,100,101\n");
  const std::vector<std::uint8_t> npy = cells_npy(file, frames);
  ASSERT_EQ(npy.size(), 128u + 2 * 72u);
  EXPECT_EQ(std::vector<std::uint8_t>(npy.begin(), npy.begin() + 10),
            bytes_of({0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, 118, 0}));
  EXPECT_EQ(
      std::string(npy.begin() + 10, npy.begin() + 128),
      "{'descr': '<u8', 'fortran_order': False, 'shape': (2, 9), }" + std::string(58, ' ') + "\n");
  std::vector<std::uint64_t> values;
  for (std::size_t at = 128; at < npy.size(); at += 8) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{npy[at + i]} << (8 * i);
    values.push_back(v);
  }
  EXPECT_EQ(values, cell_rows(file, frames));
}

// ---- round trips against a simple model ----

struct ModelBox {
  std::uint64_t frame, x0, y0, t0;
  auto operator<=>(const ModelBox&) const = default;
};

// Leaf boxes by definition: every event's clamped cell, rounded down to the
// leaf size, which over power-of-two sizes is the padded size halved once per
// level until the depth limit or a single cell.
std::set<ModelBox> model_boxes(const EventVec& events, const Geometry& g, std::uint64_t frames) {
  const std::uint64_t wp = next_power_of_two(g.width), hp = next_power_of_two(g.height),
                      tp = next_power_of_two(g.time_bins);
  std::uint64_t dx = wp, dy = hp, dt = tp;
  for (unsigned d = 0; d < g.depth && (dx > 1 || dy > 1 || dt > 1); ++d) {
    dx = std::max<std::uint64_t>(dx / 2, 1);
    dy = std::max<std::uint64_t>(dy / 2, 1);
    dt = std::max<std::uint64_t>(dt / 2, 1);
  }
  const std::vector<std::uint64_t> frame_of = split_frames(events, frames);
  std::set<ModelBox> boxes;
  for (std::uint64_t f = 0; f < frames; ++f) {
    EventVec in_frame;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (frame_of[i] == f) in_frame.push_back(events[i]);
    }
    if (in_frame.empty()) continue;
    std::uint32_t tmin = in_frame[0].t, tmax = in_frame[0].t;
    for (const Event& e : in_frame) tmin = std::min(tmin, e.t), tmax = std::max(tmax, e.t);
    const std::uint32_t range = std::max<std::uint32_t>(tmax - tmin, 1);
    for (const Event& e : in_frame) {
      const std::uint64_t x = std::min<std::uint64_t>(e.x, wp - 1);
      const std::uint64_t y = std::min<std::uint64_t>(e.y, hp - 1);
      const std::uint64_t b =
          std::min<std::uint64_t>(reference::time_bin(e.t, tmin, range, g.time_bins), tp - 1);
      boxes.insert({f, x / dx * dx, y / dy * dy, b / dt * dt});
    }
  }
  return boxes;
}

// What `ovk check` reports: the first difference between the file and the
// recording coded alike, or "".
std::string difference(const CodeFile& file, EventSpan events) {
  return compare_frame_by_frame(file, events).value().difference;
}

// A small random geometry (time bins 0 included), frame count and recording,
// with events past the sensor's edges.
std::tuple<Geometry, std::uint64_t, EventVec> random_recording(std::mt19937_64& rng) {
  const Geometry g{static_cast<std::uint16_t>(1 + rng() % 40),
                   static_cast<std::uint16_t>(1 + rng() % 40),
                   static_cast<std::uint16_t>(rng() % 20), static_cast<std::uint8_t>(rng() % 8)};
  const std::uint64_t frames = 1 + rng() % 5;
  EventVec events = testing_support::random_events(
      rng, rng() % 200, g.width + 3, g.height + 3, static_cast<std::uint32_t>(rng() % 5000));
  return {g, frames, std::move(events)};
}

TEST(CodeFileTest, RandomRecordingsRoundTripThroughTheFile) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 150; ++round) {
    const auto [g, frames, events] = random_recording(rng);
    SCOPED_TRACE("round " + std::to_string(round));
    const CodeFile coded = encode_events(events, g, frames).value();
    const std::vector<std::uint8_t> bytes = serialize_code_file(coded);
    const CodeFile file = parse_code_file(bytes).value();
    ASSERT_EQ(file, coded);
    const std::vector<LeafBoxes> decoded = decode_frames(file).value();
    std::set<ModelBox> got;
    for (std::size_t f = 0; f < decoded.size(); ++f) {
      for (const BoxOrigin& o : decoded[f].origins) got.insert({f, o.x0, o.y0, o.t0});
    }
    EXPECT_EQ(got, model_boxes(events, g, frames));
    // The codes are the drivers' own.
    if (frames == 1) {
      EXPECT_EQ(file.frames[0].code,
                compress_events(events, g.width, g.height, g.time_bins, g.depth).value().bitstream);
    } else {
      const SequenceOutput seq =
          compress_sequence(events, g.width, g.height, g.time_bins, g.depth, frames).value();
      ASSERT_EQ(file.frames.size(), seq.frame_codes.size());
      for (std::size_t k = 0; k < seq.frame_codes.size(); ++k) {
        EXPECT_EQ(file.frames[k].code, seq.frame_codes[k]);
      }
    }
    EXPECT_EQ(difference(file, events), "");
  }
}

TEST(CodeFileTest, ContextCodingGivesTheSameBoxesAsTheStaticCode) {
  std::mt19937_64 rng(12);
  for (int round = 0; round < 100; ++round) {
    const auto [g, frames, events] = random_recording(rng);
    SCOPED_TRACE("round " + std::to_string(round));
    const CodeFile coded = encode_events(events, g, frames, Coding::kContext).value();
    const std::vector<std::uint8_t> bytes = serialize_code_file(coded);
    EXPECT_EQ(bytes[4], coded.frames.empty() ? 1 : 2);  // the version
    const CodeFile file = parse_code_file(bytes).value();
    ASSERT_EQ(file, coded);
    const CodeFile plain = encode_events(events, g, frames).value();
    ASSERT_EQ(file.frames.size(), plain.frames.size());
    for (std::size_t k = 0; k < file.frames.size(); ++k) {
      EXPECT_EQ(file.frames[k].coding, FrameCoding::kContext);
      EXPECT_EQ(file.frames[k].bit_count, plain.frames[k].bit_count);
    }
    const std::vector<LeafBoxes> decoded = decode_frames(file).value();
    EXPECT_EQ(decoded, decode_frames(plain).value());
    EXPECT_EQ(difference(file, events), "");
  }
}

TEST(CodeFileTest, RansCodeShorterThanItsHeaderIsRefused) {
  CodeFile coded = encode_events(kExample, kExampleGeometry, 1, Coding::kStatic).value();
  ASSERT_EQ(coded.frames[0].coding, FrameCoding::kRans);
  coded.frames[0].code.resize(5);
  coded.frames[0].bit_count = 1;
  EXPECT_EQ(parse_error(serialize_code_file(coded)),
            "frame 0: rANS code of 5 bytes is shorter than its 6-byte header");
}

TEST(CodeFileTest, ContextFramesAreCheckedBeforeDecoding) {
  const CodeFile coded = encode_events(kExample, kExampleGeometry, 1, Coding::kContext).value();
  const std::vector<std::uint8_t> bytes = serialize_code_file(coded);
  ASSERT_EQ(coded.frames[0].code, bytes_of({0xC7, 0xFF, 0xF8, 0x00}));
  constexpr std::size_t kFrame = kHeaderBytes;
  std::vector<std::uint8_t> v1 = bytes;
  v1[4] = 1;
  EXPECT_EQ(parse_error(resealed(v1)), "frame 0: unknown coding 2");
  CodeFile big = coded;
  big.geometry = Geometry{65535, 65535, 65535, 16};
  big.frames[0].bit_count = 92001;
  EXPECT_EQ(parse_error(serialize_code_file(big)),
            "frame 0: bit count 92001 exceeds what its 4-byte context code can carry");
  big.frames[0].code.resize(3);
  big.frames[0].bit_count = 1;
  EXPECT_EQ(parse_error(serialize_code_file(big)),
            "frame 0: context code of 3 bytes is shorter than its 4-byte start");
  std::vector<std::uint8_t> more = bytes;
  put_u64(more, kFrame + 24, 11);
  EXPECT_EQ(parse_error(resealed(more)), "frame 0: the tree ends before its bit count (2 left over)");
  std::vector<std::uint8_t> fewer = bytes;
  put_u64(fewer, kFrame + 24, 8);
  EXPECT_EQ(parse_error(resealed(fewer)), "frame 0: the tree needs more than its 8 bits");
}

TEST(CodeFileTest, CheckNamesTheFirstDifference) {
  const CodeFile file = encode_events(kExample, kExampleGeometry, 1).value();
  EXPECT_EQ(
      difference(file, EventVec{{1, 0, 0, 0}, {2, 0, 100, 0}}),
      "frame 0: leaf box 1 is (3, 0, 1) in the file, (2, 0, 1) in the recording (x0, y0, bin0)");
  EXPECT_EQ(
      difference(file, EventVec{{1, 0, 0, 0}, {3, 0, 100, 0}, {0, 0, 50, 0}}),
      "frame 0: leaf box 0 is (1, 0, 0) in the file, (0, 0, 0) in the recording (x0, y0, bin0)");
  EXPECT_EQ(difference(file, EventVec{{1, 0, 0, 0}}),
            "frame 0: time range 0..100 us in the file, 0..0 us in the recording");
  // Boxes (1, 0, 0), (1, 0, 1) against (1, 0, 0), (1, 0, 1), (3, 0, 1), and back.
  const EventVec two = {{1, 0, 0, 0}, {1, 0, 100, 0}};
  const EventVec three = {{1, 0, 0, 0}, {1, 0, 100, 0}, {3, 0, 100, 0}};
  const CodeFile file2 = encode_events(two, kExampleGeometry, 1).value();
  const CodeFile file3 = encode_events(three, kExampleGeometry, 1).value();
  EXPECT_EQ(
      difference(file2, three),
      "frame 0: the file has 2 leaf boxes, the recording 3; the first missing one is (3, 0, 1)");
  EXPECT_EQ(
      difference(file3, two),
      "frame 0: the file has 3 leaf boxes, the recording 2; the first extra one is (3, 0, 1)");
  EXPECT_EQ(difference(file, EventVec{}),
            "frame 0: time range 0..100 us in the file, 0..0 us in the recording");
  const CodeFile none = encode_events(EventVec{}, kExampleGeometry, 3).value();
  EXPECT_TRUE(none.frames.empty());
  EXPECT_EQ(difference(none, EventVec{}), "");
  EXPECT_EQ(difference(none, kExample),
            "the file holds no frames, the recording 2 events");
}

}  // namespace
}  // namespace ovk::codefile
