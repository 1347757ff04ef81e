#include "codec/event_stats.h"

#include <gtest/gtest.h>

namespace ovk {
namespace {

TEST(EventStats, EmptyIsNothing) { EXPECT_FALSE(event_stats({}).has_value()); }

TEST(EventStats, SingleEvent) {
  const EventVec one = {{3, 4, 1000, 1}};
  EXPECT_EQ(event_stats(one), (EventStats{.count = 1, .x_min = 3, .x_max = 3, .y_min = 4, .y_max = 4,
                                           .t_min = 1000, .t_max = 1000, .duration_us = 0}));
}

TEST(EventStats, UnorderedAndExtremeValues) {
  const EventVec events = {{10, 5, 500, 0}, {65535, 0, 4294967295u, 255}, {0, 65535, 7, 1}};
  EXPECT_EQ(event_stats(events), (EventStats{.count = 3, .x_min = 0, .x_max = 65535, .y_min = 0,
                                              .y_max = 65535, .t_min = 7, .t_max = 4294967295u,
                                              .duration_us = 4294967288u}));
}

}  // namespace
}  // namespace ovk
