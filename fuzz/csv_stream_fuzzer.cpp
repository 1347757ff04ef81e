// The streaming CSV reader (8192-byte buffer, lines across refills) against
// the in-memory decoder on the same bytes: both must agree exactly.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "io/recording_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const ovk::Result<ovk::EventVec> in_memory = ovk::io::decode_csv(bytes);

  const int fd = memfd_create("csv", 0);
  if (fd < 0) return 0;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const ovk::Result<ovk::EventVec> streamed = ovk::io::read_csv(path);
  close(fd);
  if (written != size) return 0;

  if (in_memory.ok() != streamed.ok()) __builtin_trap();
  if (in_memory.ok() ? in_memory.value() != streamed.value()
                     : in_memory.error().message() != streamed.error().message()) {
    __builtin_trap();
  }
  return 0;
}
