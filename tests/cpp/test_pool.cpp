// The worker pool: every item exactly once and in place for any worker count,
// the division of a job, who runs what, failures, nesting, many callers,
// sleeping workers, pools without threads, and fork().
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "nimbra/runtime/pool.hpp"

namespace nimbra::runtime {
namespace {

using Range = std::pair<std::size_t, std::size_t>;

// Distinct value per index, exact in f32 for the sizes used here.
float value_at(std::size_t i) { return static_cast<float>(i) * 0.5f + 1.0f; }

WorkerPool& pool_of(std::size_t workers) {
  static std::mutex m;
  static std::vector<std::unique_ptr<WorkerPool>> pools;
  std::lock_guard<std::mutex> lock(m);
  for (auto& p : pools) {
    if (p->worker_count() == workers) return *p;
  }
  pools.push_back(std::make_unique<WorkerPool>(workers));
  return *pools.back();
}

// ---- every item exactly once, in place ------------------------------------------

class EveryItemOnce : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(EveryItemOnce, Collect) {
  const auto [workers, n] = GetParam();
  WorkerPool& pool = pool_of(workers);
  std::vector<std::atomic<int>> calls(n);
  std::vector<float> out(n + 1, -7.0f);  // one guard element past the end
  parallel_collect(pool, n, out.data(), [&](std::size_t i) {
    calls[i].fetch_add(1, std::memory_order_relaxed);
    return value_at(i);
  });
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(calls[i].load(), 1) << "index " << i;
    ASSERT_EQ(out[i], value_at(i)) << "index " << i;
  }
  EXPECT_EQ(out[n], -7.0f);
}

// Shared jobs and jobs small enough to stay on one worker alike.
TEST_P(EveryItemOnce, CollectRanges) {
  const auto [workers, n] = GetParam();
  WorkerPool& pool = pool_of(workers);
  for (const std::size_t work : {kWorkUnknown, std::size_t{1}}) {
    std::vector<float> out(n + 1, -7.0f);
    std::mutex m;
    std::vector<Range> leaves;
    parallel_collect_ranges(
        pool, n,
        [&](std::size_t lo, std::size_t hi) {
          for (std::size_t i = lo; i < hi; ++i) out[i] = value_at(i);
          std::lock_guard<std::mutex> lock(m);
          leaves.emplace_back(lo, hi);
        },
        work);
    // The leaves tile [0, n) without gaps or overlaps.
    std::sort(leaves.begin(), leaves.end());
    std::size_t at = 0;
    for (const auto& [lo, hi] : leaves) {
      ASSERT_EQ(lo, at) << "work " << work;
      ASSERT_TRUE(hi > lo || n == 0);
      at = hi;
    }
    EXPECT_EQ(at, n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], value_at(i)) << "index " << i;
    EXPECT_EQ(out[n], -7.0f);
  }
}

// Chunks one by one and in runs: each chunk handled exactly once, pointers and
// lengths covering exactly its elements (the last chunk possibly short).
TEST_P(EveryItemOnce, Chunks) {
  const auto [workers, n] = GetParam();
  WorkerPool& pool = pool_of(workers);
  for (const bool runs : {false, true}) {
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
      std::vector<float> data(n + 1, 0.0f);
      for (std::size_t i = 0; i < n; ++i) data[i] = value_at(i);
      const std::size_t chunks = (n + chunk - 1) / chunk;
      std::vector<std::atomic<int>> calls(chunks);
      const auto visit = [&](std::size_t first, std::size_t count, float* p, std::size_t len) {
        ASSERT_GE(count, 1u);
        ASSERT_EQ(p, data.data() + first * chunk);
        ASSERT_EQ(len, std::min(count * chunk, n - first * chunk));
        for (std::size_t c = first; c < first + count; ++c) calls[c].fetch_add(1, std::memory_order_relaxed);
        for (std::size_t k = 0; k < len; ++k) p[k] = p[k] * 2.0f + 1.0f;
      };
      if (runs) {
        parallel_chunk_runs(pool, data.data(), n, chunk, visit);
      } else {
        parallel_chunks(pool, data.data(), n, chunk,
                        [&](std::size_t c, float* p, std::size_t len) { visit(c, 1, p, len); });
      }
      for (std::size_t c = 0; c < chunks; ++c) ASSERT_EQ(calls[c].load(), 1) << "chunk " << c << " runs " << runs;
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(data[i], value_at(i) * 2.0f + 1.0f) << "index " << i;
      EXPECT_EQ(data[n], 0.0f);
    }
  }
  float x = 0.0f;
  EXPECT_THROW(parallel_chunk_runs(pool, &x, 1, 0, [](std::size_t, std::size_t, float*, std::size_t) {}),
               std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndWorkers, EveryItemOnce,
    ::testing::Combine(::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{7}),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{2},
                                         std::size_t{3}, std::size_t{17}, std::size_t{999},
                                         std::size_t{100000})));

TEST(Pool, ChunksOfTenByFour) {
  std::vector<float> data(10, 0.0f);
  std::mutex m;
  std::vector<std::pair<std::size_t, std::size_t>> seen;  // (index, length)
  parallel_chunks(data.data(), data.size(), 4, [&](std::size_t c, float* p, std::size_t len) {
    EXPECT_EQ(p, data.data() + 4 * c);
    std::lock_guard<std::mutex> lock(m);
    seen.emplace_back(c, len);
  });
  std::sort(seen.begin(), seen.end());
  const std::vector<std::pair<std::size_t, std::size_t>> want{{0, 4}, {1, 4}, {2, 2}};
  EXPECT_EQ(seen, want);
}

TEST(Pool, ParallelForAddsTheLeavesCounts) {
  for (const std::size_t workers : {1, 2, 7}) {
    const std::size_t got =
        pool_of(workers).parallel_for(1001, [](std::size_t lo, std::size_t hi) { return 3 * (hi - lo); });
    EXPECT_EQ(got, 3003u) << workers << " workers";
  }
}

// A body's state runs from a byte copy beside the job when one will do (here
// filling the room exactly), else in place; either way whole.
TEST(Pool, BodiesSeeTheirWholeStateCopiedOrInPlace) {
  std::array<float, 14> fits;  // 64 bytes with the output pointer
  std::array<float, 40> too_big;
  fits.fill(2.0f);
  too_big.fill(3.0f);
  const std::vector<float> not_trivial(40, 4.0f);
  std::vector<float> out(1000);
  const auto check = [&](const auto& state, float want) {
    float* o = out.data();
    pool_of(2).parallel_for(out.size(), [o, state](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) o[i] = state[i % state.size()] * (state.back() == state[0]);
      return hi - lo;
    });
    EXPECT_EQ(std::count(out.begin(), out.end(), want), 1000) << want;
  };
  check(fits, 2.0f);
  fits.fill(5.0f);  // the same closure size with other bytes: copied again
  check(fits, 5.0f);
  check(too_big, 3.0f);
  check(not_trivial, 4.0f);
}

// ---- division of a job --------------------------------------------------------------

std::vector<Range> leaves_of(WorkerPool& pool, std::size_t len, std::size_t work = kWorkUnknown) {
  std::mutex m;
  std::vector<Range> leaves;
  pool.parallel_for(len, [&](std::size_t lo, std::size_t hi) {
    std::lock_guard<std::mutex> lock(m);
    leaves.emplace_back(lo, hi);
    return hi - lo;
  }, work);
  std::sort(leaves.begin(), leaves.end());
  return leaves;
}

// With one worker nothing is ever stolen, so the division is deterministic:
// the root splits with budget 1 -> 0; its halves re-arm to max(0, 1) = 1 and
// split; their halves have budget 1 -> 0 and split once more; then budget 0
// stops it. Four levels of halving, eight leaves.
TEST(Division, OneWorkerIsDeterministic) {
  const std::vector<Range> want100{{0, 12},  {12, 25}, {25, 37}, {37, 50},
                                   {50, 62}, {62, 75}, {75, 87}, {87, 100}};
  const std::vector<Range> want3{{0, 1}, {1, 2}, {2, 3}};
  const std::vector<Range> want2{{0, 1}, {1, 2}};
  WorkerPool threaded(1);
  WorkerPool no_threads(1, 0);  // same division when everything runs on the caller
  for (WorkerPool* pool : {&threaded, &no_threads}) {
    EXPECT_EQ(leaves_of(*pool, 100), want100);
    EXPECT_EQ(leaves_of(*pool, 3), want3);
    EXPECT_EQ(leaves_of(*pool, 2), want2);
  }
}

// The leaves of a job nobody steals from, written out from the rule: the
// root and its two halves (handed to the pool) re-arm to worker_count, every
// other piece halves its budget, a budget of 0 or a single item ends it.
void undisturbed(std::size_t lo, std::size_t hi, std::size_t budget, bool rearm, std::size_t workers,
                 std::vector<Range>& out) {
  if ((hi - lo) / 2 < 1 || (!rearm && budget == 0)) {
    out.emplace_back(lo, hi);
    return;
  }
  if (rearm) {
    budget = std::max(budget / 2, workers);
  } else {
    budget /= 2;
  }
  const std::size_t mid = lo + (hi - lo) / 2;
  undisturbed(lo, mid, budget, false, workers, out);
  undisturbed(mid, hi, budget, false, workers, out);
}

// A job too small to share stays on one worker, so on any pool its division
// is the undisturbed one.
TEST(Division, SmallJobsAreDividedAsUndisturbed) {
  for (const std::size_t workers : {1, 2, 3, 8}) {
    for (const std::size_t len : {2, 3, 16, 100, 1001}) {
      std::vector<Range> want;
      const std::size_t mid = len / 2;
      undisturbed(0, mid, workers / 2, true, workers, want);
      undisturbed(mid, len, workers / 2, true, workers, want);
      EXPECT_EQ(leaves_of(pool_of(workers), len, 1), want) << workers << " workers, " << len;
    }
  }
}

TEST(Division, NoEmptyLeavesAndSingleItemsRunAlone) {
  WorkerPool& pool = pool_of(7);
  for (const std::size_t len : {2, 5, 64, 1000}) {
    for (const auto& [lo, hi] : leaves_of(pool, len)) {
      EXPECT_LT(lo, hi);
      EXPECT_LE(hi, len);
    }
  }
}

// ---- who runs what -------------------------------------------------------------------

TEST(Threads, CallerRunsNothingOnceSplitButRunsSingleItems) {
  WorkerPool& pool = pool_of(2);
  const auto caller = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  auto body = [&](std::size_t lo, std::size_t hi) {
    if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
    return hi - lo;
  };
  EXPECT_EQ(pool.parallel_for(1, body), 1u);
  EXPECT_EQ(on_caller.load(), 1);
  EXPECT_EQ(pool.parallel_for(0, body), 0u);
  EXPECT_EQ(on_caller.load(), 2);
  for (int rep = 0; rep < 20; ++rep) pool.parallel_for(1000, body);
  EXPECT_EQ(on_caller.load(), 2);
}

TEST(Threads, ThreadsThatCannotStartLeaveAWorkingPool) {
  for (const std::size_t startable : {0, 1, 2}) {
    WorkerPool pool(4, startable);
    EXPECT_EQ(pool.worker_count(), 4u);
    EXPECT_EQ(pool.running_threads(), startable);
    for (const std::size_t n : {0, 2, 999}) {
      std::vector<float> out(n);
      parallel_collect(pool, n, out.data(), value_at);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], value_at(i));
    }
  }
  WorkerPool zero(0);  // taken as one worker, which does start
  EXPECT_EQ(zero.worker_count(), 1u);
  EXPECT_EQ(zero.running_threads(), 1u);
  WorkerPool none(3, 0);
  const auto caller = std::this_thread::get_id();
  none.parallel_for(100, [&](std::size_t lo, std::size_t hi) {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    return hi - lo;
  });
}

TEST(Threads, FirstExceptionReachesTheCallerAndThePoolStaysUsable) {
  for (const std::size_t workers : {1, 2, 7}) {
    WorkerPool& pool = pool_of(workers);
    std::vector<float> out(1000);
    EXPECT_THROW(
        {
          parallel_collect(pool, out.size(), out.data(), [](std::size_t i) -> float {
            if (i == 617) throw std::runtime_error("bad item");
            return value_at(i);
          });
        },
        std::runtime_error);
    parallel_collect(pool, out.size(), out.data(), value_at);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], value_at(i));
  }
  WorkerPool none(2, 0);
  EXPECT_THROW(none.parallel_for(10, [](std::size_t, std::size_t) -> std::size_t { throw std::logic_error("x"); }),
               std::logic_error);
}

TEST(Threads, NestedLoopsOnWorkersRunInlineWithoutDeadlock) {
  for (const std::size_t workers : {1, 2, 7}) {
    WorkerPool& pool = pool_of(workers);
    constexpr std::size_t kOuter = 40, kInner = 300;
    std::vector<float> out(kOuter * kInner, 0.0f);
    std::atomic<int> nested_off_worker{0};
    parallel_chunks(pool, out.data(), out.size(), kInner, [&](std::size_t c, float* row, std::size_t len) {
      if (!pool.on_worker_thread()) nested_off_worker.fetch_add(1);
      parallel_collect(pool, len, row, [&](std::size_t i) { return value_at(c * kInner + i); });
    });
    EXPECT_EQ(nested_off_worker.load(), 0);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], value_at(i)) << "index " << i;
  }
  // An exception inside a nested loop travels out through both.
  const auto inner = [](std::size_t a, std::size_t b) -> std::size_t {
    if (a <= 5 && 5 < b) throw std::runtime_error("inner");
    return b - a;
  };
  EXPECT_THROW(pool_of(2).parallel_for(
                   8, [&](std::size_t lo, std::size_t hi) { return pool_of(2).parallel_for(8, inner) * 0 + (hi - lo); }),
               std::runtime_error);
}

TEST(Threads, ManyCallersAtOnce) {
  WorkerPool& pool = pool_of(2);
  constexpr int kCallers = 4, kRounds = 150;
  std::atomic<int> bad{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        const std::size_t n = 1 + static_cast<std::size_t>((t * 131 + r * 17) % 700);
        std::vector<float> out(n);
        WorkerPool& target = (r % 2 == 0) ? pool : global_pool();
        // Every third job small enough to stay on the worker that takes it.
        const std::size_t work = r % 3 == 0 ? n : kWorkUnknown;
        parallel_collect_ranges(
            target, n,
            [&](std::size_t lo, std::size_t hi) {
              for (std::size_t i = lo; i < hi; ++i) out[i] = value_at(i + t);
            },
            work);
        for (std::size_t i = 0; i < n; ++i) {
          if (out[i] != value_at(i + t)) bad.fetch_add(1);
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(bad.load(), 0);
}

// Jobs submitted after idle gaps around the spin window land on workers that
// are spinning, falling asleep or asleep, or that stepped off the caller's
// processor; small jobs (one worker, none woken to help) and shared ones
// alternate. A lost wake-up would hang here.
TEST(Threads, JobsAfterIdleGapsWakeTheWorkers) {
  WorkerPool& pool = pool_of(2);
  std::vector<float> out(64);
  for (int r = 0; r < 60; ++r) {
    std::this_thread::sleep_for(std::chrono::microseconds(120 * (r % 12)));
    const std::size_t work = r % 2 == 0 ? out.size() : kWorkUnknown;
    for (int burst = 0; burst < 1 + r % 3; ++burst) {
      out.assign(out.size(), 0.0f);
      parallel_collect_ranges(
          pool, out.size(),
          [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) out[i] = value_at(i);
          },
          work);
      ASSERT_EQ(out[63], value_at(63));
    }
  }
}

// Idle gaps, or the hold of a stolen half, that end while the waiting worker
// spins, falls asleep or sleeps.
constexpr int kIdleGapsUs[] = {0, 150, 900, 3000};

// The owner of a stolen half waits for it in the pool: it spins, then sleeps,
// and the thief's finish must wake it. The left leaf holds on until the right
// one has started elsewhere, so the right half is always stolen; a lost
// wake-up would hang here.
TEST(Threads, OwnerWaitingForAStolenHalfIsWoken) {
  WorkerPool& pool = pool_of(2);
  for (const int hold_us : kIdleGapsUs) {
    std::atomic<bool> right_started{false};
    std::thread::id left_thread, right_thread;
    const std::size_t handled = pool.parallel_for(2, [&](std::size_t lo, std::size_t hi) {
      if (lo == 0) {
        left_thread = std::this_thread::get_id();
        while (!right_started.load(std::memory_order_acquire)) std::this_thread::yield();
      } else {
        right_thread = std::this_thread::get_id();
        right_started.store(true, std::memory_order_release);
        std::this_thread::sleep_for(std::chrono::microseconds(hold_us));
      }
      return hi - lo;
    });
    EXPECT_EQ(handled, 2u) << "hold " << hold_us << " us";
    EXPECT_NE(left_thread, right_thread) << "hold " << hold_us << " us";
  }
}

// Destroying a pool must reach workers that spin, fall asleep or sleep; a
// lost wake-up would hang the join.
TEST(Threads, DestroyingAPoolStopsItsIdleWorkers) {
  for (const int gap_us : kIdleGapsUs) {
    WorkerPool pool(2);
    std::vector<float> out(16);
    parallel_collect(pool, out.size(), out.data(), value_at);
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
  }
}

// Jobs that outlast the caller's polling, one after another: the caller
// sleeps on its signal each time and must not return before the last item
// is done.
TEST(Threads, ACallerSleepingThroughItsJobsSeesEachWhole) {
  WorkerPool& pool = pool_of(2);
  for (int r = 0; r < 6; ++r) {
    std::atomic<std::size_t> done{0};
    pool.parallel_for(2, [&](std::size_t lo, std::size_t hi) {
      std::this_thread::sleep_for(std::chrono::microseconds(600));
      done.fetch_add(hi - lo);
      return hi - lo;
    }, r % 2 == 0 ? 2 : kWorkUnknown);
    ASSERT_EQ(done.load(), 2u) << "round " << r;
  }
}

// Sleeping workers must be brought in to help with a job that lasts; a pool
// that left everything to the first worker would still be correct, only slow.
// So too when the job is a shared loop nested in a small one, taken by a
// worker that was still spinning after the small job before: the pieces it
// offers must wake the others although it was counted as a spinner.
TEST(Threads, ALongJobGetsHelpFromSleepingWorkers) {
  WorkerPool& pool = pool_of(2);
  // A helper may still spin when the nested job comes, and then takes it
  // unasked: a few rounds make sure of one that sleeps.
  for (int round = 0; round < 9; ++round) {
    const bool nested = round > 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the spin time: all asleep
    std::mutex m;
    std::set<std::thread::id> ids;
    // Each item holds on until a second thread has joined in: a helper that
    // is woken, or that was still spinning, takes a piece once it gets a
    // processor, however busy the machine; one left asleep never does.
    const auto long_job = [&] {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      pool.parallel_for(64, [&](std::size_t lo, std::size_t hi) {
        for (bool first = true;; first = false) {
          {
            std::lock_guard<std::mutex> lock(m);
            if (first) ids.insert(std::this_thread::get_id());
            if (ids.size() >= 2 || std::chrono::steady_clock::now() > give_up) return hi - lo;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
    };
    if (nested) {
      pool.parallel_for(2, [](std::size_t lo, std::size_t hi) { return hi - lo; }, 2);
      pool.parallel_for(2, [&](std::size_t lo, std::size_t hi) {
        if (lo == 0) long_job();
        return hi - lo;
      }, 2);
    } else {
      long_job();
    }
    ASSERT_EQ(ids.size(), 2u) << "round " << round;
  }
}

#if defined(__linux__)
// Runs f once on each worker thread of `pool`, from inside a job.
template <class F>
void on_each_worker(WorkerPool& pool, F f) {
  std::mutex m;
  std::set<std::thread::id> seen;
  while (seen.size() < pool.running_threads()) {
    pool.parallel_for(64, [&](std::size_t lo, std::size_t hi) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::lock_guard<std::mutex> lock(m);
      if (seen.insert(std::this_thread::get_id()).second) f();
      return hi - lo;
    });
  }
}

// Workers started on one processor meet there in shared jobs and may move
// for a moment; each must end with the mask it had, the process's or the one
// it was pinned to.
TEST(Threads, WorkersThatMoveKeepTheirProcessorMasks) {
  cpu_set_t all, one, now;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  for (int c = 0; CPU_COUNT(&one) == 0; ++c) {
    if (CPU_ISSET(c, &all)) CPU_SET(c, &one);
  }
  for (const bool stay_pinned : {false, true}) {
    WorkerPool pool(3);
    on_each_worker(pool, [&] { sched_setaffinity(0, sizeof one, &one); });
    if (!stay_pinned) on_each_worker(pool, [&] { sched_setaffinity(0, sizeof all, &all); });
    std::vector<float> out(100000);
    for (int round = 0; round < 100; ++round) parallel_collect(pool, out.size(), out.data(), value_at);
    on_each_worker(pool, [&] {
      sched_getaffinity(0, sizeof now, &now);
      EXPECT_TRUE(CPU_EQUAL(&now, stay_pinned ? &one : &all)) << "pinned: " << stay_pinned;
    });
  }
}
#endif

// ---- the global pool -----------------------------------------------------------------

TEST(Global, SameCountFromCallersAndWorkers) {
  const std::size_t n = worker_count();
  EXPECT_GE(n, 1u);
  EXPECT_EQ(&global_pool(), &global_pool());
  std::atomic<int> mismatches{0};
  parallel_for(64, [&](std::size_t lo, std::size_t hi) {
    if (worker_count() != n) mismatches.fetch_add(1);
    return hi - lo;
  });
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(Global, ForkedChildGetsItsOwnPool) {
  std::vector<float> out(999);
  parallel_collect(out.size(), out.data(), value_at);  // the parent's pool exists and has run
  const pid_t pid = fork();
  ASSERT_NE(pid, -1) << std::strerror(errno);
  if (pid == 0) {
    alarm(10);  // a hang in the child must not hang the test
    int status = 0;
    for (int round = 0; round < 3; ++round) {
      std::vector<float> child(999, 0.0f);
      parallel_collect(child.size(), child.data(), [](std::size_t i) { return value_at(i) + 1.0f; });
      for (std::size_t i = 0; i < child.size(); ++i) {
        if (child[i] != value_at(i) + 1.0f) status = 3;
      }
    }
    if (global_pool().running_threads() != global_pool().worker_count()) status = 4;
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's pool is untouched.
  parallel_collect(out.size(), out.data(), value_at);
  EXPECT_EQ(out[998], value_at(998));
}

}  // namespace
}  // namespace nimbra::runtime

#if defined(__SANITIZE_THREAD__)
// The fork test starts threads in a child of a threaded process, which the
// race detector refuses by default.
// Exported explicitly: the build hides symbols by default, and the detector
// looks this one up at run time.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif
