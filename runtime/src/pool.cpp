// Worker threads, the shared queue, and where a worker looks for work.
#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "pool_state.hpp"
#include "processors.hpp"

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace nimbra::runtime::detail {

thread_local Worker* tl_worker = nullptr;

// ---- shared queue ------------------------------------------------------------------

void Injector::push(Job* job) noexcept {
  update(job->next, static_cast<Job*>(nullptr));
  Job* free_slot = nullptr;
  // release: a worker that takes the job (acquire) sees it whole.
  if (slot_.compare_exchange_strong(free_slot, job, std::memory_order_release,
                                    std::memory_order_relaxed)) {
    return;
  }
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
  // The list first: its jobs are older than whatever holds the slot now.
  if (size_.load(std::memory_order_acquire) != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Job* job = head_; job != nullptr) {
      head_ = job->next;
      if (head_ == nullptr) tail_ = nullptr;
      size_.store(size_.load(std::memory_order_relaxed) - 1, std::memory_order_release);
      return job;
    }
  }
  if (slot_.load(std::memory_order_relaxed) == nullptr) return nullptr;
  Job* job = slot_.exchange(nullptr, std::memory_order_acquire);
  // Only roots come through here, and a root's records fill three lines
  // (fork_join.cpp): ask for the third now too.
  if (job != nullptr) __builtin_prefetch(reinterpret_cast<const char*>(job) + 128);
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
  if (const std::size_t allowed = affinity_processor_count(); allowed > 0) processors = static_cast<int>(allowed);
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
  stop_workers();
  for (auto& t : threads) t.join();
}

void PoolState::worker_main(Worker& self) noexcept {
  tl_worker = &self;
  name_thread(self.index);
  while (phase.load(std::memory_order_acquire) == 0) wait_on(phase, 0);
  work_until(self, [this] { return phase.load(std::memory_order_acquire) == 2; }, false);
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

}  // namespace nimbra::runtime::detail
