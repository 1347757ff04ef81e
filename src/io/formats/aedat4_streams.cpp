#include "io/formats/aedat4_streams.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace ovk::io {
namespace {

Error invalid(std::string message) { return Error(ErrorKind::kInvalidData, std::move(message)); }

// The value of attribute `name` inside the tag text `tag` (`name="value"`).
std::optional<std::string_view> attribute(std::string_view tag, std::string_view name) {
  std::size_t at = 0;
  while ((at = tag.find(name, at)) != std::string_view::npos) {
    const bool starts = at == 0 || tag[at - 1] == ' ' || tag[at - 1] == '\t' ||
                        tag[at - 1] == '\n' || tag[at - 1] == '\r';
    const std::size_t eq = at + name.size();
    if (starts && tag.substr(eq, 2) == "=\"") {
      const std::size_t end = tag.find('"', eq + 2);
      if (end == std::string_view::npos) return std::nullopt;
      return tag.substr(eq + 2, end - eq - 2);
    }
    at = eq;
  }
  return std::nullopt;
}

template <class T>
std::optional<T> parse_integer(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\n')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.remove_suffix(1);
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

struct Collected {
  std::string type;
  std::optional<std::string> size_x;
  std::optional<std::string> size_y;
};

Result<std::uint16_t> sensor_side(std::int32_t stream, std::string_view key,
                                  std::string_view text) {
  const auto value = parse_integer<std::int64_t>(text);
  if (!value || *value < 1 || *value > 65535) {
    return invalid("stream " + std::to_string(stream) + " declares " + std::string(key) + " '" +
                   std::string(text.substr(0, 32)) + "', not a size from 1 to 65535");
  }
  return static_cast<std::uint16_t>(*value);
}

}  // namespace

Result<std::vector<Aedat4Stream>> parse_aedat4_streams(std::string_view xml) {
  std::map<std::int32_t, Collected> streams;
  std::vector<std::string_view> nodes;  // names of the open <node> elements
  std::size_t at = 0;
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    const std::size_t close = xml.find('>', at);
    if (close == std::string_view::npos) break;
    const std::string_view tag = xml.substr(at + 1, close - at - 1);
    at = close + 1;
    if (tag.starts_with("/node")) {
      if (!nodes.empty()) nodes.pop_back();
    } else if (tag.starts_with("node") && !tag.ends_with("/")) {
      nodes.push_back(attribute(tag, "name").value_or(""));
    } else if (tag.starts_with("attr ") && !tag.ends_with("/")) {
      const std::size_t text_end = xml.find('<', at);
      if (text_end == std::string_view::npos) break;
      const std::string_view text = xml.substr(at, text_end - at);
      // The stream is the first numbered node below the top one.
      const auto numbered = std::find_if(nodes.begin() + (nodes.empty() ? 0 : 1), nodes.end(),
                                         [](std::string_view n) {
                                           return parse_integer<std::int32_t>(n).has_value();
                                         });
      if (numbered == nodes.end()) continue;
      const std::int32_t id = *parse_integer<std::int32_t>(*numbered);
      const std::string_view key = attribute(tag, "key").value_or("");
      Collected& stream = streams[id];
      if (key == "typeIdentifier") stream.type = std::string(text);
      if (key == "sizeX") stream.size_x = std::string(text);
      if (key == "sizeY") stream.size_y = std::string(text);
    }
  }

  std::vector<Aedat4Stream> result;
  for (const auto& [id, collected] : streams) {
    if (id < 0) return invalid("stream number " + std::to_string(id) + " is negative");
    Aedat4Stream stream{id, collected.type, std::nullopt};
    if (collected.size_x && collected.size_y) {
      OVK_ASSIGN_OR_RETURN(const std::uint16_t width, sensor_side(id, "sizeX", *collected.size_x));
      OVK_ASSIGN_OR_RETURN(const std::uint16_t height, sensor_side(id, "sizeY", *collected.size_y));
      stream.sensor = SensorGeometry{width, height};
    }
    result.push_back(std::move(stream));
  }
  return result;
}

}  // namespace ovk::io
