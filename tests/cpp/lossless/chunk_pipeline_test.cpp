// The pool that codes and decodes chunks: results in the order handed in,
// never more in flight than it allows, faults back on the calling thread.
#include "lossless/chunk_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "splitmix64.h"

namespace ovk::lossless {
namespace {

using Pipeline = ChunkPipeline<int, int>;

// Squares each item after a random pause, so the threads finish out of order.
Pipeline::Work squaring(std::atomic<int>& running, std::atomic<int>& most_running) {
  return [&running, &most_running](int& item, std::size_t) {
    const int now = ++running;
    for (int seen = most_running; now > seen && !most_running.compare_exchange_weak(seen, now);) {
    }
    testing_support::SplitMix64 random(static_cast<std::uint64_t>(item) + 1);
    std::this_thread::sleep_for(std::chrono::microseconds(random.below(300)));
    --running;
    return item * item;
  };
}

// Feeds 0 .. count-1 as the coders do: push while there is room, else pop.
std::vector<int> feed(Pipeline& pipeline, int count, std::size_t& most_in_flight) {
  std::vector<int> out;
  for (int i = 0; i < count; ++i) {
    while (pipeline.full()) out.push_back(*pipeline.pop());
    pipeline.push(i);
    most_in_flight = std::max(most_in_flight, pipeline.in_flight());
  }
  while (std::optional<int> r = pipeline.pop()) out.push_back(*r);
  return out;
}

TEST(ChunkPipeline, ResultsComeOutInOrderWithBoundedWork) {
  for (const unsigned jobs : {1U, 2U, 3U, 8U}) {
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    Pipeline pipeline(jobs, squaring(running, most_running));
    std::size_t most_in_flight = 0;
    const std::vector<int> out = feed(pipeline, 200, most_in_flight);
    ASSERT_EQ(out.size(), 200U);
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(out[static_cast<std::size_t>(i)], i * i) << "jobs " << jobs;
    }
    EXPECT_LE(most_in_flight, jobs > 1 ? 2 * jobs : 1) << "jobs " << jobs;
    EXPECT_LE(most_running.load(), static_cast<int>(std::max(jobs, 1U))) << "jobs " << jobs;
    if (jobs > 1) {
      EXPECT_GT(most_running.load(), 1) << "the threads never overlapped";
    }
    EXPECT_FALSE(pipeline.pop().has_value());
  }
}

TEST(ChunkPipeline, AFaultReachesTheCallingThreadAtItsTurn) {
  for (const unsigned jobs : {1U, 2U, 4U}) {
    Pipeline pipeline(jobs, [](int& item, std::size_t) {
      if (item == 3) throw std::runtime_error("chunk 3");
      return item;
    });
    std::vector<int> out;
    bool thrown = false;
    try {
      std::size_t most = 0;
      out = feed(pipeline, 10, most);
    } catch (const std::runtime_error& e) {
      thrown = std::string(e.what()) == "chunk 3";
    }
    EXPECT_TRUE(thrown) << "jobs " << jobs;
  }
}

TEST(ChunkPipeline, ThreadIndexesStayBelowTheJobCount) {
  std::atomic<std::size_t> largest{0};
  {
    Pipeline pipeline(3, [&largest](int& item, std::size_t thread) {
      for (std::size_t seen = largest; thread > seen && !largest.compare_exchange_weak(seen, thread);) {
      }
      return item;
    });
    std::size_t most = 0;
    (void)feed(pipeline, 100, most);
  }
  EXPECT_LT(largest.load(), 3U);
}

TEST(ChunkPipeline, LeftWithChunksInFlightItStopsCleanly) {
  std::atomic<int> done{0};
  {
    Pipeline pipeline(2, [&done](int& item, std::size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++done;
      return item;
    });
    for (int i = 0; i < 4; ++i) pipeline.push(i);
  }  // destroyed with four chunks handed in and none taken out
  EXPECT_LE(done.load(), 4);
}

}  // namespace
}  // namespace ovk::lossless
