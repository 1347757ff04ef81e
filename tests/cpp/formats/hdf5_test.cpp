#include <gtest/gtest.h>
#include <hdf5.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "source_support.h"
#include "io/formats/h5_writer.h"
#include "io/formats/hdf5_reader.h"
#include "io/formats/hdf5_support.h"

namespace ovk::io {
namespace {

using test::drain;
using test::failure_of;

class TempDir {
 public:
  TempDir() {
    path_ = std::filesystem::temp_directory_path() /
            ("ovk_formats_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

Event64Vec random_events(std::size_t count, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  Event64Vec events;
  std::uint64_t t = 1'600'000'000'000'000ull;
  for (std::size_t i = 0; i < count; ++i) {
    t += rng() % 40;
    events.push_back({static_cast<std::uint16_t>(rng() % 640), static_cast<std::uint16_t>(rng() % 480),
                      t, static_cast<std::uint8_t>(rng() & 1)});
  }
  return events;
}

Status write_dsec(const std::string& path, const Event64Vec& events, SensorGeometry sensor) {
  OVK_ASSIGN_OR_RETURN(DsecH5Writer writer, DsecH5Writer::create(path, sensor));
  for (std::size_t at = 0; at < events.size(); at += 10'000) {
    OVK_RETURN_IF_ERROR(writer.append(
        Event64Span(events).subspan(at, std::min<std::size_t>(10'000, events.size() - at))));
  }
  return writer.finish();
}

template <class T>
std::vector<T> read_dataset(const std::string& file, const char* path, hid_t type) {
  H5Handle f(H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
  H5Handle d(H5Dopen2(f.get(), path, H5P_DEFAULT), H5Dclose);
  H5Handle s(H5Dget_space(d.get()), H5Sclose);
  std::vector<T> values(static_cast<std::size_t>(H5Sget_simple_extent_npoints(s.get())));
  EXPECT_GE(H5Dread(d.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
  return values;
}

TEST(DsecH5Writer, RoundTripsThroughTheReader) {
  TempDir dir;
  const std::string path = dir.file("events.h5");
  const Event64Vec events = random_events(150'001, 3);
  ASSERT_TRUE(write_dsec(path, events, {640, 480}).ok());

  auto source = open_hdf5(path);
  ASSERT_TRUE(source.ok()) << source.error().message();
  EXPECT_EQ(source.value()->declared_sensor(), (SensorGeometry{640, 480}));
  auto read = drain(*source.value());
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), events);
}

TEST(DsecH5Writer, WritesTheDsecIndex) {
  TempDir dir;
  const std::string path = dir.file("events.h5");
  const Event64Vec events = {{1, 2, 5000, 1}, {3, 4, 5999, 0}, {5, 6, 8001, 1}, {7, 8, 8002, 0},
                             {0, 0, 9000, 1}};
  ASSERT_TRUE(write_dsec(path, events, {10, 10}).ok());
  EXPECT_EQ(read_dataset<std::int64_t>(path, "/t_offset", H5T_NATIVE_INT64),
            std::vector<std::int64_t>{5000});
  EXPECT_EQ(read_dataset<std::int64_t>(path, "/events/t", H5T_NATIVE_INT64),
            (std::vector<std::int64_t>{0, 999, 3001, 3002, 4000}));
  // ms 0 starts at event 0, ms 1..3 at event 2 (t 3001 is the first >= 1000,
  // 2000 and 3000), ms 4 at event 4.
  EXPECT_EQ(read_dataset<std::uint64_t>(path, "/ms_to_idx", H5T_NATIVE_UINT64),
            (std::vector<std::uint64_t>{0, 2, 2, 2, 4}));
}

TEST(DsecH5Writer, RefusesTimeSpansWhoseIndexWouldTakeGigabytes) {
  TempDir dir;
  // Millisecond 2^27 would be the index's entry 2^27 + 1 (an index that
  // fits, to 2^27 - 1, takes 1 GiB: not written here).
  const std::uint64_t first_refused = (std::uint64_t{1} << 27) * 1000;
  const Event64Vec beyond = {{0, 0, 7, 1}, {1, 1, 7 + first_refused, 0}};
  const Status refused = write_dsec(dir.file("beyond.h5"), beyond, {4, 4});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "event time 134217728007 is 134217 s after the first: the DSEC index /ms_to_idx would "
            "need more than 134217728 entries; write .npy or pick a part with --time-window");
}

TEST(DsecH5Writer, EmptyRecording) {
  TempDir dir;
  const std::string path = dir.file("empty.h5");
  ASSERT_TRUE(write_dsec(path, {}, {34, 34}).ok());
  auto source = open_hdf5(path);
  ASSERT_TRUE(source.ok()) << source.error().message();
  auto read = drain(*source.value());
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read.value().empty());
}

TEST(DsecH5Writer, RefusesAfterFinishAndReportsUnwritablePaths) {
  TempDir dir;
  auto writer = DsecH5Writer::create(dir.file("a.h5"), {4, 4});
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer.value().finish().ok());
  const Event64Vec one = {{0, 0, 1, 0}};
  EXPECT_FALSE(writer.value().append(one).ok());
  auto missing = DsecH5Writer::create(dir.file("no/such/folder/a.h5"), {4, 4});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::kOsError);
}

// Writes a DSEC file with the HDF5 C API: column types and filters of the
// caller's choice.
struct RawColumn {
  const char* name;
  hid_t type;
  const void* data;
};

void write_raw(const std::string& path, const std::vector<RawColumn>& columns, hsize_t n,
               std::optional<std::int64_t> t_offset, unsigned filter = 0) {
  H5Handle f(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
  H5Handle g(H5Gcreate2(f.get(), "events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
  for (const RawColumn& c : columns) {
    H5Handle space(H5Screate_simple(1, &n, nullptr), H5Sclose);
    H5Handle plist(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    const hsize_t chunk = std::max<hsize_t>(1, std::min<hsize_t>(n, 1000));
    H5Pset_chunk(plist.get(), 1, &chunk);
    if (filter == 1) H5Pset_deflate(plist.get(), 4);
    if (filter > 1) H5Pset_filter(plist.get(), filter, H5Z_FLAG_OPTIONAL, 0, nullptr);
    H5Handle d(H5Dcreate2(g.get(), c.name, c.type, space.get(), H5P_DEFAULT, plist.get(), H5P_DEFAULT),
               H5Dclose);
    ASSERT_TRUE(d.valid()) << c.name;
    ASSERT_GE(H5Dwrite(d.get(), c.type, H5S_ALL, H5S_ALL, H5P_DEFAULT, c.data), 0);
  }
  if (t_offset) {
    H5Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    H5Handle d(H5Dcreate2(f.get(), "t_offset", H5T_NATIVE_INT64, space.get(), H5P_DEFAULT,
                          H5P_DEFAULT, H5P_DEFAULT),
               H5Dclose);
    H5Dwrite(d.get(), H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, &*t_offset);
  }
}

TEST(Hdf5Reader, ReadsOtherIntegerTypesAndAddsTheOffset) {
  TempDir dir;
  const std::string path = dir.file("dsec.h5");
  const std::vector<std::int32_t> x = {0, 639, 17};
  const std::vector<std::int64_t> y = {479, 0, 3};
  const std::vector<std::int8_t> p = {1, 0, 1};
  const std::vector<std::uint32_t> t = {0, 10, 4'000'000'000u};
  for (unsigned filter : {0u, 1u}) {
    write_raw(path, {{"x", H5T_NATIVE_INT32, x.data()}, {"y", H5T_NATIVE_INT64, y.data()},
                     {"p", H5T_NATIVE_INT8, p.data()}, {"t", H5T_NATIVE_UINT32, t.data()}},
              3, 1'500'000'000'000'000, filter);
    auto source = open_hdf5(path);
    ASSERT_TRUE(source.ok()) << source.error().message();
    EXPECT_EQ(source.value()->declared_sensor(), std::nullopt);
    auto read = drain(*source.value());
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read.value(), (Event64Vec{{0, 479, 1'500'000'000'000'000, 1},
                                        {639, 0, 1'500'000'000'000'010, 0},
                                        {17, 3, 1'500'004'000'000'000, 1}}));
  }
}

TEST(Hdf5Reader, NamesAFilterItCannotLoad) {
  TempDir dir;
  const std::string path = dir.file("blosc.h5");
  const std::vector<std::uint16_t> v = {1, 2};
  const std::vector<std::int64_t> t = {1, 2};
  write_raw(path, {{"x", H5T_NATIVE_UINT16, v.data()}, {"y", H5T_NATIVE_UINT16, v.data()},
                   {"p", H5T_NATIVE_UINT16, v.data()}, {"t", H5T_NATIVE_INT64, t.data()}},
            2, std::nullopt, 32001);
  if (H5Zfilter_avail(32001) > 0) GTEST_SKIP() << "a blosc plugin is installed here";
  EXPECT_EQ(failure_of(open_hdf5(path)),
            "HDF5 dataset /events/x needs filter 32001 (blosc), which this libhdf5 cannot load (a "
            "plugin for it in HDF5_PLUGIN_PATH would provide it)");
}

TEST(Hdf5Reader, RefusesBrokenLayouts) {
  TempDir dir;
  const std::string path = dir.file("bad.h5");
  const std::vector<std::uint16_t> v = {1, 2, 3};
  const std::vector<std::int64_t> t = {1, 2, 3};
  const std::vector<std::int64_t> negative = {1, -5, 3};
  const std::vector<std::uint16_t> big_p = {1, 256, 0};
  const std::vector<float> floats = {1, 2, 3};

  write_raw(path, {{"x", H5T_NATIVE_UINT16, v.data()}, {"y", H5T_NATIVE_UINT16, v.data()},
                   {"p", H5T_NATIVE_UINT16, v.data()}},
            3, std::nullopt);
  EXPECT_EQ(failure_of(open_hdf5(path)),
            "HDF5 file has no dataset /events/t (the DSEC layout: /events/x, y, p, t)");

  write_raw(path, {{"x", H5T_NATIVE_UINT16, v.data()}, {"y", H5T_NATIVE_UINT16, v.data()},
                   {"p", H5T_NATIVE_UINT16, v.data()}, {"t", H5T_NATIVE_INT64, negative.data()}},
            3, 2, 0);
  EXPECT_EQ(failure_of(open_hdf5(path)),
            "HDF5 event 1: t -5 with t_offset 2 is not a time from 0 to 2^63 µs");

  write_raw(path, {{"x", H5T_NATIVE_UINT16, v.data()}, {"y", H5T_NATIVE_UINT16, v.data()},
                   {"p", H5T_NATIVE_UINT16, big_p.data()}, {"t", H5T_NATIVE_INT64, t.data()}},
            3, std::nullopt);
  EXPECT_EQ(failure_of(open_hdf5(path)), "HDF5 event 1: polarity 256 is not 0..255");

  write_raw(path, {{"x", H5T_NATIVE_FLOAT, floats.data()}, {"y", H5T_NATIVE_UINT16, v.data()},
                   {"p", H5T_NATIVE_UINT16, v.data()}, {"t", H5T_NATIVE_INT64, t.data()}},
            3, std::nullopt);
  EXPECT_EQ(failure_of(open_hdf5(path)), "HDF5 dataset /events/x does not hold integers");

  std::ofstream(path, std::ios::binary | std::ios::trunc) << "not hdf5 at all";
  EXPECT_EQ(failure_of(open_hdf5(path)), "not an HDF5 file (no HDF5 signature at its start)");
  EXPECT_EQ(open_hdf5(dir.file("missing.h5")).error().kind(), ErrorKind::kOsError);
}

TEST(Hdf5Reader, EventsOutsideTheDeclaredSensorAreErrors) {
  TempDir dir;
  const std::string path = dir.file("small.h5");
  ASSERT_TRUE(write_dsec(path, {{5, 1, 10, 0}}, {4, 4}).ok());
  EXPECT_EQ(failure_of(open_hdf5(path)), "HDF5 event 0: (x 5, y 1) is outside the 4x4 sensor");
}

// Truncations of a small file end in an error, never a crash: every length
// through the superblock, then about 150 spread over the rest (each open
// costs the library a few milliseconds).
TEST(Hdf5Reader, TruncatedFilesAreErrors) {
  TempDir dir;
  const std::string path = dir.file("full.h5");
  ASSERT_TRUE(write_dsec(path, random_events(100, 9), {640, 480}).ok());
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string cut = dir.file("cut.h5");
  const std::size_t stride = std::max<std::size_t>(1, bytes.size() / 150);
  for (std::size_t n = 0; n < bytes.size(); n += n < 128 ? 1 : stride) {
    std::ofstream(cut, std::ios::binary | std::ios::trunc) << bytes.substr(0, n);
    EXPECT_NE(failure_of(open_hdf5(cut)), "") << "cut at " << n;
  }
}

// The tool reads recordings on several threads at once; the library must
// serialise its own state (Debian's build does).
TEST(Hdf5Library, IsThreadSafe) {
  hbool_t threadsafe = 0;
  ASSERT_GE(H5is_library_threadsafe(&threadsafe), 0);
  EXPECT_TRUE(threadsafe) << "this libhdf5 is not built thread-safe";
}

TEST(Hdf5Reader, Sniffing) {
  const std::uint8_t good[] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n', 0};
  EXPECT_TRUE(looks_like_hdf5(good));
  EXPECT_FALSE(looks_like_hdf5(std::span(good).first(7)));
}

}  // namespace
}  // namespace ovk::io
