// `--time-window` applied to a stream of blocks: the window is resolved
// against the recording's first timestamp (its first event in file order)
// once the first block arrives, and every block keeps only the events inside.
#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <optional>

#include "cli/parsed_option.h"
#include "cli/time_window.h"
#include "codec/event.h"

namespace ovk::cli {

class WindowFilter {
 public:
  explicit WindowFilter(std::optional<TimeWindow> window) : window_(window) {}

  // Drops the events of `block` outside the window.
  void apply(Event64Vec& block) {
    if (!window_ || block.empty()) return;
    if (!resolved_) resolved_ = resolve_time_window(*window_, block.front().t);
    const AbsoluteWindow w = *resolved_;
    block.erase(std::remove_if(block.begin(), block.end(),
                               [&w](const Event64& e) { return !w.contains(e.t); }),
                block.end());
  }

 private:
  std::optional<TimeWindow> window_;
  std::optional<AbsoluteWindow> resolved_;
};

// Adds `--time-window START:END` to a subcommand.
inline void add_time_window_option(CLI::App& command, std::optional<TimeWindow>& window) {
  add_parsed_option(command, "--time-window", window, parse_time_window,
                    "expected START:END in microseconds",
                    "Only events with START <= t < END, in us from the first event (@N: "
                    "absolute); either end may be left out")
      ->type_name("START:END");
}

}  // namespace ovk::cli
