#include "codec/event_stats.h"

#include <gtest/gtest.h>

namespace ovk {
namespace {

TEST(EventStats, EmptyIsNothing) { EXPECT_FALSE(event_stats({}).has_value()); }

TEST(EventStats, SingleEvent) {
  const EventVec one = {{3, 4, 1000, 1}};
  const EventStats s = event_stats(one).value();
  EXPECT_EQ(s.count, 1u);
  EXPECT_EQ(s.x_min, 3);
  EXPECT_EQ(s.x_max, 3);
  EXPECT_EQ(s.y_min, 4);
  EXPECT_EQ(s.t_min, 1000u);
  EXPECT_EQ(s.t_max, 1000u);
  EXPECT_EQ(s.duration_us, 0u);
}

TEST(EventStats, UnorderedAndExtremeValues) {
  const EventVec events = {{10, 5, 500, 0}, {65535, 0, 4294967295u, 255}, {0, 65535, 7, 1}};
  const EventStats s = event_stats(events).value();
  EXPECT_EQ(s.count, 3u);
  EXPECT_EQ(s.x_min, 0);
  EXPECT_EQ(s.x_max, 65535);
  EXPECT_EQ(s.y_min, 0);
  EXPECT_EQ(s.y_max, 65535);
  EXPECT_EQ(s.t_min, 7u);
  EXPECT_EQ(s.t_max, 4294967295u);
  EXPECT_EQ(s.duration_us, 4294967288u);
}

}  // namespace
}  // namespace ovk
