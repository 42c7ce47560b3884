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

using Clock = std::chrono::steady_clock;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The processor this thread runs on now, or -1 if unknown (then every poll
// yields the processor).
int current_cpu() noexcept;

// Polling. A spinning worker and a waiting caller spin in place while the
// threads they wait for run on other processors, and yield the processor
// while one was last seen on theirs or seems not to be running: two pollers
// that share a processor and spin in place take turns only at time-slice
// ends, while yielding costs a system call (about 0.5 µs here) per look. A
// caller gives way only to workers that run jobs, so an idle worker next to
// it stays out of the way and one on another processor takes the job.
//
// How long a worker with nothing to do keeps looking before it sleeps. A run
// of operations from one caller finds the workers still awake, so a hand-off
// costs a few cache-line transfers instead of a wake-up through the OS (tens
// of µs).
inline constexpr std::chrono::microseconds kWorkerSpin{100};
// How long a caller polls its completion flag before sleeping on it.
inline constexpr std::chrono::microseconds kCallerSpin{50};
// A polling caller whose job has run this long wakes a sleeping worker if
// pieces wait and nobody spins (a second chance next to the wake-ups that
// pushes make; a small job is over before a woken worker could arrive).
inline constexpr std::chrono::microseconds kCallerWakeDelay{10};

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
  void set() noexcept;  // the last access to this job by the worker
  bool is_set() const noexcept { return state.load(std::memory_order_acquire) == 1; }
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
  // Where this worker was last seen running, and whether it is running a
  // job (hints, relaxed).
  std::atomic<int> cpu{-1};
  std::atomic<bool> busy{false};
  std::uint64_t rng;  // victim choice, owner only
  std::uint32_t seen_beat = 0;     // owner only: caller_beat at our last look
};

// The worker this thread is, or nullptr on any other thread.
extern thread_local Worker* tl_worker;

struct PoolState {
  PoolState(std::size_t workers, std::size_t startable_threads);
  ~PoolState();

  // Run jobs until done() holds, spinning and then sleeping when there are
  // none. done() becomes true through a store followed by wake_worker(self),
  // or through the pool stopping.
  template <class Done>
  void work_until(Worker& self, Done done) noexcept;

  Job* find_work(Worker& self) noexcept;
  bool work_visible() const noexcept;

  // After pushing a piece on a worker's deque. Pieces never need a wake-up to
  // make progress (their owner takes them back), so this only brings help:
  // a sleeper is woken when nobody spins. Cheap when nobody sleeps: a fence
  // and a load.
  void announce_piece() noexcept;
  // After setting a latch that `waiter` may be sleeping on.
  void wake_worker(Worker& waiter) noexcept;
  // Hands a caller's root job to the workers; wakes one if none spins.
  void submit(Job* root) noexcept;
  // The caller's side: poll, wake helpers for a job that lasts, then sleep.
  void wait_caller(CallerSignal& signal) noexcept;

  std::size_t running() const noexcept { return workers.size(); }

  std::vector<std::unique_ptr<Worker>> workers;  // fixed once the threads run
  std::vector<std::thread> threads;
  Injector injector;
  alignas(64) std::atomic<std::uint32_t> sleepers{0};
  std::atomic<std::uint32_t> spinners{0};
  std::atomic<std::uint32_t> wake_cursor{0};
  // Written by polling callers every round: a line of their own.
  alignas(64) std::atomic<std::uint32_t> polling_callers{0};
  std::atomic<int> polling_caller_cpu{-1};    // a hint, relaxed
  std::atomic<std::uint32_t> caller_beat{0};  // advanced by each polling round (relaxed)
  // 0 starting, 1 running, 2 stopping. Workers wait at 0 until the set of
  // workers is final.
  alignas(64) std::atomic<std::uint32_t> phase{0};

 private:
  template <class Done>
  void sleep(Worker& self, Done& done) noexcept;
  template <class Done>
  Job* spin(Worker& self, Done& done) noexcept;
  bool try_wake(Worker& w) noexcept;
  bool wake_any() noexcept;
  // With a caller polling: true if it ran since our last look.
  bool caller_ran(Worker& self) noexcept {
    const std::uint32_t beat = caller_beat.load(std::memory_order_relaxed);
    if (beat == self.seen_beat) return false;
    self.seen_beat = beat;
    return true;
  }
  // Whether the poller should give way on processor `cpu`. For a worker
  // (`self`): another awake worker or a polling caller was last seen there.
  // For a caller (nullptr): a worker running a job was.
  bool cpu_shared(int cpu, const Worker* self) const noexcept;
  static void note_cpu(std::atomic<int>& where, int cpu) noexcept {
    // Store only on a change: the line is read by every poller.
    if (where.load(std::memory_order_relaxed) != cpu) where.store(cpu, std::memory_order_relaxed);
  }
  void wake_helper_if_useful() noexcept;
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

// Polls for work until some turns up (returned), done() holds or the spin
// time is over (nullptr).
template <class Done>
Job* PoolState::spin(Worker& self, Done& done) noexcept {
  const auto start = Clock::now();
  unsigned caller_stalled = 0;  // our rounds since a polling caller last ran
  for (unsigned round = 1;; ++round) {
    if (done()) return nullptr;
    if (Job* job = find_work(self)) return job;
    const int cpu = current_cpu();
    note_cpu(self.cpu, cpu);
    bool give_way = cpu < 0 || round % 16 == 0 || cpu_shared(cpu, &self);
    if (polling_callers.load(std::memory_order_relaxed) != 0) {
      if (caller_ran(self)) {
        caller_stalled = 0;
      } else if (++caller_stalled >= 2) {
        give_way = true;  // it is not running: it may be queued behind us
      }
    }
    if (give_way) {
      std::this_thread::yield();
    } else {
      for (int k = 0; k < 8; ++k) cpu_relax();
    }
    if (round % 4 == 0 && Clock::now() - start > kWorkerSpin) return nullptr;
  }
}

template <class Done>
void PoolState::work_until(Worker& self, Done done) noexcept {
  while (!done()) {
    Job* job = find_work(self);
    if (job == nullptr) {
      // seq_cst: counted before we look again (inside spin(), then sleep()),
      // so a submitter that sees no spinner and no sleeper has been seen by
      // us; see submit().
      spinners.fetch_add(1, std::memory_order_seq_cst);
      job = spin(self, done);
      spinners.fetch_sub(1, std::memory_order_seq_cst);
      if (job == nullptr) {
        if (!done()) sleep(self, done);
        continue;
      }
    }
    note_cpu(self.cpu, current_cpu());
    self.seen_beat = caller_beat.load(std::memory_order_relaxed);
    self.busy.store(true, std::memory_order_relaxed);
    job->execute(job, self);
    self.busy.store(false, std::memory_order_relaxed);
  }
}

}  // namespace nimbra::runtime::detail
