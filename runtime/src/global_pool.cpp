// The process-wide pool: created on first use, never destroyed, and made anew
// in a child process after fork().
#include <atomic>
#include <cstdlib>
#include <mutex>

#include <pthread.h>

#include "nimbra/runtime/pool.hpp"

namespace nimbra::runtime {
namespace {

// acquire/release: a thread that sees the pointer sees the constructed pool.
std::atomic<WorkerPool*> g_pool{nullptr};
// Serialises creation. Also held across fork() (see below), so the child never
// inherits it locked by a thread that does not exist there.
std::mutex g_create;

void before_fork() noexcept { g_create.lock(); }
void after_fork_parent() noexcept { g_create.unlock(); }
void after_fork_child() noexcept {
  // The parent's workers do not exist here. Forget the pool without touching
  // it (its locks may be held by those vanished threads, its threads cannot
  // be joined) and let the next global_pool() build a fresh one. The old pool
  // is leaked on purpose.
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create.unlock();  // locked by this thread in before_fork()
}

WorkerPool* create_pool() {
  static const bool registered = [] {
    pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child);
    return true;
  }();
  (void)registered;
  const std::size_t count = worker_count_from_env(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processor_count());
  return new WorkerPool(count);  // never deleted: the pool lives until the process ends
}

}  // namespace

WorkerPool& global_pool() {
  if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(g_create);
  WorkerPool* pool = g_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    pool = create_pool();
    g_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

std::size_t worker_count() { return global_pool().worker_count(); }

void start_global_pool() { (void)global_pool(); }

}  // namespace nimbra::runtime
