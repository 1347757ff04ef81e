// `ovk sweep PATH...`: every recording times every parameter combination,
// coded with the codec's drivers (compress for one frame, compress_sequence
// for more), with general-purpose compressors on the same events as
// baselines. Recordings run in parallel; rows come out in input order.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/baselines.h"
#include "cli/lossless_commands.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/ordered_pool.h"
#include "cli/output_file.h"
#include "cli/shard.h"
#include "cli/sweep_report.h"
#include "cli/sweep_resume.h"
#include "codec/cell_sets.h"
#include "codec/context_compress.h"
#include "codec/stopwatch.h"
#include "codec/voxel_grid.h"
#include "io/compact_writer.h"
#include "io/file_access.h"

namespace ovk::cli {
namespace {

struct SweepOptions {
  std::vector<std::string> paths;
  std::string time_bins = "64";
  std::string depth = "10";
  std::string frames = "1";
  std::optional<SensorSize> sensor;
  ReaderChoice reader = ReaderChoice::kAuto;
  unsigned jobs = std::max(1U, std::thread::hardware_concurrency());
  OutputFormat format = OutputFormat::kTable;
  std::string output;
  std::string baselines = "zstd3";
  bool force = false;
  std::string codings = "static";
  std::optional<ShardSpec> shard;
  bool resume = false;
};

constexpr unsigned kLargestJobs = 1024;

// One combination coded from the recording's cells for its time bins and
// frame count (one frame: the whole recording).
Result<CompressionRecord> run_combination(const FrameCells& cells, std::uint64_t n_events,
                                          SensorSize sensor, const Combination& c) {
  const bool context = c.coding == SweepCoding::kContext;
  if (c.n_frames == 1) {
    OVK_ASSIGN_OR_RETURN(CompressOutput out,
                         (context ? compress_cells_context : compress_cells)(
                             cells.frame(0), n_events, sensor.width, sensor.height, c.time_bins,
                             c.max_depth));
    return out.record;
  }
  OVK_ASSIGN_OR_RETURN(SequenceOutput out,
                       (context ? compress_sequence_cells_context : compress_sequence_cells)(
                           cells, n_events, sensor.width, sensor.height, c.time_bins,
                           c.max_depth));
  return out.record;
}

// "static", "context" or both, comma-separated, in the order given.
std::optional<std::vector<SweepCoding>> parse_codings(const std::string& text) {
  std::vector<SweepCoding> out;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string name = text.substr(at, comma - at);
    if (name == "static") {
      out.push_back(SweepCoding::kStatic);
    } else if (name == "context") {
      out.push_back(SweepCoding::kContext);
    } else {
      return std::nullopt;
    }
    at = comma + 1;
  }
  return out;
}

// Every frame count's frame time scales (one frame: the recording's own).
using FrameScales = std::map<std::uint64_t, std::vector<TimeScale>>;

// The pass that needs no cells: the baselines on the compact records, the
// lossless code, and the time range of every frame of every frame count.
Result<FrameScales> measure_records(const RecordingPasses& recording,
                                    const std::vector<Baseline>& baselines,
                                    const std::vector<Combination>& combinations,
                                    RecordingOutcome& outcome) {
  std::vector<BaselineStream> streams;
  for (const Baseline baseline : baselines) {
    OVK_ASSIGN_OR_RETURN(BaselineStream stream,
                         BaselineStream::start(baseline, kCompactRecordBytes * recording.n_events));
    streams.push_back(std::move(stream));
  }
  LosslessMeasurer lossless;
  const TimeScale whole(recording.t_min, recording.t_max);
  std::map<std::uint64_t, FrameTimeRanges> ranges;
  for (const Combination& c : combinations) {
    if (c.n_frames > 1 && recording.n_events > 0)
      ranges.try_emplace(c.n_frames, FrameSplit(whole, c.n_frames));
  }
  OVK_RETURN_IF_ERROR(recording.pass([&](EventSpan events) -> Status {
    if (!streams.empty()) {
      OVK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> records, io::encode_compact(events));
      for (BaselineStream& stream : streams) OVK_RETURN_IF_ERROR(stream.add(records));
    }
    OVK_RETURN_IF_ERROR(lossless.add(events));
    for (auto& [frames, range] : ranges) range.add(events);
    return Ok{};
  }));
  for (BaselineStream& stream : streams) {
    OVK_ASSIGN_OR_RETURN(const BaselineMeasure measure, stream.finish());
    outcome.baselines.push_back(measure);
  }
  OVK_ASSIGN_OR_RETURN(const LosslessMeasure measure, lossless.finish());
  outcome.lossless_bytes = measure.bytes;
  outcome.lossless_us = measure.us;
  FrameScales scales{{1, {whole}}};
  for (const auto& [frames, range] : ranges) scales.emplace(frames, range.scales());
  return scales;
}

// The cells of the recording for `time_bins` and `n_frames`, one pass over
// it for every frames_per_pass frames; `keying_us` gets the time spent
// making and sorting their keys.
Result<FrameCells> gather_cells(const RecordingPasses& recording, SensorSize sensor,
                                std::uint16_t time_bins, std::uint64_t n_frames,
                                const FrameScales& scales, std::uint64_t& keying_us) {
  FrameCells cells;
  if (recording.n_events == 0) {
    cells.offsets.push_back(0);  // one frame without cells
    return cells;
  }
  const GridGeometry geometry(sensor.width, sensor.height, time_bins);
  const CellKeyer keyer(geometry, time_bins);
  const FrameSplit split(TimeScale(recording.t_min, recording.t_max), n_frames);
  const std::uint64_t step = frames_per_pass(geometry.key_bits());
  for (std::uint64_t first = 0; first < n_frames; first += step) {
    CellGatherer gatherer(keyer, split, scales.at(n_frames), first,
                          std::min(step, n_frames - first), recording.n_events);
    OVK_RETURN_IF_ERROR(recording.pass([&](EventSpan events) -> Status {
      const Stopwatch clock;
      gatherer.add(events);
      keying_us += clock.elapsed_us();
      return Ok{};
    }));
    const Stopwatch clock;
    gatherer.take_into(cells);
    keying_us += clock.elapsed_us();
  }
  return cells;
}

// Codes every combination: the combinations that share time bins and a
// frame count share one gathering of the cells, held while they are coded.
Status measure_combinations(const RecordingPasses& recording, SensorSize sensor,
                            const std::vector<Combination>& combinations,
                            const FrameScales& scales, RecordingOutcome& outcome) {
  outcome.rows.assign(combinations.size(), SweepRow{});
  std::vector<bool> done(combinations.size(), false);
  for (std::size_t i = 0; i < combinations.size(); ++i) {
    if (done[i]) continue;
    const Combination& group = combinations[i];
    std::uint64_t keying_us = 0;
    OVK_ASSIGN_OR_RETURN(const FrameCells cells,
                         gather_cells(recording, sensor, group.time_bins, group.n_frames, scales,
                                      keying_us));
    for (std::size_t j = i; j < combinations.size(); ++j) {
      const Combination& c = combinations[j];
      if (c.time_bins != group.time_bins || c.n_frames != group.n_frames) continue;
      OVK_ASSIGN_OR_RETURN(CompressionRecord record,
                           run_combination(cells, recording.n_events, sensor, c));
      record.encode_us += keying_us;  // the keys are part of the encoding
      outcome.rows[j] = SweepRow{c, record};
      done[j] = true;
    }
  }
  return Ok{};
}

// Reads the recording in passes (RecordingPasses): a scan, a pass for the
// baselines, the lossless code and the frames' time ranges, then one for
// each time bins and frame count measured. Holds a block of events and one
// set of cells at a time.
Status measure(const SweepOptions& options, const std::vector<Baseline>& baselines,
               const std::vector<Combination>& combinations, RecordingOutcome& outcome) {
  OVK_ASSIGN_OR_RETURN(const RecordingPasses recording,
                       RecordingPasses::scan(outcome.path, options.reader));
  OVK_ASSIGN_OR_RETURN(const SensorSize sensor,
                       sensor_size(recording.declared_sensor, recording.extent, options.sensor));
  outcome.reader = reader_name(recording.reader);
  outcome.width = sensor.width;
  outcome.height = sensor.height;
  outcome.n_events = recording.n_events;
  OVK_ASSIGN_OR_RETURN(const FrameScales scales,
                       measure_records(recording, baselines, combinations, outcome));
  return measure_combinations(recording, sensor, combinations, scales, outcome);
}

// One recording: every error becomes the outcome's message; a fault goes on
// to the pool, which hands it to the tool's boundary.
RecordingOutcome measure_recording(const std::string& path, const SweepOptions& options,
                                   const std::vector<Baseline>& baselines,
                                   const std::vector<Combination>& combinations) {
  RecordingOutcome outcome;
  outcome.path = path;
  const Status measured =
      catching_out_of_memory([&] { return measure(options, baselines, combinations, outcome); });
  outcome.ok = measured.ok();
  if (!measured.ok()) {
    outcome.error = measured.error().message();
    outcome.rows.clear();
    outcome.baselines.clear();
  }
  return outcome;
}

std::vector<Combination> combinations_of(const std::vector<std::uint64_t>& bins,
                                         const std::vector<std::uint64_t>& depths,
                                         const std::vector<std::uint64_t>& frames,
                                         const std::vector<SweepCoding>& codings) {
  std::vector<Combination> out;
  for (const std::uint64_t b : bins) {
    for (const std::uint64_t d : depths) {
      for (const std::uint64_t f : frames) {
        for (const SweepCoding coding : codings) {
          out.push_back(
              Combination{static_cast<std::uint16_t>(b), static_cast<std::uint8_t>(d), f, coding});
        }
      }
    }
  }
  return out;
}

// "done/total recordings, events/s, ETA" redrawn on one terminal line.
class ProgressLine {
 public:
  ProgressLine(std::size_t total, const std::atomic<std::uint64_t>& events)
      : total_(total), events_(events), enabled_(::isatty(STDERR_FILENO) == 1) {}

  void update(std::size_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(events_.load()) / seconds : 0.0;
    const double eta =
        done > 0 ? seconds * static_cast<double>(total_ - done) / static_cast<double>(done) : 0.0;
    std::fprintf(stderr, "\r\033[K%zu/%zu recordings  %.0f events/s  ETA %.0f s", done, total_,
                 rate, eta);
    if (done == total_) std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }

 private:
  std::size_t total_;
  const std::atomic<std::uint64_t>& events_;
  bool enabled_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
};

// The csv header a sweep writes (line feed included), or "" for jsonl.
std::string csv_header(OutputFormat format, const std::vector<Baseline>& baselines) {
  if (format != OutputFormat::kCsv) return {};
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* memory = ::open_memstream(&data, &size);
  if (memory == nullptr) throw std::bad_alloc();
  { const SweepWriter writer(format, baselines, memory); }
  std::fclose(memory);
  std::string header(data, size);
  std::free(data);
  return header;
}

// `paths` less the recordings the output already holds; says how many those are.
std::vector<std::string> still_to_measure(std::vector<std::string> paths,
                                          const std::set<std::string>& done,
                                          const std::string& output) {
  const auto before = paths.size();
  std::erase_if(paths, [&done](const std::string& path) { return done.contains(path); });
  if (paths.size() < before) {
    std::fprintf(stderr, "%s: %zu recordings already measured, %zu to go\n", output.c_str(),
                 before - paths.size(), paths.size());
  }
  return paths;
}

// Recordings measured at once: what was asked, but never more than the
// recordings nor kJobsPerCore threads per core.
constexpr unsigned kJobsPerCore = 4;
unsigned job_count(unsigned asked, std::size_t recordings) {
  const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
  const std::size_t most = std::min<std::size_t>(recordings, std::size_t{cores} * kJobsPerCore);
  return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(asked, most)));
}

// The recordings to measure: the paths collected, less the sweep's own
// output wherever the walk found it (an output named among the paths
// themselves is refused by the output policy instead). Skipped paths are
// reported one line each and counted in the summary.
std::vector<std::string> recordings_to_measure(const SweepOptions& options,
                                               std::vector<SkippedPath>& skipped) {
  std::vector<std::string> paths =
      shard_paths(list_recordings(options.paths, options.reader, &skipped), options.shard);
  for (const SkippedPath& s : skipped) print_failure(s.path, "skipped: " + s.reason);
  struct stat output{};
  if (options.output.empty() || options.output == "-" ||
      ::stat(options.output.c_str(), &output) != 0) {
    return paths;
  }
  std::erase_if(paths, [&](const std::string& path) {
    struct stat info{};
    const bool named = std::find(options.paths.begin(), options.paths.end(), path) !=
                       options.paths.end();
    return !named && ::stat(path.c_str(), &info) == 0 && info.st_dev == output.st_dev &&
           info.st_ino == output.st_ino;
  });
  return paths;
}

// The rows go to standard output, or to the -o file through OutputFile, so
// an existing file is replaced only with --force and a failed or
// interrupted sweep leaves it as it was. --resume appends to the file
// instead (see sweep_resume.h).
std::optional<OutputFile> open_rows_output(const SweepOptions& options) {
  const std::string name = options.output.empty() ? "-" : options.output;
  const OutputPolicy policy{.force = options.force, .allow_stdout = true, .inputs = options.paths};
  return value_or_report(OutputFile::open(name, policy), name);
}

bool run_sweep(const SweepOptions& options, const std::vector<Baseline>& baselines,
               const std::vector<Combination>& combinations) {
  std::vector<SkippedPath> skipped;
  std::vector<std::string> paths = recordings_to_measure(options, skipped);
  std::optional<ResumedOutput> resumed;
  std::optional<OutputFile> output;
  if (options.resume) {
    resumed = value_or_report(
        open_for_resume(options.output, csv_header(options.format, baselines), combinations.size()),
        options.output);
    if (!resumed) return false;
    paths = still_to_measure(std::move(paths), resumed->done, options.output);
  } else {
    output = open_rows_output(options);
    if (!output) return false;
  }
  std::FILE* out = resumed ? resumed->file.get() : output->stream();
  const auto start = std::chrono::steady_clock::now();
  std::atomic<std::uint64_t> events_done{0};
  ProgressLine progress(paths.size(), events_done);
  SweepWriter writer(options.format, baselines, out, !resumed || resumed->needs_csv_header);
  writer.note_skipped(skipped);
  bool all_ok = std::none_of(skipped.begin(), skipped.end(), [](const SkippedPath& s) {
    return s.reason.starts_with("permission denied") || s.reason.starts_with("unreadable");
  });
  std::size_t measured = 0;
  run_in_order<RecordingOutcome>(
      paths.size(), job_count(options.jobs, paths.size()),
      [&](std::size_t i) {
        RecordingOutcome outcome = measure_recording(paths[i], options, baselines, combinations);
        events_done += outcome.n_events;
        return outcome;
      },
      [&](std::size_t, RecordingOutcome&& outcome) {
        if (!outcome.ok) {
          all_ok = false;
          print_failure(outcome.path, outcome.error);
        }
        measured += outcome.ok ? 1 : 0;
        writer.add(outcome);
        if (resumed) std::fflush(out);  // an interrupted sweep keeps every finished recording
      },
      [&](std::size_t done) { progress.update(done); }, std::chrono::milliseconds(200),
      [](std::size_t started, std::size_t wanted) {
        std::fprintf(stderr, "ovk: could start only %zu of %zu threads; going on with %zu\n",
                     started, wanted, std::max<std::size_t>(started, 1));
      });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  writer.finish(combinations, seconds, stderr);
  if (resumed) {
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
      print_failure(options.output, io::os_error_message(errno));
      return false;
    }
    return all_ok;
  }
  // A sweep that measured nothing and failed leaves an existing file alone.
  if (!all_ok && measured == 0 && !output->in_place()) return false;
  const Status committed = output->commit();
  if (!committed.ok()) {
    print_failure(options.output.empty() ? "<stdout>" : options.output,
                  committed.error().message());
    return false;
  }
  return all_ok;
}

void add_grid_options(CLI::App& command, SweepOptions& options) {
  add_parameter_list_option(command, kTimeBinsParameter, options.time_bins, "16,64,256");
  add_parameter_list_option(command, kDepthParameter, options.depth, "6-12");
  add_parameter_list_option(command, kFramesParameter, options.frames, "1,10");
}

void add_output_options(CLI::App& command, SweepOptions& options) {
  static const std::map<std::string, OutputFormat> kFormats{{"table", OutputFormat::kTable},
                                                            {"csv", OutputFormat::kCsv},
                                                            {"jsonl", OutputFormat::kJsonl}};
  command
      .add_option_function<std::string>(
          "--format", [&options](const std::string& name) { options.format = kFormats.at(name); },
          "Row format: an aligned table with a summary, csv, or jsonl (one JSON object per line)")
      ->check(CLI::IsMember({"table", "csv", "jsonl"}))
      ->type_name("NAME")
      ->default_str("table");
  command.add_option("-o,--output", options.output, "Write the rows to FILE instead of stdout")
      ->type_name("FILE");
  add_force_option(command, options.force);
  command
      .add_option("--baselines", options.baselines,
                  "General-purpose compressors on the 9-byte records: zstd3,zstd19,xz,zlib or none")
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            return parse_baselines(text) ? "" : "expected names from zstd3,zstd19,xz,zlib or none";
          },
          ""))
      ->type_name("LIST")
      ->capture_default_str();
  command
      .add_option("-j,--jobs", options.jobs,
                  "Recordings measured at once (default: the core count; at most the "
                  "recordings and 4 per core)")
      ->check(CLI::Range(1U, kLargestJobs))
      ->type_name("N");
}

}  // namespace

void add_sweep_command(CLI::App& app, int& status) {
  auto options = std::make_shared<SweepOptions>();
  CLI::App* command = app.add_subcommand(
      "sweep",
      "Code recordings over a grid of parameters and compare with general-purpose compressors");
  command->add_option("paths", options->paths, "Recordings or folders (searched recursively)")
      ->required()
      ->type_name("PATH");
  add_grid_options(*command, *options);
  add_sensor_option(*command, options->sensor);
  add_reader_option(*command, options->reader);
  add_output_options(*command, *options);
  command
      ->add_option("--coding", options->codings,
                   "Tree bit codings to measure: static (the module's code), context, or both "
                   "(static,context)")
      ->capture_default_str()
      ->check([](const std::string& text) {
        return parse_codings(text) ? "" : "expected static, context or static,context";
      });
  add_shard_option(*command, options->shard);
  command->add_flag("--resume", options->resume,
                    "Append to the -o file (csv or jsonl), skipping the recordings it already "
                    "holds; each recording's rows are flushed as it finishes");
  command->footer(
      "Example: ovk sweep recordings/ --time-bins 16,64,256 --depth 6-12 --format jsonl -o "
      "sweep.jsonl");
  command->callback([options, &status] {
    if (options->resume && (options->output.empty() || options->format == OutputFormat::kTable)) {
      throw CLI::ValidationError("--resume", "needs -o FILE and --format csv or jsonl");
    }
    const std::vector<Combination> combinations =
        combinations_of(*parameter_values(options->time_bins, kTimeBinsParameter),
                        *parameter_values(options->depth, kDepthParameter),
                        *parameter_values(options->frames, kFramesParameter),
                        *parse_codings(options->codings));
    if (!run_sweep(*options, *parse_baselines(options->baselines), combinations))
      status = kExitFailure;
  });
}

}  // namespace ovk::cli
