// ovk_formats_probe: the AEDAT 4 and HDF5 readers and the DSEC writer from
// the command line, for the tests that compare them with other programs and
// for the read-throughput benchmark. (The ovk tool reaches the same code
// through its reader registry.)
//
//   ovk_formats_probe read FILE OUT      events to OUT as packed records
//                                        (x u16, y u16, t u64, p u8), facts on stdout
//   ovk_formats_probe count FILE         events, a checksum and the read time
//   ovk_formats_probe write-h5 IN OUT W H  packed records from IN to a DSEC file
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "io/formats/aedat4_reader.h"
#include "io/formats/h5_writer.h"
#include "io/formats/hdf5_reader.h"

namespace {

using ovk::Event64;
using ovk::Event64Vec;
using ovk::Result;
using ovk::Status;
using ovk::io::EventSource;

constexpr std::size_t kRecordBytes = 13;

int fail(const std::string& path, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", path.c_str(), message.c_str());
  return 1;
}

Result<std::unique_ptr<EventSource>> open_any(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> head(16, 0);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  if (ovk::io::looks_like_hdf5(head)) return ovk::io::open_hdf5(path);
  return ovk::io::open_aedat4(path);
}

void pack(const Event64& e, char* out) {
  std::memcpy(out, &e.x, 2);
  std::memcpy(out + 2, &e.y, 2);
  std::memcpy(out + 4, &e.t, 8);
  out[12] = static_cast<char>(e.p);
}

int read_command(const std::string& path, const std::string& out_path) {
  auto source = open_any(path);
  if (!source.ok()) return fail(path, source.error().message());
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  Event64Vec block;
  std::vector<char> bytes;
  std::uint64_t count = 0;
  for (;;) {
    const Status status = source.value()->next_block(block);
    if (!status.ok()) return fail(path, status.error().message());
    if (block.empty()) break;
    bytes.resize(block.size() * kRecordBytes);
    for (std::size_t i = 0; i < block.size(); ++i) pack(block[i], bytes.data() + i * kRecordBytes);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    count += block.size();
  }
  if (!out.flush()) return fail(out_path, "cannot write");
  const auto sensor = source.value()->declared_sensor();
  if (sensor) {
    std::printf("sensor %u %u\n", sensor->width, sensor->height);
  } else {
    std::printf("sensor none\n");
  }
  for (const auto& skipped : source.value()->skipped_records()) {
    std::printf("skipped %llu %s\n", static_cast<unsigned long long>(skipped.count),
                skipped.kind.c_str());
  }
  std::printf("events %llu\n", static_cast<unsigned long long>(count));
  return 0;
}

int count_command(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  auto source = open_any(path);
  if (!source.ok()) return fail(path, source.error().message());
  Event64Vec block;
  std::uint64_t count = 0;
  std::uint64_t checksum = 0;
  for (;;) {
    const Status status = source.value()->next_block(block);
    if (!status.ok()) return fail(path, status.error().message());
    if (block.empty()) break;
    for (const Event64& e : block) checksum += e.x + e.y + e.t + e.p;
    count += block.size();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("events %llu checksum %llu seconds %.6f\n", static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(checksum), seconds);
  return 0;
}

int write_h5_command(const std::string& in_path, const std::string& out_path, int width,
                     int height) {
  std::ifstream in(in_path, std::ios::binary);
  if (!in) return fail(in_path, "cannot open");
  auto writer = ovk::io::DsecH5Writer::create(
      out_path, {static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)});
  if (!writer.ok()) return fail(out_path, writer.error().message());
  std::vector<char> bytes(kRecordBytes * 65536);
  Event64Vec block;
  for (;;) {
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const auto n = static_cast<std::size_t>(in.gcount()) / kRecordBytes;
    if (n == 0) break;
    block.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const char* r = bytes.data() + i * kRecordBytes;
      std::memcpy(&block[i].x, r, 2);
      std::memcpy(&block[i].y, r + 2, 2);
      std::memcpy(&block[i].t, r + 4, 8);
      block[i].p = static_cast<std::uint8_t>(r[12]);
    }
    const Status status = writer.value().append(block);
    if (!status.ok()) return fail(out_path, status.error().message());
  }
  const Status status = writer.value().finish();
  if (!status.ok()) return fail(out_path, status.error().message());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "read" && argc == 4) return read_command(argv[2], argv[3]);
  if (command == "count" && argc == 3) return count_command(argv[2]);
  if (command == "write-h5" && argc == 6) {
    return write_h5_command(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  }
  std::fprintf(stderr,
               "usage: ovk_formats_probe read FILE OUT | count FILE | write-h5 IN OUT W H\n");
  return 2;
}
