#include <gtest/gtest.h>

#include "cli/row_table.h"
#include "cli/shard.h"

namespace ovk::cli {
namespace {

TEST(Shard, ParsesKOfN) {
  const auto shard = parse_shard("3/8");
  ASSERT_TRUE(shard);
  EXPECT_EQ(shard->index, 3u);
  EXPECT_EQ(shard->count, 8u);
  EXPECT_TRUE(parse_shard("1/1"));
  EXPECT_TRUE(parse_shard("1000000/1000000"));
  for (const char* bad : {"", "/", "0/1", "2/1", "1/0", "1/", "/1", "a/2", "1/2/3", " 1/2", "1/2 ",
                          "+1/2", "1/1000001", "99999999999999999999/1"}) {
    EXPECT_FALSE(parse_shard(bad)) << bad;
  }
}

TEST(Shard, KeepsEveryNthOfTheSortedRelativePathsInListedOrder) {
  const std::vector<ListedRecording> listed{
      {"/m/d", "d"}, {"/m/a", "a"}, {"/n/c", "c"}, {"/m/b", "b"}, {"/n/a", "a"}};
  // Sorted: a (/m/a), a (/n/a), b, c, d.
  EXPECT_EQ(shard_paths(listed, ShardSpec{1, 2}), (std::vector<std::string>{"/m/d", "/m/a", "/m/b"}));
  EXPECT_EQ(shard_paths(listed, ShardSpec{2, 2}), (std::vector<std::string>{"/n/c", "/n/a"}));
  EXPECT_EQ(shard_paths(listed, ShardSpec{5, 5}), (std::vector<std::string>{"/m/d"}));
  EXPECT_EQ(shard_paths(listed, std::nullopt).size(), 5u);
  EXPECT_TRUE(shard_paths(listed, ShardSpec{6, 7}).empty());
}

TEST(RowTable, ParsesFlatJsonKeepingNumberText) {
  const auto row = parse_json_row(R"({"path": "a\"b\u00e9", "n": 12, "x": 1.50, "e": -2e-05, "t": true, "z": null})");
  ASSERT_TRUE(row);
  ASSERT_EQ(row->size(), 6u);
  EXPECT_EQ((*row)[0].second.text, "a\"b\xc3\xa9");
  EXPECT_TRUE((*row)[0].second.is_string);
  EXPECT_EQ(find_cell(*row, "n")->text, "12");
  EXPECT_EQ(find_cell(*row, "x")->text, "1.50");
  EXPECT_EQ(find_cell(*row, "e")->text, "-2e-05");
  EXPECT_EQ(find_cell(*row, "t")->text, "true");
  EXPECT_FALSE(find_cell(*row, "z")->is_string);
  EXPECT_EQ(find_cell(*row, "missing"), nullptr);
  EXPECT_EQ(json_line(*row), R"({"path": "a\"b)" "\xc3\xa9" R"(", "n": 12, "x": 1.50, "e": -2e-05, "t": true, "z": null})");
}

TEST(RowTable, RejectsAnythingButOneFlatObject) {
  for (const char* bad : {"", "{", "[]", "1", R"({"a": {"b": 1}})", R"({"a": [1]})",
                          R"({"a": 1, "a": 2})", R"({"a": 1} x)", R"({"a": 1}{"b": 2})",
                          R"({"a": 01})", "{\"a\": \"\x01\"}"}) {
    EXPECT_FALSE(parse_json_row(bad)) << bad;
  }
  EXPECT_TRUE(parse_json_row("{}"));
}

TEST(RowTable, SplitsCsvRecordsWithQuotes) {
  using Fields = std::vector<std::string>;
  EXPECT_EQ(split_csv_record("a,b,,c"), (Fields{"a", "b", "", "c"}));
  EXPECT_EQ(split_csv_record(R"("a,b","c""d","e
f",g)"),
            (Fields{"a,b", "c\"d", "e\nf", "g"}));
  EXPECT_EQ(split_csv_record(""), (Fields{""}));
  EXPECT_FALSE(split_csv_record(R"("open)"));
  EXPECT_FALSE(split_csv_record(R"("a"b,c)"));
  const Row row{{"path", Cell{"x,\"y", true}}, {"n", Cell{"3", false}}};
  EXPECT_EQ(csv_line(row), R"("x,""y",3)");
  EXPECT_EQ(split_csv_record(csv_line(row)), (Fields{"x,\"y", "3"}));
}

TEST(RowTable, FindsWhereARecordEnds) {
  EXPECT_EQ(record_length("ab\ncd\n", false), 3u);
  EXPECT_EQ(record_length("ab", false), std::nullopt);
  EXPECT_EQ(record_length("\"a\nb\",c\nd", true), 8u);
  EXPECT_EQ(record_length("\"a\nb\",c\nd", false), 3u);
  EXPECT_EQ(record_length("\"a\n", true), std::nullopt);
}

}  // namespace
}  // namespace ovk::cli
