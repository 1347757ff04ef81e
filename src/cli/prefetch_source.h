// A source whose blocks are read one thread ahead: a worker thread decodes
// the next few blocks of the recording while the caller uses the last one,
// so reading and writing overlap on two cores. The blocks, their order, the
// errors and the skipped records are the wrapped source's own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "io/event_source.h"

namespace ovk::cli {

class PrefetchSource final : public io::EventSource {
 public:
  // Reads at most `ahead` blocks before the caller takes them (or, when no
  // thread can be started, none: the caller's calls then read `inner`).
  PrefetchSource(std::unique_ptr<io::EventSource> inner, std::size_t ahead);
  ~PrefetchSource() override;
  PrefetchSource(const PrefetchSource&) = delete;
  PrefetchSource& operator=(const PrefetchSource&) = delete;

  std::optional<io::SensorGeometry> declared_sensor() const override { return declared_; }
  std::vector<io::SkippedRecords> skipped_records() const override;
  // The wrapped source's next block; its error (or exception) where it
  // failed, and again on every later call.
  [[nodiscard]] Status next_block(Event64Vec& block) override;

 private:
  void read_ahead();

  std::unique_ptr<io::EventSource> inner_;
  std::optional<io::SensorGeometry> declared_;
  std::size_t ahead_;
  mutable std::mutex inner_mutex_;  // held while the worker reads inner_
  std::mutex mutex_;                // guards what follows
  std::condition_variable changed_;
  std::deque<Event64Vec> ready_;
  std::vector<Event64Vec> spare_;
  std::optional<Status> end_;  // Ok at the end of the recording, else its error
  std::exception_ptr fault_;
  bool stop_ = false;
  std::thread worker_;
};

// `source` read a thread ahead, or as it is when the machine has one core.
std::unique_ptr<io::EventSource> read_ahead(std::unique_ptr<io::EventSource> source);

}  // namespace ovk::cli
