// Inside the pool: jobs, the shared queue, workers, and the state they share.
// How idle threads sleep and are woken is in sleep_wake.cpp; what runs on the
// threads is in fork_join.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "nimbra/runtime/deque.hpp"
#include "nimbra/runtime/function_ref.hpp"

namespace nimbra::runtime::detail {

// ---- waiting on a 32-bit word ------------------------------------------------

// Blocks while *word == expected (may return spuriously).
void wait_on(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;
// Wakes threads blocked in wait_on(word, ...).
void wake_one(std::atomic<std::uint32_t>& word) noexcept;
void wake_all(std::atomic<std::uint32_t>& word) noexcept;

// Stores only a changed value. The worker that ran a caller's previous job
// still holds the lines it read; a line the caller leaves alone stays valid
// there, so a loop of like calls moves no record line between the cores.
template <class T>
void update(T& field, const T& value) noexcept {
  if (!(field == value)) field = value;
}
// The same for a hint that pollers read: relaxed, the line left shared when
// nothing changed.
template <class T>
void update(std::atomic<T>& hint, T value) noexcept {
  if (hint.load(std::memory_order_relaxed) != value) hint.store(value, std::memory_order_relaxed);
}

// ---- jobs --------------------------------------------------------------------

struct Worker;

// A unit a worker can run: the root of a caller's job (via the shared queue)
// or the right half of a fork-join (via a worker's deque). Lives on the stack
// of the thread that waits for it.
struct Job {
  void (*execute)(Job* self, Worker& worker) noexcept;
  Job* next = nullptr;  // link in the shared queue
};

// The caller's side of a root job, kept by the calling thread from one job
// to the next. The worker that finishes a job adds 2 to `state`; bit 0 says
// the caller sleeps on it. The caller never resets it: it notes the value
// before it submits and waits for a change, so between two jobs the line is
// written only by the worker that sets it.
struct alignas(64) CallerSignal {
  static constexpr std::uint32_t kAsleep = 1;
  std::atomic<std::uint32_t> state{0};
  int home_cpu = -1;  // the caller's processor when it submitted (a hint)

  // Before submitting: the value that is_set() compares with.
  std::uint32_t ticket() const noexcept { return state.load(std::memory_order_relaxed) & ~kAsleep; }
  void set() noexcept;  // the last access to this job by the worker
  bool is_set(std::uint32_t ticket) const noexcept {
    return (state.load(std::memory_order_acquire) & ~kAsleep) != ticket;
  }
};

// The shared queue for root jobs from threads that are not workers. A job
// goes into the single slot when it is free (one compare-and-swap, no lock:
// the usual case of one caller at a time), else onto a mutex-guarded list.
// The atomic count and the slot let idle workers poll it without the lock.
class Injector {
 public:
  void push(Job* job) noexcept;
  Job* try_pop() noexcept;
  bool empty_hint() const noexcept {
    return slot_.load(std::memory_order_acquire) == nullptr &&
           size_.load(std::memory_order_acquire) == 0;
  }

 private:
  alignas(64) std::atomic<Job*> slot_{nullptr};
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
  // In the spinner count (owner only). A worker stays counted while it runs
  // a small root job: it looks at the shared queue again within one such
  // job, so a caller that submits its next job the moment this one is done
  // need wake nobody, and the count's line is left alone in a loop of small
  // jobs instead of being written twice per job.
  bool counted = false;
};

// The worker this thread is, or nullptr on any other thread.
extern thread_local Worker* tl_worker;

// Tells a worker waiting in work_until() that it may return.
using DoneTest = FunctionRef<bool()>;

struct PoolState {
  PoolState(std::size_t workers, std::size_t startable_threads);
  ~PoolState();

  // Run jobs until done() holds, spinning and then sleeping when there are
  // none. done() becomes true through a store followed by wake_worker(self),
  // or through the pool stopping. `joining`: waiting for a stolen piece
  // rather than idle.
  void work_until(Worker& self, DoneTest done, bool joining) noexcept;

  Job* find_work(Worker& self) noexcept;
  bool work_visible() const noexcept;

  // After pushing a piece on a worker's deque. Pieces never need a wake-up to
  // make progress (their owner takes them back), so this only brings help:
  // a sleeper is woken when nobody spins. Cheap when nobody sleeps: a fence
  // and a load.
  void announce_piece() noexcept;
  // After setting a latch that `waiter` may be sleeping on.
  void wake_worker(Worker& waiter) noexcept;
  // Hands a caller's root job to the workers: a job below kShareWork
  // (`solo`) wakes one worker if none spins, any other job every sleeper.
  // True if it woke one.
  bool submit(Job* root, CallerSignal& signal, bool solo) noexcept;
  // After a shared job's signal is set: its caller is about to run again on
  // processor `home_cpu`, so idle workers leave it (crowded()). After, not
  // before: a worker that left first could let that processor go idle, and
  // waking the caller there would then take tens of µs.
  void caller_returning(int home_cpu) noexcept;
  // Before a worker runs a piece of a shared job: if another worker already
  // runs one on this processor while one of ours has none, move there.
  void spread_out(Worker& self) noexcept;
  // A worker about to run a piece, or a job that shares its pieces, leaves
  // the spinner count if it is in it; see Worker::counted.
  void leave_spinners(Worker& self) noexcept;
  // The caller's side: poll for a while, then sleep. `woke`: what submit()
  // returned; `ticket`: the signal's ticket() before the job was submitted.
  void wait_caller(CallerSignal& signal, std::uint32_t ticket, bool solo, bool woke) noexcept;

  std::size_t running() const noexcept { return workers.size(); }

  std::vector<std::unique_ptr<Worker>> workers;  // fixed once the threads run
  // Processors the process may run on when the pool started (a hint).
  int processors = 1;
  std::vector<std::thread> threads;
  Injector injector;
  alignas(64) std::atomic<std::uint32_t> sleepers{0};
  std::atomic<std::uint32_t> spinners{0};
  std::atomic<std::uint32_t> wake_cursor{0};
  // The processor of the latest caller while it runs (between jobs, or
  // polling for a job below kShareWork); -1 while it waits for a shared
  // job, which may want a worker on its processor. A hint, relaxed.
  alignas(64) std::atomic<int> caller_cpu{-1};
  // 0 starting, 1 running, 2 stopping. Workers wait at 0 until the set of
  // workers is final.
  alignas(64) std::atomic<std::uint32_t> phase{0};

 private:
  void sleep(Worker& self, DoneTest done) noexcept;
  Job* spin(Worker& self, DoneTest done, bool joining) noexcept;
  // Sets phase 2 and wakes every sleeping worker so it sees it.
  void stop_workers() noexcept;
  bool try_wake(Worker& w) noexcept;
  bool wake_any() noexcept;
  // Whether an idle worker on processor `cpu` would take time that a running
  // caller or an earlier awake worker needs there.
  bool crowded(int cpu, const Worker& self) const noexcept;
  // Whether a worker running a job was last seen on processor `cpu`.
  bool busy_worker_on(int cpu) const noexcept;
  // Whether two awake workers were last seen on one processor other than
  // `caller` (the first such pair found; with more workers than processors
  // there always is one).
  bool workers_doubled_up(int caller) const noexcept;
  void worker_main(Worker& self) noexcept;
};

}  // namespace nimbra::runtime::detail
