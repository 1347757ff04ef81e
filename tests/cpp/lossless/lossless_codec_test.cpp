// Round trips of the lossless chunk code and file on adversarial event
// lists, and the reader's answers to damaged files.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lossless/chunk_codec.h"
#include "lossless/lossless_file.h"
#include "lossless_shortcuts.h"
#include "memory_read_source.h"

namespace ovk::lossless {
namespace {

constexpr std::uint64_t kMaxTime = std::numeric_limits<std::uint64_t>::max();

Event64Vec decode_all(std::span<const std::uint8_t> bytes) {
  Result<LosslessReader> reader = read_from_memory(bytes);
  EXPECT_TRUE(reader.ok()) << (reader.ok() ? "" : reader.error().message());
  if (!reader.ok()) return {};
  Event64Vec all;
  std::vector<std::size_t> every(reader.value().summary().chunks.size());
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = i;
  const Status s = decode_chunks(reader.value(), every, 2,
                                 {[&](std::size_t, const Event64Vec& events) -> Status {
                                    all.insert(all.end(), events.begin(), events.end());
                                    return Ok{};
                                  },
                                  {}});
  EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message());
  return all;
}

void expect_round_trip(const Event64Vec& events, std::uint32_t chunk_events = 1000) {
  const std::vector<std::uint8_t> one = encode_to_bytes(events, {}, 1, chunk_events);
  const std::vector<std::uint8_t> three = encode_to_bytes(events, {}, 3, chunk_events);
  EXPECT_EQ(one, three) << "bytes depend on jobs";
  EXPECT_EQ(decode_all(one), events);
  // The chunk code alone, in every version, with the decoder reading exactly
  // its bytes.
  for (unsigned version = kOldestChunkVersion; version <= kNewestChunkVersion; ++version) {
    std::vector<std::uint8_t> code;
    encode_chunk(events, code, version);
    Event64Vec back;
    ASSERT_TRUE(decode_chunk(code, events.size(), back, version).ok()) << "version " << version;
    EXPECT_EQ(back, events) << "version " << version;
  }
}

Event64Vec random_events(std::size_t n, std::uint32_t seed, std::uint16_t w, std::uint16_t h) {
  std::mt19937_64 rng(seed);
  Event64Vec events;
  std::uint64_t t = 1'000'000;
  for (std::size_t i = 0; i < n; ++i) {
    t += rng() % 50;
    events.push_back({static_cast<std::uint16_t>(rng() % w), static_cast<std::uint16_t>(rng() % h),
                      t, static_cast<std::uint8_t>(rng() % 2)});
  }
  return events;
}

TEST(LosslessCodec, EmptyAndOneEvent) {
  expect_round_trip({});
  expect_round_trip({{3, 4, 5, 1}});
  expect_round_trip({{65535, 65535, kMaxTime, 255}});
}

TEST(LosslessCodec, ExtremeTimestamps) {
  expect_round_trip({{0, 0, kMaxTime, 0}, {0, 0, 0, 1}, {0, 0, kMaxTime, 0},
                     {1, 1, std::uint64_t{1} << 63, 0}, {1, 1, (std::uint64_t{1} << 63) - 1, 0},
                     {2, 2, 5, 0}, {2, 2, 5, 0}, {2, 2, 4, 0}});
}

TEST(LosslessCodec, UnsortedAndRepeatedTimes) {
  std::mt19937_64 rng(7);
  Event64Vec events;
  for (int i = 0; i < 5000; ++i) {
    events.push_back({static_cast<std::uint16_t>(rng()), static_cast<std::uint16_t>(rng()),
                      rng() % 4 == 0 ? rng() : rng() % 100, static_cast<std::uint8_t>(rng())});
  }
  expect_round_trip(events);
}

TEST(LosslessCodec, OnePixelAndAlternatingPolarity) {
  Event64Vec events;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    events.push_back({17, 9, i * 3, static_cast<std::uint8_t>(i % 2)});
  }
  expect_round_trip(events);
}

TEST(LosslessCodec, EveryPixelOnce) {
  Event64Vec events;
  for (std::uint16_t y = 0; y < 64; ++y) {
    for (std::uint16_t x = 0; x < 64; ++x) events.push_back({x, y, 0, 1});
  }
  expect_round_trip(events);
}

TEST(LosslessCodec, FullCoordinateRange) {
  Event64Vec events;
  for (std::uint32_t i = 0; i < 4000; ++i) {
    events.push_back({static_cast<std::uint16_t>(i * 40503U), static_cast<std::uint16_t>(65535 - i * 7),
                      i, static_cast<std::uint8_t>(i * 37)});
  }
  events.push_back({0, 0, 0, 0});
  events.push_back({65535, 65535, 1, 0});
  events.push_back({0, 32768, 2, 0});
  events.push_back({32768, 0, 3, 0});
  expect_round_trip(events);
}

TEST(LosslessCodec, PixelsRevisitedAcrossWrappingTimes) {
  // Pixels whose low 9 bits collide, neighbours across the coordinate wrap,
  // and a pixel's last time in 32 bits wrapping between its events.
  Event64Vec events;
  const std::uint16_t coords[] = {0, 1, 511, 512, 65535};
  std::uint64_t t = (std::uint64_t{1} << 32) - 40;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    t += i % 9 == 0 ? (std::uint64_t{1} << 32) + i : i % 3;
    events.push_back({coords[i % 5], coords[(i / 5) % 5], t, static_cast<std::uint8_t>((i / 7) % 3 == 0 ? 255 : i % 2)});
  }
  expect_round_trip(events);
}

TEST(LosslessCodec, PixelsRecurringAtTheEdgeOfTheRecentWindow) {
  // Pixels that fire again exactly 4095, 4096 and 4097 events later: the
  // last still recent, the others just past it (the ring has 4096 events).
  for (const std::uint32_t period : {4095U, 4096U, 4097U}) {
    Event64Vec events;
    for (std::uint32_t i = 0; i < 3 * period; ++i) {
      const std::uint32_t k = i % period;
      events.push_back({static_cast<std::uint16_t>(k % 97 * 600), static_cast<std::uint16_t>(k / 97),
                        i, static_cast<std::uint8_t>(k % 2)});
    }
    expect_round_trip(events, 20'000);
  }
}

TEST(LosslessCodec, RecentPixelsBetweenOtherEvents) {
  // A few pixels fire again and again between events on fresh pixels, and
  // a pixel whose key collides (same low 9 bits of x and y) with a recent one.
  std::mt19937_64 rng(11);
  Event64Vec events;
  const Event64 hot[] = {{5, 5, 0, 1}, {517, 5, 0, 0}, {5, 517, 0, 1}, {65535, 65535, 0, 255}};
  std::uint64_t t = 0;
  for (int i = 0; i < 20'000; ++i) {
    t += rng() % 300;
    Event64 e = rng() % 3 == 0 ? hot[rng() % 4]
                               : Event64{static_cast<std::uint16_t>(rng() % 640),
                                         static_cast<std::uint16_t>(rng() % 480), 0,
                                         static_cast<std::uint8_t>(rng() % 2)};
    e.t = t;
    events.push_back(e);
  }
  expect_round_trip(events, 7'000);
}

TEST(LosslessCodec, ArbitraryCodesFailWithTheirReason) {
  // Random codes of 64 events in the smallest codes: each decodes or fails
  // saying why; among the failures are steps too long, recent pixels that
  // are not there and (version 4) positions wider than 16 bits. One scratch
  // serves every code, as a reader's does from chunk to chunk.
  for (const unsigned version : {2U, 4U}) {
    std::mt19937_64 rng(5);
    std::set<std::string> reasons;
    ChunkScratch scratch;
    for (int i = 0; i < 3000; ++i) {
      std::vector<std::uint8_t> code(40);
      for (auto& byte : code) byte = static_cast<std::uint8_t>(rng());
      code[0] = 0;
      Event64Vec events;
      const Status s = decode_chunk(code, 64, events, version, scratch);
      if (!s.ok()) reasons.insert(s.error().message());
    }
    EXPECT_TRUE(reasons.contains("impossible step length")) << version;
    EXPECT_TRUE(reasons.contains("recent pixel out of range")) << version;
    EXPECT_TRUE(reasons.contains("code ends before its events")) << version;
    if (version == 4) {
      EXPECT_TRUE(reasons.contains("impossible position width"));
    }
    EXPECT_EQ(reasons.size(), version == 4 ? 4U : 3U) << version;
  }
}

TEST(LosslessCodec, VersionsOutsideTheKnownOnesAreFaults) {
  std::vector<std::uint8_t> code;
  Event64Vec events;
  EXPECT_THROW(encode_chunk({}, code, kNewestChunkVersion + 1), Fault);
  EXPECT_THROW((void)decode_chunk(code, 0, events, 0), Fault);
}

// Events on a few pixels far apart, which the absolute position mode codes
// best.
Event64Vec scattered_pixels(std::size_t n, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  const std::uint16_t xs[] = {0, 9000, 31000, 65535};
  const std::uint16_t ys[] = {5, 40000, 65534};
  Event64Vec events;
  std::uint64_t t = rng() % 1000;
  for (std::size_t i = 0; i < n; ++i) {
    t += rng() % 3;
    events.push_back({xs[rng() % 4], ys[rng() % 3], t, static_cast<std::uint8_t>(rng() % 2)});
  }
  return events;
}

// Chunks coded one after another through one scratch give the bytes and
// events of chunks coded each from nothing: small chunks (tables set back
// entry by entry) and large ones (set back whole), both position modes,
// both versions, and a decode that failed half way in between.
TEST(LosslessCodec, ScratchKeptFromChunkToChunkChangesNothing) {
  const std::vector<Event64Vec> chunks = {
      random_events(300, 11, 346, 260),    scattered_pixels(2000, 12),
      random_events(20'000, 13, 640, 480), scattered_pixels(40'000, 14),
      random_events(50, 15, 65535, 65535), scattered_pixels(100, 16),
      random_events(5000, 17, 128, 128)};
  for (unsigned version = kOldestChunkVersion; version <= kNewestChunkVersion; ++version) {
    ChunkScratch encoding;
    ChunkScratch decoding;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      std::vector<std::uint8_t> fresh;
      std::vector<std::uint8_t> kept;
      encode_chunk(chunks[i], fresh, version);
      encode_chunk(chunks[i], kept, version, encoding);
      ASSERT_EQ(kept, fresh) << "version " << version << ", chunk " << i;
      Event64Vec back;
      ASSERT_TRUE(decode_chunk(kept, chunks[i].size(), back, version, decoding).ok());
      ASSERT_EQ(back, chunks[i]) << "version " << version << ", chunk " << i;
      // Damaged: the same code cut short, decoded through the same scratch.
      const std::span<const std::uint8_t> cut(kept.data(), kept.size() / 2);
      EXPECT_FALSE(decode_chunk(cut, chunks[i].size(), back, version, decoding).ok());
    }
  }
}

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}

// Events in three blobs of side x side pixels far apart.
Event64Vec blobs(std::size_t n, std::uint32_t seed, std::uint16_t side = 8) {
  std::mt19937_64 rng(seed);
  const std::uint16_t centres[3][2] = {{40000, 3}, {7, 60000}, {65520, 65520}};
  Event64Vec events;
  std::uint64_t t = 5000;
  for (std::size_t i = 0; i < n; ++i) {
    const auto* c = centres[rng() % 3];
    t += rng() % 4;
    events.push_back({static_cast<std::uint16_t>(c[0] + rng() % side),
                      static_cast<std::uint16_t>(c[1] + rng() % side), t,
                      static_cast<std::uint8_t>(rng() % 2)});
  }
  return events;
}

// The smallest codes' absolute positions, pinned by value: a chunk in
// blobs far apart, which both code in absolute mode (there, and only there,
// versions 2 and 4 differ), as version 2 files hold it and as version 4
// files do.
TEST(LosslessCodec, AbsolutePositionsArePinned) {
  const Event64Vec events = blobs(40, 21);
  const char* const pinned[] = {
      "00c69c49ffedffe940aec3bb14455102208eefb8fe727d585bb2700230b6ef0060d402d1b2c287c98d8cd1"
      "36ec6755dfe538633269f0614d132c7adc936edfe2e3f9f123ca12f43e61091e3d8f6b309af9a10fd6601"
      "98b1c273028ad4ed90107b03eeecc0cd5da2f2ba973abea18565ed847e7d06d283014d80d0bfd9de60dbd"
      "99b080",
      "00c234de7ffffff38a057fa0271476595b87abf6ec11d1d4043cbd2dfb32dd59794061b45bed42d02cddc2"
      "fdacc8a98062a8f3830154be0e1f571c23170f6bc547ca1791bd7dc0fd0e612e08fbb31eb59a541e90b735"
      "944f735a6e8dfc95916cfd36906b102e"};
  const unsigned versions[] = {2, 4};
  std::vector<std::vector<std::uint8_t>> codes;
  for (int i = 0; i < 2; ++i) {
    std::vector<std::uint8_t> code;
    encode_chunk(events, code, versions[i]);
    EXPECT_EQ(hex(code), pinned[i]) << "version " << versions[i];
    // The mode is the first bit, at one half: a code of 0x80... or more
    // after its leading 0 byte says "absolute".
    ASSERT_GE(code.size(), 2U);
    EXPECT_GE(code[1], 0x80) << "version " << versions[i];
    Event64Vec back;
    ASSERT_TRUE(decode_chunk(code, events.size(), back, versions[i]).ok());
    EXPECT_EQ(back, events);
    codes.push_back(code);
  }
  EXPECT_NE(codes[0], codes[1]);
}

// Version 4's quadtree learns a region from every event in it, where
// version 2's column trees learn each row apart: on blobs it is smaller.
TEST(LosslessCodec, QuadtreeLearnsBlobsFasterThanRows) {
  const Event64Vec events = blobs(5000, 22, 16);
  std::vector<std::uint8_t> v2;
  std::vector<std::uint8_t> v4;
  encode_chunk(events, v2, 2);
  encode_chunk(events, v4, 4);
  EXPECT_LT(v4.size() * 100, v2.size() * 97);
}

TEST(LosslessCodec, ManyChunks) { expect_round_trip(random_events(20'000, 3, 346, 260), 777); }

TEST(LosslessCodec, RandomWindowsEqualFilteringTheFullDecode) {
  const Event64Vec events = random_events(30'000, 11, 128, 128);
  const std::vector<std::uint8_t> bytes = encode_to_bytes(events, {}, 1, 1024);
  Result<LosslessReader> reader = read_from_memory(bytes);
  ASSERT_TRUE(reader.ok());
  std::mt19937_64 rng(5);
  const std::uint64_t t0 = events.front().t;
  const std::uint64_t t1 = events.back().t;
  for (int round = 0; round < 50; ++round) {
    const std::uint64_t a = t0 + rng() % (t1 - t0 + 10);
    const std::uint64_t b = a + rng() % 20'000;
    const std::vector<std::size_t> chosen = chunks_in_window(reader.value().summary(), a, b);
    Event64Vec got;
    ASSERT_TRUE(decode_chunks(reader.value(), chosen, 1,
                              {[&](std::size_t, const Event64Vec& block) -> Status {
                                 for (const Event64& e : block) {
                                   if (e.t >= a && e.t < b) got.push_back(e);
                                 }
                                 return Ok{};
                               },
                               {}})
                    .ok());
    Event64Vec want;
    for (const Event64& e : events) {
      if (e.t >= a && e.t < b) want.push_back(e);
    }
    EXPECT_EQ(got, want);
    EXPECT_LE(chosen.size(), 2U + (b - a) / 20'000);
  }
}

// ---- hostile files ----

std::string open_error(std::span<const std::uint8_t> bytes) {
  Result<LosslessReader> reader = read_from_memory(bytes);
  if (!reader.ok()) return reader.error().message();
  Event64Vec events;
  for (std::size_t i = 0; i < reader.value().summary().chunks.size(); ++i) {
    ChunkScratch scratch;
    const Status s = reader.value().decode_chunk(i, events, scratch);
    if (!s.ok()) return s.error().message();
  }
  return "";
}

void put64(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the table checksum after a change to the table, so that the
// reader's other checks are the ones that answer.
void reseal_table(std::vector<std::uint8_t>& bytes) {
  const std::size_t trailer = bytes.size() - kTrailerBytes;
  std::uint64_t table_offset = 0;
  for (int i = 0; i < 8; ++i) table_offset |= std::uint64_t{bytes[trailer + i]} << (8 * i);
  put64(bytes, trailer + 24,
        XXH64(bytes.data() + table_offset, trailer + 24 - table_offset, 0));
}

std::vector<std::uint8_t> small_file() {
  return encode_to_bytes(random_events(300, 2, 34, 34), {34, 34}, 1, 100);
}

TEST(LosslessFile, EveryTruncationFails) {
  const std::vector<std::uint8_t> bytes = small_file();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_NE(open_error(std::span(bytes).first(n)), "") << n;
  }
  EXPECT_EQ(open_error(bytes), "");
}

TEST(LosslessFile, EverySingleByteChangeFails) {
  const std::vector<std::uint8_t> bytes = small_file();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::vector<std::uint8_t> changed = bytes;
    changed[i] ^= 0x5A;
    EXPECT_NE(open_error(changed), "") << i;
  }
}

TEST(LosslessFile, DamagedChunkIsNamed) {
  std::vector<std::uint8_t> bytes = small_file();
  bytes[kHeaderBytes + 3] ^= 1;
  EXPECT_EQ(open_error(bytes), "lossless .ovkc: chunk 0 of 3: checksum mismatch");
}

// The bytes of a file, with reads from `failing` on answered by an I/O
// error, as a disk that fails under one chunk.
class FailingReadSource final : public ReadSource {
 public:
  FailingReadSource(std::span<const std::uint8_t> bytes, std::uint64_t failing)
      : memory_(bytes), failing_(failing) {}
  std::uint64_t size() const override { return memory_.size(); }
  Result<std::size_t> read_some(std::uint64_t offset, std::span<std::uint8_t> out) const override {
    if (offset >= failing_ && offset < failing_ + 16) return Error(ErrorKind::kOsError, "Input/output error");
    return memory_.read_some(offset, out);
  }

 private:
  MemoryReadSource memory_;
  std::uint64_t failing_;
};

// Which chunks a run with --skip-damaged hands on, and how it ends.
std::string skipping_run(const LosslessReader& reader, std::vector<std::size_t>& handed,
                         std::vector<std::size_t>& skipped) {
  std::vector<std::size_t> every(reader.summary().chunks.size());
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = i;
  const Status s = decode_chunks(reader, every, 64,
                                 {[&](std::size_t index, const Event64Vec&) -> Status {
                                    handed.push_back(index);
                                    return Ok{};
                                  },
                                  [&](std::size_t index, const Error&) {
                                    skipped.push_back(index);
                                    return true;
                                  }});
  return s.ok() ? "" : s.error().message();
}

TEST(LosslessFile, OnlyDamagedChunksAreSkipped) {
  std::vector<std::uint8_t> bytes = small_file();
  const std::uint64_t second = read_from_memory(bytes).value().summary().chunks[1].offset;
  // A read error is no proof of damage: the run ends there.
  Result<LosslessReader> failing =
      LosslessReader::from_source(std::make_unique<FailingReadSource>(bytes, second));
  ASSERT_TRUE(failing.ok());
  std::vector<std::size_t> handed;
  std::vector<std::size_t> skipped;
  EXPECT_EQ(skipping_run(failing.value(), handed, skipped), "Input/output error");
  EXPECT_EQ(handed, std::vector<std::size_t>{0});
  EXPECT_TRUE(skipped.empty());
  // Damaged bytes are skipped, the other chunks handed on.
  bytes[second + 3] ^= 1;
  handed.clear();
  EXPECT_EQ(skipping_run(read_from_memory(bytes).value(), handed, skipped), "");
  EXPECT_EQ(handed, (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(skipped, std::vector<std::size_t>{1});
}

TEST(LosslessFile, TableOutsideTheFile) {
  std::vector<std::uint8_t> bytes = small_file();
  put64(bytes, bytes.size() - kTrailerBytes, bytes.size() + 100);
  reseal_table(bytes);
  EXPECT_EQ(open_error(bytes), "lossless .ovkc: chunk table outside the file");
  bytes = small_file();
  const std::size_t table = bytes.size() - kTrailerBytes - 3 * kTableEntryBytes;
  put64(bytes, table + kTableEntryBytes, std::uint64_t{1} << 40);
  reseal_table(bytes);
  EXPECT_EQ(open_error(bytes), "lossless .ovkc: chunk 1 of 3: outside the file");
}

TEST(LosslessFile, VersionsOutsideTheReadOnesAreRefused) {
  for (const std::uint16_t version : {std::uint16_t{0}, std::uint16_t{5}, std::uint16_t{0xFFFF}}) {
    std::vector<std::uint8_t> bytes = small_file();
    bytes[4] = static_cast<std::uint8_t>(version);
    bytes[5] = static_cast<std::uint8_t>(version >> 8);
    put64(bytes, 16, XXH64(bytes.data(), 16, 0));
    EXPECT_EQ(open_error(bytes), "lossless .ovkc: unsupported version " + std::to_string(version));
  }
}

TEST(LosslessFile, InflatedCounts) {
  std::vector<std::uint8_t> bytes = small_file();
  const std::size_t table = bytes.size() - kTrailerBytes - 3 * kTableEntryBytes;
  bytes[table + 12] = 0xFF;
  bytes[table + 13] = 0xFF;
  reseal_table(bytes);
  EXPECT_EQ(open_error(bytes), "lossless .ovkc: chunk 0 of 3: 65535 events, more than a chunk holds");
}

TEST(LosslessFile, MoreEventsThanTheCodeHolds) {
  const Event64Vec events = random_events(50, 9, 640, 480);
  std::vector<std::uint8_t> code;
  encode_chunk(events, code);
  Event64Vec back;
  const Status s = decode_chunk(code, 100'000, back);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "code ends before its events");
}

TEST(LosslessFile, OccupancyMagicIsRejected) {
  std::vector<std::uint8_t> bytes = small_file();
  bytes[3] = 'C';
  EXPECT_EQ(open_error(bytes), "lossless .ovkc: not a lossless code file (bad magic)");
}

}  // namespace
}  // namespace ovk::lossless
