#include "io/compact_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "io/recording_readers.h"
#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::event;

TEST(CompactWriter, WritesLittleEndianRecordsByValue) {
  const EventVec events{event(0x0102, 0x0304, 0x05060708, 0x09), event(65535, 0, 4294967295U, 255)};
  const Result<std::vector<std::uint8_t>> bytes = encode_compact(events);
  ASSERT_TRUE(bytes.ok());
  const std::vector<std::uint8_t> expected{0x02, 0x01, 0x04, 0x03, 0x08, 0x07, 0x06, 0x05, 0x09,
                                           0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(bytes.value(), expected);
}

TEST(CompactWriter, NoEventsGiveNoBytes) {
  const Result<std::vector<std::uint8_t>> bytes = encode_compact(EventSpan{});
  ASSERT_TRUE(bytes.ok());
  EXPECT_TRUE(bytes.value().empty());
}

TEST(CompactWriter, AppendsAfterWhatIsThere) {
  std::vector<std::uint8_t> out{0xAA, 0xBB};
  const EventVec events{event(1, 2, 3, 4)};
  ASSERT_TRUE(append_compact_records(events, out).ok());
  const std::vector<std::uint8_t> expected{0xAA, 0xBB, 1, 0, 2, 0, 3, 0, 0, 0, 4};
  EXPECT_EQ(out, expected);
}

TEST(CompactWriter, DecodingTheRecordsGivesTheEventsBack) {
  std::mt19937 rng(7);
  EventVec events;
  for (int i = 0; i < 1000; ++i) {
    events.push_back(event(static_cast<std::uint16_t>(rng()), static_cast<std::uint16_t>(rng()),
                           static_cast<std::uint32_t>(rng()), static_cast<std::uint8_t>(rng())));
  }
  const Result<std::vector<std::uint8_t>> bytes = encode_compact(events);
  ASSERT_TRUE(bytes.ok());
  ASSERT_EQ(bytes.value().size(), events.size() * kCompactRecordBytes);
  const Result<EventVec> back = decode_compact(bytes.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), events);
}

}  // namespace
}  // namespace ovk::io
