#include "io/file_write.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::read_bytes;
using testing_support::ScratchDir;

// The writer's whole round: create, write, commit.
Status write_file_atomically(std::string_view path, std::span<const std::uint8_t> bytes) {
  OVK_ASSIGN_OR_RETURN(AtomicFileWriter writer, AtomicFileWriter::create(path));
  OVK_RETURN_IF_ERROR(writer.write(bytes));
  return writer.commit();
}

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


std::vector<std::uint8_t> as_vector(std::string_view text) {
  return {text.begin(), text.end()};
}

TEST(AtomicFileWriter, PiecesAppearOnlyAtCommit) {
  ScratchDir dir;
  const std::string path = dir.path("out.bin");
  Result<AtomicFileWriter> writer = AtomicFileWriter::create(path);
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().write(as_vector("abc")).ok());
  // Bytes written through the descriptor land after the earlier pieces.
  ASSERT_EQ(::write(writer.value().fd(), "de", 2), 2);
  ASSERT_TRUE(writer.value().write(as_vector("f")).ok());
  EXPECT_FALSE(std::filesystem::exists(path));
  const std::string temporary = writer.value().temporary_path();
  EXPECT_EQ(read_bytes(temporary), as_vector("abcdef"));
  EXPECT_EQ(temporary.rfind(dir.path(".out.bin.tmp-"), 0), 0u) << temporary;
  ASSERT_TRUE(writer.value().commit().ok());
  EXPECT_EQ(read_bytes(path), as_vector("abcdef"));
  EXPECT_EQ(entries(dir.path("")), 1u);
  EXPECT_EQ(writer.value().fd(), -1);
  EXPECT_EQ(writer.value().temporary_path(), "");
}

TEST(AtomicFileWriter, CommitReplacesTheTarget) {
  ScratchDir dir;
  const std::string path = dir.write("out.bin", "old contents");
  Result<AtomicFileWriter> writer = AtomicFileWriter::create(path);
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().write(as_vector("new")).ok());
  EXPECT_EQ(read_bytes(path), as_vector("old contents"));
  ASSERT_TRUE(writer.value().commit().ok());
  EXPECT_EQ(read_bytes(path), as_vector("new"));
  EXPECT_EQ(entries(dir.path("")), 1u);
}

TEST(AtomicFileWriter, UncommittedWriterLeavesTheTargetUntouched) {
  ScratchDir dir;
  const std::string path = dir.write("out.bin", "old");
  {
    Result<AtomicFileWriter> writer = AtomicFileWriter::create(path);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(writer.value().write(as_vector("half written")).ok());
    EXPECT_EQ(entries(dir.path("")), 2u);
  }
  EXPECT_EQ(read_bytes(path), as_vector("old"));
  EXPECT_EQ(entries(dir.path("")), 1u);
}

TEST(AtomicFileWriter, MovesCarryTheFileAndAssignmentDropsTheOldOne) {
  ScratchDir dir;
  Result<AtomicFileWriter> first = AtomicFileWriter::create(dir.path("a.bin"));
  Result<AtomicFileWriter> second = AtomicFileWriter::create(dir.path("b.bin"));
  ASSERT_TRUE(first.ok() && second.ok());
  ASSERT_TRUE(first.value().write(as_vector("a")).ok());
  ASSERT_TRUE(second.value().write(as_vector("b")).ok());
  EXPECT_EQ(entries(dir.path("")), 2u);
  AtomicFileWriter moved(std::move(first).value());
  EXPECT_EQ(entries(dir.path("")), 2u);
  moved = std::move(second).value();  // a.bin's temporary file goes
  EXPECT_EQ(entries(dir.path("")), 1u);
  ASSERT_TRUE(moved.commit().ok());
  EXPECT_FALSE(std::filesystem::exists(dir.path("a.bin")));
  EXPECT_EQ(read_bytes(dir.path("b.bin")), as_vector("b"));
  EXPECT_EQ(entries(dir.path("")), 1u);
}

TEST(AtomicFileWriter, FailedCommitRemovesTheTemporary) {
  ScratchDir dir;
  dir.make_dir("taken/child");
  Result<AtomicFileWriter> writer = AtomicFileWriter::create(dir.path("taken"));
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().write(as_vector("x")).ok());
  const Status committed = writer.value().commit();
  ASSERT_FALSE(committed.ok());
  EXPECT_EQ(committed.error().message(), "Is a directory (os error 21)");
  EXPECT_EQ(entries(dir.path("")), 1u);
  EXPECT_TRUE(std::filesystem::exists(dir.path("taken/child")));
}

TEST(AtomicFileWriter, CreateFailuresLeaveNothing) {
  ScratchDir dir;
  const Result<AtomicFileWriter> missing = AtomicFileWriter::create(dir.path("no/such/out.bin"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  const Result<AtomicFileWriter> nul =
      AtomicFileWriter::create(dir.path("a") + std::string(1, '\0') + "b");
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(entries(dir.path("")), 0u);
}

TEST(AtomicFileWriter, WriteFailureIsTheSystemsMessageAndLeavesNothing) {
  // The temporary file's descriptor is pointed at a full device, so the
  // next write fails as on a full disk.
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full on this system";
  ScratchDir dir;
  {
    Result<AtomicFileWriter> writer = AtomicFileWriter::create(dir.path("out.bin"));
    ASSERT_TRUE(writer.ok());
    ASSERT_GE(::dup2(full, writer.value().fd()), 0);
    const Status failed = writer.value().write(as_vector("x"));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "No space left on device (os error 28)");
  }
  ::close(full);
  EXPECT_EQ(entries(dir.path("")), 0u);
}

}  // namespace
}  // namespace ovk::io
