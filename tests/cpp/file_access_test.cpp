#include "io/file_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::error_message;
using testing_support::ScratchDir;

TEST(IoFileAccess, ReadsWholeFilesOfEverySize) {
  const ScratchDir dir;
  EXPECT_TRUE(read_whole_file(dir.write("empty", "")).value().empty());

  // Larger than any single read buffer, with every byte value.
  std::string contents;
  for (int i = 0; i < 300000; ++i) contents += static_cast<char>((i * 7919) & 0xFF);
  const auto read = read_whole_file(dir.write("big", contents));
  ASSERT_TRUE(read.ok()) << error_message(read);
  EXPECT_EQ(std::string(read.value().begin(), read.value().end()), contents);
}

TEST(IoFileAccess, ReadsStreamsWithoutSizeHint) {
  // A pipe reports size 0, so the buffer has to grow while reading.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const FileHandle read_end(fds[0]);
  std::string contents(20000, 'q');
  contents[19999] = 'z';
  ASSERT_EQ(::write(fds[1], contents.data(), contents.size()),
            static_cast<ssize_t>(contents.size()));
  ::close(fds[1]);

  const auto read = read_whole_file("/dev/fd/" + std::to_string(read_end.fd()));
  ASSERT_TRUE(read.ok()) << error_message(read);
  EXPECT_EQ(std::string(read.value().begin(), read.value().end()), contents);
}

TEST(IoFileAccess, MissingFileGivesSystemDescriptionAndNumber) {
  const ScratchDir dir;
  const auto read = read_whole_file(dir.path("missing.bin"));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), ErrorKind::kOsError);
  EXPECT_EQ(read.error().message(), std::string(std::strerror(ENOENT)) + " (os error 2)");
}

TEST(IoFileAccess, NulInPathFailsBeforeAnySystemCall) {
  const ScratchDir dir;
  const std::string existing = dir.write("data", "abc");
  for (const std::string& path :
       {existing + std::string(1, '\0'), std::string("no\0such", 7), std::string(1, '\0')}) {
    const auto read = read_whole_file(path);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().kind(), ErrorKind::kInvalidInput);
    EXPECT_EQ(read.error().message(), "file name contained an unexpected NUL byte");
  }
}

TEST(IoFileAccess, DirectoryOpensButCannotBeRead) {
  const ScratchDir dir;
  const std::string sub = dir.make_dir("sub");
  EXPECT_TRUE(open_for_reading(sub).ok());
  const auto read = read_whole_file(sub);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), ErrorKind::kOsError);
  EXPECT_EQ(read.error().message(), std::string(std::strerror(EISDIR)) + " (os error 21)");
}

TEST(IoFileAccess, HandleClosesDescriptorExactlyOnce) {
  const ScratchDir dir;
  const std::string file = dir.write("f", "x");
  int fd = -1;
  {
    auto opened = open_for_reading(file);
    ASSERT_TRUE(opened.ok());
    FileHandle first = std::move(opened).value();
    fd = first.fd();
    EXPECT_GE(::fcntl(fd, F_GETFD), 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    FileHandle second = std::move(first);
    EXPECT_FALSE(first.is_open());  // NOLINT(bugprone-use-after-move): moved-from state
    EXPECT_EQ(second.fd(), fd);
  }
  errno = 0;
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(IoFileAccess, ImpossibleEventReservationIsOutOfMemory) {
  const auto reserved = reserve_events(std::numeric_limits<std::size_t>::max());
  ASSERT_FALSE(reserved.ok());
  EXPECT_EQ(reserved.error().kind(), ErrorKind::kOutOfMemory);
  EXPECT_EQ(reserved.error().message(), "out of memory");
#if !defined(__SANITIZE_ADDRESS__)
  // Within the vector's size limit but beyond any address space: the
  // allocation itself fails. (AddressSanitizer aborts on such a request.)
  const auto huge = reserve_events(EventVec().max_size());
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().message(), "out of memory");
#endif
}

// Ends the operation at the `stop_at`-th interruption and counts them.
class CountingInterruptions final : public Interruptions {
 public:
  explicit CountingInterruptions(int stop_at) : stop_at_(stop_at) {}
  Status on_interrupt() const override {
    if (++seen_ < stop_at_) return Ok{};
    return Error(ErrorKind::kOsError, "stopped");
  }
  int seen() const { return seen_; }

 private:
  int stop_at_;
  mutable int seen_ = 0;
};

extern "C" void ignore_signal(int /*signal*/) {}

// SIGALRM every 20 ms with a handler installed without SA_RESTART, so a
// blocked system call fails with EINTR; the previous state is put back.
class AlarmEvery20Ms {
 public:
  AlarmEvery20Ms() {
    struct sigaction action{};
    action.sa_handler = &ignore_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, &previous_);
    const itimerval every{{0, 20000}, {0, 20000}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
  }
  AlarmEvery20Ms(const AlarmEvery20Ms&) = delete;
  AlarmEvery20Ms& operator=(const AlarmEvery20Ms&) = delete;
  ~AlarmEvery20Ms() {
    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous_, nullptr);
  }

 private:
  struct sigaction previous_{};
};

TEST(IoFileAccess, InterruptedOpenAsksTheCallerAndStopsWhenTold) {
  // A FIFO without a writer blocks open() until a signal interrupts it.
  const ScratchDir dir;
  const std::string fifo = dir.path("no_writer.bin");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const CountingInterruptions interrupts(3);
  const AlarmEvery20Ms alarm;
  const auto opened = open_for_reading(fifo, interrupts);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().message(), "stopped");
  EXPECT_EQ(interrupts.seen(), 3);  // the first two were repeated
}

TEST(IoFileAccess, InterruptedReadAsksTheCallerAndLeavesNoDescriptor) {
  // A FIFO whose only writer is this process itself, writing nothing: read()
  // blocks until a signal interrupts it.
  const ScratchDir dir;
  const std::string fifo = dir.path("silent_writer.bin");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const FileHandle writer(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(writer.is_open());
  const CountingInterruptions interrupts(2);
  const auto lowest_free_descriptor = [] {
    const int fd = ::dup(STDERR_FILENO);
    ::close(fd);
    return fd;
  };
  const int free_before = lowest_free_descriptor();
  {
    const AlarmEvery20Ms alarm;
    const auto read = read_whole_file(fifo, interrupts);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().message(), "stopped");
  }
  EXPECT_EQ(interrupts.seen(), 2);
  EXPECT_EQ(lowest_free_descriptor(), free_before);  // the file opened was closed
}

}  // namespace
}  // namespace ovk::io
