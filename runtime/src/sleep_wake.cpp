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
// before its last look in sleep(). A worker running a small root job stays
// in the count (it looks at the shared queue within one such job), so in a
// loop of small jobs nobody writes the count's line.
//
// Who may spin where: one poller per processor. An idle worker on the
// processor of a running caller, or beside an earlier awake worker, sleeps
// at once instead of spinning: with as many workers as processors one of
// them always shares the caller's, and the scheduler does not reliably hand
// a processor over on sched_yield, so a spinner there delays the caller by
// whole time slices. The worker left spinning elsewhere takes the next
// small job at once. While a caller waits for a shared job it gives up its
// processor's claim (caller_cpu = -1), so a worker there may run pieces;
// the worker that finishes the job hands the claim back (caller_returning()).
// A caller polls its CallerSignal for a while, then sleeps on it
// (wait_caller()); a shared job's caller sleeps at once when the job's
// workers have crowded onto one processor. A worker that starts a shared
// job's piece beside another awake worker moves itself to a processor
// without one (spread_out()).
#include <chrono>
#include <thread>
#include <utility>

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

namespace {

using Clock = std::chrono::steady_clock;

// How long a worker with nothing to do keeps looking before it sleeps. A run
// of operations from one caller finds a worker still awake, so a hand-off
// costs a few cache-line transfers instead of a wake-up through the OS (tens
// of µs on a processor that went idle). Long enough to outlast the work a
// caller does on its own thread between pool jobs in a small network (a
// [64,784] x [784,256] matmul takes about 0.3 ms), short enough that an idle
// process stops burning a processor within a millisecond.
constexpr std::chrono::microseconds kWorkerSpin{1000};
// How long a caller polls its completion flag before sleeping on it. A small
// job that lasts longer is waiting for a worker's wake-up (tens of µs when
// its processor was idle); polling through it spares the caller a second
// wake-up of its own (a processor that went idle takes tens of µs to wake
// even when the job itself is long). A shared job's caller polls less when a
// worker may want its processor, i.e. when there are as many workers as
// processors.
constexpr std::chrono::microseconds kCallerSpinSolo{200};
constexpr std::chrono::microseconds kCallerSpinShared{50};

// One per polling round: on current x86 parts a pause lasts tens of ns, and
// every one between two looks at a flag adds to the hand-off's latency.
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

}  // namespace

bool PoolState::crowded(int cpu, const Worker& self) const noexcept {
  if (caller_cpu.load(std::memory_order_relaxed) == cpu) return true;
  for (const auto& w : workers) {
    if (w.get() == &self) break;  // of two idle workers on one processor, the first stays
    if (w->sleep_state.load(std::memory_order_relaxed) == 0 &&
        w->cpu.load(std::memory_order_relaxed) == cpu) {
      return true;
    }
  }
  return false;
}

bool PoolState::busy_worker_on(int cpu) const noexcept {
  for (const auto& w : workers) {
    if (w->busy.load(std::memory_order_relaxed) && w->cpu.load(std::memory_order_relaxed) == cpu) {
      return true;
    }
  }
  return false;
}

bool PoolState::workers_doubled_up(int caller) const noexcept {
  int seen = -1;
  for (const auto& w : workers) {
    if (w->sleep_state.load(std::memory_order_relaxed) != 0) continue;
    const int c = w->cpu.load(std::memory_order_relaxed);
    if (c < 0 || c == caller) continue;
    if (c == seen) return true;
    seen = c;
  }
  return false;
}

// ---- the worker's side --------------------------------------------------------------

// Two workers that run one job on one processor while another processor of
// ours has none halve the job's speed, and the scheduler does not correct
// it: a processor that goes idle only briefly (between a caller's jobs) does
// not pull work, and the periodic balancing took tens of ms here. The later
// of the two moves itself: a mask of the free processor alone migrates it
// there at once, and the old mask put back right after keeps it free to move
// again. Checked only for shared jobs, whose pieces are worth the scan.
void PoolState::spread_out(Worker& self) noexcept {
#if defined(__linux__)
  const int cpu = current_cpu();
  update(self.cpu, cpu);
  if (cpu < 0 || cpu >= CPU_SETSIZE || workers.size() < 2) return;
  // Doubled: another awake worker here that runs a job too (of two such,
  // the first stays), or one that waits for the processor we hold.
  bool doubled = false;
  cpu_set_t taken;
  CPU_ZERO(&taken);
  CPU_SET(cpu, &taken);
  for (const auto& w : workers) {
    if (w.get() == &self || w->sleep_state.load(std::memory_order_relaxed) != 0) continue;
    const int c = w->cpu.load(std::memory_order_relaxed);
    if (c < 0 || c >= CPU_SETSIZE) continue;
    CPU_SET(c, &taken);
    if (c == cpu && (!w->busy.load(std::memory_order_relaxed) || w->index < self.index)) {
      doubled = true;
    }
  }
  // With every processor taken (more workers than processors) there is
  // nowhere to go: spare the system calls.
  if (!doubled || CPU_COUNT(&taken) >= processors) return;
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (!CPU_ISSET(c, &allowed) || CPU_ISSET(c, &taken)) continue;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(c, &only);
    if (sched_setaffinity(0, sizeof only, &only) == 0) {
      sched_setaffinity(0, sizeof allowed, &allowed);
      update(self.cpu, current_cpu());
    }
    return;
  }
#else
  (void)self;
#endif
}

void PoolState::work_until(Worker& self, DoneTest done, bool joining) noexcept {
  while (!done()) {
    Job* job = find_work(self);
    if (job == nullptr) {
      // seq_cst: counted before we look again (inside spin(), then sleep()),
      // so a submitter that sees no spinner and no sleeper has been seen by
      // us; see submit().
      if (!std::exchange(self.counted, true)) spinners.fetch_add(1, std::memory_order_seq_cst);
      job = spin(self, done, joining);
      if (job == nullptr) {
        leave_spinners(self);
        if (!done()) sleep(self, done);
        continue;
      }
    }
    // Every job record spans two lines (a root and its fork-join record, or
    // a piece); ask for the second while the first is on its way.
    __builtin_prefetch(reinterpret_cast<const char*>(job) + 64);
    update(self.cpu, current_cpu());
    self.busy.store(true, std::memory_order_relaxed);
    job->execute(job, self);
    self.busy.store(false, std::memory_order_relaxed);
  }
  leave_spinners(self);
}

void PoolState::leave_spinners(Worker& self) noexcept {
  if (std::exchange(self.counted, false)) spinners.fetch_sub(1, std::memory_order_seq_cst);
}

// Polls for work until some turns up (returned), done() holds or the spin
// time is over (nullptr). An idle worker on a crowded processor stops at
// once; one joining a stolen piece only gives way there, since its wait is
// short and its wake-up would be on the job's path.
Job* PoolState::spin(Worker& self, DoneTest done, bool joining) noexcept {
  const auto start = Clock::now();
  for (unsigned round = 1;; ++round) {
    if (done()) return nullptr;
    if (Job* job = find_work(self)) return job;
    const int cpu = current_cpu();
    update(self.cpu, cpu);
    const bool crowd = cpu >= 0 && crowded(cpu, self);
    if (crowd && !joining) return nullptr;
    // Now and then give way even when the hints say we are alone: a caller
    // that moved here since it last said where it runs would otherwise wait
    // for the rest of our spin.
    if (crowd || cpu < 0 || round % 256 == 0) {
      std::this_thread::yield();
    } else {
      cpu_relax();
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

bool PoolState::submit(Job* root, CallerSignal& signal, bool solo) noexcept {
  // Where we wait: workers keep off that processor (crowded()), unless the
  // job is shared and may want it.
  const int cpu = current_cpu();
  update(signal.home_cpu, cpu);
  update(caller_cpu, solo ? cpu : -1);
  injector.push(root);
  // Here a wake-up is needed for progress: nobody else will take the job.
  // The counts are read after the fence: a worker that stops spinning
  // decrements the spinner count before its last look (in sleep()), so
  // either it sees the job or we see it gone and wake a sleeper. A worker
  // that is busy looks at the shared queue when it is done.
  full_fence();
  if (sleepers.load(std::memory_order_acquire) == 0) return false;
  if (solo) return spinners.load(std::memory_order_seq_cst) == 0 && wake_any();
  // A shared job wants every worker: wake them all now rather than one for
  // each piece offered later, on the pieces' path.
  bool woke = false;
  for (auto& w : workers) woke = try_wake(*w) || woke;
  return woke;
}

void PoolState::caller_returning(int home_cpu) noexcept { update(caller_cpu, home_cpu); }

void PoolState::stop_workers() noexcept {
  phase.store(2, std::memory_order_seq_cst);
  full_fence();  // pairs with the fence in sleep(): a worker sees the stop, or we see it asleep
  for (auto& w : workers) try_wake(*w);
}

// ---- the caller's side ----------------------------------------------------------------

void CallerSignal::set() noexcept {
  // release: the job's result and everything the pieces wrote are visible to
  // the caller once it reads the new value (acquire).
  if (state.fetch_add(2, std::memory_order_release) & kAsleep) wake_one(state);
}

void PoolState::wait_caller(CallerSignal& signal, std::uint32_t ticket, bool solo, bool woke) noexcept {
  // Poll first: a small job is done within a microsecond or two, far sooner
  // than a sleep and a wake-up through the OS would take (tens of µs on a
  // processor that went idle).
  const auto start = Clock::now();
  const auto spin_for =
      solo || workers.size() < static_cast<std::size_t>(processors) ? kCallerSpinSolo : kCallerSpinShared;
  for (unsigned round = 1; !signal.is_set(ticket); ++round) {
    const int cpu = current_cpu();
    if (cpu >= 0 && busy_worker_on(cpu)) {
      // A worker runs our job here, behind us. A small job's worker is the
      // only one: sleep, so it gets the processor at once. A shared job's
      // other worker may finish first and wake us anyway: take turns.
      if (solo) break;
      std::this_thread::yield();
    } else if (!solo && round % 8 == 0 && cpu >= 0 && workers_doubled_up(cpu)) {
      // The job's workers share another processor while ours only polls:
      // sleep, so ours goes idle and the scheduler moves one of them here.
      // It would not on its own: one task here and two there is no
      // imbalance it corrects.
      break;
    } else if (cpu < 0 || woke || (!solo && round % 128 == 0)) {
      // A worker we just woke may have been put on our processor, where it
      // cannot even take the job while we spin.
      std::this_thread::yield();
    } else {
      cpu_relax();
    }
    if (round % 4 == 0 && Clock::now() - start > spin_for) break;
  }
  std::uint32_t expected = ticket;
  // acquire on failure: the job is done and we see what it wrote.
  if (!signal.is_set(ticket) &&
      signal.state.compare_exchange_strong(expected, ticket | CallerSignal::kAsleep,
                                           std::memory_order_acquire)) {
    while (signal.state.load(std::memory_order_acquire) == (ticket | CallerSignal::kAsleep)) {
      wait_on(signal.state, ticket | CallerSignal::kAsleep);
    }
    // Awake and done: take the mark off for the next job. Nobody else writes
    // the word until we submit again.
    signal.state.fetch_and(~CallerSignal::kAsleep, std::memory_order_relaxed);
  }
  update(caller_cpu, current_cpu());
}

}  // namespace nimbra::runtime::detail
