#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "io/recording_readers.h"
#include "io_test_support.h"

namespace ovk::io {
namespace {

using namespace testing_support;  // NOLINT: the suite's own helpers

// The reader on `text`, through a file.
Result<EventVec> csv(std::string_view text) {
  static const ScratchDir dir;
  return read_csv(dir.write("text.csv", std::string(text)));
}

// "#", `length` copies of `fill`, then `tail`.
std::string comment(std::size_t length, char fill, std::string_view tail) {
  std::string line(1, '#');
  line.append(length, fill);
  line.append(tail);
  return line;
}

constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";
constexpr const char* kBadUtf8 = "stream did not contain valid UTF-8";

TEST(IoCsvReader, SkipsHeadersCommentsBlankAndShortLines) {
  const auto result =
      csv("x,y,t,p\n"
          "# recorded 2024\n"
          "\n"
          "   \t \n"
          "1,2,3\n"
          "timestamp 5 6 7 8\n"
          "4,5,6,1\n");
  ASSERT_TRUE(result.ok()) << error_message(result);
  EXPECT_EQ(result.value(), EventVec{event(4, 5, 6, 1)});
  EXPECT_TRUE(csv("# only\nx y t p\n\n").value().empty());
  EXPECT_TRUE(csv("").value().empty());
}

TEST(IoCsvReader, SeparatorsAndSurroundingSpace) {
  const EventVec expected{event(1, 2, 3, 1)};
  for (const char* line : {"1, 2, 3, 1", "1\t2\t3\t1", "1 2 3 1", "1,,2 ,\t3,1,", "1,2,3,1\r\n",
                           "1,2,3,1\n", "001,0002,03,+01"}) {
    const auto result = csv(line);
    ASSERT_TRUE(result.ok()) << line << ": " << error_message(result);
    EXPECT_EQ(result.value(), expected) << line;
  }
  // Five fields: the fifth is ignored. A leading '+' is accepted.
  EXPECT_EQ(csv("10,20,30,1,99\n").value(), EventVec{event(10, 20, 30, 1)});
  EXPECT_EQ(csv("   +5,6,7,8   \n").value(), EventVec{event(5, 6, 7, 8)});
  // A line starting with a separator is a header line.
  EXPECT_TRUE(csv(",1,2,3,1\n").value().empty());
  // Unicode white space is trimmed at both ends but separates nothing inside.
  EXPECT_EQ(csv("\u3000\u00a01,2,3,4\u2028\u0085\v\f\r\n").value(), EventVec{event(1, 2, 3, 4)});
  EXPECT_EQ(error_message(csv("1\u00a02,3,4,5")), kInvalidDigit);
}

TEST(IoCsvReader, LargestValuesAndLastLineWithoutLineFeed) {
  const auto result = csv("65535,65535,4294967295,255\n0,0,0,0");
  ASSERT_TRUE(result.ok()) << error_message(result);
  EXPECT_EQ(result.value(), (EventVec{event(65535, 65535, 4294967295u, 255), event(0, 0, 0, 0)}));
}

TEST(IoCsvReader, BadNumbersEndTheLoad) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"-1,2,3,1", kInvalidDigit},
      {"1.5,2,3,1", kInvalidDigit},
      {"1,2,3,-1", kInvalidDigit},
      {"1,2,3e2,1", kInvalidDigit},
      {"0x1,2,3,1", kInvalidDigit},
      {"+,2,3,1", kInvalidDigit},
      {"-,2,3,1", kInvalidDigit},
      {"++1,2,3,1", kInvalidDigit},
      {"1,2,3,p", kInvalidDigit},
      {"1,2,3,1_0", kInvalidDigit},
      {"70000,2,3,1", kTooLarge},
      {"1,65536,3,1", kTooLarge},
      {"1,2,4294967296,1", kTooLarge},
      {"1,2,99999999999999999999999999,1", kTooLarge},
      {"1,2,3,256", kTooLarge},
      // Fields are parsed in order x, y, t, p, each left to right.
      {"70000,-1,3,1", kTooLarge},
      {"1,-1,99999999999,1", kInvalidDigit},
      {"1,2,3,2560x", kTooLarge},
  };
  for (const Case& c : cases) {
    const auto result = csv(std::string("5,5,5,5\n") + c.text + "\n6,6,6,6\n");
    ASSERT_FALSE(result.ok()) << c.text;
    EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidData) << c.text;
    EXPECT_EQ(result.error().message(), c.message) << c.text;
  }
}

TEST(IoCsvReader, EveryLineMustBeUtf8) {
  for (const std::string& text : {
           std::string("# caf\xe9\n1,2,3,4\n"),        // Latin-1 byte in a comment
           std::string("x,y,t,p\xff\n"),               // header line
           std::string("1,2,3,4\n\xc0\x80\n"),         // overlong NUL
           std::string("1,2,3,4\n#\xed\xa0\x80\n"),    // surrogate
           std::string("1,2,3,4\n#\xf4\x90\x80\x80"),  // above U+10FFFF
           std::string("1,2,3,4\n#\xe2\x82"),          // truncated at end of file
       }) {
    EXPECT_EQ(error_message(csv(text)), kBadUtf8);
  }
  EXPECT_EQ(csv("# caf\xc3\xa9 \xf0\x9f\x98\x80\n1,2,3,4\n").value().size(), 1u);
}

TEST(IoCsvReader, ByteOrderMarkMakesFirstLineAHeader) {
  EXPECT_EQ(csv("\xef\xbb\xbf"
                "1,2,3,4\n5,6,7,0\n")
                .value(),
            EventVec{event(5, 6, 7, 0)});
}

TEST(IoCsvReader, FileReaderFailures) {
  const ScratchDir dir;
  EXPECT_EQ(error_message(read_csv(dir.path("missing.csv"))),
            std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(error_message(read_csv(dir.path(std::string("a\0b.csv", 7)))),
            "file name contained an unexpected NUL byte");
  const auto directory = read_csv(dir.make_dir("d.csv"));
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().kind(), ErrorKind::kOsError);
  EXPECT_EQ(directory.error().message(), std::string(std::strerror(EISDIR)) + " (os error 21)");
  EXPECT_EQ(error_message(read_csv(dir.write("late.csv", "1,2,3,4\n1,2,3,x\n"))), kInvalidDigit);
}

// The file reader goes through an 8192-byte buffer: lines that cross its end,
// lines longer than it, and characters split between two fills.
TEST(IoCsvReader, LinesAcrossAndBeyondTheReadBuffer) {
  const ScratchDir dir;
  const std::string long_comment = comment(20000, 'c', "\n");
  const std::string padded_data = std::string(9000, ' ') + "7,8,9,1" + std::string(9000, '\t');
  // A comment filling the buffer up to two bytes, so the next line straddles.
  const std::string almost_full = comment(8189, 'a', "\n");
  // Starts at offset 8199, so "é" is split between the second and third fill.
  const std::string split_char = comment(8183, 'b', "\xc3\xa9\n");
  const std::string text = almost_full + "1,2,3,4\n" + split_char + long_comment + padded_data +
                           "\n" + comment(8190, '#', "\n5,6,7,0");
  const EventVec expected{event(1, 2, 3, 4), event(7, 8, 9, 1), event(5, 6, 7, 0)};
  const auto streamed = read_csv(dir.write("long.csv", text));
  ASSERT_TRUE(streamed.ok()) << error_message(streamed);
  EXPECT_EQ(streamed.value(), expected);
  EXPECT_EQ(csv(text).value(), expected);

  // A bad byte far beyond the first buffer, inside a long line, still fails.
  EXPECT_EQ(
      error_message(read_csv(dir.write("bad.csv", "1,2,3,4\n" + comment(10000, 'z', "\xff\n")))),
      kBadUtf8);
}

TEST(IoCsvReader, StreamedAndInMemoryReadsAgree) {
  const ScratchDir dir;
  std::mt19937 rng(2024);
  std::string text;
  EventVec expected;
  while (text.size() < 100000) {
    switch (rng() % 4) {
      case 0:
        text += "# " + std::string(rng() % 9000, 'x') + "\n";
        break;
      case 1:
        text += std::string(rng() % 20, ' ') + "\r\n";
        break;
      default: {
        const Event e = event(static_cast<std::uint16_t>(rng()), static_cast<std::uint16_t>(rng()),
                              static_cast<std::uint32_t>(rng()), static_cast<std::uint8_t>(rng()));
        text += std::to_string(e.x) + ", " + std::to_string(e.y) + "\t" + std::to_string(e.t) +
                " " + std::to_string(e.p) + "\r\n";
        expected.push_back(e);
      }
    }
  }
  const auto streamed = read_csv(dir.write("random.txt", text));
  ASSERT_TRUE(streamed.ok()) << error_message(streamed);
  EXPECT_EQ(streamed.value(), expected);
  EXPECT_EQ(csv(text).value(), expected);
}

}  // namespace
}  // namespace ovk::io
