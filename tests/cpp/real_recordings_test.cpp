// The readers on recordings made by real event cameras. Counts and ranges
// come from the data set's description; first events are decoded by hand
// from the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "io/recording_readers.h"
#include "io_test_support.h"

namespace ovk::io {
namespace {

using testing_support::error_message;
using testing_support::event;
using testing_support::read_bytes;
using testing_support::ScratchDir;

std::string real(const std::string& relative) {
  return std::string(OVK_REAL_DATA_DIR) + "/" + relative;
}

// The recordings are not part of the repository; a checkout without them
// beside it reports these tests as skipped rather than failed.
class IoRealRecordings : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(OVK_REAL_DATA_DIR)) {
      GTEST_SKIP() << "real recordings not available at " << OVK_REAL_DATA_DIR;
    }
  }
};

using Reader = Result<EventVec> (*)(std::string_view, const Interruptions&);

struct Expected {
  const char* file;
  std::size_t events;
  std::uint16_t x_min, x_max, y_min, y_max;
  Reader read = load_events;
};

void check_recording(const EventVec& events, const Expected& e) {
  ASSERT_EQ(events.size(), e.events) << e.file;
  if (events.empty()) return;
  const auto [x_lo, x_hi] = std::minmax_element(
      events.begin(), events.end(), [](const Event& a, const Event& b) { return a.x < b.x; });
  const auto [y_lo, y_hi] = std::minmax_element(
      events.begin(), events.end(), [](const Event& a, const Event& b) { return a.y < b.y; });
  EXPECT_EQ(x_lo->x, e.x_min) << e.file;
  EXPECT_EQ(x_hi->x, e.x_max) << e.file;
  EXPECT_EQ(y_lo->y, e.y_min) << e.file;
  EXPECT_EQ(y_hi->y, e.y_max) << e.file;
  EXPECT_TRUE(std::is_sorted(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.t < b.t;
  })) << e.file;
  EXPECT_TRUE(std::all_of(events.begin(), events.end(), [](const Event& ev) { return ev.p <= 1; }))
      << e.file;
}

// Every recording, read by its reader, holds the expected events.
TEST_F(IoRealRecordings, CountsAndRanges) {
  const Expected recordings[] = {
      {"nmnist/1.bs2", 4681, 0, 33, 0, 33, read_nmnist},
      {"nmnist/2.bs2", 5028, 0, 33, 0, 33, read_nmnist},
      {"nmnist/9.bs2", 2096, 0, 33, 0, 32, read_nmnist},
      {"nmnist/60002.bs2", 4840, 0, 33, 0, 32, read_nmnist},
      {"nmnist/60003.bs2", 1665, 0, 33, 1, 33, read_nmnist},
      {"nmnist/60005.bs2", 3150, 0, 32, 0, 33, read_nmnist},
      {"nmnist/sample_nmnist.bin", 4325, 0, 33, 0, 33, read_nmnist},
      {"aedat2/DVS128-2017-03-21-short.aedat", 130114, 0, 127, 0, 127},
      {"aedat2/DVS128-2017-03-21T16-00-20-0700-0.aedat", 370039, 0, 127, 0, 127},
      {"aedat2/mnist_0_scale04_0001.aedat", 15744, 0, 126, 1, 127},
      {"aedat2/mnist_0_scale04_0001_qt1.aedat", 1782, 53, 86, 18, 78},
      {"aedat2/mnist_0_scale08_0001_qt1.aedat", 5078, 0, 125, 1, 126},
      {"aedat2/mnist_0_scale16_0001_qt1.aedat", 11209, 1, 127, 1, 127},
      {"aedat2/sample_aedat_header.aedat", 0, 0, 0, 0, 0},
  };
  for (const Expected& e : recordings) {
    const auto result = e.read(real(e.file), retry_interrupted());
    ASSERT_TRUE(result.ok()) << e.file << ": " << error_message(result);
    ASSERT_NO_FATAL_FAILURE(check_recording(result.value(), e));
  }
}

TEST_F(IoRealRecordings, NmnistFirstEvents) {
  // 12 10 80 03 7D, 14 11 80 04 24, 11 09 00 09 8B
  const EventVec first = read_nmnist(real("nmnist/1.bs2")).value();
  EXPECT_EQ(first[0], event(18, 16, 893, 1));
  EXPECT_EQ(first[1], event(20, 17, 1060, 1));
  EXPECT_EQ(first[2], event(17, 9, 2443, 0));
  EXPECT_EQ(first.back().t - first.front().t, 305031u);  // 0.305 s

  // 21625 bytes is no multiple of 9, so ".bin" goes to the N-MNIST reader.
  EXPECT_EQ(load_events(real("nmnist/sample_nmnist.bin")).value(),
            read_nmnist(real("nmnist/sample_nmnist.bin")).value());
}

TEST_F(IoRealRecordings, NmnistMultipleOf45StaysNmnistAsBin) {
  // 16650 bytes divide by both 5 and 9; as ".bin" the length rule keeps N-MNIST.
  const ScratchDir dir;
  const std::vector<std::uint8_t> data = read_bytes(real("nmnist/60001.bs2"));
  ASSERT_EQ(data.size(), 16650u);
  const std::string copy = dir.write("60001.bin", std::string(data.begin(), data.end()));
  const auto result = load_events(copy);
  ASSERT_TRUE(result.ok()) << error_message(result);
  ASSERT_NO_FATAL_FAILURE(check_recording(result.value(), {"60001.bin", 3330, 0, 33, 0, 33}));
  EXPECT_EQ(result.value()[0], event(7, 7, 5087, 1));
  // The same bytes as ".evb" are 1850 compact records of noise.
  const std::string evb = dir.write("60001.evb", std::string(data.begin(), data.end()));
  EXPECT_EQ(load_events(evb).value().size(), 1850u);
}

TEST_F(IoRealRecordings, AedatFirstEvents) {
  // After the 3383-byte header: 00 00 02 73 | 06 C3 82 EA, address 0x273.
  const EventVec dvs = read_aedat2(real("aedat2/DVS128-2017-03-21-short.aedat")).value();
  EXPECT_EQ(dvs[0], event(57, 2, 113476330, 1));
  EXPECT_EQ(dvs[1], event(46, 2, 113476331, 1));
  // After the 216-byte header: 00 00 43 90 | 00 00 00 00, 00 00 3B 84 | 00 00 00 55.
  const EventVec mnist = read_aedat2(real("aedat2/mnist_0_scale04_0001_qt1.aedat")).value();
  EXPECT_EQ(mnist[0], event(72, 67, 0, 0));
  EXPECT_EQ(mnist[1], event(66, 59, 85, 0));
}

TEST_F(IoRealRecordings, CsvColumnsXYPTAreRejectedAsXYTP) {
  // These files hold x,y,p,t: the timestamp lands in the polarity column,
  // and the first line's value 134217690 (or 28280080) does not fit 8 bits.
  for (const char* file : {"csv/feedback-sorted.csv", "csv/slow.csv"}) {
    const auto result = load_events(real(file));
    ASSERT_FALSE(result.ok()) << file;
    EXPECT_EQ(result.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(result.error().message(), "number too large to fit in target type") << file;
  }
}

TEST_F(IoRealRecordings, CsvWithColumnsSwappedToXYTP) {
  const std::vector<std::uint8_t> data = read_bytes(real("csv/feedback-sorted.csv"));
  std::string swapped;
  std::string line;
  for (const std::uint8_t c : data) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    const std::size_t c1 = line.find(',');
    const std::size_t c2 = line.find(',', c1 + 1);
    const std::size_t c3 = line.find(',', c2 + 1);
    swapped += line.substr(0, c2) + "," + line.substr(c3 + 1) + "," +
               line.substr(c2 + 1, c3 - c2 - 1) + "\n";
    line.clear();
  }
  const ScratchDir dir;
  const auto result = read_csv(dir.write("feedback.csv", swapped));
  ASSERT_TRUE(result.ok()) << error_message(result);
  ASSERT_NO_FATAL_FAILURE(check_recording(result.value(), {"feedback", 21436, 0, 639, 0, 479}));
  EXPECT_EQ(result.value()[0], event(82, 84, 134217690, 0));  // "82,84,0,134217690"
  EXPECT_EQ(result.value().back(), event(555, 402, 135541940, 0));
}

TEST_F(IoRealRecordings, TextFilesWithoutEventLinesAreEmpty) {
  // "bias_diff_on:370"-style lines are headers; the label lists have two
  // tab-separated numbers per CRLF line, too few for an event.
  for (const char* file : {"csv/EvCamBiases.txt", "nmnist/test100.txt", "nmnist/train1K.txt"}) {
    const auto result = load_events(real(file));
    ASSERT_TRUE(result.ok()) << file << ": " << error_message(result);
    EXPECT_TRUE(result.value().empty()) << file;
  }
}

}  // namespace
}  // namespace ovk::io
