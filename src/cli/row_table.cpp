#include "cli/row_table.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "cli/sweep_report.h"

namespace ovk::cli {
namespace {

// SAX events of one flat object; any nesting or repeated key fails the parse.
class FlatObjectReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  Row row;

  bool null() override { return value("null", false); }
  bool boolean(bool v) override { return value(v ? "true" : "false", false); }
  bool number_integer(number_integer_t v) override { return value(std::to_string(v), false); }
  bool number_unsigned(number_unsigned_t v) override { return value(std::to_string(v), false); }
  bool number_float(number_float_t, const string_t& text) override { return value(text, false); }
  bool string(string_t& v) override { return value(v, true); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return depth_++ == 0; }
  bool key(string_t& k) override {
    if (find_cell(row, k) != nullptr) return false;
    key_ = k;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return false; }
  bool end_array() override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool value(std::string text, bool is_string) {
    if (depth_ != 1) return false;
    row.emplace_back(std::move(key_), Cell{std::move(text), is_string});
    return true;
  }
  int depth_ = 0;
  std::string key_;
};

}  // namespace

std::optional<Row> parse_json_row(std::string_view line) {
  FlatObjectReader reader;
  const bool parsed = nlohmann::json::sax_parse(line, &reader, nlohmann::json::input_format_t::json,
                                                /*strict=*/true);
  if (!parsed) return std::nullopt;
  return std::move(reader.row);
}

std::optional<std::vector<std::string>> split_csv_record(std::string_view record) {
  std::vector<std::string> fields(1);
  bool quoted = false;      // inside a quoted field
  bool after_quote = false;  // a quoted field just closed
  for (std::size_t i = 0; i < record.size(); ++i) {
    const char c = record[i];
    if (quoted) {
      if (c != '"') {
        fields.back().push_back(c);
      } else if (i + 1 < record.size() && record[i + 1] == '"') {
        fields.back().push_back('"');
        ++i;
      } else {
        quoted = false;
        after_quote = true;
      }
    } else if (c == ',') {
      fields.emplace_back();
      after_quote = false;
    } else if (after_quote) {
      return std::nullopt;
    } else if (c == '"' && fields.back().empty()) {
      quoted = true;
    } else {
      fields.back().push_back(c);
    }
  }
  if (quoted) return std::nullopt;
  return fields;
}

std::optional<std::size_t> record_length(std::string_view text, bool csv) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (csv && text[i] == '"') quoted = !quoted;
    if (text[i] == '\n' && !quoted) return i + 1;
  }
  return std::nullopt;
}

const Cell* find_cell(const Row& row, std::string_view key) {
  const auto it = std::find_if(row.begin(), row.end(),
                               [key](const auto& cell) { return cell.first == key; });
  return it == row.end() ? nullptr : &it->second;
}

std::string json_line(const Row& row) {
  std::string line = "{";
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) line += ", ";
    line += json_string(row[i].first) + ": ";
    line += row[i].second.is_string ? json_string(row[i].second.text) : row[i].second.text;
  }
  return line + "}";
}

std::string csv_line(const Row& row) {
  std::string line;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) line.push_back(',');
    line += row[i].second.is_string ? csv_field(row[i].second.text) : row[i].second.text;
  }
  return line;
}

}  // namespace ovk::cli
