// How idle threads wait and how they are woken: the pool's sleep/wake
// protocol.
//
// A worker with nothing to do spins for a while (spin()), then sleeps on its
// own sleep_state word (sleep()). Four events may need a sleeping worker:
//   - a piece pushed on a worker's deque (announce_piece()): only for help,
//     since the piece's owner takes it back if nobody else does;
//   - a caller's root job on the shared queue (submit()): needed for
//     progress, nobody else will take it;
//   - a latch that a worker waits on in work_until() (wake_worker());
//   - the pool stopping (stop_workers()).
// The handshake is store-fence-load on both sides. The sleeper stores
// sleep_state = 1, counts itself in `sleepers`, fences, then looks once more
// for work and at its done-test. A waker makes its work or latch visible,
// fences, then reads the counts and sleep_state. Of the two seq_cst fences
// one comes first in their single total order, so either the sleeper sees the
// work or the waker sees the sleeper: a wake-up is never lost. A waker may
// also leave the work to a spinning worker, which leaves the spinner count
// before its last look in sleep().
//
// A caller that is not a worker polls its CallerSignal for a while, waking
// helpers for a job that lasts, then sleeps on the signal (wait_caller()).
#include <chrono>
#include <thread>

#include "pool_state.hpp"

#if defined(__linux__)
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace nimbra::runtime::detail {

// ---- waiting on a word ----------------------------------------------------------

#if defined(__linux__)
// The futex works on the address alone; a wake that arrives after the waiter
// has gone (its word reused or unmapped) is harmless: every wait re-checks its
// condition in a loop.
static std::uint32_t* word_address(std::atomic<std::uint32_t>& word) noexcept {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  return reinterpret_cast<std::uint32_t*>(&word);
}
void wait_on(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  syscall(SYS_futex, word_address(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void wake_one(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, word_address(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
void wake_all(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, word_address(word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}
#else
void wait_on(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  word.wait(expected, std::memory_order_acquire);
}
void wake_one(std::atomic<std::uint32_t>& word) noexcept { word.notify_one(); }
void wake_all(std::atomic<std::uint32_t>& word) noexcept { word.notify_all(); }
#endif

// ---- polling ----------------------------------------------------------------------

// A spinning worker and a waiting caller spin in place while the threads they
// wait for run on other processors, and yield the processor while one was
// last seen on theirs or seems not to be running: two pollers that share a
// processor and spin in place take turns only at time-slice ends, while
// yielding costs a system call (about 0.5 µs here) per look. A caller gives
// way only to workers that run jobs, so an idle worker next to it stays out
// of the way and one on another processor takes the job.
namespace {

using Clock = std::chrono::steady_clock;

// How long a worker with nothing to do keeps looking before it sleeps. A run
// of operations from one caller finds the workers still awake, so a hand-off
// costs a few cache-line transfers instead of a wake-up through the OS (tens
// of µs).
constexpr std::chrono::microseconds kWorkerSpin{100};
// How long a caller polls its completion flag before sleeping on it.
constexpr std::chrono::microseconds kCallerSpin{50};
// A polling caller whose job has run this long wakes a sleeping worker if
// pieces wait and nobody spins (a second chance next to the wake-ups that
// pushes make; a small job is over before a woken worker could arrive).
constexpr std::chrono::microseconds kCallerWakeDelay{10};

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The processor this thread runs on now, or -1 if unknown (then every poll
// yields the processor).
int current_cpu() noexcept {
#if defined(__linux__)
  return sched_getcpu();  // a few ns: read from the kernel's per-thread area
#else
  return -1;
#endif
}

void note_cpu(std::atomic<int>& where, int cpu) noexcept {
  // Store only on a change: the line is read by every poller.
  if (where.load(std::memory_order_relaxed) != cpu) where.store(cpu, std::memory_order_relaxed);
}

}  // namespace

bool PoolState::caller_ran(Worker& self) noexcept {
  const std::uint32_t beat = caller_beat.load(std::memory_order_relaxed);
  if (beat == self.seen_beat) return false;
  self.seen_beat = beat;
  return true;
}

bool PoolState::cpu_shared(int cpu, const Worker* self) const noexcept {
  if (self != nullptr && polling_callers.load(std::memory_order_relaxed) != 0 &&
      polling_caller_cpu.load(std::memory_order_relaxed) == cpu) {
    return true;
  }
  for (const auto& w : workers) {
    // A caller gives way only to workers running jobs: an idle one next to
    // it has nothing to do for it.
    const bool counts = self != nullptr ? w->sleep_state.load(std::memory_order_relaxed) == 0
                                        : w->busy.load(std::memory_order_relaxed);
    if (w.get() != self && counts && w->cpu.load(std::memory_order_relaxed) == cpu) return true;
  }
  return false;
}

// ---- the worker's side --------------------------------------------------------------

void PoolState::work_until(Worker& self, DoneTest done) noexcept {
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

// Polls for work until some turns up (returned), done() holds or the spin
// time is over (nullptr).
Job* PoolState::spin(Worker& self, DoneTest done) noexcept {
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

void PoolState::sleep(Worker& self, DoneTest done) noexcept {
  // Announce first, then look once more: the sleeper's half of the handshake
  // (see the top of this file).
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

// ---- the wakers -------------------------------------------------------------------
// Each publishes first, then fences (the waker's half of the handshake), then
// reads the sleeper state.

bool PoolState::try_wake(Worker& w) noexcept {
  if (w.sleep_state.load(std::memory_order_relaxed) != 1) return false;
  std::uint32_t expected = 1;
  // release: the sleeper reads 0 with acquire and then sees what we published.
  if (!w.sleep_state.compare_exchange_strong(expected, 0, std::memory_order_release,
                                             std::memory_order_relaxed)) {
    return false;
  }
  sleepers.fetch_sub(1, std::memory_order_relaxed);
  wake_one(w.sleep_state);
  return true;
}

bool PoolState::wake_any() noexcept {
  const std::size_t n = workers.size();
  const std::size_t first = wake_cursor.fetch_add(1, std::memory_order_relaxed) % n;
  for (std::size_t k = 0; k < n; ++k) {
    if (try_wake(*workers[(first + k) % n])) return true;
  }
  return false;
}

void PoolState::announce_piece() noexcept {
  // seq_cst fence: our push must be visible before we read the counts below
  // (store-load); pairs with the fence in sleep(): either the sleeper sees
  // the piece, or we see it asleep.
  full_fence();
  // acquire: pairs with the sleeper's increment, so its sleep_state == 1 is
  // visible to try_wake().
  if (sleepers.load(std::memory_order_acquire) == 0) return;
  if (spinners.load(std::memory_order_relaxed) != 0) return;         // one will take it
  wake_any();
}

void PoolState::wake_worker(Worker& waiter) noexcept {
  full_fence();  // the latch store before the read of sleep_state; pairs with sleep()
  try_wake(waiter);
}

void PoolState::submit(Job* root) noexcept {
  injector.push(root);
  // Here a wake-up is needed for progress: nobody else will take the job.
  // The spinner count is read after the fence: a worker that stops spinning
  // decrements it before its last look (in sleep()), so either it sees the
  // job or we see it gone and wake a sleeper. A worker that is busy looks at
  // the shared queue when it is done.
  full_fence();
  if (spinners.load(std::memory_order_seq_cst) != 0) return;
  if (sleepers.load(std::memory_order_acquire) == 0) return;
  wake_any();
}

void PoolState::stop_workers() noexcept {
  phase.store(2, std::memory_order_seq_cst);
  full_fence();  // pairs with the fence in sleep(): a worker sees the stop, or we see it asleep
  for (auto& w : workers) try_wake(*w);
}

// ---- the caller's side ----------------------------------------------------------------

void CallerSignal::set() noexcept {
  // release: the job's result and everything the pieces wrote are visible to
  // the caller once it reads 1 (acquire).
  if (state.exchange(1, std::memory_order_release) == 2) wake_one(state);
}

void PoolState::wake_helper_if_useful() noexcept {
  if (sleepers.load(std::memory_order_acquire) == 0) return;
  if (spinners.load(std::memory_order_relaxed) != 0) return;
  if (work_visible()) wake_any();
}

void PoolState::wait_caller(CallerSignal& signal) noexcept {
  // Poll first: a small job is done within a microsecond or two, far sooner
  // than a sleep and a wake-up through the OS would take. While polling we
  // also wake helpers for a job that lasts (see kCallerWakeDelay).
  polling_callers.fetch_add(1, std::memory_order_seq_cst);
  const auto start = Clock::now();
  for (unsigned round = 1; !signal.is_set(); ++round) {
    const int cpu = current_cpu();
    note_cpu(polling_caller_cpu, cpu);
    caller_beat.fetch_add(1, std::memory_order_relaxed);
    // Yield while a worker running a job was last seen on this processor,
    // while our job is still queued (the worker woken for it has not run yet
    // and may be waiting for this processor), and now and then in any case.
    const bool queued = round > 4 && !injector.empty_hint();
    if (cpu < 0 || queued || round % 16 == 0 || cpu_shared(cpu, nullptr)) {
      std::this_thread::yield();
    } else {
      for (int k = 0; k < 8; ++k) cpu_relax();
    }
    if (round % 4 != 0) continue;
    const auto waited = Clock::now() - start;
    if (waited > kCallerSpin) break;
    if (waited > kCallerWakeDelay) wake_helper_if_useful();
  }
  polling_callers.fetch_sub(1, std::memory_order_seq_cst);
  if (signal.is_set()) return;
  std::uint32_t expected = 0;
  // acquire on failure: we read 1 and are done.
  if (!signal.state.compare_exchange_strong(expected, 2, std::memory_order_acquire)) return;
  while (signal.state.load(std::memory_order_acquire) == 2) wait_on(signal.state, 2);
}

}  // namespace nimbra::runtime::detail
