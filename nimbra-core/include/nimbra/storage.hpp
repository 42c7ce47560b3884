// The shared element buffer of tensors: reference-counted, immutable after it
// is filled, guarded by a reader-writer lock that readers take while copying
// elements out.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace nimbra {

enum class DType : std::uint8_t { F16 = 0, BF16 = 1, F32 = 2, F64 = 3, I32 = 4, I64 = 5, U8 = 6, Bool = 7 };

// Readers never wait for each other; a writer excludes everyone. Nothing in
// the library writes a filled buffer, so the exclusive side exists for
// completeness only.
class RwLock {
 public:
  void lock_shared() noexcept;
  void unlock_shared() noexcept {
    // release: the reader's loads happen before a later writer's stores.
    state_.fetch_sub(1, std::memory_order_release);
  }
  void lock() noexcept;
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> state_{0};  // number of readers, or -1 while written
};

// The element bytes and their reference count.
class Buffer {
 public:
  // A buffer for `count` f32 elements; zero-filled when asked (from zeroed
  // pages, without writing them). Throws InternalFault when the byte count
  // exceeds the signed 64-bit range and std::bad_alloc when memory is short.
  static Buffer* allocate(std::uint64_t count, bool zeroed);

  // Freed buffers of kCacheMinBytes and up are kept for reuse by later
  // requests of about their size; one goes back to the system once this many
  // further allocations (of any size) have passed without taking it.
  static constexpr std::uint64_t kCacheMinBytes = std::uint64_t{1} << 17;
  static constexpr std::uint64_t kCacheIdleAllocations = 32;
  // Bytes of freed buffers kept for reuse at the moment.
  static std::uint64_t cached_bytes() noexcept;

  float* data() noexcept { return data_; }
  const float* data() const noexcept { return data_; }
  std::uint64_t bytes() const noexcept { return bytes_; }
  RwLock& lock() const noexcept { return lock_; }

  void retain() noexcept {
    // relaxed: a new reference is made from an existing one, which already
    // keeps the buffer alive.
    refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept;
  std::uint64_t ref_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

 private:
  Buffer() = default;
  ~Buffer();

  std::atomic<std::uint64_t> refs_{1};
  mutable RwLock lock_;
  float* data_ = nullptr;
  std::uint64_t bytes_ = 0;  // length, 4 per element
  // The size of the elements' own block: more than bytes_ for a reused cached
  // block, 0 when they follow this record in its block or there are none.
  std::uint64_t block_bytes_ = 0;
};

// One reference on a buffer, with the element count and type tag.
class Storage {
 public:
  Storage() noexcept = default;
  Storage(Buffer* adopted, std::uint64_t len) noexcept : buffer_(adopted), len_(len) {}
  Storage(const Storage& other) noexcept : buffer_(other.buffer_), len_(other.len_), dtype_(other.dtype_) {
    if (buffer_) buffer_->retain();
  }
  Storage(Storage&& other) noexcept
      : buffer_(std::exchange(other.buffer_, nullptr)), len_(other.len_), dtype_(other.dtype_) {}
  Storage& operator=(Storage other) noexcept {
    std::swap(buffer_, other.buffer_);
    len_ = other.len_;
    dtype_ = other.dtype_;
    return *this;
  }
  ~Storage() {
    if (buffer_) buffer_->release();
  }

  Buffer* buffer() const noexcept { return buffer_; }
  std::uint64_t len() const noexcept { return len_; }
  DType dtype() const noexcept { return dtype_; }

 private:
  Buffer* buffer_ = nullptr;
  std::uint64_t len_ = 0;
  DType dtype_ = DType::F32;
};

// Shared access to a buffer for the lifetime of the guard.
class ReadGuard {
 public:
  ReadGuard() noexcept = default;
  explicit ReadGuard(const Buffer* buffer) noexcept : buffer_(buffer) {
    if (buffer_) buffer_->lock().lock_shared();
  }
  ReadGuard(ReadGuard&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
  ReadGuard& operator=(ReadGuard&& other) noexcept {
    std::swap(buffer_, other.buffer_);
    return *this;
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  ~ReadGuard() {
    if (buffer_) buffer_->lock().unlock_shared();
  }

 private:
  const Buffer* buffer_ = nullptr;
};

}  // namespace nimbra
