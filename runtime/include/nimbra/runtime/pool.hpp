// The process-wide work-stealing fork-join pool and the data-parallel loops
// the tensor core runs on it.
//
// A job covers items [0, len). It starts as one piece with split budget
// worker_count; a piece is halved while its budget allows (a piece that starts
// on a thread other than the one that made it re-arms its budget, so stolen
// work can be rebalanced), and leaves of at least one item run their items in
// ascending order. Every item is processed exactly once and writes a position
// fixed by its index, so results do not depend on the worker count or the
// schedule.
//
// Threads: a caller that is not a worker hands the split job to the pool and
// waits until it is done, polling for a while and then sleeping; it never runs
// pieces itself. A worker that calls in
// again (a nested loop) runs the nested job inline, offering halves to the
// other workers. If no worker thread could be started, jobs run on the caller.
//
// Exceptions thrown by a body are caught on the thread that ran it; the first
// is rethrown on the caller after the whole job has joined, and pieces that
// had not started yet are skipped.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "nimbra/runtime/function_ref.hpp"

namespace nimbra::runtime {

// The number of processors this process may run on: those of its affinity
// mask (all that the OS reports when the mask cannot be read), or fewer when
// a cgroup CPU quota allows less (rounded up: 1.5 processors give 2); at
// least 1.
std::size_t available_processor_count() noexcept;

// The worker-count rule. Each argument is the variable's text, nullptr when
// unset. A valid value is decimal digits with at most one leading '+', nothing
// else, within 64 bits. RAYON_NUM_THREADS valid: >= 1 is the count, 0 means
// `processors`. Otherwise RAYON_RS_NUM_CPUS valid and >= 1 is the count.
// Otherwise `processors`.
std::size_t worker_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t processors) noexcept;

// body(lo, hi) processes items lo..hi-1 in ascending order and returns how
// many values it wrote.
using RangeBody = FunctionRef<std::size_t(std::size_t, std::size_t)>;

// What a job costs, when the caller can tell: `work` counts the elements of
// an element-wise add that take as long (a softmax element counts several).
// A job below kShareWork (about 35 µs on one core) runs all its pieces on
// the worker that takes it: they are divided by the same budget, but not
// offered to the others and nobody is woken for them, since moving a piece's
// cache lines to another core and waking a helper cost more than the helper
// saves. A job of unknown cost is shared.
inline constexpr std::size_t kShareWork = std::size_t{1} << 18;
inline constexpr std::size_t kWorkUnknown = static_cast<std::size_t>(-1);

namespace detail {
struct PoolState;
}

class WorkerPool {
 public:
  // A pool with `workers` worker threads (0 is taken as 1). Threads that
  // cannot be started are done without: the pool keeps its worker_count (the
  // split budget) and runs on whatever started, or on the caller if nothing
  // did.
  explicit WorkerPool(std::size_t workers);
  // Test seam for the path above: only the first `startable_threads` threads
  // start; starting any further one fails as if the OS had refused it.
  WorkerPool(std::size_t workers, std::size_t startable_threads);
  // Stops and joins the workers. No job may be running. The global pool is
  // never destroyed.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t worker_count() const noexcept { return worker_count_; }
  // Threads actually running (worker_count unless starting some failed).
  std::size_t running_threads() const noexcept;
  // True on one of this pool's worker threads.
  bool on_worker_thread() const noexcept;

  // Fork-join over items [0, len); returns the sum of the leaves' counts.
  // len <= 1: body(0, len) on the calling thread. `work`: see kShareWork.
  std::size_t parallel_for(std::size_t len, RangeBody body, std::size_t work = kWorkUnknown);

 private:
  std::size_t worker_count_;
  std::unique_ptr<detail::PoolState> state_;
};

// The process-wide pool, created on the first call (exactly once, even when
// several threads call together), sized by worker_count_from_env() from
// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS. A child made by fork() gets a fresh
// pool on its first call; the parent's is abandoned there.
WorkerPool& global_pool();

// global_pool().worker_count(); creates the pool if needed.
std::size_t worker_count();

// Creates the global pool if it does not exist yet, as the first element-wise
// operation or softmax of a process must even when it has nothing to hand out.
void start_global_pool();

// global_pool().parallel_for(len, body, work).
std::size_t parallel_for(std::size_t len, RangeBody body, std::size_t work = kWorkUnknown);

// Each leaf gets its whole range so it can run a vector kernel: leaf(lo, hi)
// writes outputs lo..hi-1 of the n-element array it refers to.
template <class Leaf>
void parallel_collect_ranges(WorkerPool& pool, std::size_t n, Leaf&& leaf,
                             std::size_t work = kWorkUnknown) {
  // The pieces read the body from another core: by value, the leaf's state
  // sits in one place instead of behind references into several frames.
  auto body = [leaf](std::size_t lo, std::size_t hi) -> std::size_t {
    leaf(lo, hi);
    return hi - lo;
  };
  const std::size_t written = pool.parallel_for(n, body, work);
  if (written != n) {
    throw std::logic_error("parallel_collect_ranges: pieces wrote " + std::to_string(written) +
                           " values for " + std::to_string(n) + " outputs");
  }
}

template <class Leaf>
void parallel_collect_ranges(std::size_t n, Leaf&& leaf, std::size_t work = kWorkUnknown) {
  parallel_collect_ranges(global_pool(), n, std::forward<Leaf>(leaf), work);
}

// out[i] = f(i) for i in [0, n), the same pieces one item at a time. f may be
// called from several threads at once.
template <class F>
void parallel_collect(WorkerPool& pool, std::size_t n, float* out, F&& f) {
  parallel_collect_ranges(pool, n, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) out[i] = f(i);
  });
}

template <class F>
void parallel_collect(std::size_t n, float* out, F&& f) {
  parallel_collect(global_pool(), n, out, std::forward<F>(f));
}

// Cuts data[0..len) into consecutive chunks of `chunk` elements (the last one
// shorter) and hands each leaf its whole run of consecutive chunks at once:
// f(first_chunk, chunk_count, run_ptr, run_len), so it can work on several
// chunks side by side. chunk must be > 0 (std::logic_error otherwise).
template <class F>
void parallel_chunk_runs(WorkerPool& pool, float* data, std::size_t len, std::size_t chunk, F&& f,
                         std::size_t work = kWorkUnknown) {
  if (chunk == 0) throw std::logic_error("parallel_chunk_runs: chunk length must be > 0");
  const std::size_t chunks = len / chunk + (len % chunk != 0 ? 1 : 0);
  auto body = [data, len, chunk, f](std::size_t lo, std::size_t hi) -> std::size_t {
    if (lo < hi) {
      const std::size_t start = lo * chunk;
      const std::size_t end = hi * chunk < len ? hi * chunk : len;
      f(lo, hi - lo, data + start, end - start);
    }
    return hi - lo;
  };
  const std::size_t done = pool.parallel_for(chunks, body, work);
  if (done != chunks) {
    throw std::logic_error("parallel_chunk_runs: pieces handled " + std::to_string(done) +
                           " chunks of " + std::to_string(chunks));
  }
}

template <class F>
void parallel_chunk_runs(float* data, std::size_t len, std::size_t chunk, F&& f,
                         std::size_t work = kWorkUnknown) {
  parallel_chunk_runs(global_pool(), data, len, chunk, std::forward<F>(f), work);
}

// The same pieces on the same threads, one call per chunk:
// f(chunk_index, chunk_ptr, chunk_len).
template <class F>
void parallel_chunks(WorkerPool& pool, float* data, std::size_t len, std::size_t chunk, F&& f,
                     std::size_t work = kWorkUnknown) {
  parallel_chunk_runs(pool, data, len, chunk, [&](std::size_t first, std::size_t count, float* run, std::size_t run_len) {
    for (std::size_t c = 0; c < count; ++c) {
      const std::size_t offset = c * chunk;
      const std::size_t rest = run_len - offset;
      f(first + c, run + offset, rest < chunk ? rest : chunk);
    }
  }, work);
}

template <class F>
void parallel_chunks(float* data, std::size_t len, std::size_t chunk, F&& f,
                     std::size_t work = kWorkUnknown) {
  parallel_chunks(global_pool(), data, len, chunk, std::forward<F>(f), work);
}

}  // namespace nimbra::runtime
