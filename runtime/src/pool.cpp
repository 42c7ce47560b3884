// Worker threads, the shared queue, and sleeping and waking.
#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "pool_state.hpp"

#if defined(__linux__)
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace nimbra::runtime::detail {

thread_local Worker* tl_worker = nullptr;

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

// ---- the caller's completion flag ---------------------------------------------------

void CallerSignal::set() noexcept {
  // release: the job's result and everything the pieces wrote are visible to
  // the caller once it reads 1 (acquire).
  if (state.exchange(1, std::memory_order_release) == 2) wake_one(state);
}

// ---- shared queue ------------------------------------------------------------------

void Injector::push(Job* job) noexcept {
  job->next = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (tail_ != nullptr) {
    tail_->next = job;
  } else {
    head_ = job;
  }
  tail_ = job;
  size_.store(size_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

Job* Injector::try_pop() noexcept {
  if (empty_hint()) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  Job* job = head_;
  if (job == nullptr) return nullptr;
  head_ = job->next;
  if (head_ == nullptr) tail_ = nullptr;
  size_.store(size_.load(std::memory_order_relaxed) - 1, std::memory_order_release);
  return job;
}

// ---- pool state ------------------------------------------------------------------

namespace {
// A runaway configuration (say a count near 2^64) must not try to start
// threads until the OS gives up; beyond this the split budget still uses the
// configured count.
constexpr std::size_t kMaxThreads = 4096;

void name_thread(std::size_t index) noexcept {
#if defined(__linux__)
  const std::string name = "nimbra-w" + std::to_string(index);
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#else
  (void)index;
#endif
}
}  // namespace

PoolState::PoolState(std::size_t workers_wanted, std::size_t startable_threads) {
  const std::size_t target = std::min(workers_wanted, kMaxThreads);
  workers.reserve(target);  // so the push_back below cannot throw
  threads.reserve(target);
  for (std::size_t i = 0; i < target; ++i) {
    try {
      if (i >= startable_threads) {
        throw std::system_error(EAGAIN, std::generic_category(), "thread start refused");
      }
      auto worker = std::make_unique<Worker>(*this, i);
      Worker* self = worker.get();
      threads.emplace_back([this, self] { worker_main(*self); });
      workers.push_back(std::move(worker));
    } catch (...) {
      // Run with the threads we have; with none, jobs run on their callers.
      break;
    }
  }
  // release: workers wait for this before they look at `workers`.
  phase.store(1, std::memory_order_release);
  wake_all(phase);
}

PoolState::~PoolState() {
  phase.store(2, std::memory_order_seq_cst);
  full_fence();  // pairs with the fence in sleep(): a worker sees the stop, or we see it asleep
  for (auto& w : workers) try_wake(*w);
  for (auto& t : threads) t.join();
}

void PoolState::worker_main(Worker& self) noexcept {
  tl_worker = &self;
  name_thread(self.index);
  while (phase.load(std::memory_order_acquire) == 0) wait_on(phase, 0);
  work_until(self, [this] { return phase.load(std::memory_order_acquire) == 2; });
}

Job* PoolState::find_work(Worker& self) noexcept {
  Job* job = nullptr;
  if (self.deque.pop(job)) return job;
  const std::size_t n = workers.size();
  if (n > 1) {
    // xorshift: a different first victim each time spreads the thieves.
    self.rng ^= self.rng << 13;
    self.rng ^= self.rng >> 7;
    self.rng ^= self.rng << 17;
    const std::size_t first = static_cast<std::size_t>(self.rng % n);
    for (;;) {
      bool contended = false;
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t v = (first + k) % n;
        if (v == self.index) continue;
        switch (workers[v]->deque.steal(job)) {
          case StealOutcome::taken:
            return job;
          case StealOutcome::lost_race:
            contended = true;
            break;
          case StealOutcome::empty:
            break;
        }
      }
      if (!contended) break;
    }
  }
  return injector.try_pop();
}

bool PoolState::work_visible() const noexcept {
  if (!injector.empty_hint()) return true;
  for (const auto& w : workers) {
    if (!w->deque.empty_hint()) return true;
  }
  return false;
}

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

int current_cpu() noexcept {
#if defined(__linux__)
  return sched_getcpu();  // a few ns: read from the kernel's per-thread area
#else
  return -1;
#endif
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
  full_fence();  // the latch store before the read of sleep_state; see sleep()
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
