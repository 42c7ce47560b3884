// How many processors this process may run on: its affinity mask, and the
// CPU quota of its cgroups (what `taskset` and a container's `--cpus` set).
#include "processors.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "nimbra/runtime/pool.hpp"

namespace nimbra::runtime {
namespace {

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      parts.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// mountinfo writes a space, tab, newline or backslash in a path as \ooo.
std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool parse_u64(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// quota / period processors, rounded up; 0 for no limit.
std::size_t quota_processors(std::string_view quota, std::string_view period) {
  std::uint64_t q = 0, p = 0;
  if (!parse_u64(quota, q) || !parse_u64(period, p) || p == 0 || q == 0) return 0;
  return static_cast<std::size_t>(q / p + (q % p != 0));
}

// One hierarchy: cgroup v2 (its cpu.max) or v1 with the cpu controller
// (cpu.cfs_quota_us and cpu.cfs_period_us; -1 is no quota).
struct Hierarchy {
  bool v2;
  std::string path;        // this process's cgroup, from /proc/self/cgroup
  std::string mount_root;  // the part of the hierarchy the mount shows
  std::string mount_point;
};

std::size_t limit_in(const std::string& dir, bool v2) {
  if (v2) {
    const std::vector<std::string> fields = split(first_line(dir + "/cpu.max"), ' ');
    return fields.size() == 2 ? quota_processors(fields[0], fields[1]) : 0;
  }
  return quota_processors(first_line(dir + "/cpu.cfs_quota_us"), first_line(dir + "/cpu.cfs_period_us"));
}

// A quota on any cgroup from this process's up to the mount's top applies.
std::size_t hierarchy_limit(const std::string& root, const Hierarchy& h) {
  std::string below = h.path;
  if (h.mount_root != "/") {
    if (below.compare(0, h.mount_root.size(), h.mount_root) != 0) return 0;
    below.erase(0, h.mount_root.size());
    if (!below.empty() && below[0] != '/') return 0;
  }
  if (below.find("/..") != std::string::npos) return 0;  // outside the mount: not ours to read
  while (!below.empty() && below.back() == '/') below.pop_back();
  std::size_t limit = 0;
  for (;;) {
    const std::size_t here = limit_in(root + h.mount_point + below, h.v2);
    if (here != 0) limit = limit == 0 ? here : std::min(limit, here);
    if (below.empty()) return limit;
    below.erase(below.rfind('/'));
  }
}

bool has(const std::vector<std::string>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

}  // namespace

std::size_t cgroup_processor_limit(const std::string& root) noexcept {
  try {
    std::vector<Hierarchy> found;
    std::ifstream cgroups(root + "/proc/self/cgroup");
    // "id:controllers:path"; v2 has id 0 and no controllers.
    for (std::string line; std::getline(cgroups, line);) {
      const std::size_t first = line.find(':');
      const std::size_t second = line.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      const std::string controllers = line.substr(first + 1, second - first - 1);
      const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
      if (v2 || has(split(controllers, ','), "cpu")) found.push_back({v2, line.substr(second + 1), "", ""});
    }
    std::ifstream mountinfo(root + "/proc/self/mountinfo");
    // "id parent major:minor root mount-point options [optional...] - type source super-options"
    for (std::string line; std::getline(mountinfo, line);) {
      const std::vector<std::string> fields = split(line, ' ');
      const auto dash = std::find(fields.begin(), fields.end(), "-");
      if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
      const std::string& type = dash[1];
      for (Hierarchy& h : found) {
        if (!h.mount_point.empty()) continue;
        if (h.v2 ? type == "cgroup2" : type == "cgroup" && has(split(dash[3], ','), "cpu")) {
          h.mount_root = unescape(fields[3]);
          h.mount_point = unescape(fields[4]);
        }
      }
    }
    std::size_t limit = 0;
    for (const Hierarchy& h : found) {
      if (h.mount_point.empty()) continue;
      const std::size_t here = hierarchy_limit(root, h);
      if (here != 0) limit = limit == 0 ? here : std::min(limit, here);
    }
    return limit;
  } catch (...) {
    return 0;  // out of memory while reading: as if no quota were set
  }
}

std::size_t affinity_processor_count() noexcept {
#if defined(__linux__)
  // A mask of CPU_SETSIZE (1024) processors is too small for larger
  // machines; the call says so with EINVAL, and a larger set is tried.
  for (int n = CPU_SETSIZE; n <= (1 << 22); n *= 2) {
    cpu_set_t* set = CPU_ALLOC(n);
    if (set == nullptr) return 0;
    const std::size_t size = CPU_ALLOC_SIZE(n);
    const bool read = sched_getaffinity(0, size, set) == 0;
    const int error = errno;
    const int count = read ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (read) return static_cast<std::size_t>(count);
    if (error != EINVAL) return 0;
  }
#endif
  return 0;
}

std::size_t available_processor_count() noexcept {
  std::size_t n = affinity_processor_count();
  if (n == 0) n = std::thread::hardware_concurrency();  // 0 when unknown
  const std::size_t quota = cgroup_processor_limit("");
  if (quota != 0) n = n == 0 ? quota : std::min(n, quota);
  return n == 0 ? 1 : n;
}

}  // namespace nimbra::runtime
