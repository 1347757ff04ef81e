// Chunks coded or decoded on a pool of threads while the calling thread
// hands them in and takes the results out in the order they went in. At
// most `depth` chunks are in flight, so memory stays bounded whatever the
// recording's length, and the threads never wait for one another: a thread
// that finishes a chunk starts the next one handed in.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ovk::lossless {

template <class In, class Out>
class ChunkPipeline {
 public:
  // work(item, thread) runs on one of `jobs` threads (thread: which one,
  // 0 .. jobs-1, for per-thread scratch). With one job, or when no thread
  // can be started, it runs on the calling thread inside push().
  using Work = std::function<Out(In&, std::size_t thread)>;

  ChunkPipeline(unsigned jobs, Work work) : work_(std::move(work)) {
    const std::size_t wanted = jobs > 1 ? jobs : 0;
    try {
      for (std::size_t t = 0; t < wanted; ++t) {
        threads_.emplace_back([this, t] { serve(t); });
      }
    } catch (const std::system_error&) {
      // Out of threads (a process or address-space limit): the ones that
      // started do the work, or the calling thread alone.
    }
    depth_ = threads_.empty() ? 1 : 2 * threads_.size();
  }

  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  ~ChunkPipeline() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    threads_.clear();  // joins; a thread finishes its chunk first
  }

  // True when push() must wait for pop() first.
  bool full() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size() >= depth_;
  }

  // The chunks handed in whose results have not been taken out.
  std::size_t in_flight() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size();
  }

  // Hands in the next chunk. Call only when !full().
  void push(In item) {
    std::unique_lock<std::mutex> lock(mutex_);
    slots_.push_back(Slot{std::move(item), std::nullopt, nullptr});
    if (threads_.empty()) {
      Slot& slot = slots_.back();
      lock.unlock();
      run(slot, 0);
      return;
    }
    lock.unlock();
    work_ready_.notify_one();
  }

  // The result of the oldest chunk in flight, once it is ready; nothing
  // when none is in flight. A fault thrown by the work is rethrown here.
  std::optional<Out> pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (slots_.empty()) return std::nullopt;
    result_ready_.wait(lock, [this] { return slots_.front().out || slots_.front().fault; });
    Slot slot = std::move(slots_.front());
    slots_.pop_front();
    ++front_;
    lock.unlock();
    if (slot.fault) std::rethrow_exception(slot.fault);
    return std::move(slot.out);
  }

 private:
  struct Slot {
    In in;
    std::optional<Out> out;
    std::exception_ptr fault;
  };

  // Runs the work on a slot that no other thread touches until it holds
  // its result (a deque keeps its elements in place as others come and go).
  void run(Slot& slot, std::size_t thread) {
    std::optional<Out> out;
    std::exception_ptr fault;
    try {
      out.emplace(work_(slot.in, thread));
    } catch (...) {
      fault = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    slot.out = std::move(out);
    slot.fault = fault;
  }

  void serve(std::size_t thread) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [this] { return stopping_ || started_ < front_ + slots_.size(); });
      if (stopping_) return;
      Slot& slot = slots_[started_++ - front_];
      lock.unlock();
      run(slot, thread);
      result_ready_.notify_all();
      lock.lock();
    }
  }

  Work work_;
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable result_ready_;
  std::deque<Slot> slots_;
  std::size_t front_ = 0;    // the number of the chunk at slots_.front()
  std::size_t started_ = 0;  // the number of the next chunk to start
  std::size_t depth_ = 1;
  bool stopping_ = false;
  std::vector<std::jthread> threads_;  // last: joined before the rest goes
};

}  // namespace ovk::lossless
