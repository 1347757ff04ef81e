// The per-instance access word of Event and CompressionResult objects:
// 0 is free, 1 .. max-1 counts shared holders, all ones is one exclusive
// holder. Holders only copy or store plain numbers and never run Python code.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>

namespace ovk::python {

struct alignas(std::atomic_ref<std::uintptr_t>::required_alignment) AccessWord {
  std::uintptr_t state = 0;
};

inline constexpr std::uintptr_t kExclusive = std::numeric_limits<std::uintptr_t>::max();

inline bool try_acquire_shared(AccessWord& word) noexcept {
  std::atomic_ref<std::uintptr_t> state(word.state);
  std::uintptr_t seen = state.load();
  do {
    if (seen == kExclusive || seen == kExclusive - 1) return false;
  } while (!state.compare_exchange_weak(seen, seen + 1));
  return true;
}

inline void release_shared(AccessWord& word) noexcept {
  std::atomic_ref<std::uintptr_t>(word.state).fetch_sub(1);
}

inline bool try_acquire_exclusive(AccessWord& word) noexcept {
  std::uintptr_t expected = 0;
  return std::atomic_ref<std::uintptr_t>(word.state).compare_exchange_strong(expected, kExclusive);
}

inline void release_exclusive(AccessWord& word) noexcept {
  std::atomic_ref<std::uintptr_t>(word.state).store(0);
}

// A copy of `record` taken under shared access, or nullopt when refused.
template <class Record>
std::optional<Record> read_shared(AccessWord& word, const Record& record) noexcept {
  if (!try_acquire_shared(word)) return std::nullopt;
  std::optional<Record> copy(record);
  release_shared(word);
  return copy;
}

}  // namespace ovk::python
