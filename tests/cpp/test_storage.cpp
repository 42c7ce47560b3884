// Buffer allocation: reuse of large freed blocks and their return once idle,
// zero-filled requests, the layout of small buffers, and the reader side of
// the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <thread>
#include <vector>

#include "nimbra/storage.hpp"
#include "nimbra/tensor.hpp"

using nimbra::Buffer;

namespace {

constexpr std::uint64_t kLarge = std::uint64_t{2} << 20;  // 8 MB of floats
constexpr std::uint64_t kIdle = Buffer::kCacheIdleAllocations;

// Each one advances the cache's clock and takes no cached block.
void small_allocations(std::uint64_t n) {
  for (std::uint64_t i = 0; i < n; ++i) Buffer::allocate(16, false)->release();
}

// Every case starts from an empty cache, whatever the one before left.
class BlockReuse : public ::testing::Test {
 protected:
  void SetUp() override {
    small_allocations(kIdle + 1);
    ASSERT_EQ(Buffer::cached_bytes(), 0u);
  }
};

TEST_F(BlockReuse, LargeBlockComesBackForTheSameSize) {
  Buffer* first = Buffer::allocate(kLarge, false);
  float* data = first->data();
  first->release();
  Buffer* second = Buffer::allocate(kLarge, false);
  EXPECT_EQ(second->data(), data);
  second->release();
}

// Mid-size results ([1024, 128]: 512 KB) come back too: malloc serves such
// blocks from the top of its heap and, once two of them are free, may give
// them back to the system, so a layer's chain of results faulted every page
// in again on every call.
TEST_F(BlockReuse, MidSizeBlockComesBack) {
  constexpr std::uint64_t n = std::uint64_t{1} << 17;
  Buffer* first = Buffer::allocate(n, false);
  float* data = first->data();
  first->release();
  EXPECT_EQ(Buffer::cached_bytes(), n * sizeof(float));
  Buffer* second = Buffer::allocate(n, false);
  EXPECT_EQ(second->data(), data);
  second->release();
}

TEST_F(BlockReuse, ZeroFilledRequestsNeverSeeOldValues) {
  Buffer* dirty = Buffer::allocate(kLarge, false);
  for (std::uint64_t i = 0; i < kLarge; ++i) dirty->data()[i] = 1.0f;
  dirty->release();
  Buffer* zeros = Buffer::allocate(kLarge, true);
  for (std::uint64_t i = 0; i < kLarge; i += 4099) ASSERT_EQ(zeros->data()[i], 0.0f) << i;
  EXPECT_EQ(zeros->data()[kLarge - 1], 0.0f);
  zeros->release();
  nimbra::Tensor t = nimbra::Tensor::zeros(std::vector<std::uint64_t>{kLarge});
  EXPECT_EQ(t.data_f32()[kLarge / 2], 0.0f);
}

TEST_F(BlockReuse, MuchSmallerRequestsDoNotTakeALargeBlock) {
  Buffer* big = Buffer::allocate(4 * kLarge, false);
  float* data = big->data();
  big->release();
  Buffer* small = Buffer::allocate(kLarge, false);
  EXPECT_NE(small->data(), data) << "a block four times the size would waste memory";
  small->release();
}

TEST_F(BlockReuse, BlocksLeftIdleGoBackToTheSystem) {
  std::vector<Buffer*> held;
  for (int i = 0; i < 6; ++i) held.push_back(Buffer::allocate(kLarge, false));
  for (Buffer* b : held) b->release();
  std::uint64_t cached = Buffer::cached_bytes();
  EXPECT_GE(cached, kLarge * sizeof(float));
  small_allocations(kIdle);
  EXPECT_EQ(Buffer::cached_bytes(), cached) << "freed before its time ran out";
  small_allocations(1);
  EXPECT_EQ(Buffer::cached_bytes(), 0u);
}

TEST_F(BlockReuse, ALoopKeepsItsBlockWithAllocationsInBetween) {
  Buffer* first = Buffer::allocate(kLarge, false);
  float* data = first->data();
  first->release();
  // Taking the block and freeing it again starts its idle count afresh.
  for (int round = 0; round < 4; ++round) {
    small_allocations(kIdle);
    ASSERT_EQ(Buffer::cached_bytes(), kLarge * sizeof(float)) << "round " << round;
    Buffer* again = Buffer::allocate(kLarge, false);
    EXPECT_EQ(again->data(), data) << "round " << round;
    again->release();
  }
}

TEST_F(BlockReuse, ConcurrentAllocationAndRelease) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        Buffer* b = Buffer::allocate(kLarge + static_cast<std::uint64_t>(t) * 1024, false);
        b->data()[0] = static_cast<float>(i);
        b->data()[b->bytes() / 4 - 1] = static_cast<float>(t);
        b->release();
        small_allocations(static_cast<std::uint64_t>(t) * 8);  // some threads age blocks out
      }
    });
  }
  for (auto& th : threads) th.join();
  small_allocations(kIdle + 1);
  EXPECT_EQ(Buffer::cached_bytes(), 0u) << "the byte count drifted";
}

std::uint64_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * 4096;
}

// Ever smaller results, each made while the one before is alive, take the
// freed blocks back; when all are gone the cache still holds no more than
// its cap, counted in real block sizes.
TEST_F(BlockReuse, AShrinkingChainStaysUnderTheCap) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator keeps freed memory resident";
#endif
  constexpr std::uint64_t kCap = std::uint64_t{256} << 20;
  const std::uint64_t before = resident_bytes();
  Buffer* live = nullptr;
  for (std::uint64_t n = std::uint64_t{50} << 20; n > (std::uint64_t{1} << 20); n = n * 15 / 16) {
    Buffer* next = Buffer::allocate(n, false);
    std::fill(next->data(), next->data() + n, 1.0f);  // resident, as a result is
    if (live) live->release();
    live = next;
  }
  live->release();
  EXPECT_LE(Buffer::cached_bytes(), kCap);
  EXPECT_LE(resident_bytes(), before + kCap + (std::uint64_t{8} << 20)) << "kept blocks are bigger than booked";
}

// Below the cache's sizes a buffer is one block: the record, then the
// elements from the next line on. A zero-filled request is cleared even when
// malloc hands back the block just written, and under the address sanitizer
// a read or write past either end of the elements is caught.
TEST(SmallBuffers, ElementsOnLinesOfTheirOwn) {
  for (const std::uint64_t n : {std::uint64_t{1}, std::uint64_t{16}, std::uint64_t{17},
                                std::uint64_t{1000}, Buffer::kCacheMinBytes / sizeof(float) - 1}) {
    Buffer* dirty = Buffer::allocate(n, false);
    std::fill(dirty->data(), dirty->data() + n, 1.0f);
    dirty->release();
    Buffer* b = Buffer::allocate(n, true);
    const auto* data = reinterpret_cast<const char*>(b->data());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 64, 0u) << n;
    EXPECT_GE(data, reinterpret_cast<const char*>(b) + sizeof(Buffer)) << n;
    EXPECT_EQ(static_cast<std::uint64_t>(std::count(b->data(), b->data() + n, 0.0f)), n) << n;
#if defined(__SANITIZE_ADDRESS__)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    volatile float* p = b->data();
    EXPECT_DEATH(p[n] = 1.0f, "") << n;
    EXPECT_DEATH((void)p[-1], "") << n;
#endif
    b->release();
  }
}

TEST(RwLockTest, ReadersShareWritersExclude) {
  nimbra::RwLock lock;
  lock.lock_shared();
  lock.lock_shared();
  lock.unlock_shared();
  lock.unlock_shared();
  lock.lock();
  lock.unlock();
  lock.lock_shared();
  lock.unlock_shared();
}

}  // namespace
