// Helpers for the recording reader tests: a scratch directory per test and
// byte strings written as hexadecimal.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "byte_values.h"
#include "codec/event.h"
#include "codec/result.h"

namespace ovk::io::testing_support {

// A fresh directory under the test temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "ovk_io_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    root_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string path(std::string_view name) const { return (root_ / name).string(); }

  // Writes `contents` to a file called `name` and returns its path.
  std::string write(std::string_view name, std::string_view contents) const {
    const std::string file = path(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    EXPECT_TRUE(out.good()) << "cannot write " << file;
    return file;
  }

  std::string make_dir(std::string_view name) const {
    const std::string dir = path(name);
    std::filesystem::create_directories(dir);
    return dir;
  }

 private:
  std::filesystem::path root_;
};

// Bytes given as small integers, as text: bytes({0x01, 0xFF}).
inline std::string bytes(std::initializer_list<int> values) {
  return ovk::testing_support::bytes_of<std::string>(values);
}

inline std::span<const std::uint8_t> as_span(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::vector<std::uint8_t> read_bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The error message of a failed result, or a marker when it succeeded.
template <class T>
std::string error_message(const Result<T>& result) {
  return result.ok() ? std::string("<no error>") : result.error().message();
}

// The message an operating-system failure with `errnum` carries.
inline std::string expected_os_message(int errnum) {
  return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")";
}

inline Event event(std::uint16_t x, std::uint16_t y, std::uint32_t t, std::uint8_t p) {
  return Event{.x = x, .y = y, .t = t, .p = p};
}

}  // namespace ovk::io::testing_support
