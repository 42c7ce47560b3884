// The work-stealing deque: order at each end, growth, and one owner racing
// several thieves with every item taken exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "nimbra/runtime/deque.hpp"

namespace nimbra::runtime {
namespace {

using Deque = WorkStealingDeque<std::uint32_t>;

TEST(Deque, OwnerEndIsLastInFirstOutThiefEndIsFirstInFirstOut) {
  Deque d(4);
  for (std::uint32_t i = 0; i < 6; ++i) d.push(i);
  std::uint32_t x = 0;
  ASSERT_EQ(d.steal(x), StealOutcome::taken);
  EXPECT_EQ(x, 0u);
  ASSERT_TRUE(d.pop(x));
  EXPECT_EQ(x, 5u);
  ASSERT_EQ(d.steal(x), StealOutcome::taken);
  EXPECT_EQ(x, 1u);
  ASSERT_TRUE(d.pop(x));
  EXPECT_EQ(x, 4u);
  ASSERT_TRUE(d.pop(x));
  EXPECT_EQ(x, 3u);
  ASSERT_TRUE(d.pop(x));
  EXPECT_EQ(x, 2u);
  EXPECT_FALSE(d.pop(x));
  EXPECT_EQ(d.steal(x), StealOutcome::empty);
  EXPECT_TRUE(d.empty_hint());
  // An empty pop must leave the deque usable.
  d.push(7);
  EXPECT_FALSE(d.empty_hint());
  ASSERT_TRUE(d.pop(x));
  EXPECT_EQ(x, 7u);
}

TEST(Deque, GrowsPastCapacityAndKeepsItemsAcrossWrapAround) {
  Deque d(2);
  // Move the indices well past the ring size first so growth copies a
  // wrapped range.
  std::uint32_t x = 0;
  for (std::uint32_t i = 0; i < 5; ++i) {
    d.push(i);
    ASSERT_EQ(d.steal(x), StealOutcome::taken);
    EXPECT_EQ(x, i);
  }
  for (std::uint32_t i = 0; i < 100; ++i) d.push(100 + i);
  EXPECT_GE(d.capacity(), 100);
  for (std::uint32_t i = 0; i < 50; ++i) {
    ASSERT_EQ(d.steal(x), StealOutcome::taken);
    EXPECT_EQ(x, 100 + i);
  }
  for (std::uint32_t i = 0; i < 50; ++i) {
    ASSERT_TRUE(d.pop(x));
    EXPECT_EQ(x, 199 - i);
  }
  EXPECT_FALSE(d.pop(x));
}

// The owner pushes in bursts and pops some back while thieves steal; a small
// initial ring forces growth while thieves read. Each item must be taken once.
struct StressCase {
  int thieves;
  std::uint32_t items;
  std::int64_t initial_capacity;
};

class DequeStress : public ::testing::TestWithParam<StressCase> {};

TEST_P(DequeStress, EveryItemTakenExactlyOnce) {
  const StressCase c = GetParam();
  Deque d(c.initial_capacity);
  std::vector<std::atomic<std::uint32_t>> seen(c.items);
  std::atomic<bool> owner_done{false};
  std::atomic<std::uint64_t> stolen{0};

  std::vector<std::thread> thieves;
  for (int t = 0; t < c.thieves; ++t) {
    thieves.emplace_back([&] {
      std::uint32_t x = 0;
      std::uint64_t mine = 0;
      for (;;) {
        const StealOutcome r = d.steal(x);
        if (r == StealOutcome::taken) {
          seen[x].fetch_add(1, std::memory_order_relaxed);
          ++mine;
        } else if (r == StealOutcome::empty && owner_done.load(std::memory_order_acquire)) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
      stolen.fetch_add(mine, std::memory_order_relaxed);
    });
  }

  std::uint32_t next = 0;
  std::uint32_t x = 0;
  std::uint64_t popped = 0;
  while (next < c.items) {
    const std::uint32_t burst = 1 + next % 37;
    for (std::uint32_t k = 0; k < burst && next < c.items; ++k) d.push(next++);
    for (std::uint32_t k = 0; k < burst / 2; ++k) {
      if (!d.pop(x)) break;
      seen[x].fetch_add(1, std::memory_order_relaxed);
      ++popped;
    }
  }
  while (d.pop(x)) {
    seen[x].fetch_add(1, std::memory_order_relaxed);
    ++popped;
  }
  owner_done.store(true, std::memory_order_release);
  for (auto& t : thieves) t.join();

  EXPECT_EQ(popped + stolen.load(), c.items);
  std::uint32_t wrong = 0;
  for (std::uint32_t i = 0; i < c.items; ++i) wrong += seen[i].load() != 1 ? 1 : 0;
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(OwnerAgainstThieves, DequeStress,
                         ::testing::Values(StressCase{1, 200000, 2}, StressCase{3, 200000, 4},
                                           StressCase{6, 100000, 64}));

}  // namespace
}  // namespace nimbra::runtime
