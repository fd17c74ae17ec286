// What Linux's system files say, read from their text: cgroup paths, limits, usage, CPU quotas, free memory.
//
// Pure functions of the files' contents, with no I/O of their own, so that
// every layout the kernel, systemd and container runtimes produce can be
// checked from fixture texts on any platform. A file that is missing or
// cannot be read is passed as std::nullopt. The files are opened in one
// thin layer (platform/cgroup.hpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::platform::system_text {

using Text = std::optional<std::string_view>;

// No limit, as the readers below report it.
constexpr unsigned long long kUnlimited = ~0ULL;

// The first unsigned decimal number of `text`, after any blanks; nullopt
// when the text is missing or starts with anything else ("max").
std::optional<unsigned long long> first_number(Text text) noexcept;

// The directories whose limits bind a process in one cgroup hierarchy
// mounted at `mount`, from the text of its /proc/self/cgroup: the mount
// itself, then the process's own cgroup and each of its ancestors, deepest
// first. The process's cgroup is the v2 line ("0::/path") or, for v1, the
// line whose controller list names `controller`; when there is none, only
// the mount is listed, and nothing when the text is missing.
std::vector<std::string> cgroup_levels(Text proc_self_cgroup, bool v2, std::string_view controller,
                                       const std::string& mount);

// A memory cgroup's limit from memory.max (v2) or memory.limit_in_bytes
// (v1): kUnlimited for "max", for v1's huge "no limit" number, and when the
// file is missing.
unsigned long long memory_limit(Text text) noexcept;

// The value of the line "NAME VALUE" of a file of such lines (memory.stat);
// 0 when the file or the line is missing.
unsigned long long stat_field(Text text, std::string_view name) noexcept;

// The room left under `limit` (memory_limit) for the usage read from
// memory.current (v2) or memory.usage_in_bytes (v1): SIZE_MAX for no limit
// or no usage read. With `reclaimable`, the inactive page cache of
// memory.stat (v2 inactive_file, v1 total_inactive_file, which counts the
// group's descendants as its usage does) is not counted as used: the
// kernel reclaims it before it refuses memory.
std::size_t room_under_limit(unsigned long long limit, Text usage, Text stat, bool v2, bool reclaimable) noexcept;

// The CPUs that one cgroup's quota pays for, rounded up; 0 for no quota.
// v2: cpu.max holds "QUOTA PERIOD" or "max PERIOD"; v1: cpu.cfs_quota_us
// holds the quota (-1 for none), cpu.cfs_period_us the period.
unsigned quota_cpus_v2(Text cpu_max) noexcept;
unsigned quota_cpus_v1(Text cfs_quota_us, Text cfs_period_us) noexcept;

// Available memory plus free swap from /proc/meminfo; SIZE_MAX when the
// text is missing or has no MemAvailable line.
std::size_t meminfo_available(Text meminfo) noexcept;

// The room left in the address space under a soft RLIMIT_AS of
// `limit` bytes (kUnlimited for none), for the pages mapped as the first
// number of /proc/self/statm says; SIZE_MAX for no limit or no reading.
std::size_t address_space_room(unsigned long long limit, Text statm, unsigned long long page_size) noexcept;

}  // namespace velkor::platform::system_text
