#include "cli/prefetch_source.h"

#include <system_error>
#include <utility>

namespace ovk::cli {

PrefetchSource::PrefetchSource(std::unique_ptr<io::EventSource> inner, std::size_t ahead)
    : inner_(std::move(inner)), declared_(inner_->declared_sensor()), ahead_(ahead) {
  try {
    worker_ = std::thread([this] { read_ahead(); });
  } catch (const std::system_error&) {
    // No thread to spare: the caller reads the source itself.
  }
}

PrefetchSource::~PrefetchSource() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

std::vector<io::SkippedRecords> PrefetchSource::skipped_records() const {
  const std::lock_guard lock(inner_mutex_);
  return inner_->skipped_records();
}

void PrefetchSource::read_ahead() {
  for (;;) {
    Event64Vec block;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || ready_.size() < ahead_; });
      if (stop_) return;
      if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    std::optional<Status> status;
    std::exception_ptr fault;
    try {
      const std::lock_guard lock(inner_mutex_);
      status = inner_->next_block(block);
    } catch (...) {
      fault = std::current_exception();
    }
    const bool last = fault || !status->ok() || block.empty();
    {
      const std::lock_guard lock(mutex_);
      if (fault) {
        fault_ = fault;
        end_ = Ok{};
      } else if (last) {
        end_ = std::move(*status);
      } else {
        ready_.push_back(std::move(block));
      }
    }
    changed_.notify_all();
    if (last) return;
  }
}

Status PrefetchSource::next_block(Event64Vec& block) {
  if (!worker_.joinable()) return inner_->next_block(block);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || end_.has_value(); });
  if (ready_.empty()) {
    block.clear();
    if (fault_) std::rethrow_exception(fault_);
    return *end_;
  }
  spare_.push_back(std::move(block));
  block = std::move(ready_.front());
  ready_.pop_front();
  lock.unlock();
  changed_.notify_all();
  return Ok{};
}

std::unique_ptr<io::EventSource> read_ahead(std::unique_ptr<io::EventSource> source) {
  constexpr std::size_t kBlocksAhead = 4;
  if (std::thread::hardware_concurrency() < 2) return source;
  return std::make_unique<PrefetchSource>(std::move(source), kBlocksAhead);
}

}  // namespace ovk::cli
