#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "io/recording_readers.h"
#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::as_span;
using testing_support::bytes;
using testing_support::error_message;
using testing_support::event;
using testing_support::ScratchDir;

Result<EventVec> compact(std::string_view data) { return decode_compact(as_span(data)); }
Result<EventVec> nmnist(std::string_view data) { return decode_nmnist(as_span(data)); }
Result<EventVec> aedat(std::string_view data) { return decode_aedat2(as_span(data)); }

TEST(IoBinaryReaders, CompactRecordsAreLittleEndianInFileOrder) {
  EXPECT_TRUE(compact("").value().empty());
  EXPECT_EQ(compact(bytes({1, 2, 3, 4, 5, 6, 7, 8, 9})).value(),
            EventVec{event(513, 1027, 134678021, 9)});
  // Full-range fields, a polarity of 255 kept as is, decreasing timestamps kept in order.
  const std::string two = bytes({0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) +
                          bytes({0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(compact(two).value(),
            (EventVec{event(65535, 65534, 4294967295u, 255), event(0, 0, 0, 0)}));
}

TEST(IoBinaryReaders, CompactSizeMustBeMultipleOfNine) {
  for (const std::size_t size : {1u, 8u, 10u, 17u}) {
    const auto result = compact(std::string(size, '\x01'));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(result.error().message(),
              "Compact binary file size " + std::to_string(size) + " is not a multiple of 9");
  }
}

TEST(IoBinaryReaders, NmnistRecordsAreBigEndianWithPolarityBit) {
  EXPECT_TRUE(nmnist("").value().empty());
  EXPECT_EQ(nmnist(bytes({0x10, 0x20, 0x81, 0x02, 0x03})).value(),
            EventVec{event(16, 32, 66051, 1)});
  EXPECT_EQ(nmnist(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF})).value(),
            EventVec{event(255, 255, 8388607, 1)});
  // Timestamps that restart from zero stay as stored.
  EXPECT_EQ(nmnist(bytes({1, 2, 0x7F, 0xFF, 0xFF, 3, 4, 0x00, 0x00, 0x00})).value(),
            (EventVec{event(1, 2, 8388607, 0), event(3, 4, 0, 0)}));
}

TEST(IoBinaryReaders, NmnistSizeMustBeMultipleOfFive) {
  const auto result = nmnist(std::string(7, '\0'));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(result.error().message(), "N-MNIST file size 7 is not a multiple of 5");
}

const std::string kAedatRecord = bytes({0x80, 0x00, 0x4A, 0x35, 0x00, 0x01, 0xE2, 0x40});

TEST(IoBinaryReaders, AedatRecordSplitsAddressIgnoringHighBits) {
  const EventVec expected{event(26, 74, 123456, 1)};
  EXPECT_EQ(aedat(kAedatRecord).value(), expected);
  EXPECT_EQ(aedat("#!AER-DAT2.0\n# any text\n" + kAedatRecord).value(), expected);
  // Bits 15 to 31 are ignored, whatever they hold.
  EXPECT_EQ(aedat(bytes({0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 7})).value(),
            EventVec{event(127, 127, 7, 1)});
}

TEST(IoBinaryReaders, AedatHeaderLinesEndAtLineFeed) {
  EXPECT_TRUE(aedat("").value().empty());
  EXPECT_TRUE(aedat("#!AER-DAT2.0\n#only header\n").value().empty());
  // A carriage return belongs to the line; the data starts after the line feed.
  EXPECT_EQ(aedat("#!AER-DAT2.0\r\n" + kAedatRecord).value().size(), 1u);
  // A data section whose first byte is '#' is taken for one more header line,
  // here a whole record that happens to end in 0x0A.
  const std::string header_like = bytes({0x23, 0, 0, 0, 0, 0, 0, 0x0A});
  EXPECT_EQ(aedat("#h\n" + header_like + kAedatRecord).value(), EventVec{event(26, 74, 123456, 1)});
  const std::string hash_record = bytes({0x23, 0, 0, 0x0A, 0, 0, 0, 1});
  EXPECT_EQ(error_message(aedat("#h\n" + hash_record)),
            "AEDAT2 data section size 4 is not a multiple of 8");
  // After the first data byte a '#' is data.
  const auto later = aedat("#h\n" + kAedatRecord + hash_record);
  ASSERT_TRUE(later.ok()) << error_message(later);
  EXPECT_EQ(later.value().size(), 2u);
  EXPECT_EQ(later.value()[1].t, 1u);
}

TEST(IoBinaryReaders, AedatHeaderWithoutFinalLineFeedIsAnEmptyRecording) {
  EXPECT_TRUE(aedat("#").value().empty());
  EXPECT_TRUE(aedat("#!AER-DAT2.0\n# truncated header").value().empty());
  EXPECT_TRUE(aedat("#x\n#" + kAedatRecord).value().empty());
}

TEST(IoBinaryReaders, AedatDataSectionSizeIsReported) {
  const auto result = aedat("#!AER-DAT2.0\n# two\n# three\n" + std::string(12, '\x01'));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(result.error().message(), "AEDAT2 data section size 12 is not a multiple of 8");
}

TEST(IoBinaryReaders, FileReadersMatchDecodersAndPassOpenErrorsThrough) {
  const ScratchDir dir;
  const std::string data = bytes({1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                  16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30,
                                  31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45});
  const std::string file = dir.write("any.name", data);
  EXPECT_EQ(read_compact(file).value(), compact(data).value());
  EXPECT_EQ(read_nmnist(file).value(), nmnist(data).value());
  EXPECT_EQ(error_message(read_aedat2(file)), "AEDAT2 data section size 45 is not a multiple of 8");

  const std::string missing = dir.path("missing");
  const std::string enoent = std::string(std::strerror(ENOENT)) + " (os error 2)";
  using Reader = Result<EventVec> (*)(std::string_view, const Interruptions&);
  for (const Reader reader : {Reader{&read_compact}, Reader{&read_nmnist}, Reader{&read_aedat2}}) {
    const auto result = reader(missing, retry_interrupted());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), ErrorKind::kOsError);
    EXPECT_EQ(result.error().message(), enoent);
    EXPECT_EQ(error_message(reader(std::string("a\0b", 3), retry_interrupted())),
              "file name contained an unexpected NUL byte");
  }
}

TEST(IoBinaryReaders, ArbitraryBytesNeverBreakTheDecoders) {
  const ScratchDir dir;
  std::mt19937 rng(12345);
  for (int round = 0; round < 2000; ++round) {
    std::string data(rng() % 64, '\0');
    for (char& c : data) {
      // Mostly '#', line feeds and digits so header and line handling get exercised.
      const unsigned pick = rng() % 8;
      c = pick == 0 ? '#' : pick == 1 ? '\n' : static_cast<char>(rng());
    }
    const auto c = compact(data);
    EXPECT_EQ(c.ok(), data.size() % 9 == 0);
    if (c.ok()) {
      EXPECT_EQ(c.value().size(), data.size() / 9);
    }
    const auto n = nmnist(data);
    EXPECT_EQ(n.ok(), data.size() % 5 == 0);
    const auto a = aedat(data);
    if (a.ok()) {
      EXPECT_LE(a.value().size() * 8, data.size());
    }
    const auto text = read_csv(dir.write("data.csv", data));
    if (text.ok()) {
      EXPECT_LE(text.value().size(), data.size() / 7);
    }
  }
}

}  // namespace
}  // namespace ovk::io
