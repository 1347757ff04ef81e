// How the subcommands open recordings: the --reader choice and the reader
// options, the registry's streaming sources, and a recording read whole for
// the occupancy codec, whose timestamps are 32 bits.
#include <sys/stat.h>

#include <limits>
#include <map>
#include <memory>
#include <string>

#include "cli/cli_common.h"
#include "cli/event_spool.h"
#include "cli/window_filter.h"

namespace ovk::cli {
namespace {

constexpr std::uint64_t kLargest32 = std::numeric_limits<std::uint32_t>::max();

std::vector<std::string> reader_names() {
  std::vector<std::string> names{"auto"};
  for (const io::RecordingFormat& f : io::recording_formats()) names.emplace_back(f.name);
  return names;
}

Error span_error(std::uint64_t first, std::uint64_t last) {
  return Error(ErrorKind::kInvalidInput,
               "timestamps span " + std::to_string(last - first) + " us (" +
                   std::to_string(first) + ".." + std::to_string(last) +
                   "), more than 32 bits of microseconds; code a part of it with --time-window");
}

struct TimeRange {
  bool any = false;
  std::uint64_t first = 0;
  std::uint64_t last = 0;

  void add(std::uint64_t t) noexcept {
    first = any ? std::min(first, t) : t;
    last = any ? std::max(last, t) : t;
    any = true;
  }
};

// Hands `each` every block of `source` with the events inside the window;
// `raw`, when given, gets every event read, before the window.
template <class Each>
Status walk(io::EventSource& source, const std::optional<TimeWindow>& window, EventSpool* raw,
            const Each& each) {
  Event64Vec block;
  WindowFilter filter(window);
  for (;;) {
    OVK_RETURN_IF_ERROR(source.next_block(block));
    if (block.empty()) return Ok{};
    if (raw != nullptr) OVK_RETURN_IF_ERROR(raw->append(block));
    filter.apply(block);
    OVK_RETURN_IF_ERROR(each(block));
  }
}

// One pass over the source: events kept in `out` as t - offset while they fit
// 32 bits; false once one did not (out is then cleared and only the range
// is followed to the end).
Result<bool> read_pass(io::EventSource& source, const std::optional<TimeWindow>& window,
                       std::uint64_t offset, EventVec& out, TimeRange& range) {
  bool fits = true;
  OVK_RETURN_IF_ERROR(walk(source, window, nullptr, [&](const Event64Vec& block) -> Status {
    for (const Event64& e : block) {
      range.add(e.t);
      if (!fits) continue;
      if (e.t < offset || e.t - offset > kLargest32) {
        fits = false;
        out = EventVec();
        continue;
      }
      out.push_back(Event{e.x, e.y, static_cast<std::uint32_t>(e.t - offset), e.p});
    }
    return Ok{};
  }));
  return fits;
}

Result<Recording> read_whole(const std::string& path, const ReaderChoice& choice) {
  // A pipe is spooled: its timestamps may need a second read to be rebased.
  std::optional<SpooledRecording> spooled;
  if (!is_regular_file(path)) {
    OVK_ASSIGN_OR_RETURN(SpooledRecording made, spool_recording(path, choice));
    spooled.emplace(std::move(made));
  }
  const auto open = [&]() -> Result<io::OpenedRecording> {
    if (spooled) return io::OpenedRecording{spooled->reader, spooled->events.source()};
    return open_recording(path, choice);
  };
  // A spool holds only the window's events.
  const std::optional<TimeWindow> window = spooled ? std::nullopt : choice.window;
  OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened, open());
  Recording recording;
  recording.reader = opened.format;
  TimeRange range;
  OVK_ASSIGN_OR_RETURN(const bool fits,
                       read_pass(*opened.source, window, 0, recording.events, range));
  recording.declared_sensor =
      spooled ? spooled->declared_sensor : opened.source->declared_sensor();
  recording.skipped = spooled ? spooled->skipped : opened.source->skipped_records();
  if (fits) return recording;
  // Timestamps past 32 bits: coded from the smallest one, read a second time.
  if (range.last - range.first > kLargest32) return span_error(range.first, range.last);
  OVK_ASSIGN_OR_RETURN(opened, open());
  recording.time_offset = range.first;
  TimeRange again;
  OVK_ASSIGN_OR_RETURN(const bool fit_again, read_pass(*opened.source, window, range.first,
                                                       recording.events, again));
  if (!fit_again) return span_error(again.first, again.last);
  return recording;
}

}  // namespace

std::string_view reader_name(ReaderKind kind) { return kind == nullptr ? "" : kind->name; }

void add_reader_option(CLI::App& command, ReaderChoice& choice) {
  command
      .add_option_function<std::string>(
          "--reader",
          [&choice](const std::string& name) { choice.format = io::find_format(name); },
          "Recording format: auto (by extension, then by the file's first bytes) or one reader "
          "for every file")
      ->check(CLI::IsMember(reader_names()))
      ->type_name("NAME")
      ->default_str("auto");
  command
      .add_option_function<std::string>(
          "--aedat2-layout",
          [&choice](const std::string& name) { choice.options.aedat2_jaer = name == "jaer"; },
          "AEDAT 2.0 fields: raw (as stored) or jaer (x = 127 - field, ON = raw polarity 0)")
      ->check(CLI::IsMember({"raw", "jaer"}))
      ->type_name("NAME")
      ->default_str("raw");
  command.add_flag(
      "--drop-specials",
      [&choice](std::int64_t) { choice.options.drop_specials = true; },
      "AEDAT 2.0: drop special and sync events (address bit 31 or 15) instead of reading them "
      "as pixels");
  command.add_flag(
      "--resolve-overflow",
      [&choice](std::int64_t) { choice.options.resolve_overflow = true; },
      "N-MNIST: drop overflow markers (y = 240) and add 8192 us to every later timestamp");
  command
      .add_option("--columns", choice.options.csv_columns,
                  "CSV column order, e.g. x,y,p,t (_ passes a column over); default: a header "
                  "line's names, else x,y,t,p")
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            return io::parse_csv_columns(text) ? ""
                                               : "expected x, y, t and p once each, such as x,y,p,t";
          },
          ""))
      ->type_name("LIST");
  add_time_window_option(command, choice.window);
}

bool is_regular_file(const std::string& path) {
  struct stat info{};
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

Result<SpooledRecording> spool_recording(const std::string& path, const ReaderChoice& choice) {
  return catching_out_of_memory([&]() -> Result<SpooledRecording> {
    OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened, open_recording(path, choice));
    OVK_ASSIGN_OR_RETURN(EventSpool spool, EventSpool::create());
    OVK_RETURN_IF_ERROR(walk(*opened.source, choice.window, nullptr,
                             [&](const Event64Vec& block) { return spool.append(block); }));
    OVK_RETURN_IF_ERROR(spool.flush());
    return SpooledRecording{opened.format, opened.source->declared_sensor(),
                            opened.source->skipped_records(), std::move(spool)};
  });
}

Result<io::OpenedRecording> open_recording(const std::string& path, const ReaderChoice& choice) {
  return io::open_recording(path, choice.format, choice.options);
}

Result<Recording> read_recording(const std::string& path, const ReaderChoice& choice) {
  return catching_out_of_memory([&] { return read_whole(path, choice); });
}

Result<RecordingPasses> RecordingPasses::scan(const std::string& path,
                                              const ReaderChoice& choice) {
  return catching_out_of_memory([&]() -> Result<RecordingPasses> {
    OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened, open_recording(path, choice));
    RecordingPasses passes;
    passes.path_ = path;
    passes.choice_ = choice;
    passes.reader = opened.format;
    std::shared_ptr<EventSpool> spool;
    if (!is_regular_file(path)) {
      OVK_ASSIGN_OR_RETURN(EventSpool made, EventSpool::create());
      spool = std::make_shared<EventSpool>(std::move(made));
    }
    TimeRange range;
    OVK_RETURN_IF_ERROR(walk(*opened.source, choice.window, spool.get(),
                             [&](const Event64Vec& block) -> Status {
                               passes.extent.add(block);
                               passes.n_events += block.size();
                               for (const Event64& e : block) range.add(e.t);
                               return Ok{};
                             }));
    if (spool != nullptr) OVK_RETURN_IF_ERROR(spool->flush());
    passes.declared_sensor = opened.source->declared_sensor();
    passes.spool_ = std::move(spool);
    if (!range.any) return passes;
    if (range.last - range.first > kLargest32) return span_error(range.first, range.last);
    passes.time_offset = range.last > kLargest32 ? range.first : 0;
    passes.t_min = static_cast<std::uint32_t>(range.first - passes.time_offset);
    passes.t_max = static_cast<std::uint32_t>(range.last - passes.time_offset);
    return passes;
  });
}

Status RecordingPasses::pass(const std::function<Status(EventSpan)>& block) const {
  io::SourcePtr source;
  if (spool_ != nullptr) {
    source = spool_->source();
  } else {
    OVK_ASSIGN_OR_RETURN(io::OpenedRecording opened, open_recording(path_, choice_));
    source = std::move(opened.source);
  }
  EventVec rebased;
  return walk(*source, choice_.window, nullptr, [&](const Event64Vec& events) -> Status {
    rebased.resize(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      const Event64& e = events[i];
      rebased[i] = Event{e.x, e.y, static_cast<std::uint32_t>(e.t - time_offset), e.p};
    }
    return block(rebased);
  });
}

Result<SensorSize> sensor_size(const std::optional<io::SensorGeometry>& declared,
                               const io::Extent& extent, const std::optional<SensorSize>& given) {
  std::optional<io::SensorGeometry> wanted;
  if (given) wanted = io::SensorGeometry{given->width, given->height};
  OVK_ASSIGN_OR_RETURN(const io::SensorGeometry sensor, io::decide_sensor(wanted, declared, extent));
  return SensorSize{sensor.width, sensor.height};
}

Result<SensorSize> sensor_size(const Recording& recording, const std::optional<SensorSize>& given) {
  io::Extent extent;
  if (!given && !recording.declared_sensor) {
    for (const Event& e : recording.events) {
      extent.x_max = std::max(extent.x_max, e.x);
      extent.y_max = std::max(extent.y_max, e.y);
      extent.any = true;
    }
  }
  return sensor_size(recording.declared_sensor, extent, given);
}

}  // namespace ovk::cli
