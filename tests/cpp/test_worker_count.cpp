// The worker-count rule case by case, the processors this process may run on
// (the cgroup quota read from directories laid out like a system), and the
// real global pool built from the environment of this process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "nimbra/runtime/pool.hpp"
#include "processors.hpp"

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

TEST(Processors, AtLeastOneAndNoMoreThanTheMaskAllows) {
  const std::size_t mask = affinity_processor_count();
  EXPECT_GE(mask, 1u);
  EXPECT_GE(available_processor_count(), 1u);
  EXPECT_LE(available_processor_count(), mask);
}

// ---- the processors this process may run on ---------------------------------

// A directory laid out like the parts of a system the cgroup reader looks at.
struct CgroupCase {
  const char* name;
  const char* cgroup;     // /proc/self/cgroup
  const char* mountinfo;  // /proc/self/mountinfo
  std::vector<std::pair<std::string, std::string>> files;  // path under the root, first line
  std::size_t want;
};

constexpr const char* kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Mounts =
    "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
    "33 31 0:30 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";

constexpr const char* kHybridMounts =
    "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";

class CgroupLimit : public ::testing::TestWithParam<CgroupCase> {};

TEST_P(CgroupLimit, FromTheFiles) {
  const CgroupCase& c = GetParam();
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("nimbra-cgroup-" + std::to_string(getpid()) + "-" + c.name);
  std::filesystem::remove_all(root);
  auto write = [&](const std::string& path, const std::string& text) {
    const std::filesystem::path file = root / path.substr(1);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  };
  write("/proc/self/cgroup", c.cgroup);
  write("/proc/self/mountinfo", c.mountinfo);
  for (const auto& [path, text] : c.files) write(path, text + "\n");
  EXPECT_EQ(cgroup_processor_limit(root.string()), c.want);
  EXPECT_EQ(cgroup_processor_limit((root / "missing").string()), 0u);
  std::filesystem::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CgroupLimit,
    ::testing::Values(
        CgroupCase{"v2_quota_rounds_up", "0::/job\n", kV2Mount, {{"/sys/fs/cgroup/job/cpu.max", "150000 100000"}}, 2},
        CgroupCase{"v2_exact", "0::/job\n", kV2Mount, {{"/sys/fs/cgroup/job/cpu.max", "300000 100000"}}, 3},
        CgroupCase{"v2_small_quota_is_one", "0::/job\n", kV2Mount, {{"/sys/fs/cgroup/job/cpu.max", "1000 100000"}}, 1},
        CgroupCase{"v2_no_quota", "0::/job\n", kV2Mount, {{"/sys/fs/cgroup/job/cpu.max", "max 100000"}}, 0},
        CgroupCase{"v2_parent_limits",
                   "0::/a/b\n",
                   kV2Mount,
                   {{"/sys/fs/cgroup/a/b/cpu.max", "max 100000"}, {"/sys/fs/cgroup/a/cpu.max", "200000 100000"}},
                   2},
        CgroupCase{"v2_smallest_level_wins",
                   "0::/a/b\n",
                   kV2Mount,
                   {{"/sys/fs/cgroup/a/b/cpu.max", "400000 100000"}, {"/sys/fs/cgroup/a/cpu.max", "250000 100000"},
                    {"/sys/fs/cgroup/cpu.max", "800000 100000"}},
                   3},
        CgroupCase{"v2_container_root", "0::/\n", kV2Mount, {{"/sys/fs/cgroup/cpu.max", "50000 100000"}}, 1},
        CgroupCase{"v2_bind_mounted_subtree",
                   "0::/docker/abc\n",
                   "40 23 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n",
                   {{"/sys/fs/cgroup/cpu.max", "200000 100000"}},
                   2},
        CgroupCase{"v2_outside_the_mount",
                   "0::/other\n",
                   "40 23 0:26 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n",
                   {{"/sys/fs/cgroup/cpu.max", "200000 100000"}},
                   0},
        CgroupCase{"v2_escaped_mount_point",
                   "0::/job\n",
                   "30 23 0:26 / /sys/fs/my\\040cgroup rw - cgroup2 cgroup2 rw\n",
                   {{"/sys/fs/my cgroup/job/cpu.max", "100000 100000"}},
                   1},
        CgroupCase{"v1_quota",
                   "12:memory:/job\n4:cpu,cpuacct:/job\n0::/\n",
                   kV1Mounts,
                   {{"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000"},
                    {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000"}},
                   3},
        CgroupCase{"v1_no_quota",
                   "4:cpu,cpuacct:/job\n",
                   kV1Mounts,
                   {{"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1"},
                    {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000"}},
                   0},
        CgroupCase{"v1_cpuacct_alone_is_not_cpu",
                   "4:cpuacct:/job\n",
                   "32 31 0:29 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n",
                   {{"/sys/fs/cgroup/cpuacct/job/cpu.cfs_quota_us", "100000"},
                    {"/sys/fs/cgroup/cpuacct/job/cpu.cfs_period_us", "100000"}},
                   0},
        CgroupCase{"hybrid_takes_the_smaller",
                   "4:cpu,cpuacct:/job\n0::/job\n",
                   kHybridMounts,
                   {{"/sys/fs/cgroup/unified/job/cpu.max", "300000 100000"},
                    {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "100000"},
                    {"/sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000"}},
                   1},
        CgroupCase{"nothing_to_read", "", "", {}, 0},
        CgroupCase{"garbage",
                   "0::/job\nnot a line\n",
                   kV2Mount,
                   {{"/sys/fs/cgroup/job/cpu.max", "lots 100000"}},
                   0}),
    [](const ::testing::TestParamInfo<CgroupCase>& info) { return std::string(info.param.name); });

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
