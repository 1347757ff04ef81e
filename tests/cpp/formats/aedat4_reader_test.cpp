#include "io/formats/aedat4_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "formats/aedat4_fixture.h"
#include "source_support.h"
#include "io/formats/aedat4_streams.h"
#include "memory_byte_input.h"

namespace ovk::io {
namespace {

using test::aedat4_file;
using test::Bytes;
using test::drain;
using test::event_packet;
using test::failure_of;
using test::FixturePacket;
using test::FixtureStream;

std::string real_file(const std::string& name) {
  return std::string(OVK_REAL_DATA_DIR) + "/aedat4/" + name;
}

Event64Vec random_events(std::size_t count, std::uint32_t seed, std::uint16_t width = 346,
                         std::uint16_t height = 260) {
  std::mt19937_64 rng(seed);
  Event64Vec events;
  std::uint64_t t = 1589163005536052ull;
  for (std::size_t i = 0; i < count; ++i) {
    t += rng() % 50;
    events.push_back({static_cast<std::uint16_t>(rng() % width),
                      static_cast<std::uint16_t>(rng() % height), t,
                      static_cast<std::uint8_t>(rng() & 1)});
  }
  return events;
}

const std::vector<FixtureStream> kDavisStreams = {
    {0, "EVTS", std::pair{346, 260}}, {1, "FRME", std::pair{346, 260}}, {2, "IMUS", {}}, {3, "TRIG", {}}};

// Events split over packets of the event stream, with other streams' packets
// (whose bodies are never decoded) between them.
Bytes davis_file(test::Compression compression, const Event64Vec& events, bool table = false) {
  std::vector<FixturePacket> packets;
  for (std::size_t at = 0; at < events.size(); at += 1000) {
    const std::size_t n = std::min<std::size_t>(1000, events.size() - at);
    packets.push_back({0, event_packet(Event64Span(events).subspan(at, n))});
    packets.push_back({2, Bytes(40, 0xAB)});
    if (at % 3000 == 0) packets.push_back({1, Bytes(300, 0xCD)});
  }
  packets.push_back({3, Bytes(7, 1)});
  return aedat4_file(compression, kDavisStreams, packets, table);
}

TEST(Aedat4Reader, SniffsTheVersionLine) {
  const std::string good = "#!AER-DAT4.0\r\n\x10";
  EXPECT_TRUE(looks_like_aedat4(std::span(reinterpret_cast<const std::uint8_t*>(good.data()), good.size())));
  const std::string old = "#!AER-DAT2.0\r\n";
  EXPECT_FALSE(looks_like_aedat4(std::span(reinterpret_cast<const std::uint8_t*>(old.data()), old.size())));
  EXPECT_FALSE(looks_like_aedat4({}));
}

TEST(Aedat4Reader, ReadsEveryCompressionAndSkipsOtherStreams) {
  const Event64Vec events = random_events(70'123, 7);
  for (auto compression : {test::Compression::None, test::Compression::Lz4, test::Compression::Lz4High,
                           test::Compression::Zstd, test::Compression::ZstdHigh}) {
    for (bool table : {false, true}) {
      auto source = open_aedat4_input(memory_byte_input(davis_file(compression, events, table)));
      ASSERT_TRUE(source.ok()) << source.error().message();
      EXPECT_EQ(source.value()->declared_sensor(), (SensorGeometry{346, 260}));
      auto read = drain(*source.value());
      ASSERT_TRUE(read.ok()) << read.error();
      EXPECT_EQ(read.value(), events);
      const auto skipped = source.value()->skipped_records();
      ASSERT_EQ(skipped.size(), 3u);
      EXPECT_EQ(skipped[0].kind, "IMU packets");
      EXPECT_EQ(skipped[0].count, 71u);
      EXPECT_EQ(skipped[1].kind, "frame packets");
      EXPECT_EQ(skipped[1].count, 24u);
      EXPECT_EQ(skipped[2].kind, "trigger packets");
      EXPECT_EQ(skipped[2].count, 1u);
    }
  }
}

TEST(Aedat4Reader, FileWithoutEventStreamHasNoEvents) {
  const Bytes file = aedat4_file(test::Compression::Lz4, {{2, "IMUS", {}}}, {{2, Bytes(10, 0)}});
  auto source = open_aedat4_input(memory_byte_input(file));
  ASSERT_TRUE(source.ok());
  EXPECT_EQ(source.value()->declared_sensor(), std::nullopt);
  auto read = drain(*source.value());
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read.value().empty());
  EXPECT_EQ(source.value()->skipped_records().at(0).count, 1u);
}

TEST(Aedat4Reader, EventsOutsideTheSensorAreErrors) {
  const std::vector<FixtureStream> streams = {{0, "EVTS", std::pair{346, 260}}};
  const Event64Vec events = {{10, 300, 5, 1}};
  const Bytes file = aedat4_file(test::Compression::Lz4, streams, {{0, event_packet(events)}});
  const std::size_t packet_at =
      test::aedat4_header(test::Compression::Lz4, test::stream_xml(streams)).size();
  EXPECT_EQ(failure_of(open_aedat4_input(memory_byte_input(file))),
            "AEDAT 4 event (x 10, y 300, t 5) is outside the 346x260 sensor (packet at byte " +
                std::to_string(packet_at) + ")");
}

TEST(Aedat4Reader, SourceIsSpentAfterItsFirstError) {
  const std::vector<FixtureStream> streams = {{0, "EVTS", std::pair{346, 260}}};
  const Event64Vec events = {{10, 300, 5, 1}};
  auto source = open_aedat4_input(memory_byte_input(
      aedat4_file(test::Compression::Lz4, streams, {{0, event_packet(events)}})));
  ASSERT_TRUE(source.ok());
  Event64Vec block = {{1, 2, 3, 0}};
  EXPECT_FALSE(source.value()->next_block(block).ok());
  EXPECT_TRUE(block.empty());
  block = {{1, 2, 3, 0}};
  const Status again = source.value()->next_block(block);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "AEDAT 4 source already failed");
  EXPECT_EQ(again.error().kind(), ErrorKind::kInvalidData);
  EXPECT_TRUE(block.empty());
}

TEST(Aedat4Streams, ParsesStreamsAndSizes) {
  auto streams = parse_aedat4_streams(test::stream_xml(kDavisStreams));
  ASSERT_TRUE(streams.ok());
  ASSERT_EQ(streams.value().size(), 4u);
  EXPECT_EQ(streams.value()[0].type, "EVTS");
  EXPECT_EQ(streams.value()[0].sensor, (SensorGeometry{346, 260}));
  EXPECT_EQ(streams.value()[2].type, "IMUS");
  EXPECT_EQ(streams.value()[2].sensor, std::nullopt);
  auto bad = parse_aedat4_streams(test::stream_xml({{0, "EVTS", std::pair{70000, 10}}}));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "stream 0 declares sizeX '70000', not a size from 1 to 65535");
  auto empty = parse_aedat4_streams("");
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
}

// The two real recordings; counts and sensors from their sources' notes,
// first and last events as three independent readers give them.
struct RealAedat4 {
  const char* name;
  std::size_t count;
  SensorGeometry sensor;
  Event64 first;
  Event64 last;
  std::vector<std::pair<std::string, std::uint64_t>> skipped;
};

class RealAedat4Files : public ::testing::TestWithParam<RealAedat4> {};

TEST_P(RealAedat4Files, MatchPinnedFacts) {
  if (!std::filesystem::is_directory(OVK_REAL_DATA_DIR)) {
    GTEST_SKIP() << "real recordings not available at " << OVK_REAL_DATA_DIR;
  }
  const RealAedat4& want = GetParam();
  auto source = open_aedat4(real_file(want.name));
  ASSERT_TRUE(source.ok()) << source.error().message();
  EXPECT_EQ(source.value()->declared_sensor(), want.sensor);
  auto read = drain(*source.value());
  ASSERT_TRUE(read.ok()) << read.error();
  const Event64Vec& events = read.value();
  ASSERT_EQ(events.size(), want.count);
  EXPECT_EQ(events.front(), want.first);
  EXPECT_EQ(events.back(), want.last);
  std::vector<std::pair<std::string, std::uint64_t>> skipped;
  for (const auto& s : source.value()->skipped_records()) skipped.emplace_back(s.kind, s.count);
  EXPECT_EQ(skipped, want.skipped);
}

INSTANTIATE_TEST_SUITE_P(
    Pinned, RealAedat4Files,
    ::testing::Values(
        RealAedat4{"tonic_sample.aedat4", 111954, {320, 240}, {154, 204, 1605537493718345ull, 0},
                   {88, 237, 1605537494308262ull, 1}, {{"IMU packets", 59}}},
        RealAedat4{"evvislib_sample.aedat4", 6676, {346, 260}, {215, 164, 1589163147368868ull, 1},
                   {96, 229, 1589163147538809ull, 1},
                   {{"IMU packets", 16}, {"frame packets", 4}, {"trigger packets", 13}}}),
    [](const auto& info) { return std::string(info.param.name).substr(0, 5); });

}  // namespace
}  // namespace ovk::io
