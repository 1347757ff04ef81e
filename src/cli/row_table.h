// Reading back the rows `ovk sweep` writes: flat JSON objects one a line
// (jsonl) and CSV records (a header, then one record per row). Values keep
// their text as written, so rows read and written again are unchanged.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ovk::cli {

struct Cell {
  std::string text;  // a string's value, or a number's (or true/false/null) text
  bool is_string = false;
};

// The cells of a row in their order, each with its key.
using Row = std::vector<std::pair<std::string, Cell>>;

// The row of one JSON text holding a flat object (string, number, boolean or
// null values). nullopt for anything else: a syntax error, a nested value, a
// repeated key, trailing text.
std::optional<Row> parse_json_row(std::string_view line);

// The fields of one CSV record (without its line break): comma-separated,
// a field in double quotes may hold commas, doubled quotes and line breaks.
// nullopt when a quote is left open or text follows a closing quote.
std::optional<std::vector<std::string>> split_csv_record(std::string_view record);

// The length of the first complete record in `text`, its line break
// included: up to the first line feed outside double quotes when `csv`,
// else up to the first line feed. nullopt when no record is complete.
std::optional<std::size_t> record_length(std::string_view text, bool csv);

// The text of `key` in `row`, or nullptr.
const Cell* find_cell(const Row& row, std::string_view key);

// A row as one JSON line (no line feed) in the layout of `ovk sweep`:
// {"key": value, ...}.
std::string json_line(const Row& row);

// A row's values as one CSV record (no line feed), strings quoted when needed.
std::string csv_line(const Row& row);

}  // namespace ovk::cli
