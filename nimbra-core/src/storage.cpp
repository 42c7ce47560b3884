#include "nimbra/storage.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <string>
#include <thread>

#include "nimbra/fault.hpp"

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

// Large buffers ask for transparent huge pages: a fresh 64 MB result then
// costs a few hundred page faults instead of sixteen thousand.
constexpr std::uint64_t kHugePageThreshold = std::uint64_t{1} << 22;
constexpr std::uintptr_t kPage = 4096;

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

// A few recently freed large blocks are kept for reuse: a fresh block costs
// page faults and zeroing by the kernel on every first touch, which for large
// element-wise results is as much as the computation itself. Small blocks
// are left to malloc, which recycles them well.
class BlockCache {
 public:
  static constexpr std::uint64_t kMinBytes = kHugePageThreshold;
  static constexpr std::uint64_t kMaxTotal = std::uint64_t{256} << 20;
  static constexpr std::size_t kSlots = 4;

  // A cached block of at least `bytes` (and not much more), or nullptr.
  void* take(std::uint64_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;  // contended, or left locked across fork()
    for (Slot& slot : slots_) {
      if (slot.data && slot.bytes >= bytes && slot.bytes - bytes <= bytes / 4) {
        total_ -= slot.bytes;
        return std::exchange(slot.data, nullptr);
      }
    }
    return nullptr;
  }

  // Keeps the block if there is room; false leaves it to the caller to free.
  bool put(void* data, std::uint64_t bytes) {
    if (bytes < kMinBytes || bytes > kMaxTotal) return false;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    Slot* free_slot = nullptr;
    for (Slot& slot : slots_)
      if (!slot.data) free_slot = &slot;
    if (!free_slot || total_ + bytes > kMaxTotal) return false;
    *free_slot = Slot{data, bytes};
    total_ += bytes;
    return true;
  }

 private:
  struct Slot {
    void* data = nullptr;
    std::uint64_t bytes = 0;
  };
  std::mutex mutex_;
  Slot slots_[kSlots];
  std::uint64_t total_ = 0;
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
  float* data = nullptr;
  if (bytes > 0) {
    // calloc hands out fresh pages for large blocks without touching them.
    void* p = zeroed || bytes < BlockCache::kMinBytes ? nullptr : block_cache().take(bytes);
    if (!p) {
      p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
      if (!p) throw std::bad_alloc();
      // A zero-filled block is read, never written, so huge pages would only
      // cost the advice call.
      if (!zeroed && bytes >= kHugePageThreshold) advise_huge_pages(p, bytes);
    }
    data = static_cast<float*>(p);
  }
  Buffer* buffer = new (std::nothrow) Buffer();
  if (!buffer) {
    std::free(data);
    throw std::bad_alloc();
  }
  buffer->data_ = data;
  buffer->bytes_ = bytes;
  return buffer;
}

void Buffer::release() noexcept {
  // acq_rel: the last owner must see every other owner's reads finished
  // before it frees the bytes.
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

Buffer::~Buffer() {
  if (data_ && !block_cache().put(data_, bytes_)) std::free(data_);
}

}  // namespace nimbra
