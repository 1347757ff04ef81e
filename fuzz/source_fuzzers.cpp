// Every streaming source of the tool fed arbitrary bytes through a memory
// file: it must hand out blocks of events and end, or fail with a message,
// never crash, hang or read out of bounds. Built once per format with
// OVK_FUZZ_SOURCE naming the registry's format.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "io/registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const ovk::io::RecordingFormat* format = ovk::io::find_format(OVK_FUZZ_SOURCE);
  if (format == nullptr) __builtin_trap();
  ovk::Result<ovk::io::OpenedRecording> opened =
      ovk::io::open_recording(path, format, ovk::io::ReaderOptions{});
  if (opened.ok()) {
    ovk::Event64Vec block;
    for (;;) {
      const ovk::Status status = opened.value().source->next_block(block);
      if (!status.ok()) {
        if (status.error().message().empty()) __builtin_trap();
        break;
      }
      if (block.empty()) break;
      if (block.size() > ovk::io::kSourceBlockEvents) __builtin_trap();
    }
  } else if (opened.error().message().empty()) {
    __builtin_trap();  // every failure carries its message
  }
  ::close(fd);
  return 0;
}
