// The reader registry and its streaming sources: the table, the choice of a
// reader, the sensor rule, and the sources' blocks on hand-built files.
#include "io/registry/registry.h"

#include "io/recording_readers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>

namespace ovk::io {
namespace {

class Scratch {
 public:
  Scratch() {
    std::string pattern = ::testing::TempDir() + "ovk_registry_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string path = (root_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

 private:
  std::filesystem::path root_;
};

std::string le64(std::uint64_t v) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
  return out;
}

// All events of a source, checking that no block passes the block size.
Result<Event64Vec> drain(EventSource& source) {
  Event64Vec all;
  Event64Vec block;
  for (;;) {
    OVK_RETURN_IF_ERROR(source.next_block(block));
    EXPECT_LE(block.size(), kSourceBlockEvents);
    if (block.empty()) return all;
    all.insert(all.end(), block.begin(), block.end());
  }
}

TEST(Registry, NamesAreUniqueAndFindable) {
  std::set<std::string_view> names;
  for (const RecordingFormat& f : recording_formats()) {
    EXPECT_TRUE(names.insert(f.name).second) << f.name;
    EXPECT_EQ(find_format(f.name), &f);
    EXPECT_NE(f.open, nullptr);
  }
  EXPECT_EQ(find_format("aedat3"), nullptr);
  EXPECT_TRUE(has_known_extension("a/b.raw"));
  EXPECT_TRUE(has_known_extension("x.bin"));
  EXPECT_FALSE(has_known_extension("notes.md"));
  EXPECT_EQ(supported_extensions_text(), "Supported: .bin, .evb, .aedat, .csv, .txt, .raw, .dat, .es, .aedat4, .h5, .hdf5, .npy, .npz");
}

TEST(Registry, SensorRule) {
  Extent extent;
  EXPECT_EQ(decide_sensor(std::nullopt, std::nullopt, extent).value(), (SensorGeometry{0, 0}));
  const Event64Vec events{{3, 4, 0, 0}, {9, 1, 5, 1}};
  extent.add(events);
  EXPECT_EQ(decide_sensor(std::nullopt, std::nullopt, extent).value(), (SensorGeometry{10, 5}));
  EXPECT_EQ(decide_sensor(std::nullopt, SensorGeometry{640, 480}, extent).value(),
            (SensorGeometry{640, 480}));
  EXPECT_EQ(decide_sensor(SensorGeometry{8, 8}, SensorGeometry{640, 480}, extent).value(),
            (SensorGeometry{8, 8}));
  Extent edge;
  const Event64Vec far{{65535, 0, 0, 0}};
  edge.add(far);
  EXPECT_EQ(decide_sensor(std::nullopt, std::nullopt, edge).error().message(),
            "largest x is 65535, so the sensor size does not fit 16 bits; give --sensor WxH");
}

TEST(Registry, CamerasNamedInHeaders) {
  EXPECT_EQ(sensor_of_camera("hal_plugin_gen3_fx3"), (SensorGeometry{640, 480}));
  EXPECT_EQ(sensor_of_camera("hal_plugin_gen41_evk3"), (SensorGeometry{1280, 720}));
  EXPECT_EQ(sensor_of_camera("IMX636"), (SensorGeometry{1280, 720}));
  EXPECT_EQ(sensor_of_camera("GenX320"), (SensorGeometry{320, 320}));
  EXPECT_EQ(sensor_of_camera("something else"), std::nullopt);
}

TEST(Registry, CsvColumnOrders) {
  EXPECT_EQ(parse_csv_columns("x,y,p,t")->roles, (std::vector<std::int8_t>{0, 1, 3, 2}));
  EXPECT_EQ(parse_csv_columns("_,t,x,y,p")->roles, (std::vector<std::int8_t>{-1, 2, 0, 1, 3}));
  for (const char* bad : {"", "x,y,t", "x,y,t,p,p", "x,y,t,q", "x,,y,t,p"}) {
    EXPECT_FALSE(parse_csv_columns(bad)) << bad;
  }
}

TEST(Registry, ExtensionThenFirstBytes) {
  const Scratch dir;
  const std::string evt3 = "% evt 3.0\n% end\n" + std::string("\x05\x00\x02\x28", 4);
  const auto by_extension = open_recording(dir.write("a.raw", evt3), nullptr, ReaderOptions{});
  ASSERT_TRUE(by_extension.ok()) << by_extension.error().message();
  EXPECT_EQ(by_extension.value().format->name, "evt3");
  // No format claims ".rec": the header decides.
  const auto sniffed = open_recording(dir.write("a.rec", evt3), nullptr, ReaderOptions{});
  ASSERT_TRUE(sniffed.ok());
  EXPECT_EQ(sniffed.value().format->name, "evt3");
  const auto events = drain(*sniffed.value().source);
  ASSERT_TRUE(events.ok());
  EXPECT_EQ(events.value(), (Event64Vec{{2, 5, 0, 1}}));
  const auto unknown = open_recording(dir.write("b.rec", "hello"), nullptr, ReaderOptions{});
  ASSERT_FALSE(unknown.ok());
  EXPECT_TRUE(unknown.error().message().starts_with("Unknown file extension: "));
  // A named reader that the header contradicts.
  const auto contradicted = open_recording(dir.write("c.raw", evt3), find_format("evt2"), {});
  ASSERT_FALSE(contradicted.ok());
  EXPECT_EQ(contradicted.error().message(), "the header says EVT 3.0, not EVT 2.0");
}

TEST(Registry, BinLengthRule) {
  const Scratch dir;
  const auto compact = open_recording(dir.write("a.bin", std::string(18, '\0')), nullptr, {});
  ASSERT_TRUE(compact.ok());
  EXPECT_EQ(compact.value().format->name, "compact");
  const auto nmnist = open_recording(dir.write("b.bin", std::string(45, '\0')), nullptr, {});
  ASSERT_TRUE(nmnist.ok());
  EXPECT_EQ(nmnist.value().format->name, "nmnist");
  EXPECT_EQ(nmnist.value().source->declared_sensor(), (SensorGeometry{34, 34}));
}

TEST(Sources, FullEvt21VectorsFillBlocksExactly) {
  // 5000 words of 32 valid pixels each: 160000 events over several blocks,
  // none larger than the block size, none lost at a block's end.
  const Scratch dir;
  std::string body = "% format EVT21\n% end\n";
  for (std::uint64_t i = 0; i < 5000; ++i) {
    body += le64((std::uint64_t{1} << 60) | ((i % 64) << 54) | ((i % 40 * 32) << 43) |
                 ((i % 720) << 32) | 0xFFFFFFFFu);
  }
  const auto opened = open_recording(dir.write("v.raw", body), nullptr, {});
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  const auto events = drain(*opened.value().source);
  ASSERT_TRUE(events.ok());
  ASSERT_EQ(events.value().size(), 160000u);
  EXPECT_EQ(events.value()[32 * 41 + 5], (Event64{static_cast<std::uint16_t>(32 + 5), 41, 41, 1}));
}

TEST(Sources, TruncatedWordsAndRecordsAreErrors) {
  const Scratch dir;
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"a.raw", "% evt 2.0\n% end\n" + std::string(5, '\0'),
       "the file ends inside a word (1 bytes left over)"},
      {"b.dat", "% Version 2\n" + std::string("\x00\x08", 2) + std::string(12, '\0'),
       "the file ends inside a record (4 bytes left over)"},
      {"c.es", std::string("Event Stream\x02\x00\x00\x01\x40\x00\x30\x00\x02\x01", 22),
       "the file ends inside an event"},
  };
  for (const Case& c : cases) {
    const auto opened = open_recording(dir.write(c.name, c.bytes), nullptr, {});
    ASSERT_TRUE(opened.ok()) << c.name << ": " << opened.error().message();
    const auto events = drain(*opened.value().source);
    ASSERT_FALSE(events.ok()) << c.name;
    EXPECT_EQ(events.error().message(), c.message);
  }
}

// The streaming sources of the module's formats give the module's readers'
// events, or their messages, on random bytes of many lengths (blocks cut
// records of every size at their ends).
TEST(Sources, ModuleFormatsMatchTheModuleReaders) {
  const Scratch dir;
  std::mt19937 rng(15);
  using Reader = Result<EventVec> (*)(std::string_view, const io::Interruptions&);
  const std::pair<const char*, Reader> formats[] = {
      {"compact", read_compact}, {"nmnist", read_nmnist}, {"aedat2", read_aedat2},
      {"csv", read_csv}};
  for (const auto& [name, reader] : formats) {
    for (const std::size_t size : {0, 1, 5, 8, 9, 40, 45, 72, 1000, 9 * 70001, 5 * 70001 + 3}) {
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
      if (std::string_view(name) == "aedat2" && size > 8) bytes.replace(0, 9, "#!AER-DA\n");
      if (std::string_view(name) == "csv") {
        for (char& c : bytes) c = "0123456789, \n#x"[static_cast<unsigned char>(c) % 16];
      }
      const std::string path = dir.write("f", bytes);
      const Result<EventVec> want = reader(path, io::retry_interrupted());
      const auto opened = open_recording(path, find_format(name), {});
      Result<Event64Vec> got = opened.ok() ? drain(*opened.value().source)
                                           : Result<Event64Vec>(opened.error());
      ASSERT_EQ(got.ok(), want.ok()) << name << " " << size;
      if (!want.ok()) {
        // The tool's CSV errors name the line; the message after it is the module's.
        EXPECT_TRUE(got.error().message().ends_with(want.error().message())) << name;
        continue;
      }
      ASSERT_EQ(got.value().size(), want.value().size()) << name << " " << size;
      for (std::size_t i = 0; i < want.value().size(); ++i) {
        const Event& e = want.value()[i];
        ASSERT_EQ(got.value()[i], (Event64{e.x, e.y, e.t, e.p})) << name << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace ovk::io
