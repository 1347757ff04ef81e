#include "cli/time_window.h"

#include <gtest/gtest.h>

#include <limits>

namespace ovk::cli {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(TimeWindow, ParsesRelativeAbsoluteAndOpenEnds) {
  const auto both = parse_time_window("1000:5000");
  ASSERT_TRUE(both && both->start && both->end);
  EXPECT_EQ(both->start->value, 1000u);
  EXPECT_FALSE(both->start->absolute);
  EXPECT_EQ(both->end->value, 5000u);

  const auto open_end = parse_time_window("@1700000000000000:");
  ASSERT_TRUE(open_end && open_end->start);
  EXPECT_TRUE(open_end->start->absolute);
  EXPECT_EQ(open_end->start->value, 1700000000000000u);
  EXPECT_FALSE(open_end->end);

  const auto everything = parse_time_window(":");
  ASSERT_TRUE(everything);
  EXPECT_FALSE(everything->start);
  EXPECT_FALSE(everything->end);

  const auto far_end = parse_time_window(":18446744073709551615");
  ASSERT_TRUE(far_end && far_end->end);
  EXPECT_EQ(far_end->end->value, kMax);
}

TEST(TimeWindow, RejectsMalformedText) {
  for (const char* text : {"", "1000", "-1:5", "1:-5", "+1:5", "1e3:5", "1:2:3", "@:5", "a:b",
                           "18446744073709551616:", "5000:1000", "@5:@4", " 1:5", "1 :5"}) {
    EXPECT_FALSE(parse_time_window(text)) << text;
  }
  // A relative start after an absolute end is judged once the recording is known.
  EXPECT_TRUE(parse_time_window("5000:@1000"));
}

TEST(TimeWindow, ResolvesAgainstTheFirstTimestamp) {
  const AbsoluteWindow relative = resolve_time_window(*parse_time_window("10:20"), 1'000'000);
  EXPECT_EQ(relative.first, 1'000'010u);
  ASSERT_TRUE(relative.last);
  EXPECT_EQ(*relative.last, 1'000'020u);
  EXPECT_TRUE(relative.contains(1'000'010));
  EXPECT_TRUE(relative.contains(1'000'019));
  EXPECT_FALSE(relative.contains(1'000'020));
  EXPECT_FALSE(relative.contains(1'000'009));

  const AbsoluteWindow mixed = resolve_time_window(*parse_time_window("@7:5"), 100);
  EXPECT_EQ(mixed.first, 7u);
  EXPECT_EQ(*mixed.last, 105u);

  const AbsoluteWindow open = resolve_time_window(*parse_time_window(":"), 42);
  EXPECT_EQ(open.first, 0u);
  EXPECT_FALSE(open.last);
  EXPECT_TRUE(open.contains(kMax));

  const AbsoluteWindow saturated = resolve_time_window(*parse_time_window("5:"), kMax - 2);
  EXPECT_EQ(saturated.first, kMax);
}

}  // namespace
}  // namespace ovk::cli
