// What memory the system can still give this process: available memory, the limits of its group, its address space.
#include "platform/memory_room.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/cgroup.hpp"
#elif defined(__APPLE__)
#include <mach/mach.h>
#include <sys/sysctl.h>
#elif defined(_WIN32)
#include "platform/win32.hpp"
#include <psapi.h>
#endif

namespace velkor::platform {

namespace {

constexpr std::size_t kNoLimit = SIZE_MAX;

[[maybe_unused]] std::size_t clamp_to_size(unsigned long long bytes) noexcept {
  return bytes > SIZE_MAX ? kNoLimit : static_cast<std::size_t>(bytes);
}

#if defined(__linux__)

using linux_cgroup::read_number;

// The room left in one cgroup directory, or kNoLimit. The usage is read
// only under a limit, and the page cache only when asked for.
std::size_t cgroup_room(const std::string& dir, bool v2, bool reclaimable) {
  unsigned long long limit = 0, usage = 0;
  if (!read_number(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit)) return kNoLimit;
  // v1 reports "no limit" as a huge page-aligned number.
  if (limit >= (1ULL << 62)) return kNoLimit;
  if (!read_number(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), usage)) return kNoLimit;
  // Inactive page cache: the kernel reclaims it before it refuses memory.
  const unsigned long long cache =
      reclaimable ? linux_cgroup::read_field(dir + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file")
                  : 0;
  const unsigned long long used = usage > cache ? usage - cache : 0;
  if (used >= limit) return 0;
  return clamp_to_size(limit - used);
}

// The directories of both hierarchies whose limits bind this process.
struct CgroupDirs {
  std::vector<std::string> v2, v1;
};

CgroupDirs find_cgroup_dirs() {
  return CgroupDirs{linux_cgroup::levels(true, "memory", "/sys/fs/cgroup"),
                    linux_cgroup::levels(false, "memory", "/sys/fs/cgroup/memory")};
}

// Found once when the module is made, and kept for the life of the process.
std::atomic<const CgroupDirs*> prepared_dirs{nullptr};

std::size_t hierarchy_room(const std::vector<std::string>& dirs, bool v2, bool reclaimable) {
  std::size_t room = kNoLimit;
  for (const std::string& dir : dirs) room = std::min(room, cgroup_room(dir, v2, reclaimable));
  return room;
}

#elif defined(_WIN32)

// Memory the process has committed (what a job's process limit counts).
unsigned long long committed_by_process() noexcept {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters))
    return 0;
  return counters.PrivateUsage;
}

std::size_t room_under(unsigned long long limit, unsigned long long used) noexcept {
  return used >= limit ? 0 : clamp_to_size(limit - used);
}

#endif

}  // namespace

#if defined(__linux__)

std::size_t available_memory() noexcept {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return kNoLimit;
  char line[256];
  unsigned long long available_kb = 0, swap_free_kb = 0;
  bool found = false;
  while (std::fgets(line, sizeof line, f)) {
    unsigned long long kb = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
      available_kb = kb;
      found = true;
    } else if (std::sscanf(line, "SwapFree: %llu kB", &kb) == 1) {
      swap_free_kb = kb;
    }
  }
  std::fclose(f);
  if (!found) return kNoLimit;
  return clamp_to_size((available_kb + swap_free_kb) * 1024ULL);
}

void prepare_memory_room() noexcept {
  if (prepared_dirs.load(std::memory_order_acquire)) return;
  try {
    prepared_dirs.store(new CgroupDirs(find_cgroup_dirs()), std::memory_order_release);
  } catch (...) {
    // Found again at every reading.
  }
}

std::size_t group_memory_room(bool reclaimable) noexcept {
  try {
    const CgroupDirs* prepared = prepared_dirs.load(std::memory_order_acquire);
    const CgroupDirs dirs = prepared ? CgroupDirs{} : find_cgroup_dirs();
    const CgroupDirs& use = prepared ? *prepared : dirs;
    return std::min(hierarchy_room(use.v2, true, reclaimable), hierarchy_room(use.v1, false, reclaimable));
  } catch (...) {
    return kNoLimit;
  }
}

std::size_t address_space_room() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
  unsigned long long pages = 0;
  try {
    if (!read_number("/proc/self/statm", pages)) return kNoLimit;
  } catch (...) {
    return kNoLimit;
  }
  const unsigned long long mapped = pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
  if (mapped >= limit.rlim_cur) return 0;
  return static_cast<std::size_t>(limit.rlim_cur - mapped);
}

#elif defined(__APPLE__)

std::size_t available_memory() noexcept {
  std::uint64_t installed = 0;
  std::size_t size = sizeof installed;
  if (sysctlbyname("hw.memsize", &installed, &size, nullptr, 0) != 0) installed = 0;
  unsigned long long free_bytes = installed;
  vm_statistics64_data_t vm{};
  mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
  if (host_statistics64(mach_host_self(), HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&vm),
                        &count) == KERN_SUCCESS) {
    const unsigned long long pages = static_cast<unsigned long long>(vm.free_count) +
                                     vm.inactive_count + vm.speculative_count + vm.purgeable_count;
    free_bytes = pages * static_cast<unsigned long long>(vm_page_size);
    if (installed != 0) free_bytes = std::min<unsigned long long>(free_bytes, installed);
  } else if (installed == 0) {
    return kNoLimit;
  }
  xsw_usage swap{};
  size = sizeof swap;
  if (sysctlbyname("vm.swapusage", &swap, &size, nullptr, 0) == 0) free_bytes += swap.xsu_avail;
  return clamp_to_size(free_bytes);
}

std::size_t group_memory_room(bool) noexcept { return kNoLimit; }

std::size_t address_space_room() noexcept { return kNoLimit; }

void prepare_memory_room() noexcept {}

#elif defined(_WIN32)

std::size_t available_memory() noexcept {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return kNoLimit;
  return clamp_to_size(status.ullAvailPageFile);
}

void prepare_memory_room() noexcept {}

// A job's limit on each process's committed memory, and on the whole job's.
std::size_t group_memory_room(bool) noexcept {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                 nullptr))
    return kNoLimit;  // not in a job
  std::size_t room = kNoLimit;
  const DWORD flags = limits.BasicLimitInformation.LimitFlags;
  if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY)
    room = std::min(room, room_under(limits.ProcessMemoryLimit, committed_by_process()));
  if (flags & JOB_OBJECT_LIMIT_JOB_MEMORY) {
    // The job's committed memory, where the system reports it; else this
    // process's own share, which is at most that.
    JOBOBJECT_LIMIT_VIOLATION_INFORMATION job{};
    const unsigned long long used =
        QueryInformationJobObject(nullptr, JobObjectLimitViolationInformation, &job, sizeof job, nullptr)
            ? job.JobMemory
            : committed_by_process();
    room = std::min(room, room_under(limits.JobMemoryLimit, used));
  }
  return room;
}

std::size_t address_space_room() noexcept {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return kNoLimit;
  return clamp_to_size(status.ullAvailVirtual);
}

#else

std::size_t available_memory() noexcept { return kNoLimit; }
std::size_t group_memory_room(bool) noexcept { return kNoLimit; }
std::size_t address_space_room() noexcept { return kNoLimit; }
void prepare_memory_room() noexcept {}

#endif

MemoryRoom memory_room(bool count_reclaimable) noexcept {
  const std::size_t available = available_memory(), address_space = address_space_room();
  const std::size_t group = group_memory_room(false);
  MemoryRoom room{std::min({available, group, address_space}), 0, address_space};
  if (count_reclaimable) {
    const std::size_t precise = std::min({available, group_memory_room(true), address_space});
    if (precise > room.memory) room.reclaimable = precise - room.memory;
  }
  return room;
}

}  // namespace velkor::platform
