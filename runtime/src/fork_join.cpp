// Division of a job into pieces, the fork-join of two halves, and the entry
// from a calling thread.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <utility>

#include "nimbra/runtime/pool.hpp"
#include "pool_state.hpp"

namespace nimbra::runtime {
namespace detail {
namespace {

// The job records below belong to the thread that waits for them (a piece
// lives on its owner's stack, a caller's records in the caller's thread-local
// storage), and other threads read them while it waits. Each takes whole
// cache lines: a waiting thread keeps writing its stack just below (return
// addresses of the calls in its polling loop), and a record sharing a line
// with that would cost a transfer on every read; whether it does would
// depend on where the randomised stack top fell in each process.

// One call of parallel_for.
struct alignas(64) ForkJoin {
  ForkJoin(RangeBody b, std::size_t s, bool so) noexcept : body(b), splits(s), solo(so) {}
  RangeBody body;
  std::size_t splits;  // worker_count: the root budget and the floor of a re-armed one
  bool solo;           // below kShareWork: its pieces stay on the worker that took the root
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // written once, by the thread that set `failed`
};

std::size_t run_leaf(ForkJoin& fj, std::size_t lo, std::size_t hi) noexcept {
  // relaxed: skipping after a failure only saves work; the error itself
  // reaches the caller through the joins' release/acquire chain.
  if (fj.failed.load(std::memory_order_relaxed)) return 0;
  try {
    return fj.body(lo, hi);
  } catch (...) {
    if (!fj.failed.exchange(true, std::memory_order_relaxed)) fj.error = std::current_exception();
    return 0;
  }
}

std::size_t run_piece(ForkJoin& fj, Worker* self, std::size_t lo, std::size_t hi,
                      std::size_t budget, bool migrated) noexcept;

// The right half of a fork-join, offered to thieves on the owner's deque.
struct alignas(64) PieceJob : Job {
  ForkJoin* fj;
  std::size_t lo, hi, budget;
  Worker* owner;
  std::size_t result = 0;
  std::atomic<std::uint32_t> done{0};

  static void run(Job* job, Worker& thief) noexcept {
    auto* piece = static_cast<PieceJob*>(job);
    thief.pool->leave_spinners(thief);
    thief.pool->spread_out(thief);
    // Only thieves come here (an owner runs its own right half directly, see
    // fork_join()), so the piece has always left the thread that made it.
    piece->result = run_piece(*piece->fj, &thief, piece->lo, piece->hi, piece->budget, true);
    Worker& owner = *piece->owner;
    // release: the owner reads `result` (and the pieces' output) after it
    // sees done with acquire.
    piece->done.store(1, std::memory_order_release);
    // `piece` lives on the owner's stack and may be gone from here on.
    thief.pool->wake_worker(owner);
  }
};

// Both halves on this thread, left first, nothing offered.
std::size_t both_here(ForkJoin& fj, Worker* self, std::size_t lo, std::size_t mid, std::size_t hi,
                      std::size_t budget, bool halves_migrated) noexcept {
  const std::size_t left = run_piece(fj, self, lo, mid, budget, halves_migrated);
  return left + run_piece(fj, self, mid, hi, budget, halves_migrated);
}

// Runs [lo, mid) and [mid, hi) as a fork-join. halves_migrated: both halves
// count as started away from their creator (the root's halves, which the
// caller made and handed to the pool).
std::size_t fork_join(ForkJoin& fj, Worker* self, std::size_t lo, std::size_t mid,
                      std::size_t hi, std::size_t budget, bool halves_migrated) noexcept {
  // No worker threads at all, or a job too small to share: both halves here,
  // left first. Offering the right half would cost a fence and a
  // compare-and-swap on the deque per split, for a piece nobody should take.
  if (self == nullptr || fj.solo) return both_here(fj, self, lo, mid, hi, budget, halves_migrated);
  PieceJob right;
  right.execute = &PieceJob::run;
  right.fj = &fj;
  right.lo = mid;
  right.hi = hi;
  right.budget = budget;
  right.owner = self;
  try {
    self->deque.push(&right);
  } catch (...) {  // no memory to grow the deque: nothing offered, run both here
    return both_here(fj, self, lo, mid, hi, budget, halves_migrated);
  }
  // Offering a piece is real work under way: a worker still counted as a
  // spinner (from a small root job it runs) would keep the helpers asleep.
  self->pool->leave_spinners(*self);
  self->pool->announce_piece();
  const std::size_t left = run_piece(fj, self, lo, mid, budget, halves_migrated);
  Job* top = nullptr;
  if (self->deque.pop(top)) {
    // Whatever the left half pushed was popped or stolen and joined before it
    // returned, so the bottom of our deque is `right`. And if `right` was
    // stolen, so was everything older (thieves take the oldest first): the
    // deque is empty while we help below, and a worker only ever runs its own
    // pieces here, never through PieceJob::run.
    if (top != &right) {
      // Abort, not throw: a worker may not unwind, and `right` may still be queued.
      std::fputs("nimbra: work-stealing deque out of order\n", stderr);
      std::abort();
    }
    return left + run_piece(fj, self, mid, hi, budget, halves_migrated);
  }
  // Stolen: run other pending pieces (other workers', or new jobs from the
  // shared queue) until the thief is done with it.
  self->pool->work_until(
      *self, [&right] { return right.done.load(std::memory_order_acquire) != 0; }, true);
  return left + right.result;
}

std::size_t run_piece(ForkJoin& fj, Worker* self, std::size_t lo, std::size_t hi,
                      std::size_t budget, bool migrated) noexcept {
  const std::size_t len = hi - lo;
  if (len / 2 < 1) return run_leaf(fj, lo, hi);
  if (migrated) {
    // Taken by another thread: give it room to split for the workers that
    // are idle now.
    budget = std::max(budget / 2, fj.splits);
  } else if (budget == 0) {
    return run_leaf(fj, lo, hi);
  } else {
    budget /= 2;
  }
  return fork_join(fj, self, lo, lo + len / 2, hi, budget, false);
}

// The root of a caller's job, picked up from the shared queue.
struct alignas(64) RootJob : Job {
  ForkJoin* fj;
  std::size_t mid, len, budget;
  CallerSignal* signal;
  std::size_t result = 0;

  static void run(Job* job, Worker& worker) noexcept {
    auto* root = static_cast<RootJob*>(job);
    const bool solo = root->fj->solo;
    if (!solo) {
      worker.pool->leave_spinners(worker);
      worker.pool->spread_out(worker);
    }
    // The caller's record outlives the call: a result like the last one is
    // left unwritten, so the caller reads it from its own cache.
    update(root->result, fork_join(*root->fj, &worker, 0, root->mid, root->len, root->budget, true));
    CallerSignal* signal = root->signal;
    // A small job's worker leaves the signal's line alone until it sets it:
    // reading it first would fetch the line twice.
    const int home = solo ? -1 : signal->home_cpu;
    signal->set();  // the caller may rewrite `root` for its next job from here on
    if (!solo) worker.pool->caller_returning(home);
  }
};

thread_local CallerSignal tl_signal;

// What a thread's record holds before its first job (never called).
constexpr std::size_t (*kNoBody)(std::size_t, std::size_t) = [](std::size_t, std::size_t) {
  return std::size_t{0};
};

// A calling thread's job records, side by side and kept from one call to the
// next (one job at a time per thread: the caller waits for it and never runs
// pieces). The worker that takes the root reads the fork-join record and the
// body's state next, from the two lines after the root's, and asks for them
// together with the root's (Injector and work_until()). The body's state is
// copied here when a byte copy will do; left in the caller's frames it would
// be one more line fetched only after the fork-join record had arrived.
struct alignas(64) CallerJob {
  RootJob root;
  ForkJoin fj{RangeBody(kNoBody), 0, true};
  alignas(64) unsigned char body_state[64] = {};

  // Fills the records for a job of `len` items; the caller then submits
  // `root`.
  void prepare(RangeBody body, std::size_t splits, bool solo, std::size_t len, CallerSignal* signal) noexcept {
    if (const std::size_t size = body.copy_size(); size != 0 && size <= sizeof body_state) {
      body = body.copied_to(body_state);
    }
    update(fj.body, body);
    update(fj.splits, splits);
    update(fj.solo, solo);
    update(root.execute, &RootJob::run);
    update(root.fj, &fj);
    // The root piece is examined here: not migrated, budget worker_count >= 1,
    // so it splits with half the budget, and the fork-join of its halves goes
    // to the pool.
    update(root.mid, len / 2);
    update(root.len, len);
    update(root.budget, splits / 2);
    update(root.signal, signal);
  }
};
static_assert(sizeof(RootJob) == 64 && sizeof(ForkJoin) == 64,
              "the fork-join record and the body state start on the next lines");

thread_local CallerJob tl_job;

}  // namespace
}  // namespace detail

WorkerPool::WorkerPool(std::size_t workers)
    : WorkerPool(workers, std::numeric_limits<std::size_t>::max()) {}

WorkerPool::WorkerPool(std::size_t workers, std::size_t startable_threads)
    : worker_count_(workers == 0 ? 1 : workers),
      state_(std::make_unique<detail::PoolState>(worker_count_, startable_threads)) {}

WorkerPool::~WorkerPool() = default;

std::size_t WorkerPool::running_threads() const noexcept { return state_->running(); }

bool WorkerPool::on_worker_thread() const noexcept {
  return detail::tl_worker != nullptr && detail::tl_worker->pool == state_.get();
}

std::size_t WorkerPool::parallel_for(std::size_t len, RangeBody body, std::size_t work) {
  using namespace detail;
  if (len <= 1) return body(0, len);
  const bool solo = work < kShareWork;
  if (const bool nested = on_worker_thread(); nested || state_->running() == 0) {
    ForkJoin fj(body, worker_count_, solo);
    // A body calling in again runs the nested job on this worker, offering
    // halves to the others as usual: blocking here could deadlock the pool.
    // Without worker threads the caller runs the job, divided the same way.
    const std::size_t total = nested
                                  ? run_piece(fj, tl_worker, 0, len, worker_count_, false)
                                  : fork_join(fj, nullptr, 0, len / 2, len, worker_count_ / 2, true);
    if (fj.error) std::rethrow_exception(fj.error);
    return total;
  }
  CallerJob& job = tl_job;
  CallerSignal& signal = tl_signal;
  const std::uint32_t ticket = signal.ticket();
  job.prepare(body, worker_count_, solo, len, &signal);
  const bool woke = state_->submit(&job.root, signal, solo);
  state_->wait_caller(signal, ticket, solo, woke);
  if (job.fj.failed.load(std::memory_order_relaxed)) {
    job.fj.failed.store(false, std::memory_order_relaxed);
    if (std::exception_ptr error = std::exchange(job.fj.error, nullptr)) std::rethrow_exception(error);
  }
  return job.root.result;
}

std::size_t parallel_for(std::size_t len, RangeBody body, std::size_t work) {
  return global_pool().parallel_for(len, body, work);
}

}  // namespace nimbra::runtime
