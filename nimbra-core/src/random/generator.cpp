#include "nimbra/random.hpp"

#include <algorithm>
#include <atomic>

#include "nimbra/fault.hpp"
#include "random/chacha.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace nimbra::random {

Generator::Generator(KeySource source) : source_(source) {
  Key key;
  if (source_ == nullptr || !source_(key)) {
    fail_impossible("the operating system's random source could not supply a key");
  }
  set_key(key);
}

Generator::Generator(const Key& key, std::uint64_t stream, KeySource rekey_source)
    : stream_(stream), source_(rekey_source) {
  set_key(key);
}

void Generator::set_key(const Key& key) {
  for (std::size_t k = 0; k < key_.size(); ++k) {
    key_[k] = static_cast<std::uint32_t>(key[4 * k]) |
              static_cast<std::uint32_t>(key[4 * k + 1]) << 8 |
              static_cast<std::uint32_t>(key[4 * k + 2]) << 16 |
              static_cast<std::uint32_t>(key[4 * k + 3]) << 24;
  }
}

bool Generator::rekey() {
  Key key;
  if (source_ == nullptr || !source_(key)) return false;
  set_key(key);
  counter_ = 0;
  stream_ = 0;
  budget_ = kRekeyBytes;
  pos_ = end_ = 0;
  return true;
}

void Generator::seek(std::uint64_t counter) {
  counter_ = counter;
  pos_ = end_ = 0;
}

// Produces several batches at once, but never past the point where the budget
// runs out, so re-keys happen exactly where one batch per refill would put them.
void Generator::refill() {
  if (budget_ <= 0) {
    // A failed re-key keeps the current key and position.
    Key key;
    if (source_ != nullptr && source_(key)) {
      set_key(key);
      counter_ = 0;
      stream_ = 0;
    }
    budget_ = kRekeyBytes;
  }
  constexpr std::int64_t kBatchBytes = kBatchWords * 4;
  const std::int64_t fit = std::max<std::int64_t>(1, (budget_ + kBatchBytes - 1) / kBatchBytes);
  const std::size_t batches = static_cast<std::size_t>(std::min<std::int64_t>(kMaxBatches, fit));
  chacha12_blocks_best()(key_, stream_, counter_, 4 * batches, buf_);
  counter_ += 4 * batches;
  budget_ -= kBatchBytes * static_cast<std::int64_t>(batches);
  pos_ = 0;
  end_ = static_cast<std::uint32_t>(kBatchWords * batches);
}

namespace {

// Bumped in the child after every fork(). Relaxed order is enough: the child
// handler runs on the forking thread before the child has other threads, and
// threads started later see it through thread creation.
std::atomic<std::uint64_t> g_fork_generation{0};

#if !defined(_WIN32)
void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }
#endif

struct ThreadSlot {
  Generator gen{os_key_source};
  std::uint64_t fork_generation = g_fork_generation.load(std::memory_order_relaxed);
};

}  // namespace

Generator& thread_generator() {
#if !defined(_WIN32)
  // Registered before the first generator exists, so no fork can slip between.
  [[maybe_unused]] static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
#endif
  thread_local ThreadSlot slot;
  const std::uint64_t now = g_fork_generation.load(std::memory_order_relaxed);
  if (slot.fork_generation != now) {
    // The buffered words and the key are the parent's: never hand them out.
    if (!slot.gen.rekey()) {
      fail_impossible("the operating system's random source could not supply a key");
    }
    slot.fork_generation = now;
  }
  return slot.gen;
}

}  // namespace nimbra::random
