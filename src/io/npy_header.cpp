#include "io/npy_header.h"

namespace ovk::io {
namespace {

constexpr std::string_view kNpyMagic("\x93NUMPY\x01\x00", 8);
constexpr std::size_t kHeaderLengthBytes = 2;
constexpr std::size_t kNpyAlignment = 64;

std::string python_tuple(std::span<const std::uint64_t> values) {
  std::string text = "(";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(values[i]);
  }
  if (values.size() == 1) text += ',';
  return text + ")";
}

}  // namespace

std::string npy_header(std::string_view descr, std::span<const std::uint64_t> shape) {
  std::string dict = "{'descr': ";
  dict.append(descr).append(", 'fortran_order': False, 'shape': ");
  dict.append(python_tuple(shape)).append(", }");
  // Magic, header length, dictionary, spaces, line feed.
  const std::size_t unpadded = kNpyMagic.size() + kHeaderLengthBytes + dict.size() + 1;
  dict.append((kNpyAlignment - unpadded % kNpyAlignment) % kNpyAlignment, ' ');
  dict.push_back('\n');
  std::string header(kNpyMagic);
  header.push_back(static_cast<char>(dict.size() & 0xFF));
  header.push_back(static_cast<char>(dict.size() >> 8));
  return header + dict;
}

}  // namespace ovk::io
