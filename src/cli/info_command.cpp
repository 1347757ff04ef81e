// `ovk info PATH...`: what each recording holds. One block per recording:
// the path, then indented "label value" lines for the reader, the event
// count, the x, y and t ranges, the duration, the event rate and the sensor
// size that sweep would use.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/lossless_commands.h"
#include "codec/event_stats.h"

namespace ovk::cli {
namespace {

struct InfoOptions {
  std::vector<std::string> paths;
  ReaderChoice reader = ReaderChoice::kAuto;
  std::optional<SensorSize> sensor;
};

constexpr double kMicrosecondsPerSecond = 1e6;

void print_ranges(const std::optional<EventStats>& stats) {
  if (!stats) {
    std::printf("  x         -\n  y         -\n  t         -\n  duration  0 s\n  rate      -\n");
    return;
  }
  std::printf("  x         %u..%u\n", stats->x_min, stats->x_max);
  std::printf("  y         %u..%u\n", stats->y_min, stats->y_max);
  std::printf("  t         %" PRIu32 "..%" PRIu32 " us\n", stats->t_min, stats->t_max);
  const double seconds = stats->duration_us / kMicrosecondsPerSecond;
  std::printf("  duration  %.6f s\n", seconds);
  if (stats->duration_us == 0) {
    std::printf("  rate      -\n");
  } else {
    std::printf("  rate      %.0f events/s\n", static_cast<double>(stats->count) / seconds);
  }
}

// Prints one recording's block; returns false after reporting a failure.
bool describe(const std::string& path, const InfoOptions& options) {
  if (is_lossless_file(path) || is_occupancy_file(path)) return describe_code_file(path);
  const std::optional<Recording> recording =
      value_or_report(read_recording(path, options.reader), path);
  if (!recording) return false;
  const std::optional<SensorSize> sensor =
      value_or_report(sensor_size(*recording, options.sensor), path);
  if (!sensor) return false;
  std::printf("%s\n", path.c_str());
  std::printf("  reader    %s\n", std::string(reader_name(recording->reader)).c_str());
  std::printf("  events    %zu\n", recording->events.size());
  print_ranges(event_stats(recording->events));
  std::printf("  sensor    %ux%u\n", sensor->width, sensor->height);
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
  command->footer("Example: ovk info recordings/ --reader nmnist");
  command->callback([options, &status] {
    for (const std::string& path : collect_recordings(options->paths, options->reader)) {
      if (!describe(path, *options)) status = kExitFailure;
    }
  });
}

}  // namespace ovk::cli
