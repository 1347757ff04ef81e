// Options whose text a parser turns into a value: the one place where text
// the parser refuses becomes a usage error.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <utility>

namespace ovk::cli {

// Adds option `name` to `command`: its text goes through `parse` into
// `target`; text that `parse` refuses (nullopt) ends the parsing with the
// usage error "`name`: `expected`".
template <class T, class Parse>
CLI::Option* add_parsed_option(CLI::App& command, const std::string& name,
                               std::optional<T>& target, Parse parse, std::string expected,
                               const std::string& help) {
  return command.add_option_function<std::string>(
      name,
      [&target, parse, name, expected = std::move(expected)](const std::string& text) {
        target = parse(text);
        if (!target) throw CLI::ValidationError(name, expected);
      },
      help);
}

}  // namespace ovk::cli
