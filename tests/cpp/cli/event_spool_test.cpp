#include "cli/event_spool.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <random>
#include <string>

namespace ovk::cli {
namespace {

Event64Vec read_all(io::EventSource& source) {
  Event64Vec all;
  Event64Vec block;
  for (;;) {
    EXPECT_TRUE(source.next_block(block).ok());
    if (block.empty()) return all;
    EXPECT_LE(block.size(), io::kSourceBlockEvents);
    all.insert(all.end(), block.begin(), block.end());
  }
}

// A fresh folder of its own, removed with what it holds.
struct Folder {
  std::string path = [] {
    std::string name = (std::filesystem::temp_directory_path() / "spool-test-XXXXXX").string();
    return std::string(::mkdtemp(name.data()));
  }();
  ~Folder() { std::filesystem::remove_all(path); }
};

TEST(EventSpool, HandsBackEveryEventOnEveryPass) {
  Folder folder;
  auto made = EventSpool::create(folder.path);
  ASSERT_TRUE(made.ok());
  EventSpool* spool = &made.value();
  // The file is unlinked at once: nothing is left behind, whatever happens.
  EXPECT_TRUE(std::filesystem::is_empty(folder.path));
  std::mt19937_64 random(7);
  Event64Vec events;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{70'000}, std::size_t{3},
                                 std::size_t{140'000}}) {
    Event64Vec block(size);
    for (Event64& e : block) {
      const std::uint64_t r = random();
      e = Event64{static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(r >> 16), random(),
                  static_cast<std::uint8_t>(r >> 32)};
    }
    ASSERT_TRUE(spool->append(block).ok());
    events.insert(events.end(), block.begin(), block.end());
  }
  events.push_back(Event64{65535, 65535, std::numeric_limits<std::uint64_t>::max(), 255});
  ASSERT_TRUE(spool->append(Event64Span(events).last(1)).ok());
  ASSERT_TRUE(spool->flush().ok());
  EXPECT_EQ(spool->events(), events.size());
  EXPECT_EQ(read_all(*spool->source()), events);
  EXPECT_EQ(read_all(*spool->source()), events);
}

TEST(EventSpool, SourcesSeeOnlyWhatIsFlushed) {
  auto made = EventSpool::create();
  ASSERT_TRUE(made.ok());
  EventSpool* spool = &made.value();
  EXPECT_TRUE(read_all(*spool->source()).empty());
  const Event64Vec events{{1, 2, 3, 4}, {5, 6, 7, 8}};
  ASSERT_TRUE(spool->append(events).ok());
  EXPECT_TRUE(read_all(*spool->source()).empty());
  ASSERT_TRUE(spool->flush().ok());
  EXPECT_EQ(read_all(*spool->source()), events);
}

TEST(EventSpool, SaysWhyItCannotBeMade) {
  const auto spool = EventSpool::create("/nonexistent-folder-of-spool-test");
  ASSERT_FALSE(spool.ok());
  EXPECT_EQ(spool.error().message(),
            "cannot make the temporary file that holds a pipe's events: No such file or "
            "directory (os error 2)");
}

}  // namespace
}  // namespace ovk::cli
