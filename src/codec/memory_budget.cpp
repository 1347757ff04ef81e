#include "codec/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace ovk {

std::uint64_t memory_budget_bytes() noexcept {
  std::uint64_t budget = std::numeric_limits<std::uint64_t>::max();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    budget = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    budget = std::min<std::uint64_t>(budget, limit.rlim_cur);
  }
  return budget;
}

bool fits_in_memory(std::uint64_t count, std::uint64_t bytes_each) noexcept {
  return bytes_each == 0 || count <= memory_budget_bytes() / bytes_each;
}

}  // namespace ovk
