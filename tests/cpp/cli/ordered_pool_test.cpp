// The pool that measures recordings: outcomes in index order whatever the
// thread count, and a fault in a worker handed to the calling thread.
#include "cli/ordered_pool.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace ovk::cli {
namespace {

std::vector<std::size_t> emitted_order(unsigned jobs, std::size_t count) {
  std::vector<std::size_t> order;
  run_in_order<std::size_t>(
      count, jobs, [](std::size_t i) { return i * i; },
      [&](std::size_t i, std::size_t&& value) {
        EXPECT_EQ(value, i * i);
        order.push_back(i);
      },
      [](std::size_t) {}, std::chrono::milliseconds(1));
  return order;
}

TEST(OrderedPool, EmitsInIndexOrderForAnyThreadCount) {
  std::vector<std::size_t> expected(50);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i;
  for (const unsigned jobs : {1U, 2U, 7U}) EXPECT_EQ(emitted_order(jobs, 50), expected) << jobs;
  EXPECT_TRUE(emitted_order(3, 0).empty());
}

TEST(OrderedPool, AWorkersExceptionReachesTheCaller) {
  for (const unsigned jobs : {1U, 3U}) {
    std::size_t emitted = 0;
    EXPECT_THROW(run_in_order<int>(
                     40, jobs,
                     [](std::size_t i) -> int {
                       if (i == 17) throw std::logic_error("broken invariant");
                       return static_cast<int>(i);
                     },
                     [&](std::size_t, int&&) { ++emitted; }, [](std::size_t) {},
                     std::chrono::milliseconds(1)),
                 std::logic_error)
        << jobs;
    EXPECT_LE(emitted, 17u);
  }
}

}  // namespace
}  // namespace ovk::cli
