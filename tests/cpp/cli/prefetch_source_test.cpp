#include "cli/prefetch_source.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ovk::cli {
namespace {

// Blocks 0, 1, 2, ... of `sizes` events each (event i of block b at t = b),
// then `end` (an error) or a throw after them, or blocks forever.
class Scripted final : public io::EventSource {
 public:
  enum class End : std::uint8_t { kClean, kError, kThrow, kNever };
  Scripted(std::vector<std::size_t> sizes, End end) : sizes_(std::move(sizes)), end_(end) {}

  std::optional<io::SensorGeometry> declared_sensor() const override {
    return io::SensorGeometry{346, 260};
  }
  std::vector<io::SkippedRecords> skipped_records() const override {
    return {{"frames", handed_}};
  }
  Status next_block(Event64Vec& block) override {
    block.clear();
    if (handed_ < sizes_.size() || end_ == End::kNever) {
      const std::size_t size = end_ == End::kNever ? 10 : sizes_[handed_];
      for (std::size_t i = 0; i < size; ++i) {
        block.push_back(Event64{static_cast<std::uint16_t>(i), 7, handed_, 1});
      }
      ++handed_;
      return Ok{};
    }
    if (end_ == End::kError) return Error(ErrorKind::kInvalidData, "bad word at byte 12");
    if (end_ == End::kThrow) throw std::runtime_error("fault in the reader");
    return Ok{};
  }

 private:
  std::vector<std::size_t> sizes_;
  End end_;
  std::uint64_t handed_ = 0;
};

// Reads `source` to its end: the blocks' sizes and first timestamps.
std::vector<std::pair<std::size_t, std::uint64_t>> blocks_of(io::EventSource& source, Status& end) {
  std::vector<std::pair<std::size_t, std::uint64_t>> seen;
  Event64Vec block;
  for (;;) {
    end = source.next_block(block);
    if (!end.ok() || block.empty()) return seen;
    seen.emplace_back(block.size(), block.front().t);
  }
}

TEST(PrefetchSource, HandsOutTheSameBlocksInOrder) {
  const std::vector<std::size_t> sizes{3, 1, 65536, 2, 9, 4, 4, 4, 4, 1};
  for (const std::size_t ahead : {1, 2, 4}) {
    PrefetchSource source(std::make_unique<Scripted>(sizes, Scripted::End::kClean), ahead);
    Status end = Ok{};
    const auto seen = blocks_of(source, end);
    ASSERT_TRUE(end.ok());
    ASSERT_EQ(seen.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      EXPECT_EQ(seen[i], std::make_pair(sizes[i], std::uint64_t{i}));
    }
    Event64Vec block{Event64{}};
    EXPECT_TRUE(source.next_block(block).ok());
    EXPECT_TRUE(block.empty());
    EXPECT_EQ(source.declared_sensor(), (io::SensorGeometry{346, 260}));
    ASSERT_EQ(source.skipped_records().size(), 1u);
    EXPECT_EQ(source.skipped_records()[0].count, sizes.size());
  }
}

TEST(PrefetchSource, GivesTheErrorWhereTheSourceFailed) {
  PrefetchSource source(std::make_unique<Scripted>(std::vector<std::size_t>{5, 6},
                                                   Scripted::End::kError),
                        4);
  Status end = Ok{};
  EXPECT_EQ(blocks_of(source, end).size(), 2u);
  ASSERT_FALSE(end.ok());
  EXPECT_EQ(end.error().message(), "bad word at byte 12");
  Event64Vec block;
  const Status again = source.next_block(block);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "bad word at byte 12");
}

TEST(PrefetchSource, RethrowsTheSourcesFaultOnTheCallingThread) {
  PrefetchSource source(std::make_unique<Scripted>(std::vector<std::size_t>{5},
                                                   Scripted::End::kThrow),
                        2);
  Event64Vec block;
  ASSERT_TRUE(source.next_block(block).ok());
  EXPECT_EQ(block.size(), 5u);
  EXPECT_THROW((void)source.next_block(block), std::runtime_error);
}

TEST(PrefetchSource, StopsWhenLeftBeforeTheEnd) {
  // A caller that stops early (an error in the output) leaves a source that
  // never ends; destroying it must not wait for the end.
  auto source = std::make_unique<PrefetchSource>(
      std::make_unique<Scripted>(std::vector<std::size_t>{}, Scripted::End::kNever), 3);
  Event64Vec block;
  ASSERT_TRUE(source->next_block(block).ok());
  source.reset();
  SUCCEED();
}

}  // namespace
}  // namespace ovk::cli
