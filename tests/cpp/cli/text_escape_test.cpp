// Paths made safe for a terminal, and kept byte for byte in JSON.
#include "cli/text_escape.h"

#include <gtest/gtest.h>

#include <string>

#include "cli/sweep_report.h"

namespace ovk::cli {
namespace {

TEST(TextEscape, ControlCharactersAndBadBytesAreEscaped) {
  EXPECT_EQ(escape_for_terminal("plain/é/名前.evb"), "plain/é/名前.evb");
  EXPECT_EQ(escape_for_terminal("a\nb\tc\rd"), "a\\nb\\tc\\rd");
  EXPECT_EQ(escape_for_terminal("\x1b[31mred"), "\\x1b[31mred");
  EXPECT_EQ(escape_for_terminal(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(escape_for_terminal("\x7f"), "\\x7f");
  EXPECT_EQ(escape_for_terminal("\xc2\x9b"), "\\xc2\\x9b");  // U+009B, the C1 escape
  EXPECT_EQ(escape_for_terminal("\xff\xfe"), "\\xff\\xfe");
  EXPECT_EQ(escape_for_terminal("\xe2\x82"), "\\xe2\\x82");  // a truncated sequence
  for (int c = 0; c < 256; ++c) {
    const std::string out = escape_for_terminal(std::string(1, static_cast<char>(c)));
    for (const char o : out) {
      EXPECT_FALSE(static_cast<unsigned char>(o) < 0x20 || o == 0x7f) << c;
    }
  }
}

TEST(TextEscape, JsonKeepsBytesAsSurrogateEscapes) {
  EXPECT_EQ(json_string("é"), "\"é\"");
  EXPECT_EQ(json_string("a\xff"), "\"a\\udcff\"");
  EXPECT_EQ(json_string("\xe2\x82" "b"), "\"\\udce2\\udc82b\"");
  EXPECT_NE(json_string("a\xff"), json_string("a\xfe"));
  EXPECT_EQ(json_string("q\"\\\n"), "\"q\\\"\\\\\\u000a\"");
}

}  // namespace
}  // namespace ovk::cli
