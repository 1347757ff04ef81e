// Bytes handed to a reader that takes a path, in reads of a size the fuzz
// input chooses: a pipe in packet mode, where each read(2) returns one
// packet, so a streaming reader sees its refills end wherever the packets
// do, even on inputs far smaller than its buffer. For streaming readers'
// targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

namespace ovk::fuzz {

class PacketPipe {
 public:
  PacketPipe() {
    int fds[2];
    if (pipe2(fds, O_DIRECT | O_CLOEXEC) != 0) return;
    read_end_ = fds[0];
    write_end_ = fds[1];
    // Never block: a full pipe fails the write instead.
    if (fcntl(write_end_, F_SETFL, O_DIRECT | O_NONBLOCK) != 0) close_fd(write_end_);
  }
  PacketPipe(const PacketPipe&) = delete;
  PacketPipe& operator=(const PacketPipe&) = delete;
  ~PacketPipe() {
    close_fd(read_end_);
    close_fd(write_end_);
  }

  // Writes `bytes` as packets of `packet` bytes (larger when the pipe could
  // not hold that many packets) and closes the writing end, so that the
  // reader meets the end after them. False when the pipe cannot hold them.
  bool fill(std::span<const std::uint8_t> bytes, std::size_t packet) {
    if (read_end_ < 0 || write_end_ < 0) return false;
    (void)fcntl(write_end_, F_SETPIPE_SZ, 1 << 20);
    const int capacity = fcntl(write_end_, F_GETPIPE_SZ);
    const std::size_t slots = capacity > 0 ? static_cast<std::size_t>(capacity) / kPacketBytes : 0;
    if (slots == 0) return false;
    packet = std::max({packet, std::size_t{1}, (bytes.size() + slots - 1) / slots});
    if (packet > kPacketBytes) return false;
    for (std::size_t at = 0; at < bytes.size(); at += packet) {
      const std::size_t n = std::min(packet, bytes.size() - at);
      if (write(write_end_, bytes.data() + at, n) != static_cast<ssize_t>(n)) return false;
    }
    close_fd(write_end_);
    return true;
  }

  // A path that opens the reading end anew.
  std::string path() const { return "/proc/self/fd/" + std::to_string(read_end_); }

 private:
  static constexpr std::size_t kPacketBytes = 4096;  // PIPE_BUF: a packet takes one page

  static void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  int read_end_ = -1;
  int write_end_ = -1;
};

}  // namespace ovk::fuzz
