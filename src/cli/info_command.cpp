// `ovk info PATH...`: what each recording holds. One block per recording:
// the path, then indented "label value" lines for the reader, the event
// count, the x, y and t ranges, the duration, the event rate and the sensor
// size that sweep would use; then, when they apply, the time offset the
// occupancy coding counts from and the records the reader passed over or
// read in the module's way. The recording is read a block at a time. With
// --json, one JSON object a line per recording instead, for scripts that
// want the tool's sensor rule (examples/ovk_report.py).
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/prefetch_source.h"
#include "cli/commands.h"
#include "cli/lossless_commands.h"
#include "cli/sweep_report.h"
#include "cli/text_escape.h"
#include "cli/window_filter.h"

namespace ovk::cli {
namespace {

struct InfoOptions {
  std::vector<std::string> paths;
  ReaderChoice reader = ReaderChoice::kAuto;
  std::optional<SensorSize> sensor;
  bool json = false;
};

constexpr double kMicrosecondsPerSecond = 1e6;

struct Ranges {
  std::uint64_t count = 0;
  std::uint16_t x_min = 0, x_max = 0, y_min = 0, y_max = 0;
  std::uint64_t t_min = 0, t_max = 0;

  void add(const Event64Vec& block) {
    for (const Event64& e : block) {
      if (count++ == 0) {
        x_min = x_max = e.x;
        y_min = y_max = e.y;
        t_min = t_max = e.t;
        continue;
      }
      x_min = std::min(x_min, e.x);
      x_max = std::max(x_max, e.x);
      y_min = std::min(y_min, e.y);
      y_max = std::max(y_max, e.y);
      t_min = std::min(t_min, e.t);
      t_max = std::max(t_max, e.t);
    }
  }
};

void print_ranges(const Ranges& r) {
  if (r.count == 0) {
    std::printf("  x         -\n  y         -\n  t         -\n  duration  0 s\n  rate      -\n");
    return;
  }
  std::printf("  x         %u..%u\n", r.x_min, r.x_max);
  std::printf("  y         %u..%u\n", r.y_min, r.y_max);
  std::printf("  t         %" PRIu64 "..%" PRIu64 " us\n", r.t_min, r.t_max);
  const std::uint64_t duration = r.t_max - r.t_min;
  const double seconds = static_cast<double>(duration) / kMicrosecondsPerSecond;
  std::printf("  duration  %.6f s\n", seconds);
  if (duration == 0) {
    std::printf("  rate      -\n");
  } else {
    std::printf("  rate      %.0f events/s\n", static_cast<double>(r.count) / seconds);
  }
}

// The time origin the occupancy coding would use (see Recording).
void print_offset(const Ranges& r) {
  constexpr std::uint64_t kLargest32 = std::numeric_limits<std::uint32_t>::max();
  if (r.count == 0 || r.t_max <= kLargest32) return;
  std::printf("  offset    %" PRIu64 " us (timestamps are coded from here)\n", r.t_min);
  if (r.t_max - r.t_min > kLargest32) {
    std::printf("  note      the span passes 32 bits of us: code a part with --time-window\n");
  }
}

void print_skipped(const std::vector<io::SkippedRecords>& skipped) {
  for (const io::SkippedRecords& s : skipped) {
    const bool kept = s.kind.find("(read as") != std::string::npos;
    std::printf("  %-9s %" PRIu64 " %s\n", kept ? "holds" : "skipped", s.count, s.kind.c_str());
  }
}

struct Pass {
  Ranges ranges;
  io::Extent extent;
  std::optional<io::SensorGeometry> declared;
  std::vector<io::SkippedRecords> skipped;
};

Result<Pass> scan(const std::string& path, const InfoOptions& options, ReaderKind& format) {
  OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened, open_recording(path, options.reader));
  format = opened.format;
  const io::SourcePtr source = read_ahead(std::move(opened.source));
  Pass pass;
  WindowFilter filter(options.reader.window);
  Event64Vec block;
  for (;;) {
    OVK_RETURN_IF_ERROR(source->next_block(block));
    if (block.empty()) break;
    pass.extent.add(block);
    filter.apply(block);
    pass.ranges.add(block);
  }
  pass.declared = source->declared_sensor();
  pass.skipped = source->skipped_records();
  return pass;
}

// {"path": ..., "reader": ..., "events": N, "x_range": [min, max] or null,
// "y_range", "t_range", "width": W, "height": H}
void print_json(const std::string& path, ReaderKind format, const Ranges& r, SensorSize sensor) {
  auto range = [&r](std::uint64_t lo, std::uint64_t hi) {
    return r.count == 0 ? std::string("null")
                        : "[" + std::to_string(lo) + ", " + std::to_string(hi) + "]";
  };
  std::printf("{\"path\": %s, \"reader\": %s, \"events\": %" PRIu64
              ", \"x_range\": %s, \"y_range\": %s, \"t_range\": %s, \"width\": %u, "
              "\"height\": %u}\n",
              json_string(path).c_str(), json_string(reader_name(format)).c_str(), r.count,
              range(r.x_min, r.x_max).c_str(), range(r.y_min, r.y_max).c_str(),
              range(r.t_min, r.t_max).c_str(), sensor.width, sensor.height);
}

// Prints one recording's block; returns false after reporting a failure.
bool describe(const std::string& path, const InfoOptions& options) {
  if (refuse_unseekable_code_file(path)) return false;
  if (is_lossless_file(path) || is_occupancy_file(path)) {
    if (!options.json) return describe_code_file(path);
    print_failure(path, "--json describes recordings, not code files");
    return false;
  }
  ReaderKind format = nullptr;
  const std::optional<Pass> pass = value_or_report(
      catching_out_of_memory([&] { return scan(path, options, format); }), path);
  if (!pass) return false;
  const std::optional<SensorSize> sensor =
      value_or_report(sensor_size(pass->declared, pass->extent, options.sensor), path);
  if (!sensor) return false;
  if (options.json) {
    print_json(path, format, pass->ranges, *sensor);
    return true;
  }
  std::printf("%s\n", escape_for_terminal(path).c_str());
  std::printf("  reader    %s\n", std::string(reader_name(format)).c_str());
  std::printf("  events    %" PRIu64 "\n", pass->ranges.count);
  print_ranges(pass->ranges);
  std::printf("  sensor    %ux%u\n", sensor->width, sensor->height);
  print_offset(pass->ranges);
  print_skipped(pass->skipped);
  return true;
}

}  // namespace

void add_info_command(CLI::App& app, int& status) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand(
      "info", "Describe recordings: reader, events, x/y/t ranges, duration, rate, sensor size");
  command->add_option("paths", options->paths, "Recordings or folders (searched recursively)")
      ->required()
      ->type_name("PATH");
  add_reader_option(*command, options->reader);
  add_sensor_option(*command, options->sensor);
  command->add_flag("--json", options->json,
                    "One JSON object a line per recording (path, reader, events, x/y/t ranges, "
                    "width, height) instead of the text block");
  command->footer("Example: ovk info recordings/ --reader nmnist");
  command->callback([options, &status] {
    for (const std::string& path : collect_recordings(options->paths, options->reader)) {
      if (!describe(path, *options)) status = kExitFailure;
    }
  });
}

}  // namespace ovk::cli
