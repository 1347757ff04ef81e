// How much memory a request may use before it is refused with kOutOfMemory:
// the machine's physical memory, or the process's address-space limit when
// that is lower. Sizes are judged against it before anything large is
// allocated, so a request that cannot fit fails at once and cleanly instead
// of meeting the kernel's out-of-memory killer halfway through.
#pragma once

#include <cstdint>

namespace ovk {

std::uint64_t memory_budget_bytes() noexcept;

// count * bytes_each <= memory_budget_bytes(), without overflow.
bool fits_in_memory(std::uint64_t count, std::uint64_t bytes_each) noexcept;

}  // namespace ovk
