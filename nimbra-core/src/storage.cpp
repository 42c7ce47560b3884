#include "nimbra/storage.hpp"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <string>
#include <thread>

#include "nimbra/fault.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace nimbra {

void RwLock::lock_shared() noexcept {
  std::int64_t s = state_.load(std::memory_order_relaxed);
  for (;;) {
    // acquire: the reader sees everything a writer did before unlocking.
    if (s >= 0 && state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed))
      return;
    if (s < 0) {
      std::this_thread::yield();
      s = state_.load(std::memory_order_relaxed);
    }
  }
}

void RwLock::lock() noexcept {
  std::int64_t expected = 0;
  while (!state_.compare_exchange_weak(expected, -1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
    expected = 0;
    std::this_thread::yield();
  }
}

namespace {

// The bytes around the elements of a one-block buffer are unused; under the
// address sanitizer they are marked so, and a kernel that reads or writes
// past either end of its elements is caught as it would be at the end of a
// block of its own.
void poison_padding(void* block, std::uint64_t head, const float* data, std::uint64_t bytes,
                    std::uint64_t size) {
#if defined(__SANITIZE_ADDRESS__)
  auto* start = static_cast<char*>(block);
  auto* first = reinterpret_cast<const char*>(data);
  __asan_poison_memory_region(start + head, static_cast<std::size_t>(first - start) - head);
  __asan_poison_memory_region(first + bytes, size - bytes - static_cast<std::size_t>(first - start));
#else
  (void)block, (void)head, (void)data, (void)bytes, (void)size;
#endif
}

// Large buffers ask for transparent huge pages: a fresh 64 MB result then
// costs a few hundred page faults instead of sixteen thousand.
constexpr std::uint64_t kHugePageThreshold = std::uint64_t{1} << 22;
constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kLine = 64;

void advise_huge_pages(void* data, std::uint64_t bytes) {
#ifdef MADV_HUGEPAGE
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Recently freed large blocks are kept for reuse: a fresh block costs page
// faults and zeroing by the kernel on every first touch, which for large
// element-wise results is as much as the computation itself. That holds from
// a few hundred KB on: malloc serves such blocks from the top of its heap and
// gives that back to the system once two of them are free, so a chain of
// operations on [1024, 128] results (a layer's product, then its bias, then
// its activation) faulted every page of every result, four times the work of
// the chain itself. Small blocks are left to malloc, which recycles them well.
//
// The cache keeps only what the work in progress takes back. Each allocation
// made while it holds a block advances a clock; a block that
// Buffer::kCacheIdleAllocations allocations pass without taking is freed by
// the next one. A loop of large operations takes its blocks back within a
// few allocations and keeps them; a program that has stopped making large
// tensors gets the memory back after a few dozen allocations of any size.
// Counting allocations rather than time keeps the give-back deterministic and
// needs no thread of its own.
class BlockCache {
 public:
  static constexpr std::uint64_t kMinBytes = Buffer::kCacheMinBytes;
  static constexpr std::uint64_t kMaxTotal = std::uint64_t{256} << 20;
  static constexpr std::size_t kSlots = 8;

  // A block and its real size, which may exceed what its last owner asked for.
  struct Block {
    void* data = nullptr;
    std::uint64_t bytes = 0;
  };

  // Called by every allocation: advances the clock, frees the blocks left
  // idle too long and returns a cached block of at least `wanted` bytes (and
  // not much more), or none. `wanted` 0 takes nothing.
  Block on_allocate(std::uint64_t wanted) {
    // relaxed: a hint only, the mutex orders the slots. A stale zero costs
    // one tick or one reuse; a thread always sees its own frees.
    if (total_.load(std::memory_order_relaxed) == 0) return {};
    Block taken;
    void* idle[kSlots] = {};
    {
      std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
      if (!lock.owns_lock()) return {};  // contended, or left locked across fork()
      ++clock_;
      std::size_t n_idle = 0;
      for (Slot& slot : slots_) {
        if (!slot.data) continue;
        if (!taken.data && wanted && slot.bytes >= wanted && slot.bytes - wanted <= wanted / 4)
          taken = empty(slot);
        else if (clock_ - slot.cached_at > Buffer::kCacheIdleAllocations)
          idle[n_idle++] = empty(slot).data;
      }
    }
    // Freed after unlocking: unmapping a large block takes a while, and other
    // threads need not wait for it.
    for (void* block : idle) std::free(block);
    return taken;
  }

  // Keeps the block if there is room; false leaves it to the caller to free.
  // `bytes` is the block's real size, so the books hold what is resident.
  bool put(void* data, std::uint64_t bytes) {
    if (bytes < kMinBytes || bytes > kMaxTotal) return false;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    std::uint64_t total = total_.load(std::memory_order_relaxed);
    if (total + bytes > kMaxTotal) return false;
    for (Slot& slot : slots_) {
      if (!slot.data) {
        slot = Slot{data, bytes, clock_};
        total_.store(total + bytes, std::memory_order_relaxed);
        return true;
      }
    }
    return false;
  }

  std::uint64_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    void* data = nullptr;
    std::uint64_t bytes = 0;
    std::uint64_t cached_at = 0;  // the clock when the block came in
  };

  // Empties the slot (the caller holds the mutex) and returns its block.
  Block empty(Slot& slot) noexcept {
    total_.store(total_.load(std::memory_order_relaxed) - slot.bytes, std::memory_order_relaxed);
    const Slot was = std::exchange(slot, Slot{});
    return {was.data, was.bytes};
  }

  std::mutex mutex_;
  Slot slots_[kSlots];
  std::uint64_t clock_ = 0;
  std::atomic<std::uint64_t> total_{0};  // bytes held; written only under the mutex
};

BlockCache& block_cache() {
  static BlockCache* cache = new BlockCache();  // never destroyed: buffers may outlive statics
  return *cache;
}

}  // namespace

Buffer* Buffer::allocate(std::uint64_t count, bool zeroed) {
  if (count > static_cast<std::uint64_t>(INT64_MAX) / sizeof(float)) {
    fail_precondition("cannot allocate " + std::to_string(count) +
                      " elements: the byte count exceeds the addressable range");
  }
  std::uint64_t bytes = count * sizeof(float);
  if (bytes > 0 && bytes < BlockCache::kMinBytes) {
    // One block: the record, then the elements from the next line on. The
    // record and malloc's own bookkeeping, which the allocating thread writes
    // on every allocation and free, then never share a line with the
    // elements, which a worker writes: a small result's lines stay in the
    // worker's cache from one call to the next instead of crossing cores
    // twice per call.
    block_cache().on_allocate(0);  // advances the cache's clock
    // malloc aligns blocks to 16 bytes, and a record whose size is not a
    // multiple of that always leaves unused bytes before the next line,
    // which the address sanitizer watches.
    static_assert(sizeof(Buffer) % 16 != 0);
    std::uint64_t block = sizeof(Buffer) + kLine - 1 + bytes;
    void* p = std::malloc(block);
    if (!p) throw std::bad_alloc();
    Buffer* buffer = new (p) Buffer();
    auto at = reinterpret_cast<std::uintptr_t>(p) + sizeof(Buffer);
    buffer->data_ = reinterpret_cast<float*>((at + kLine - 1) & ~(kLine - 1));
    poison_padding(p, sizeof(Buffer), buffer->data_, bytes, block);
    buffer->bytes_ = bytes;  // block_bytes_ stays 0: the elements share the record's block
    if (zeroed) std::memset(buffer->data_, 0, bytes);
    return buffer;
  }
  float* data = nullptr;
  std::uint64_t block_bytes = 0;
  if (bytes > 0) {
    // Zero-filled requests never take a cached block: calloc hands out fresh
    // pages for large blocks without touching them.
    BlockCache::Block block = block_cache().on_allocate(zeroed ? 0 : bytes);
    if (!block.data) {
      block = {zeroed ? std::calloc(bytes, 1) : std::malloc(bytes), bytes};
      if (!block.data) throw std::bad_alloc();
      // A zero-filled block is read, never written, so huge pages would only
      // cost the advice call.
      if (!zeroed && bytes >= kHugePageThreshold) advise_huge_pages(block.data, bytes);
    }
    data = static_cast<float*>(block.data);
    block_bytes = block.bytes;
  }
  Buffer* buffer = new (std::nothrow) Buffer();
  if (!buffer) {
    std::free(data);
    throw std::bad_alloc();
  }
  buffer->data_ = data;
  buffer->bytes_ = bytes;
  buffer->block_bytes_ = block_bytes;
  return buffer;
}

void Buffer::release() noexcept {
  // acq_rel: the last owner must see every other owner's reads finished
  // before it frees the bytes.
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (data_ && block_bytes_ == 0) {  // one block: the record, then the elements
    this->~Buffer();
    std::free(this);
  } else {
    delete this;
  }
}

std::uint64_t Buffer::cached_bytes() noexcept { return block_cache().total(); }

Buffer::~Buffer() {
  if (block_bytes_ != 0 && !block_cache().put(data_, block_bytes_)) std::free(data_);
}

}  // namespace nimbra
