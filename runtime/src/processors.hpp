// The two limits on the processors this process may run on, read apart so
// the pool and the tests can ask for each (available_processor_count() in
// pool.hpp combines them).
#pragma once

#include <cstddef>
#include <string>

namespace nimbra::runtime {

// The processors in this process's affinity mask; 0 when it cannot be read.
std::size_t affinity_processor_count() noexcept;

// The CPU quota of this process's cgroups in processors, rounded up (a quota
// of 1.5 processors gives 2); the smallest one when several apply (v2's
// cpu.max and v1's cpu.cfs_quota_us, on this cgroup or any above it); 0 when
// none is set or none can be read. `root` is put in front of every path
// read: empty for this system, a directory laid out like one in tests.
std::size_t cgroup_processor_limit(const std::string& root) noexcept;

}  // namespace nimbra::runtime
