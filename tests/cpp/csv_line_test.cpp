// The line scanner of the CSV reader against a small model written from the
// format's rules, on random lines; and the streamed reader against the
// in-memory decoder where lines cross the end of the read buffer.
#include "io/csv_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "io/recording_readers.h"
#include "csv_model.h"
#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::as_span;
using testing_support::error_message;
using testing_support::ScratchDir;

constexpr char32_t kBadByte = 0x110000;  // stands for a 0xFF byte: never UTF-8

std::string utf8(const std::u32string& line) {
  std::string out;
  for (const char32_t c : line) {
    if (c == kBadByte) {
      out += '\xff';
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {  // the model's alphabet stays below U+0800
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool model_space(char32_t c) { return c == ' ' || (c >= 9 && c <= 13) || c == 0xA0 || c == 0x85; }
bool model_separator(char32_t c) { return c == ',' || c == ' ' || c == '\t'; }

// The rules of a line, step by step, over code points.
CsvLineScan model(std::u32string line) {
  for (const char32_t c : line) {
    if (c == kBadByte) return {CsvLineFault::kInvalidUtf8, false, {}};
  }
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  while (!line.empty() && model_space(line.back())) line.pop_back();
  while (!line.empty() && model_space(line.front())) line.erase(line.begin());
  if (line.empty() || line[0] == '#') return {};
  if (!(line[0] >= '0' && line[0] <= '9') && line[0] != '+' && line[0] != '-') return {};
  std::vector<std::u32string> fields(1);
  for (const char32_t c : line) {
    if (!model_separator(c)) {
      fields.back() += c;
    } else if (!fields.back().empty()) {
      fields.emplace_back();
    }
  }
  if (fields.back().empty()) fields.pop_back();
  if (fields.size() < 4) return {};
  const std::uint64_t largest[4] = {65535, 65535, 4294967295U, 255};
  std::uint64_t values[4] = {};
  for (int i = 0; i < 4; ++i) {
    std::u32string field = fields[i];
    if (field[0] == '+') field.erase(field.begin());
    if (field.empty()) return {CsvLineFault::kInvalidDigit, false, {}};
    for (const char32_t c : field) {
      if (c < '0' || c > '9') return {CsvLineFault::kInvalidDigit, false, {}};
      values[i] = values[i] * 10 + (c - '0');
      if (values[i] > largest[i]) return {CsvLineFault::kTooLarge, false, {}};
    }
  }
  return {CsvLineFault::kNone, true,
          Event{.x = static_cast<std::uint16_t>(values[0]),
                .y = static_cast<std::uint16_t>(values[1]),
                .t = static_cast<std::uint32_t>(values[2]),
                .p = static_cast<std::uint8_t>(values[3])}};
}

void expect_same(const CsvLineScan& got, const CsvLineScan& want, const std::string& line) {
  EXPECT_EQ(got.fault, want.fault) << '"' << line << '"';
  EXPECT_EQ(got.has_event, want.has_event) << '"' << line << '"';
  if (got.has_event && want.has_event) {
    EXPECT_EQ(got.event, want.event) << '"' << line << '"';
  }
}

std::u32string random_line(std::mt19937& rng) {
  static const std::u32string kAlphabet =
      U"0123456789012345678901234567890123456789,,  \t+-#a\r\v\n";
  static const std::u32string kRare = {0xA0, 0xE9, 0x85, kBadByte};
  std::u32string line;
  const std::size_t length = rng() % 30;
  for (std::size_t i = 0; i < length; ++i) {
    line += rng() % 40 == 0 ? kRare[rng() % kRare.size()] : kAlphabet[rng() % kAlphabet.size()];
  }
  return line;
}

// Four or five numbers of 1 to 22 digits between runs of separators.
std::u32string random_data_line(std::mt19937& rng) {
  static const std::u32string kSeparators = U", \t";
  std::u32string line;
  const int fields = 3 + static_cast<int>(rng() % 3);
  for (int i = 0; i < fields; ++i) {
    if (i > 0) {
      for (std::size_t n = 1 + rng() % 2; n > 0; --n) line += kSeparators[rng() % 3];
    }
    const std::size_t digits = rng() % 4 == 0 ? 1 + rng() % 22 : 1 + rng() % 4;
    for (std::size_t d = 0; d < digits; ++d) line += static_cast<char32_t>('0' + rng() % 10);
  }
  if (rng() % 4 == 0) line += U'\r';
  if (rng() % 8 != 0) line += U'\n';
  return line;
}

TEST(CsvLineScan, AgreesWithTheModelOnRandomLines) {
  std::mt19937 rng(11);
  int data_lines = 0;
  int plain_lines = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::u32string line = i % 2 == 0 ? random_line(rng) : random_data_line(rng);
    const std::string bytes = utf8(line);
    const CsvLineScan want = model(line);
    expect_same(scan_csv_line(as_span(bytes)), want, bytes);
    data_lines += want.has_event ? 1 : 0;
    // The plain form, when it applies, ends at the line feed and agrees.
    if (bytes.empty() || bytes.back() != '\n') continue;
    const std::string followed = bytes + "9,9,9,9\n";
    CsvLineScan plain;
    const std::size_t length = scan_plain_csv_line(as_span(followed), plain);
    if (length > 0) {
      ++plain_lines;
      ASSERT_EQ(length, bytes.size()) << bytes;
      expect_same(plain, want, bytes);
    }
    if (HasFailure()) return;
  }
  // The generators reach every branch often.
  EXPECT_GT(data_lines, 10000);
  EXPECT_GT(plain_lines, 15000);
}

TEST(CsvLineScan, PlainFormByValue) {
  CsvLineScan scan;
  EXPECT_EQ(scan_plain_csv_line(as_span("1,2,3,4\nrest"), scan), 8U);
  EXPECT_EQ(scan.event, (Event{.x = 1, .y = 2, .t = 3, .p = 4}));
  EXPECT_EQ(scan_plain_csv_line(as_span("65535 \t65535,,4294967295\t255\r\n"), scan), 30U);
  EXPECT_EQ(scan.event, (Event{.x = 65535, .y = 65535, .t = 4294967295U, .p = 255}));
  EXPECT_EQ(scan_plain_csv_line(as_span("1,2,3,256\n"), scan), 10U);
  EXPECT_EQ(scan.fault, CsvLineFault::kTooLarge);
  // Not the plain form: left to the general scan.
  for (const char* line :
       {"1,2,3,4", " 1,2,3,4\n", "1,2,3,4 \n", "+1,2,3,4\n", "1,2,3\n", "1,2,3,4,5\n",
        "1,2,3,4\r\r\n", "1,2,3,4a\n", "1,2,3,00000000000000000001\n"}) {
    EXPECT_EQ(scan_plain_csv_line(as_span(line), scan), 0U) << line;
  }
}

// Data lines, a CRLF pair and a bad number placed across the 64 KiB reads.
TEST(CsvLineScan, StreamedReadsAgreeAcrossTheReadBuffer) {
  const ScratchDir dir;
  constexpr std::size_t kBuffer = 65536;
  for (std::size_t shift = 0; shift < 12; ++shift) {
    std::string text(kBuffer - 6 - shift, '#');
    text.back() = '\n';
    text += "12,34,5678,1\r\n";  // starts a few bytes before the end of the first read
    while (text.size() < 2 * kBuffer + 3) text += "1,2,3,4\n";
    text += "7,8,9,0";
    const auto streamed = read_csv(dir.write("a.csv", text));
    const auto in_memory = reference::decode_csv(as_span(text));
    ASSERT_TRUE(streamed.ok()) << error_message(streamed);
    EXPECT_EQ(streamed.value(), in_memory.value()) << shift;
    EXPECT_EQ(streamed.value().front(), (Event{.x = 12, .y = 34, .t = 5678, .p = 1}));
    EXPECT_EQ(streamed.value().back(), (Event{.x = 7, .y = 8, .t = 9, .p = 0}));

    std::string bad = text.substr(0, kBuffer - 6 - shift) + "1,2,3,99999\n";
    EXPECT_EQ(error_message(read_csv(dir.write("b.csv", bad))),
              "number too large to fit in target type");
  }
}

}  // namespace
}  // namespace ovk::io
