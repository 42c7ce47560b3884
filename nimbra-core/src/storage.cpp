#include "nimbra/storage.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>
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
    void* p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    if (bytes >= kHugePageThreshold) advise_huge_pages(p, bytes);
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

Buffer::~Buffer() { std::free(data_); }

}  // namespace nimbra
