// Runs work items 0..count-1 on a pool of threads and hands their outcomes
// to the calling thread strictly in index order, so what is printed never
// depends on the number of threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace ovk::cli {

// `work(i)` runs on a pool thread; an exception it throws is a fault: no
// further item starts, and once the threads have stopped it is rethrown on
// the calling thread, which reports it at the tool's boundary. `emit(i, outcome)` and
// `tick(done)` run on the calling thread: emit in index order as soon as
// outcome i and all before it are ready, tick about every `tick_period`
// while waiting and once at the end, with the number of finished items.
// When not every thread can be started, `fewer_threads(started, wanted)` is
// called once and the work goes on with the threads that did start (or on
// the calling thread alone, when none did).
template <class Outcome>
void run_in_order(std::size_t count, unsigned jobs, const std::function<Outcome(std::size_t)>& work,
                  const std::function<void(std::size_t, Outcome&&)>& emit,
                  const std::function<void(std::size_t)>& tick,
                  std::chrono::milliseconds tick_period = std::chrono::milliseconds(200),
                  const std::function<void(std::size_t, std::size_t)>& fewer_threads = {}) {
  std::vector<std::optional<Outcome>> ready(count);
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<std::size_t> next{0};
  std::size_t done = 0;
  std::exception_ptr fault;

  const auto worker = [&] {
    try {
      for (std::size_t i = next++; i < count; i = next++) {
        Outcome outcome = work(i);
        const std::lock_guard<std::mutex> lock(mutex);
        ready[i].emplace(std::move(outcome));
        ++done;
        changed.notify_one();
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex);
      if (!fault) fault = std::current_exception();
      next = count;
      changed.notify_one();
    }
  };
  std::vector<std::jthread> threads;
  const std::size_t thread_count =
      std::min<std::size_t>(std::max(jobs, 1U), std::max<std::size_t>(count, 1));
  threads.reserve(thread_count);
  try {
    for (std::size_t t = 0; t < thread_count; ++t) threads.emplace_back(worker);
  } catch (const std::system_error&) {
    // Out of threads (an address-space or process limit): go on with those
    // that started, or with the calling thread alone when none did.
    if (fewer_threads) fewer_threads(threads.size(), thread_count);
    if (threads.empty()) worker();
  }

  std::unique_lock<std::mutex> lock(mutex);
  for (std::size_t emitted = 0; emitted < count && !fault;) {
    changed.wait_for(lock, tick_period, [&] { return ready[emitted].has_value() || fault; });
    while (emitted < count && ready[emitted]) {
      Outcome outcome = std::move(*ready[emitted]);
      ready[emitted].reset();
      const std::size_t finished = done;
      lock.unlock();
      emit(emitted, std::move(outcome));
      tick(finished);
      lock.lock();
      ++emitted;
    }
    if (emitted < count) {
      const std::size_t finished = done;
      lock.unlock();
      tick(finished);
      lock.lock();
    }
  }
  if (fault) {
    lock.unlock();
    threads.clear();  // joins the others, which start nothing new
    std::rethrow_exception(fault);
  }
}

}  // namespace ovk::cli
