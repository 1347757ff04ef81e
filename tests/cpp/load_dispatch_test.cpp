#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "io/path_quote.h"
#include "io/recording_readers.h"
#include "io_test_support.h"

namespace ovk::io {
namespace {

using namespace testing_support;  // NOLINT: the suite's own helpers

std::string unknown_message(std::string_view quoted) {
  return "Unknown file extension: " + std::string(quoted) +
         ". Supported: .bin, .evb, .aedat, .csv, .txt";
}

TEST(IoLoadDispatch, FileExtensionOfLastComponent) {
  const std::optional<std::string_view> none;
  const struct {
    const char* path;
    std::optional<std::string_view> extension;
  } cases[] = {
      {"rec.csv", "csv"},
      {"dir/a.tar.csv", "csv"},
      {"dir/rec.csv/", "csv"},
      {"rec.csv//.//", "csv"},
      {"a.b/rec.bin", "bin"},
      {"rec.", ""},
      {"..csv", "csv"},
      {"/x/Rec.BIN", "BIN"},
      {".csv", none},
      {"dir/.csv", none},
      {"a.b/rec", none},
      {"..", none},
      {"rec.csv/..", none},
      {".", none},
      {"/", none},
      {"", none},
      {"./", none},
      {"//", none},
  };
  for (const auto& c : cases) EXPECT_EQ(file_extension(c.path), c.extension) << c.path;
}

TEST(IoLoadDispatch, UnknownExtensionTouchesNoFile) {
  // None of these exist: the extension alone decides, before any open.
  const ScratchDir dir;
  for (const std::string name : {"rec.BIN", "rec.Csv", "rec.", ".csv", "rec", "rec.json"}) {
    const std::string path = dir.path(name);
    const auto result = load_events(path);
    ASSERT_FALSE(result.ok()) << name;
    EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidInput);
    EXPECT_EQ(result.error().message(), unknown_message("\"" + path + "\"")) << name;
  }
  EXPECT_EQ(error_message(load_events("")), unknown_message("\"\""));
  EXPECT_EQ(error_message(load_events(std::string("a\0b.xyz", 7))),
            unknown_message("\"a\\0b.xyz\""));
}

TEST(IoLoadDispatch, ExtensionsAreCaseSensitiveForExistingFiles) {
  const ScratchDir dir;
  const std::string records(18, '\x01');
  for (const char* name : {"rec.BIN", "rec.Bin", "rec.EVB", "rec.Csv", "rec.TXT", "rec.AEDAT"}) {
    const std::string path = dir.write(name, records);
    EXPECT_EQ(error_message(load_events(path)), unknown_message("\"" + path + "\"")) << name;
  }
}

TEST(IoLoadDispatch, BinLengthChoosesTheReader) {
  const ScratchDir dir;
  std::string data;
  for (int i = 0; i < 45; ++i) data += static_cast<char>(i * 37 + 11);
  const auto load_prefix = [&](std::size_t size) {
    return load_events(dir.write("rec" + std::to_string(size) + ".bin", data.substr(0, size)));
  };
  const auto bytes_of = [&](std::size_t size) { return as_span(data).first(size); };

  // 18 = 2 compact records; 45 (a multiple of both) and 10 are N-MNIST.
  EXPECT_EQ(load_prefix(18).value(), decode_compact(bytes_of(18)).value());
  EXPECT_EQ(load_prefix(18).value().size(), 2u);
  EXPECT_EQ(load_prefix(45).value(), decode_nmnist(bytes_of(45)).value());
  EXPECT_EQ(load_prefix(45).value().size(), 9u);
  EXPECT_EQ(load_prefix(10).value(), decode_nmnist(bytes_of(10)).value());
  EXPECT_TRUE(load_prefix(0).value().empty());
  EXPECT_EQ(error_message(load_prefix(7)), "N-MNIST file size 7 is not a multiple of 5");
  EXPECT_EQ(error_message(load_prefix(13)), "N-MNIST file size 13 is not a multiple of 5");

  EXPECT_EQ(error_message(load_events(dir.path("missing.bin"))),
            std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(error_message(load_events(dir.make_dir("folder.bin"))),
            std::string(std::strerror(EISDIR)) + " (os error 21)");
}

TEST(IoLoadDispatch, OtherExtensionsGoToTheirReaders) {
  const ScratchDir dir;
  const std::string record = testing_support::bytes({1, 2, 3, 4, 5, 6, 7, 8, 9});
  const EventVec compact_event{event(513, 1027, 134678021, 9)};
  EXPECT_EQ(load_events(dir.write("r.evb", record)).value(), compact_event);
  // ".evb" is always compact, even at a length N-MNIST would take.
  EXPECT_EQ(error_message(load_events(dir.write("r10.evb", std::string(10, '\0')))),
            "Compact binary file size 10 is not a multiple of 9");
  EXPECT_EQ(load_events(dir.write("r.aedat", "#!AER-DAT2.0\n" + record.substr(0, 8))).value(),
            EventVec{event(2, 3, 0x05060708, 0)});
  const EventVec text_event{event(1, 2, 3, 4)};
  EXPECT_EQ(load_events(dir.write("r.csv", "x,y,t,p\n1,2,3,4\n")).value(), text_event);
  EXPECT_EQ(load_events(dir.write("r.txt", "1 2 3 4")).value(), text_event);
  EXPECT_EQ(load_events(dir.write("r.tar.csv", "1,2,3,4")).value(), text_event);
  EXPECT_EQ(error_message(load_events(dir.path(std::string("r\0.csv", 6)))),
            "file name contained an unexpected NUL byte");
  // A trailing slash still picks the text reader; the system then refuses to
  // treat the regular file as a directory.
  EXPECT_EQ(error_message(load_events(dir.path("r.csv") + "/")),
            std::string(std::strerror(ENOTDIR)) + " (os error 20)");
  // A directory named like a recording, reached with a trailing slash.
  dir.make_dir("d.csv");
  EXPECT_EQ(error_message(load_events(dir.path("d.csv") + "/")),
            std::string(std::strerror(EISDIR)) + " (os error 21)");
}

TEST(IoLoadDispatch, QuotedPathEscapes) {
  const struct {
    std::string path;
    std::string quoted;
  } cases[] = {
      {"plain/rec.x", R"("plain/rec.x")"},
      {"it's \"q\" C:\\x", R"("it's \"q\" C:\\x")"},
      {std::string("\n\r\t\0!", 5), R"("\n\r\t\0!")"},
      {"\x1b[0m\x7f", R"("\u{1b}[0m\u{7f}")"},
      {"caf\u00e9 \u65e5\u672c \U0001F600", "\"caf\u00e9 \u65e5\u672c \U0001F600\""},
      // Combining marks and ZWNJ extend graphemes; format and separator
      // characters, non-breaking space and unassigned code points are not printable.
      {"e\u0301\u20dd\u200c", R"("e\u{301}\u{20dd}\u{200c}")"},
      {"\u00a0\u00ad\u200b\u2028\u0085", R"("\u{a0}\u{ad}\u{200b}\u{2028}\u{85}")"},
      {"\U000E0001\U0010FFFF\uE000\u0378", R"("\u{e0001}\u{10ffff}\u{e000}\u{378}")"},
      // Ill-formed UTF-8 shows as the replacement character.
      {"a\xff\xc3z", "\"a\ufffd\ufffdz\""},
      {"\xf0\x9f\x98", "\"\ufffd\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_path_literal(c.path), c.quoted) << c.path;
  EXPECT_EQ(error_message(load_events("dir/\u0301.weird")),
            unknown_message(R"("dir/\u{301}.weird")"));
}

TEST(IoLoadDispatch, BinFromAFifoIsReadOnceAndDecodedFromTheBytesJudged) {
  // The writer delivers 45 bytes, nine N-MNIST records of x 1, y 2, t 7, p 1,
  // and closes. A second open of the FIFO would wait for a writer forever.
  const ScratchDir dir;
  const std::string fifo = dir.path("pipe.bin");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    std::string records;
    for (int i = 0; i < 9; ++i) records += std::string("\x01\x02\x80\x00\x07", 5);
    EXPECT_EQ(::write(fd, records.data(), records.size()), 45);
    ::close(fd);
  });
  const auto loaded = load_events(fifo);
  writer.join();
  ASSERT_TRUE(loaded.ok()) << error_message(loaded);
  EXPECT_EQ(loaded.value(), EventVec(9, event(1, 2, 7, 1)));
}

}  // namespace
}  // namespace ovk::io
