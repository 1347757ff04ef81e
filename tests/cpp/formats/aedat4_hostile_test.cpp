// Damaged and hostile AEDAT 4 files: each read ends in a one-line error (or
// a valid prefix of the events), never a crash or an unbounded allocation.
#include <gtest/gtest.h>

#include <random>

#include "formats/aedat4_fixture.h"
#include "source_support.h"
#include "io/formats/aedat4_reader.h"
#include "memory_byte_input.h"

namespace ovk::io {
namespace {

using test::aedat4_file;
using test::aedat4_header;
using test::append_packet;
using test::Bytes;
using test::Compression;
using test::event_packet;
using test::failure_of;

const std::vector<test::FixtureStream> kStreams = {{0, "EVTS", std::pair{64, 48}}, {1, "IMUS", {}}};

Event64Vec some_events(std::size_t count) {
  Event64Vec events;
  for (std::size_t i = 0; i < count; ++i) {
    events.push_back({static_cast<std::uint16_t>(i % 64), static_cast<std::uint16_t>(i % 48),
                      1'000'000 + i * 7, static_cast<std::uint8_t>(i & 1)});
  }
  return events;
}

Bytes small_file(Compression compression, bool table) {
  const Event64Vec events = some_events(40);
  return aedat4_file(compression, kStreams,
                     {{0, event_packet(Event64Span(events).first(25))},
                      {1, Bytes(12, 9)},
                      {0, event_packet(Event64Span(events).subspan(25))}},
                     table);
}

std::string header_xml() { return test::stream_xml(kStreams); }

// A read's result: the error, or the events.
struct Outcome {
  std::string error;
  Event64Vec events;
};

Outcome read_bytes(Bytes bytes, std::size_t limit = kMaxAedat4PacketBytes) {
  auto source = open_aedat4_input(memory_byte_input(std::move(bytes)), limit);
  if (!source.ok()) return {source.error().message(), {}};
  auto events = test::drain(*source.value());
  if (!events.ok()) return {events.error(), {}};
  return {"", events.value()};
}

TEST(Aedat4Hostile, EveryTruncationIsAnErrorOrAPrefix) {
  for (auto compression : {Compression::None, Compression::Lz4, Compression::Zstd}) {
    for (bool table : {false, true}) {
      const Bytes file = small_file(compression, table);
      const Event64Vec all = some_events(40);
      for (std::size_t n = 0; n < file.size(); ++n) {
        const Outcome outcome = read_bytes(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)));
        if (!outcome.error.empty()) {
          EXPECT_EQ(outcome.error.find('\n'), std::string::npos);
          continue;
        }
        // Only a cut between packets of a file without a table, or inside
        // the table (which a sequential read does not need), reads whole.
        const std::size_t table_at = file.size() - 5;
        EXPECT_TRUE(!table || n >= table_at) << "cut at " << n;
        if (table) {
          EXPECT_EQ(outcome.events, all);
        }
        ASSERT_LE(outcome.events.size(), all.size());
        EXPECT_TRUE(std::equal(outcome.events.begin(), outcome.events.end(), all.begin()));
      }
    }
  }
}

TEST(Aedat4Hostile, RandomBytesAfterAValidHeader) {
  std::mt19937 rng(11);
  for (auto compression : {Compression::None, Compression::Lz4, Compression::Zstd}) {
    for (int round = 0; round < 300; ++round) {
      Bytes file = aedat4_header(compression, header_xml());
      const std::size_t n = rng() % 200;
      for (std::size_t i = 0; i < n; ++i) file.push_back(static_cast<std::uint8_t>(rng()));
      // Sometimes a plausible packet header in front of the noise.
      if (round % 2 == 0) {
        Bytes noise(file.end() - static_cast<std::ptrdiff_t>(n), file.end());
        file.resize(file.size() - n);
        append_packet(file, 0, noise);
      }
      (void)read_bytes(file);
    }
  }
}

TEST(Aedat4Hostile, PacketClaimingMoreBytesThanTheFileHolds) {
  Bytes file = aedat4_header(Compression::Lz4, header_xml());
  const std::size_t at = file.size();
  test::put_u32(file, 0);
  test::put_u32(file, 1'000'000);
  file.insert(file.end(), 10, 0);
  EXPECT_EQ(read_bytes(file).error, "AEDAT 4 packet at byte " + std::to_string(at + 8) +
                                        " claims 1000000 bytes, but only 10 remain");
}

TEST(Aedat4Hostile, NegativeAndAbsurdSizes) {
  Bytes negative = aedat4_header(Compression::Lz4, header_xml());
  const std::size_t at = negative.size();
  test::put_u32(negative, 0);
  test::put_u32(negative, 0xFFFFFFF0u);
  EXPECT_EQ(read_bytes(negative).error,
            "AEDAT 4 packet at byte " + std::to_string(at) + " has negative size -16");

  Bytes header(kAedat4VersionLine.begin(), kAedat4VersionLine.end());
  test::put_u32(header, 0x7FFFFFFF);
  EXPECT_EQ(read_bytes(header).error, "AEDAT 4 header claims 2147483647 bytes");
}

TEST(Aedat4Hostile, LyingLz4FrameContentSize) {
  // An LZ4 frame whose header declares 2^40 bytes of content but holds a
  // few: the reader allocates by what it decodes, not by the claim.
  const Bytes packet = event_packet(some_events(3));
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.contentSize = packet.size();
  Bytes body(LZ4F_compressFrameBound(packet.size(), &prefs));
  body.resize(LZ4F_compressFrame(body.data(), body.size(), packet.data(), packet.size(), &prefs));
  // Content size sits after magic (4) and FLG/BD (2); the header checksum
  // byte then no longer matches, which LZ4 reports.
  std::uint64_t huge = std::uint64_t{1} << 40;
  std::memcpy(body.data() + 6, &huge, 8);
  Bytes file = aedat4_header(Compression::Lz4, header_xml());
  append_packet(file, 0, body);
  const std::string error = read_bytes(file).error;
  EXPECT_NE(error.find("LZ4"), std::string::npos) << error;
}

// The limit is lowered to 4 MiB here to keep the test quick; the reader's
// growth is the same at any limit.
TEST(Aedat4Hostile, DecompressionBombIsStoppedAtTheLimit) {
  constexpr std::size_t kLimit = std::size_t{4} << 20;
  const Bytes zeros(kLimit + 1024, 0);
  for (auto compression : {Compression::Lz4, Compression::Zstd}) {
    Bytes file = aedat4_header(compression, header_xml());
    const std::size_t at = file.size();
    append_packet(file, 0, test::compress(compression, zeros));
    EXPECT_EQ(read_bytes(file, kLimit).error, "AEDAT 4 packet at byte " + std::to_string(at) +
                                                  " decompresses to more than " +
                                                  std::to_string(kLimit) + " bytes");
  }
  Bytes packet_too_large = aedat4_header(Compression::None, header_xml());
  append_packet(packet_too_large, 0, Bytes(kLimit + 1, 0));
  EXPECT_EQ(read_bytes(packet_too_large, kLimit).error,
            "AEDAT 4 packet at byte " + std::to_string(packet_too_large.size() - kLimit - 9) +
                " claims " + std::to_string(kLimit + 1) + " bytes, more than the " +
                std::to_string(kLimit) + " accepted");
}

TEST(Aedat4Hostile, TruncatedCompressedFrames) {
  const Bytes packet = event_packet(some_events(30));
  for (auto compression : {Compression::Lz4, Compression::Zstd}) {
    Bytes body = test::compress(compression, packet);
    body.resize(body.size() - 3);
    Bytes file = aedat4_header(compression, header_xml());
    append_packet(file, 0, body);
    const std::string error = read_bytes(file).error;
    EXPECT_NE(error, "");
    EXPECT_NE(error.find(compression == Compression::Lz4 ? "LZ4" : "zstd"), std::string::npos)
        << error;
  }
}

TEST(Aedat4Hostile, WrongPacketTypesAndHeaders) {
  // An IMU-like flatbuffer in the event stream.
  Bytes wrong = aedat4_header(Compression::None, header_xml());
  append_packet(wrong, 0, Bytes{8, 0, 0, 0, 4, 0, 0, 0, 'I', 'M', 'U', 'S'});
  EXPECT_NE(read_bytes(wrong).error.find("not a valid event packet flatbuffer"), std::string::npos);

  Bytes unknown = aedat4_header(static_cast<Compression>(9), header_xml());
  EXPECT_EQ(read_bytes(unknown).error, "AEDAT 4 header names unknown compression 9");

  Bytes not_header(kAedat4VersionLine.begin(), kAedat4VersionLine.end());
  test::put_u32(not_header, 12);
  not_header.insert(not_header.end(), 12, 0xEE);
  EXPECT_EQ(read_bytes(not_header).error, "AEDAT 4 header is not a valid IOHeader flatbuffer");

  Bytes table_behind = aedat4_header(Compression::None, header_xml(), 5);
  EXPECT_EQ(read_bytes(table_behind).error, "AEDAT 4 header gives packet table position 5");

  const Bytes far = aedat4_header(Compression::None, header_xml(), 1'000'000);
  EXPECT_EQ(read_bytes(far).error, "AEDAT 4 file ends at byte " + std::to_string(far.size()) +
                                       " before its packet table at byte 1000000");
  EXPECT_EQ(read_bytes(Bytes{'#', '!', 'A'}).error,
            "AEDAT 4 file ends inside the version line at byte 0 (3 of 18 bytes)");
}

TEST(Aedat4Hostile, NegativeCoordinatesAndTimes) {
  flatbuffers::FlatBufferBuilder builder;
  std::vector<aedat4::Event> elements = {aedat4::Event(-1, 3, 4, true)};
  aedat4::FinishSizePrefixedEventPacketBuffer(
      builder, aedat4::CreateEventPacket(builder, builder.CreateVectorOfStructs(elements)));
  Bytes file = aedat4_header(Compression::None, header_xml());
  append_packet(file, 0, test::finished(builder));
  EXPECT_NE(read_bytes(file).error.find("AEDAT 4 event (x 3, y 4, t -1) is outside"),
            std::string::npos);
}

TEST(Aedat4Hostile, MissingFileIsAnOsError) {
  auto source = open_aedat4("/nonexistent/folder/file.aedat4");
  ASSERT_FALSE(source.ok());
  EXPECT_EQ(source.error().kind(), ErrorKind::kOsError);
}

}  // namespace
}  // namespace ovk::io
