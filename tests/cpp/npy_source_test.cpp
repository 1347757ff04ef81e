#include "io/npy_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/python_literal.h"

namespace ovk::io {
namespace {

using Kind = PyLiteral::Kind;

std::string literal_error(std::string_view text) {
  const Result<PyLiteral> parsed = parse_python_literal(text);
  return parsed.ok() ? "parsed" : parsed.error().message();
}

TEST(PythonLiteral, ReadsAHeaderAsNumPyWritesIt) {
  const Result<PyLiteral> parsed = parse_python_literal(
      "{'descr': [('x', '<u2'), (('title', 'y'), \"<i4\", (2, 3))], 'fortran_order': False, "
      "'shape': (18446744073709551,), 'n': -9223372036854775808, 'z': None, 'w': True, }   \n");
  ASSERT_TRUE(parsed.ok()) << parsed.error().message();
  const PyLiteral& dict = parsed.value();
  ASSERT_EQ(dict.kind, Kind::kDict);
  EXPECT_EQ(dict.keys, (std::vector<std::string>{"descr", "fortran_order", "shape", "n", "z", "w"}));
  const PyLiteral& descr = *dict.find("descr");
  ASSERT_EQ(descr.kind, Kind::kList);
  ASSERT_EQ(descr.items.size(), 2U);
  EXPECT_EQ(descr.items[1].items[0].items[1].text, "y");
  EXPECT_EQ(descr.items[1].items[2].items[1].number, 3);
  EXPECT_EQ(dict.find("fortran_order")->kind, Kind::kBool);
  EXPECT_EQ(dict.find("fortran_order")->number, 0);
  EXPECT_EQ(dict.find("shape")->items[0].number, 18446744073709551);
  EXPECT_EQ(dict.find("n")->number, INT64_MIN);
  EXPECT_EQ(dict.find("z")->kind, Kind::kNone);
  EXPECT_EQ(dict.find("w")->number, 1);
  EXPECT_EQ(dict.find("nothing"), nullptr);
}

TEST(PythonLiteral, TuplesOfOneNeedTheirComma) {
  EXPECT_EQ(parse_python_literal("(5)").value().kind, Kind::kInt);
  EXPECT_EQ(parse_python_literal("(5,)").value().kind, Kind::kTuple);
  EXPECT_EQ(parse_python_literal("()").value().items.size(), 0U);
  EXPECT_EQ(parse_python_literal("(7L,)").value().items[0].number, 7);  // Python 2
  EXPECT_EQ(parse_python_literal("'a\\'b'").value().text, "a'b");
}

TEST(PythonLiteral, MalformedTextIsAnErrorThatSaysWhere) {
  EXPECT_EQ(literal_error("{'a': 1"), "Python literal: expected , or } at character 7");
  EXPECT_EQ(literal_error("{'a': "), "Python literal: the text ends where a value belongs at character 6");
  EXPECT_EQ(literal_error("{'a' 1}"), "Python literal: expected : at character 5");
  EXPECT_EQ(literal_error("[1 2]"), "Python literal: expected , or ] at character 3");
  EXPECT_EQ(literal_error("{1: 2}"), "Python literal: a dictionary key that is not a string at character 2");
  EXPECT_EQ(literal_error("'abc"), "Python literal: a string without its closing quote at character 4");
  EXPECT_EQ(literal_error("9223372036854775808"), "Python literal: an integer beyond 64 bits at character 18");
  EXPECT_EQ(literal_error("-"), "Python literal: a sign without digits at character 1");
  EXPECT_EQ(literal_error("1 2"), "Python literal: text after the literal at character 2");
  EXPECT_EQ(literal_error("Truex"), "Python literal: text after the literal at character 4");
  EXPECT_EQ(literal_error("Tru"), "Python literal: unexpected character at character 0");
  EXPECT_EQ(literal_error("@"), "Python literal: unexpected character at character 0");
  EXPECT_EQ(literal_error(std::string(33, '[') + std::string(33, ']')), "parsed");
  EXPECT_EQ(literal_error(std::string(34, '[') + std::string(34, ']')),
            "Python literal: nesting deeper than 32 levels at character 33");
  // Deep hostile nesting is refused before the stack is.
  EXPECT_NE(literal_error(std::string(1 << 16, '(')), "parsed");
}

std::vector<std::uint8_t> npy_head(std::string_view dict, unsigned major = 1) {
  std::vector<std::uint8_t> head{0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<std::uint8_t>(major), 0};
  const std::size_t n = dict.size();
  head.push_back(static_cast<std::uint8_t>(n));
  head.push_back(static_cast<std::uint8_t>(n >> 8));
  if (major > 1) {
    head.push_back(static_cast<std::uint8_t>(n >> 16));
    head.push_back(static_cast<std::uint8_t>(n >> 24));
  }
  head.insert(head.end(), dict.begin(), dict.end());
  return head;
}

std::string header_error(std::string_view descr, std::string_view shape = "(4,)") {
  const std::string dict = "{'descr': " + std::string(descr) + ", 'fortran_order': False, 'shape': " +
                           std::string(shape) + ", }";
  const Result<NpyEventLayout> layout = parse_npy_event_header(npy_head(dict));
  return layout.ok() ? "read" : layout.error().message();
}

TEST(NpyEventHeader, FieldsAreFoundByNameAmongOthers) {
  const std::string dict =
      "{'descr': [('', '|V3'), ('Polarity', '|b1'), ('y', '>i2'), ('pad', '<f4', (2,)), "
      "('timestamp', '<i8'), ('name', '<U2'), ('x', '<u4')], 'fortran_order': False, "
      "'shape': (12,), }";
  const Result<NpyEventLayout> parsed = parse_npy_event_header(npy_head(dict, 3));
  ASSERT_TRUE(parsed.ok()) << parsed.error().message();
  const NpyEventLayout& layout = parsed.value();
  EXPECT_EQ(layout.count, 12U);
  EXPECT_EQ(layout.data_offset, 12 + dict.size());
  EXPECT_EQ(layout.record_bytes, 3U + 1 + 2 + 8 + 8 + 8 + 4);
  const auto [x, y, t, p] = layout.fields;
  EXPECT_EQ(x.offset, 30U);
  EXPECT_EQ(x.bytes, 4);
  EXPECT_FALSE(x.is_signed);
  EXPECT_EQ(y.offset, 4U);
  EXPECT_TRUE(y.is_signed);
  EXPECT_TRUE(y.big_endian);
  EXPECT_EQ(t.offset, 14U);
  EXPECT_EQ(t.bytes, 8);
  EXPECT_EQ(p.offset, 3U);
  EXPECT_EQ(p.bytes, 1);
}

TEST(NpyEventHeader, WhatIsNotAnEventArrayIsNamed) {
  const std::string ovk = "[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1')]";
  EXPECT_EQ(header_error(ovk), "read");
  EXPECT_EQ(header_error("'<i8'", "(4, 4)"),
            "not an event array: a plain array of '<i8', not a structured array with fields x, y, t "
            "and p");
  EXPECT_EQ(header_error(ovk, "(4, 4)"), "not an event array: the array is not one-dimensional");
  EXPECT_EQ(header_error(ovk, "()"), "not an event array: the array is not one-dimensional");
  EXPECT_EQ(header_error(ovk, "(-1,)"), "not an event array: the array is not one-dimensional");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<f8'), ('p', '|u1')]"),
            "not an event array: field 't' is '<f8'; x, y, t and p must be integers of 1, 2, 4 or "
            "8 bytes (p may be a bool)");
  EXPECT_EQ(header_error("[('x', '|b1'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1')]"),
            "not an event array: field 'x' is '|b1'; x, y, t and p must be integers of 1, 2, 4 or "
            "8 bytes (p may be a bool)");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2', (2,)), ('t', '<u8'), ('p', '|u1')]"),
            "not an event array: field 'y' is not a single number");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('ts', '<u8'), ('p', '|u1')]"),
            "not an event array: fields 't' and 'ts' both hold t");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<u8')]"),
            "not an event array: no field holds p");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|O')]"),
            "not an event array: it holds Python objects, which are never read");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1'), ('s', '|S99999')]"),
            "not an event array: field type '|S99999' is too large");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1'), "
                         "('s', '|u1', (256, 256, 256))]"),
            "not an event array: records larger than 64 KiB");
  EXPECT_EQ(header_error("[('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1'), ('q', '<u2x')]"),
            "not an event array: unknown field type '<u2x'");
  EXPECT_EQ(header_error(ovk, "(1844674407370955161,)"),
            "not an event array: the shape states more bytes than a file can hold");
}

TEST(NpyEventHeader, EveryTruncationOfAHeaderIsRefused) {
  const std::vector<std::uint8_t> whole = npy_head(
      "{'descr': [('x', '<u2'), ('y', '<u2'), ('t', '<u8'), ('p', '|u1')], 'fortran_order': "
      "False, 'shape': (3,), }");
  ASSERT_TRUE(parse_npy_event_header(whole).ok());
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(parse_npy_event_header(std::span(whole).first(n)).ok()) << n;
  }
}

}  // namespace
}  // namespace ovk::io
