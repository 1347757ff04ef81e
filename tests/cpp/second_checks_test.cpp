// Second, independent tests of rules that a single test guarded before: the
// bitmap size rule, the memory budget's two limits and the CSV digit limit.
// (The code file's rules have theirs in tests/cpp/codefile.)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "codec/memory_budget.h"
#include "codec/voxel_grid.h"
#include "io/csv_line.h"
#include "io/recording_readers.h"
#include "io_test_support.h"

namespace ovk {
namespace {

// The bitmap takes over exactly when its 64-bit words number at most twice
// the keys, and never above 2^30 cells.
TEST(SecondChecks, BitmapRuleAtItsBoundaries) {
  for (unsigned bits = 6; bits <= 30; ++bits) {
    const std::uint64_t words = (std::uint64_t{1} << bits) / 64;
    const std::uint64_t least_keys = (words + 1) / 2;  // 2 * keys >= words
    EXPECT_TRUE(detail::prefers_bitmap(least_keys, bits)) << bits;
    if (least_keys > 0) {
      EXPECT_FALSE(detail::prefers_bitmap(least_keys - 1, bits)) << bits;
    }
  }
  EXPECT_FALSE(detail::prefers_bitmap(std::uint64_t{1} << 40, 31));
  EXPECT_TRUE(detail::prefers_bitmap(0, 5));  // fewer cells than one word
}

// Runs `body` in a child process under an address-space limit of `limit`
// bytes; true when the child's checks held.
template <class Body>
bool in_child_with_limit(rlim_t limit, Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit as{limit, limit};
    if (::setrlimit(RLIMIT_AS, &as) != 0) ::_exit(2);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SecondChecks, MemoryBudgetIsTheSmallerOfMemoryAndTheAddressSpaceLimit) {
  const std::uint64_t physical =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  rlimit current{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &current), 0);
  if (current.rlim_cur == RLIM_INFINITY) {
    EXPECT_EQ(memory_budget_bytes(), physical);
  }
  // A limit below the memory is the budget; one above it is not.
  const rlim_t low = static_cast<rlim_t>(std::min<std::uint64_t>(physical / 2, 3ULL << 30));
  EXPECT_TRUE(in_child_with_limit(low, [low] {
    return memory_budget_bytes() == low && fits_in_memory(low / 8, 8) &&
           !fits_in_memory(low / 8 + 1, 8);
  }));
  const rlim_t high = static_cast<rlim_t>(physical * 2);
  EXPECT_TRUE(in_child_with_limit(high, [physical] { return memory_budget_bytes() == physical; }));
}

// 2^64 + 5 has 20 digits and wraps to 5 in 64 bits: no reader may take it
// for 5. Nineteen digits never wrap, and leading zeros are only digits.
TEST(SecondChecks, NumbersPastNineteenDigitsNeverWrap) {
  const io::testing_support::ScratchDir dir;
  const auto scan = [](const std::string& text) {
    io::CsvLineScan out;
    const std::size_t n = io::scan_plain_csv_line(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), out);
    return std::make_pair(n, out);
  };
  for (const std::string wrapped : {"18446744073709551621", "36893488147419103237"}) {
    const std::string line = wrapped + ",2,3,1\n";
    const auto [n, out] = scan(line);
    EXPECT_TRUE(n == 0 || out.fault == io::CsvLineFault::kTooLarge) << line;
    const Result<EventVec> events = io::read_csv(dir.write("line.csv", line));
    ASSERT_FALSE(events.ok()) << line;
    EXPECT_EQ(events.error().message(), "number too large to fit in target type");
  }
  const auto [n, out] = scan("0000000000000000005,2,3,1\n");
  ASSERT_GT(n, 0u);
  EXPECT_TRUE(out.has_event);
  EXPECT_EQ(out.event.x, 5);
  const std::string zeros = "00000000000000000000000005,2,3,1\n";
  const Result<EventVec> events = io::read_csv(dir.write("zeros.csv", zeros));
  ASSERT_TRUE(events.ok());
  EXPECT_EQ(events.value().at(0).x, 5);
}

}  // namespace
}  // namespace ovk
