#include "cli/sweep_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cinttypes>
#include <map>
#include <span>

#include "cli/text_escape.h"
#include "codec/voxel_grid.h"
#include "io/utf8.h"

namespace ovk::cli {
namespace {

constexpr std::size_t kStringColumns = 2;  // path and reader
constexpr double kBitsPerByte = 8.0;
constexpr std::size_t kSummaryColumn = 14;

std::string fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

double bits_per_event(std::uint64_t bytes, std::uint64_t events) {
  return static_cast<double>(bytes) * kBitsPerByte /
         static_cast<double>(std::max<std::uint64_t>(events, 1));
}

void write_line(std::FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

std::string join_csv(const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line.push_back(',');
    line += i < kStringColumns ? csv_field(cells[i]) : cells[i];
  }
  return line;
}

std::string join_json(const std::vector<std::string>& keys, const std::vector<std::string>& cells) {
  std::string line = "{";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += ", ";
    line += json_string(keys[i]) + ": ";
    line += i < kStringColumns ? json_string(cells[i]) : cells[i];
  }
  return line + "}";
}

std::vector<std::string> table_heading(const std::vector<Baseline>& baselines) {
  // "occ": the occupancy code (lossy: occupied cells only); the lossless
  // code and the baselines keep every event.
  std::vector<std::string> heading{"path",      "reader",   "events",     "sensor",
                                   "bins",      "depth",    "frames",     "coding",
                                   "occ bits/ev", "occ ratio", "sparsity", "occ enc_us",
                                   "occ dec_us", "ev/cell", "lossless bits/ev"};
  for (const Baseline b : baselines) heading.push_back(std::string(baseline_name(b)) + " bits/ev");
  return heading;
}

std::vector<std::string> table_cells(const RecordingOutcome& outcome, const SweepRow& row) {
  const CompressionRecord& r = row.record;
  std::vector<std::string> cells{
      escape_for_terminal(outcome.path),
      std::string(outcome.reader),
      std::to_string(outcome.n_events),
      std::to_string(outcome.width) + "x" + std::to_string(outcome.height),
      std::to_string(row.combination.time_bins),
      std::to_string(row.combination.max_depth),
      std::to_string(row.combination.n_frames),
      std::string(coding_name(row.combination.coding)),
      fixed(r.bits_per_event(), 3),
      fixed(r.compression_ratio(), 2),
      fixed(r.sparsity, 6),
      std::to_string(r.encode_us),
      std::to_string(r.decode_us),
      fixed(events_per_cell(outcome, row), 3),
      fixed(bits_per_event(outcome.lossless_bytes, outcome.n_events), 3)};
  for (const BaselineMeasure& m : outcome.baselines) {
    cells.push_back(fixed(bits_per_event(m.compressed_bytes, outcome.n_events), 3));
  }
  return cells;
}

// Left-aligned text columns, right-aligned numbers, two spaces apart.
void write_table(std::FILE* out, const std::vector<std::vector<std::string>>& table) {
  if (table.empty()) return;
  std::vector<std::size_t> widths(table.front().size(), 0);
  for (const auto& row : table) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : table) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - row[i].size(), ' ');
      if (i > 0) line += "  ";
      line += i < kStringColumns ? row[i] + (i + 1 < row.size() ? pad : "") : pad + row[i];
    }
    write_line(out, line);
  }
}

}  // namespace

std::string_view coding_name(SweepCoding coding) {
  return coding == SweepCoding::kContext ? "context" : "static";
}

std::vector<std::string> sweep_keys(const std::vector<Baseline>& baselines) {
  std::vector<std::string> keys{
      "path",     "reader",          "n_events",       "width",
      "height",   "time_bins",       "max_depth",      "n_frames",
      "coding",   "n_bits",   "bitstream_bytes", "bits_per_event", "compression_ratio",
      "sparsity", "encode_us",       "decode_us",      "events_per_cell",
      "lossless_bits_per_event",     "lossless_us"};
  for (const Baseline b : baselines) {
    keys.push_back(std::string(baseline_name(b)) + "_bits_per_event");
    keys.push_back(std::string(baseline_name(b)) + "_us");
  }
  return keys;
}

std::string json_string(std::string_view text) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  std::string out = "\"";
  for (std::size_t pos = 0; pos < bytes.size();) {
    const std::uint8_t c = bytes[pos];
    if (c >= 0x80) {
      const io::Utf8Step step = io::decode_utf8_step(bytes, pos);
      if (step.valid) {
        out += text.substr(pos, step.length);
      } else {
        // Each byte that is not UTF-8 as a lone low surrogate U+DC80..U+DCFF
        // (Python's "surrogateescape"): os.fsencode gives the bytes back.
        for (std::size_t i = 0; i < step.length; ++i) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\udc%02x", bytes[pos + i]);
          out += escape;
        }
      }
      pos += step.length;
      continue;
    }
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.push_back(static_cast<char>(c));
    }
    ++pos;
  }
  return out + "\"";
}

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

std::string shortest_double(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  // Keep a float a float for readers that look at the text ("2" -> "2.0").
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

SweepWriter::SweepWriter(OutputFormat format, std::vector<Baseline> baselines, std::FILE* out,
                         bool csv_header)
    : format_(format),
      baselines_(std::move(baselines)),
      keys_(sweep_keys(baselines_)),
      out_(out),
      baseline_bytes_(baselines_.size(), 0) {
  if (format_ == OutputFormat::kCsv && csv_header) write_line(out_, join_csv(keys_));
  if (format_ == OutputFormat::kTable) table_.push_back(table_heading(baselines_));
}

std::vector<std::string> SweepWriter::cells(const RecordingOutcome& outcome,
                                            const SweepRow& row) const {
  const CompressionRecord& r = row.record;
  std::vector<std::string> cells{outcome.path,
                                 std::string(outcome.reader),
                                 std::to_string(outcome.n_events),
                                 std::to_string(outcome.width),
                                 std::to_string(outcome.height),
                                 std::to_string(row.combination.time_bins),
                                 std::to_string(row.combination.max_depth),
                                 std::to_string(row.combination.n_frames),
                                 // a string among the numbers: quoted for JSON
                                 format_ == OutputFormat::kJsonl
                                     ? json_string(coding_name(row.combination.coding))
                                     : std::string(coding_name(row.combination.coding)),
                                 std::to_string(r.n_bits),
                                 std::to_string(r.bitstream_bytes),
                                 shortest_double(r.bits_per_event()),
                                 shortest_double(r.compression_ratio()),
                                 shortest_double(r.sparsity),
                                 std::to_string(r.encode_us),
                                 std::to_string(r.decode_us),
                                 shortest_double(events_per_cell(outcome, row)),
                                 shortest_double(bits_per_event(outcome.lossless_bytes, outcome.n_events)),
                                 std::to_string(outcome.lossless_us)};
  for (const BaselineMeasure& m : outcome.baselines) {
    cells.push_back(shortest_double(bits_per_event(m.compressed_bytes, outcome.n_events)));
    cells.push_back(std::to_string(m.us));
  }
  return cells;
}

void SweepWriter::add(const RecordingOutcome& outcome) {
  ++recordings_;
  if (!outcome.ok) {
    ++failures_;
    return;
  }
  events_ += outcome.n_events;
  if (per_combination_.size() < outcome.rows.size()) per_combination_.resize(outcome.rows.size());
  for (std::size_t i = 0; i < outcome.rows.size(); ++i) {
    Totals& totals = per_combination_[i];
    ++totals.recordings;
    totals.n_events += outcome.n_events;
    totals.bitstream_bytes += outcome.rows[i].record.bitstream_bytes;
  }
  if (!outcome.baselines.empty()) baseline_events_ += outcome.n_events;
  lossless_bytes_ += outcome.lossless_bytes;
  for (std::size_t i = 0; i < outcome.baselines.size() && i < baseline_bytes_.size(); ++i) {
    baseline_bytes_[i] += outcome.baselines[i].compressed_bytes;
  }
  for (const SweepRow& row : outcome.rows) {
    switch (format_) {
      case OutputFormat::kTable:
        table_.push_back(table_cells(outcome, row));
        break;
      case OutputFormat::kCsv:
        write_line(out_, join_csv(cells(outcome, row)));
        break;
      case OutputFormat::kJsonl:
        write_line(out_, join_json(keys_, cells(outcome, row)));
        break;
    }
  }
}

std::string SweepWriter::summary(const std::vector<Combination>& combinations,
                                 double seconds) const {
  std::string text =
      "summary: " + std::to_string(recordings_) + " recordings, " + std::to_string(failures_) +
      " failed, " + std::to_string(events_) + " events in " + fixed(seconds, 3) + " s (" +
      fixed(seconds > 0 ? static_cast<double>(events_) / seconds : 0.0, 0) + " events/s)\n";
  text += "  occ_bits/ev: the occupancy code (lossy: occupied cells only; no polarity, counts or "
          "exact times)\n";
  text += "  lossless (ovk, every event exact): " + fixed(bits_per_event(lossless_bytes_, events_), 3) +
          " bits/event\n";
  std::vector<std::vector<std::string>> table{
      {"time_bins", "max_depth", "n_frames", "coding", "recordings", "events", "occ_bits/ev"}};
  for (std::size_t i = 0; i < combinations.size() && i < per_combination_.size(); ++i) {
    const Totals& t = per_combination_[i];
    table.push_back(
        {std::to_string(combinations[i].time_bins), std::to_string(combinations[i].max_depth),
         std::to_string(combinations[i].n_frames),
         std::string(coding_name(combinations[i].coding)), std::to_string(t.recordings),
         std::to_string(t.n_events), fixed(bits_per_event(t.bitstream_bytes, t.n_events), 3)});
  }
  for (const auto& row : table) {
    for (const std::string& cell : row) {
      text.append(kSummaryColumn + 1 - std::min(cell.size(), kSummaryColumn), ' ').append(cell);
    }
    text.push_back('\n');
  }
  for (std::size_t i = 0; i < baselines_.size(); ++i) {
    text += "  baseline (lossless) " + std::string(baseline_name(baselines_[i])) + ": " +
            fixed(bits_per_event(baseline_bytes_[i], baseline_events_), 3) + " bits/event\n";
  }
  if (!skipped_.empty()) text += "  skipped: " + skipped_ + "\n";
  return text;
}

void SweepWriter::note_skipped(const std::vector<SkippedPath>& skipped) {
  std::map<std::string, std::uint64_t> by_reason;
  for (const SkippedPath& s : skipped) ++by_reason[s.reason];
  skipped_.clear();
  for (const auto& [reason, count] : by_reason) {
    if (!skipped_.empty()) skipped_ += ", ";
    skipped_ += std::to_string(count) + " " + reason;
  }
}

double events_per_cell(const RecordingOutcome& outcome, const SweepRow& row) {
  const GridGeometry grid(outcome.width, outcome.height, row.combination.time_bins);
  const double occupied = std::round(static_cast<double>(grid.cell_count()) *
                                     static_cast<double>(row.combination.n_frames) *
                                     (1.0 - row.record.sparsity));
  return occupied < 1.0 ? 0.0 : static_cast<double>(outcome.n_events) / occupied;
}

void SweepWriter::finish(const std::vector<Combination>& combinations, double seconds,
                         std::FILE* summary_out) {
  const std::string text = summary(combinations, seconds);
  if (format_ == OutputFormat::kTable) {
    write_table(out_, table_);
    std::fputc('\n', out_);
    std::fwrite(text.data(), 1, text.size(), out_);
  } else {
    std::fwrite(text.data(), 1, text.size(), summary_out);
  }
}

}  // namespace ovk::cli
