#include "io/file_write.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::read_bytes;
using testing_support::ScratchDir;

std::size_t entries(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST(FileWrite, WritesReplacesAndLeavesNoTemporary) {
  ScratchDir dir;
  const std::string path = dir.path("out.bin");
  const std::vector<std::uint8_t> first{1, 2, 3}, second{9};
  ASSERT_TRUE(write_file_atomically(path, first).ok());
  ASSERT_TRUE(write_file_atomically(path, second).ok());
  EXPECT_EQ(read_bytes(path), second);
  EXPECT_EQ(entries(dir.path("")), 1u);
}

TEST(FileWrite, FailureLeavesNothingBehind) {
  ScratchDir dir;
  const std::string missing = dir.path("no/such/out.bin");
  const Status s = write_file_atomically(missing, std::vector<std::uint8_t>{1});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "No such file or directory (os error 2)");
  // A folder in the way of the rename: the temporary file is removed again.
  dir.make_dir("taken/child");
  const Status busy = write_file_atomically(dir.path("taken"), std::vector<std::uint8_t>{1});
  EXPECT_FALSE(busy.ok());
  EXPECT_EQ(entries(dir.path("")), 1u);
}

}  // namespace
}  // namespace ovk::io
