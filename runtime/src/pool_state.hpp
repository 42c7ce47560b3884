// Inside the pool: jobs, the shared queue, workers, and sleeping and waking.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "nimbra/runtime/deque.hpp"

namespace nimbra::runtime::detail {

// ---- waiting on a 32-bit word ------------------------------------------------

// Blocks while *word == expected (may return spuriously).
void wait_on(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;
// Wakes threads blocked in wait_on(word, ...).
void wake_one(std::atomic<std::uint32_t>& word) noexcept;
void wake_all(std::atomic<std::uint32_t>& word) noexcept;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

using Clock = std::chrono::steady_clock;

// How long a worker with nothing to do keeps looking before it sleeps. A run of
// small operations from one caller finds the workers still awake, so a hand-off
// costs a cache-line transfer instead of a wake-up from the OS (tens of µs).
inline constexpr std::chrono::microseconds kWorkerSpin{200};
// How long a caller polls its completion flag before sleeping on it.
inline constexpr std::chrono::microseconds kCallerSpin{50};

// ---- jobs --------------------------------------------------------------------

struct Worker;

// A unit a worker can run: the root of a caller's job (via the shared queue)
// or the right half of a fork-join (via a worker's deque). Lives on the stack
// of the thread that waits for it.
struct Job {
  void (*execute)(Job* self, Worker& worker) noexcept;
  Job* next = nullptr;  // link in the shared queue
};

// The caller's side of a root job: set once by the worker that finishes it.
// States: 0 pending, 1 done, 2 pending and the caller is asleep.
struct CallerSignal {
  std::atomic<std::uint32_t> state{0};

  void reset() noexcept { state.store(0, std::memory_order_relaxed); }
  void set() noexcept;   // the last access to this job by the worker
  void wait() noexcept;  // the caller
};

// The shared queue for root jobs from threads that are not workers. Any
// number of callers may push at once; a mutex is plenty (one push and one pop
// per operation), and the atomic count lets idle workers poll it without
// taking the lock.
class Injector {
 public:
  void push(Job* job) noexcept;
  Job* try_pop() noexcept;
  bool empty_hint() const noexcept { return size_.load(std::memory_order_acquire) == 0; }

 private:
  std::mutex mutex_;
  Job* head_ = nullptr;
  Job* tail_ = nullptr;
  // Written under the mutex with release, read without it with acquire.
  std::atomic<std::size_t> size_{0};
};

struct PoolState;

struct alignas(64) Worker {
  Worker(PoolState& p, std::size_t i) : pool(&p), index(i), rng(0x9E3779B97F4A7C15ull * (i + 1)) {}

  PoolState* pool;
  std::size_t index;
  WorkStealingDeque<Job*> deque{256};
  // 0 awake, 1 asleep (or about to be). Whoever changes 1 -> 0 (the sleeper
  // cancelling, or a waker) also takes it off the sleeper count.
  alignas(64) std::atomic<std::uint32_t> sleep_state{0};
  std::uint64_t rng;  // victim choice, owner only
};

// The worker this thread is, or nullptr on any other thread.
extern thread_local Worker* tl_worker;

struct PoolState {
  PoolState(std::size_t workers, std::size_t startable_threads);
  ~PoolState();

  // Run jobs until done() holds, spinning and then sleeping when there are
  // none. done() must become true through an operation followed by
  // notify_done_changed() or through stop().
  template <class Done>
  void work_until(Worker& self, Done done) noexcept;

  Job* find_work(Worker& self) noexcept;
  bool work_visible() const noexcept;

  // After making work visible (push on a deque, shared queue): wake a sleeper
  // if there is one. Cheap when everyone is awake: a fence and a load.
  void announce_work() noexcept;
  // After setting a latch that `waiter` may be sleeping on.
  void wake_worker(Worker& waiter) noexcept;
  void submit(Job* root) noexcept;

  std::size_t running() const noexcept { return workers.size(); }

  std::vector<std::unique_ptr<Worker>> workers;  // fixed once the threads run
  std::vector<std::thread> threads;
  Injector injector;
  alignas(64) std::atomic<std::uint32_t> sleepers{0};
  std::atomic<std::uint32_t> wake_cursor{0};
  // 0 starting, 1 running, 2 stopping. Workers wait at 0 until the set of
  // workers is final.
  alignas(64) std::atomic<std::uint32_t> phase{0};

 private:
  template <class Done>
  void sleep(Worker& self, Done& done) noexcept;
  bool try_wake(Worker& w) noexcept;
  void worker_main(Worker& self) noexcept;
};

// ---- inline definitions --------------------------------------------------------

template <class Done>
void PoolState::sleep(Worker& self, Done& done) noexcept {
  // Announce first, then look once more. Each waker makes its work or latch
  // visible, then fences and reads the sleeper state; we store the state,
  // fence, then look. With the two seq_cst fences one side must see the
  // other, so a wake-up is never lost.
  self.sleep_state.store(1, std::memory_order_relaxed);
  // release (inside seq_cst): a waker that reads this count with acquire
  // also sees sleep_state == 1.
  sleepers.fetch_add(1, std::memory_order_seq_cst);
  full_fence();
  if (done() || work_visible() || phase.load(std::memory_order_acquire) == 2) {
    std::uint32_t expected = 1;
    if (self.sleep_state.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) {
      sleepers.fetch_sub(1, std::memory_order_relaxed);
    }
    return;
  }
  // acquire: a waker's CAS to 0 comes after what it published.
  while (self.sleep_state.load(std::memory_order_acquire) == 1) wait_on(self.sleep_state, 1);
}

template <class Done>
void PoolState::work_until(Worker& self, Done done) noexcept {
  unsigned idle_rounds = 0;
  Clock::time_point idle_since{};
  while (!done()) {
    if (Job* job = find_work(self)) {
      job->execute(job, self);
      idle_rounds = 0;
      continue;
    }
    const auto now = Clock::now();
    if (idle_rounds++ == 0) {
      idle_since = now;
    } else if (now - idle_since > kWorkerSpin) {
      sleep(self, done);
      idle_rounds = 0;
      continue;
    }
    // Mostly spin in place (a system call costs microseconds on some
    // machines); every few rounds give the core away, since with more
    // runnable threads than cores the thread we wait for may need it.
    if (idle_rounds % 4 == 0) {
      std::this_thread::yield();
    } else {
      for (int k = 0; k < 8; ++k) cpu_relax();
    }
  }
}

}  // namespace nimbra::runtime::detail
