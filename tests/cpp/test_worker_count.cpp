// The worker-count rule case by case, and the real global pool built from the
// environment of this process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nimbra/runtime/pool.hpp"

namespace nimbra::runtime {
namespace {

constexpr std::size_t kLogical = 6;

struct Case {
  const char* num_threads;  // nullptr: unset
  const char* rs_num_cpus;
  std::size_t want;
};

class FromEnv : public ::testing::TestWithParam<Case> {};

TEST_P(FromEnv, Rule) {
  const Case c = GetParam();
  EXPECT_EQ(worker_count_from_env(c.num_threads, c.rs_num_cpus, kLogical), c.want)
      << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
      << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    FirstVariableDecides, FromEnv,
    ::testing::Values(Case{"3", "5", 3}, Case{"+4", "5", 4}, Case{"1", nullptr, 1},
                      Case{"0", "5", kLogical},  // 0 means the processor count, not the next variable
                      Case{"007", nullptr, 7}, Case{"18446744073709551615", nullptr, 18446744073709551615ull},
                      Case{"+0", "5", kLogical}));

INSTANTIATE_TEST_SUITE_P(
    InvalidFirstFallsThrough, FromEnv,
    ::testing::Values(Case{"-2", "5", 5}, Case{"abc", "5", 5}, Case{"", "5", 5}, Case{" 3", "5", 5},
                      Case{"3 ", "5", 5}, Case{"++3", "5", 5}, Case{"+", "5", 5}, Case{"-0", "5", 5},
                      Case{"3x", "5", 5}, Case{"1.5", "5", 5}, Case{"0x10", "5", 5},
                      Case{"18446744073709551616", "5", 5}, Case{"99999999999999999999", "5", 5},
                      Case{nullptr, "5", 5}, Case{nullptr, "+2", 2}));

INSTANTIATE_TEST_SUITE_P(
    SecondVariableNeedsOneOrMore, FromEnv,
    ::testing::Values(Case{nullptr, nullptr, kLogical}, Case{nullptr, "0", kLogical},
                      Case{nullptr, "-1", kLogical}, Case{nullptr, "", kLogical},
                      Case{nullptr, " 2", kLogical}, Case{nullptr, "18446744073709551616", kLogical},
                      Case{"abc", "xyz", kLogical}, Case{"", "", kLogical}));

TEST(LogicalProcessors, AtLeastOne) { EXPECT_GE(logical_processor_count(), 1u); }

std::size_t threads_in_process() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

// A joined thread stays listed for a moment while the kernel finishes its
// exit (longer under the sanitizers): count again until the listing shows
// `want` threads or, with want == 0, stops changing; give up after ~1 s.
std::size_t threads_in_process_settled(std::size_t want) {
  std::size_t n = threads_in_process();
  for (int i = 0; i < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::size_t again = threads_in_process();
    if (want != 0 ? again == want : again == n) return again;
    n = again;
  }
  return n;
}

// The only test in this binary that touches the global pool: the variables
// are set before its first use. Several threads ask for it at once; exactly
// one pool with exactly three threads must come of it.
TEST(GlobalPool, HasTheThreadCountFromTheEnvironment) {
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
  ASSERT_EQ(setenv("RAYON_RS_NUM_CPUS", "5", 1), 0);
  // Some runtimes (the race detector's) add a helper thread on the first
  // thread start; have that happen before counting.
  std::thread([] {}).join();
  const std::size_t before = threads_in_process_settled(0);

  std::vector<WorkerPool*> seen(4, nullptr);
  std::vector<std::thread> askers;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    askers.emplace_back([&seen, i] { seen[i] = &global_pool(); });
  }
  for (auto& t : askers) t.join();
  for (WorkerPool* p : seen) EXPECT_EQ(p, &global_pool());

  EXPECT_EQ(worker_count(), 3u);
  EXPECT_EQ(global_pool().running_threads(), 3u);
  EXPECT_EQ(threads_in_process_settled(before + 3), before + 3);
  std::vector<float> out(100);
  parallel_collect(out.size(), out.data(), [](std::size_t i) { return static_cast<float>(i); });
  EXPECT_EQ(out[99], 99.0f);
}

}  // namespace
}  // namespace nimbra::runtime
