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

// Tells a worker waiting in work_until() that it may return.
using DoneTest = FunctionRef<bool()>;

struct PoolState {
  PoolState(std::size_t workers, std::size_t startable_threads);
  ~PoolState();

  // Run jobs until done() holds, spinning and then sleeping when there are
  // none. done() becomes true through a store followed by wake_worker(self),
  // or through the pool stopping.
  void work_until(Worker& self, DoneTest done) noexcept;

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
  void sleep(Worker& self, DoneTest done) noexcept;
  Job* spin(Worker& self, DoneTest done) noexcept;
  // Sets phase 2 and wakes every sleeping worker so it sees it.
  void stop_workers() noexcept;
  bool try_wake(Worker& w) noexcept;
  bool wake_any() noexcept;
  // With a caller polling: true if it ran since our last look.
  bool caller_ran(Worker& self) noexcept;
  // Whether the poller should give way on processor `cpu`. For a worker
  // (`self`): another awake worker or a polling caller was last seen there.
  // For a caller (nullptr): a worker running a job was.
  bool cpu_shared(int cpu, const Worker* self) const noexcept;
  void wake_helper_if_useful() noexcept;
  void worker_main(Worker& self) noexcept;
};

}  // namespace nimbra::runtime::detail
