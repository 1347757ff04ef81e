// The streaming CSV reader against the in-memory decoder on the same bytes:
// both must agree exactly. The reader's buffer is larger than any fuzz
// input, so the bytes reach it through a pipe in packet mode, where each
// read(2) returns one packet: the first input byte picks the packet size,
// and lines are cut across reads wherever the packets end.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "io/recording_readers.h"

namespace {

constexpr std::size_t kPacketBytes = 4096;  // PIPE_BUF: one packet at most, one page of the pipe

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Writes `bytes` as packets of `packet` bytes (or larger, so that they fit
// the pipe) and closes the writing end; false when the pipe cannot hold them.
bool fill_pipe(Fd& write_end, std::span<const std::uint8_t> bytes, std::size_t packet) {
  (void)fcntl(write_end.fd, F_SETPIPE_SZ, 1 << 20);
  const int capacity = fcntl(write_end.fd, F_GETPIPE_SZ);
  if (capacity <= 0) return false;
  const std::size_t slots = static_cast<std::size_t>(capacity) / kPacketBytes;
  if (slots == 0) return false;
  packet = std::max(packet, (bytes.size() + slots - 1) / slots);
  if (packet > kPacketBytes) return false;
  for (std::size_t at = 0; at < bytes.size(); at += packet) {
    const std::size_t n = std::min(packet, bytes.size() - at);
    if (write(write_end.fd, bytes.data() + at, n) != static_cast<ssize_t>(n)) return false;
  }
  close(write_end.fd);
  write_end.fd = -1;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t packet = 1 + std::size_t{data[0]};
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const ovk::Result<ovk::EventVec> in_memory = ovk::io::decode_csv(bytes);

  int fds[2];
  if (pipe2(fds, O_DIRECT | O_CLOEXEC) != 0) return 0;
  Fd read_end{fds[0]}, write_end{fds[1]};
  // Never block: a full pipe fails the write instead.
  if (fcntl(write_end.fd, F_SETFL, O_DIRECT | O_NONBLOCK) != 0) return 0;
  if (!fill_pipe(write_end, bytes, packet)) return 0;
  const ovk::Result<ovk::EventVec> streamed =
      ovk::io::read_csv("/proc/self/fd/" + std::to_string(read_end.fd));

  if (in_memory.ok() != streamed.ok()) __builtin_trap();
  if (in_memory.ok() ? in_memory.value() != streamed.value()
                     : in_memory.error().message() != streamed.error().message()) {
    __builtin_trap();
  }
  return 0;
}
