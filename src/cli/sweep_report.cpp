#include "cli/sweep_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cinttypes>
#include <map>
#include <utility>
#include <span>

#include "cli/text_escape.h"
#include "codec/voxel_grid.h"
#include "io/utf8.h"

namespace ovk::cli {
namespace {

using Kind = SweepColumn::Kind;
using ColumnCell = SweepColumn::Cell;
constexpr std::size_t kSummaryColumn = 14;

std::string fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

// The shortest decimal text that reads back as the same double.
std::string shortest_double(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  // Keep a float a float for readers that look at the text ("2" -> "2.0").
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

std::string_view coding_name(SweepCoding coding) {
  return coding == SweepCoding::kContext ? "context" : "static";
}

// Events per occupied cell of a row: the occupied cells are the padded grid's
// cells times the frames times one minus the sparsity.
double events_per_cell(const RecordingOutcome& outcome, const SweepRow& row) {
  const GridGeometry grid(outcome.width, outcome.height, row.combination.time_bins);
  const double occupied = std::round(static_cast<double>(grid.cell_count()) *
                                     static_cast<double>(row.combination.n_frames) *
                                     (1.0 - row.record.sparsity));
  return occupied < 1.0 ? 0.0 : static_cast<double>(outcome.n_events) / occupied;
}

void write_line(std::FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

// A whole number of the row, the same in every format.
template <class Get>
ColumnCell whole(Get get) {
  return [get](const RecordingOutcome& o, const SweepRow& r) { return std::to_string(get(o, r)); };
}

// A fraction of the row: in full for csv and jsonl, to `decimals` places in
// the table.
template <class Get>
std::pair<ColumnCell, ColumnCell> fraction(Get get, int decimals) {
  return {[get](const RecordingOutcome& o, const SweepRow& r) {
            return shortest_double(get(o, r));
          },
          [get, decimals](const RecordingOutcome& o, const SweepRow& r) {
            return fixed(get(o, r), decimals);
          }};
}

SweepColumn number(std::string key, std::string heading, ColumnCell value,
                   ColumnCell shown = {}) {
  return {std::move(key), std::move(heading), Kind::kNumber, std::move(value), std::move(shown)};
}
SweepColumn number(std::string key, std::string heading, std::pair<ColumnCell, ColumnCell> cells) {
  return number(std::move(key), std::move(heading), std::move(cells.first),
                std::move(cells.second));
}

// The columns of baseline i: its bits per event (also in the table) and its
// time.
void add_baseline_columns(Baseline baseline, std::size_t i, std::vector<SweepColumn>& columns) {
  const std::string name(baseline_name(baseline));
  auto measure = [i](const RecordingOutcome& o) {
    return i < o.baselines.size() ? o.baselines[i] : BaselineMeasure{};
  };
  auto bits = [measure](const RecordingOutcome& o, const SweepRow&) {
    return bits_per_event(measure(o).compressed_bytes, o.n_events);
  };
  auto us = [measure](const RecordingOutcome& o, const SweepRow&) { return measure(o).us; };
  columns.push_back(number(name + "_bits_per_event", name + " bits/ev", fraction(bits, 3)));
  columns.push_back(number(name + "_us", "", whole(us)));
}

std::string join_csv(const std::vector<SweepColumn>& columns,
                     const std::vector<std::string>& cells) {
  std::string line;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line.push_back(',');
    line += columns[i].kind == Kind::kText ? csv_field(cells[i]) : cells[i];
  }
  return line;
}

std::string join_json(const std::vector<SweepColumn>& columns,
                      const std::vector<std::string>& cells) {
  std::string line = "{";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += ", ";
    line += json_string(columns[i].key) + ": ";
    line += columns[i].kind == Kind::kNumber ? cells[i] : json_string(cells[i]);
  }
  return line + "}";
}

std::vector<std::string> values(const std::vector<SweepColumn>& columns,
                                const RecordingOutcome& outcome, const SweepRow& row) {
  std::vector<std::string> cells;
  for (const SweepColumn& c : columns) cells.push_back(c.value(outcome, row));
  return cells;
}

std::vector<std::string> table_heading(const std::vector<SweepColumn>& columns) {
  std::vector<std::string> heading;
  for (const SweepColumn& c : columns) {
    if (!c.heading.empty()) heading.push_back(c.heading);
  }
  return heading;
}

std::vector<std::string> table_cells(const std::vector<SweepColumn>& columns,
                                     const RecordingOutcome& outcome, const SweepRow& row) {
  std::vector<std::string> cells;
  for (const SweepColumn& c : columns) {
    if (!c.heading.empty()) cells.push_back((c.shown ? c.shown : c.value)(outcome, row));
  }
  return cells;
}

// Text columns left-aligned, the others right-aligned, two spaces apart.
void write_table(std::FILE* out, const std::vector<SweepColumn>& columns,
                 const std::vector<std::vector<std::string>>& table) {
  if (table.empty()) return;
  std::vector<bool> left;
  for (const SweepColumn& c : columns) {
    if (!c.heading.empty()) left.push_back(c.kind == Kind::kText);
  }
  std::vector<std::size_t> widths(table.front().size(), 0);
  for (const auto& row : table) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : table) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - row[i].size(), ' ');
      if (i > 0) line += "  ";
      line += left[i] ? row[i] + (i + 1 < row.size() ? pad : "") : pad + row[i];
    }
    write_line(out, line);
  }
}

}  // namespace

std::vector<SweepColumn> sweep_columns(const std::vector<Baseline>& baselines) {
  using O = const RecordingOutcome&;
  using R = const SweepRow&;
  std::vector<SweepColumn> columns{
      {"path", "path", Kind::kText, [](O o, R) { return o.path; },
       [](O o, R) { return escape_for_terminal(o.path); }},
      {"reader", "reader", Kind::kText, [](O o, R) { return std::string(o.reader); }, {}},
      number("n_events", "events", whole([](O o, R) { return o.n_events; })),
      number("width", "sensor", whole([](O o, R) { return o.width; }),
             [](O o, R) { return std::to_string(o.width) + "x" + std::to_string(o.height); }),
      number("height", "", whole([](O o, R) { return o.height; })),
      number("time_bins", "bins", whole([](O, R r) { return r.combination.time_bins; })),
      number("max_depth", "depth", whole([](O, R r) { return r.combination.max_depth; })),
      number("n_frames", "frames", whole([](O, R r) { return r.combination.n_frames; })),
      {"coding", "coding", Kind::kName,
       [](O, R r) { return std::string(coding_name(r.combination.coding)); }, {}},
      number("n_bits", "", whole([](O, R r) { return r.record.n_bits; })),
      number("bitstream_bytes", "", whole([](O, R r) { return r.record.bitstream_bytes; })),
      number("bits_per_event", "occ bits/ev",
             fraction([](O, R r) { return r.record.bits_per_event(); }, 3)),
      number("compression_ratio", "occ ratio",
             fraction([](O, R r) { return r.record.compression_ratio(); }, 2)),
      number("sparsity", "sparsity", fraction([](O, R r) { return r.record.sparsity; }, 6)),
      number("encode_us", "occ enc_us", whole([](O, R r) { return r.record.encode_us; })),
      number("decode_us", "occ dec_us", whole([](O, R r) { return r.record.decode_us; })),
      number("events_per_cell", "ev/cell", fraction(events_per_cell, 3)),
      number("lossless_bits_per_event", "lossless bits/ev",
             fraction([](O o, R) { return bits_per_event(o.lossless_bytes, o.n_events); }, 3)),
      number("lossless_us", "", whole([](O o, R) { return o.lossless_us; })),
  };
  for (std::size_t i = 0; i < baselines.size(); ++i) add_baseline_columns(baselines[i], i, columns);
  return columns;
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

SweepWriter::SweepWriter(OutputFormat format, std::vector<Baseline> baselines, std::FILE* out,
                         bool csv_header)
    : format_(format),
      baselines_(std::move(baselines)),
      columns_(sweep_columns(baselines_)),
      out_(out),
      baseline_bytes_(baselines_.size(), 0) {
  if (format_ == OutputFormat::kCsv && csv_header) {
    std::vector<std::string> keys;
    for (const SweepColumn& c : columns_) keys.push_back(c.key);
    write_line(out_, join_csv(columns_, keys));
  }
  if (format_ == OutputFormat::kTable) table_.push_back(table_heading(columns_));
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
        table_.push_back(table_cells(columns_, outcome, row));
        break;
      case OutputFormat::kCsv:
        write_line(out_, join_csv(columns_, values(columns_, outcome, row)));
        break;
      case OutputFormat::kJsonl:
        write_line(out_, join_json(columns_, values(columns_, outcome, row)));
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

void SweepWriter::finish(const std::vector<Combination>& combinations, double seconds,
                         std::FILE* summary_out) {
  const std::string text = summary(combinations, seconds);
  if (format_ == OutputFormat::kTable) {
    write_table(out_, columns_, table_);
    std::fputc('\n', out_);
    std::fwrite(text.data(), 1, text.size(), out_);
  } else {
    std::fwrite(text.data(), 1, text.size(), summary_out);
  }
}

}  // namespace ovk::cli
