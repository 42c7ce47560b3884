// WorkStealingDeque<T>: the per-worker queue of offered pieces.
//
// Algorithm: D. Chase and Y. Lev, "Dynamic Circular Work-Stealing Deque",
// SPAA 2005. Memory orders: N. M. Lê, A. Pop, A. Cohen and F. Zappa Nardelli,
// "Correct and Efficient Work-Stealing for Weak Memory Models", PPoPP 2013
// (their C11 version, figure 1), with the deviations noted at each operation.
//
// One thread, the owner, calls push() and pop() at the bottom end; any thread
// may call steal() at the top end. Indices grow without bound (64-bit, signed
// so that `bottom - 1` on an empty deque compares correctly with `top`); the
// element for index i lives in slot i mod capacity of a power-of-two ring.
//
// The slots are atomics accessed with relaxed order, as in the paper: a thief
// may read a slot while the owner rewrites it after a wrap-around, and the
// value read is then discarded because the thief's CAS on `top` fails. Plain
// slots would make that a data race; relaxed atomics cost nothing on common
// hardware and keep race detectors quiet for the right reason.
//
// Growth: when the ring is full the owner copies the live range into a ring
// twice the size and publishes it. Thieves may still be reading the old ring,
// so old rings are retired, not freed, until the deque itself is destroyed
// (at most log2(max size) rings, together less than the live one).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace nimbra::runtime {

// A full two-way barrier (store-load ordering). Thread sanitizer does not
// model standalone fences and warns about them; the fence is still executed,
// and everything the sanitizer must see as synchronisation goes through
// acquire/release operations on the indices instead.
inline void full_fence() noexcept {
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
  std::atomic_thread_fence(std::memory_order_seq_cst);
#pragma GCC diagnostic pop
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

enum class StealOutcome { empty, lost_race, taken };

template <class T>
class WorkStealingDeque {
  static_assert(std::is_trivially_copyable_v<T>, "items are copied in and out of atomic slots");
  static_assert(std::atomic<T>::is_always_lock_free, "slots must be lock-free atomics");

 public:
  explicit WorkStealingDeque(std::int64_t capacity = 64) {
    std::int64_t cap = 1;
    while (cap < capacity) cap <<= 1;
    auto ring = std::make_unique<Ring>(cap);
    ring_.store(ring.get(), std::memory_order_relaxed);
    rings_.push_back(std::move(ring));
  }

  WorkStealingDeque(const WorkStealingDeque&) = delete;
  WorkStealingDeque& operator=(const WorkStealingDeque&) = delete;

  // Owner only. May grow the ring (and so throw std::bad_alloc); on a throw
  // the deque is unchanged.
  void push(T item) {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);  // only the owner writes it
    // acquire: pairs with the thieves' CAS on top, so the slots they have
    // vacated are no longer being read when we reuse them.
    const std::int64_t t = top_.load(std::memory_order_acquire);
    Ring* ring = ring_.load(std::memory_order_relaxed);  // only the owner writes it
    if (b - t > ring->capacity - 1) ring = grow(ring, t, b);
    ring->at(b).store(item, std::memory_order_relaxed);
    // The paper uses a release fence followed by a relaxed store. A release
    // store is the same instruction on x86 and ARMv8 and is an ordering the
    // race detector understands: a thief that reads this bottom with acquire
    // sees the slot and everything the owner wrote before offering the item.
    bottom_.store(b + 1, std::memory_order_release);
  }

  // Owner only. Takes the most recently pushed item; false if there is none
  // (or a thief won the race for the last one).
  bool pop(T& out) noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Ring* ring = ring_.load(std::memory_order_relaxed);
    bottom_.store(b, std::memory_order_relaxed);
    // seq_cst fence: the store of bottom above must be globally visible
    // before we read top (store-load order, which acquire/release cannot
    // give). Paired with the fence in steal(), either the thief sees the
    // reduced bottom, or we see the thief's increment of top.
    full_fence();
    std::int64_t t = top_.load(std::memory_order_relaxed);
    if (t > b) {  // empty: undo the reservation
      // release (relaxed in the paper): a thief that later reads this value
      // with acquire also synchronises with every earlier push. Free on x86.
      bottom_.store(b + 1, std::memory_order_release);
      return false;
    }
    out = ring->at(b).load(std::memory_order_relaxed);
    if (t < b) return true;  // more than one item: no thief can reach index b
    // Last item: race the thieves for it through top. seq_cst as in the
    // paper, so the CAS is ordered with the thieves' fenced reads.
    const bool won = top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                                  std::memory_order_relaxed);
    bottom_.store(b + 1, std::memory_order_release);  // release: as above
    return won;
  }

  // Any thread. Takes the oldest item. lost_race means another thread took
  // something at the same moment: the deque may still hold items, try again.
  StealOutcome steal(T& out) noexcept {
    // acquire: if this top was written by another thief's CAS, we see what
    // that thief saw (in particular a ring that was current for it).
    std::int64_t t = top_.load(std::memory_order_acquire);
    // seq_cst fence: read top before bottom in the single total order, the
    // counterpart of the fence in pop() (see there).
    full_fence();
    // acquire: pairs with the release store of bottom in push(), making the
    // slot and the item's contents visible.
    const std::int64_t b = bottom_.load(std::memory_order_acquire);
    if (t >= b) return StealOutcome::empty;
    // acquire (consume in the paper, which compilers promote to acquire
    // anyway): pairs with the release store in grow(), so the copied slots
    // of a new ring are visible.
    Ring* ring = ring_.load(std::memory_order_acquire);
    T item = ring->at(t).load(std::memory_order_relaxed);
    // seq_cst CAS: the linearisation point of the steal; it fails if the
    // owner or another thief took index t first, in which case `item` may be
    // stale and is dropped.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
      return StealOutcome::lost_race;
    }
    out = item;
    return StealOutcome::taken;
  }

  // Any thread; a snapshot that may be stale by the time it is used. Used to
  // decide whether a worker may go to sleep, never for correctness of a take.
  bool empty_hint() const noexcept {
    const std::int64_t t = top_.load(std::memory_order_acquire);
    const std::int64_t b = bottom_.load(std::memory_order_acquire);
    return t >= b;
  }

  std::int64_t capacity() const noexcept {  // owner only
    return ring_.load(std::memory_order_relaxed)->capacity;
  }

 private:
  struct Ring {
    explicit Ring(std::int64_t cap)
        : capacity(cap), mask(cap - 1), slots(new std::atomic<T>[static_cast<std::size_t>(cap)]) {}
    std::atomic<T>& at(std::int64_t i) noexcept { return slots[static_cast<std::size_t>(i & mask)]; }
    const std::int64_t capacity;
    const std::int64_t mask;
    std::unique_ptr<std::atomic<T>[]> slots;
  };

  Ring* grow(Ring* old, std::int64_t t, std::int64_t b) {
    rings_.reserve(rings_.size() + 1);  // so the push_back below cannot throw
    auto bigger = std::make_unique<Ring>(old->capacity * 2);
    for (std::int64_t i = t; i < b; ++i) {
      bigger->at(i).store(old->at(i).load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    Ring* fresh = bigger.get();
    rings_.push_back(std::move(bigger));
    // release: a thief that loads this pointer (acquire) sees the copies.
    ring_.store(fresh, std::memory_order_release);
    return fresh;
  }

  // top and bottom on their own cache lines: thieves hammer top, the owner
  // bottom.
  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  alignas(64) std::atomic<Ring*> ring_{nullptr};
  std::vector<std::unique_ptr<Ring>> rings_;  // owner only: the live ring and the retired ones
};

}  // namespace nimbra::runtime
