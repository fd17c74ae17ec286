// What memory the system can still give this process: available memory, the limits of its group, its address space.
#include "platform/memory_room.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include <optional>
#include <string>
#include <vector>

#include "platform/cgroup.hpp"
#include "platform/system_text.hpp"
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

using linux_cgroup::read_text;
using system_text::kUnlimited;

// A file's text as the readers of system_text take it.
system_text::Text text_of(const std::optional<std::string>& text) noexcept {
  return text ? system_text::Text(*text) : std::nullopt;
}

// One cgroup directory whose memory limit may bind this process.
struct Level {
  std::string dir;
  bool v2;
};

// The directories of both hierarchies, v2 first.
std::vector<Level> find_levels() {
  std::vector<Level> out;
  for (std::string& dir : linux_cgroup::levels(true, "memory", "/sys/fs/cgroup")) out.push_back({std::move(dir), true});
  for (std::string& dir : linux_cgroup::levels(false, "memory", "/sys/fs/cgroup/memory"))
    out.push_back({std::move(dir), false});
  return out;
}

// A directory's limit, kUnlimited where it has none or it cannot be read.
unsigned long long read_limit(const Level& level) {
  return system_text::memory_limit(text_of(read_text(level.dir + (level.v2 ? "/memory.max" : "/memory.limit_in_bytes"))));
}

// The room left under `limit` in one directory. The page cache is read
// only when asked for.
std::size_t room_under_limit(const Level& level, unsigned long long limit, bool reclaimable) {
  if (limit == kUnlimited) return kNoLimit;
  const auto usage = read_text(level.dir + (level.v2 ? "/memory.current" : "/memory.usage_in_bytes"));
  const auto stat = reclaimable ? read_text(level.dir + "/memory.stat") : std::nullopt;
  return system_text::room_under_limit(limit, text_of(usage), text_of(stat), level.v2, reclaimable);
}

// The directories, found once when the module is made and kept for the
// life of the process, with their limits. Limits change seldom and cost a
// file read each, so a quick reading reads them again only when the last
// reading is older than kLimitsFresh; the usage under a limit is read at
// every reading.
struct PreparedLevels {
  std::vector<Level> levels;
  std::unique_ptr<std::atomic<unsigned long long>[]> limits;
};
constexpr std::int64_t kLimitsFresh = 1'000'000'000;  // ns
std::atomic<const PreparedLevels*> prepared_levels{nullptr};
std::atomic<std::int64_t> limits_read_at{0};  // steady clock, ns

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void read_limits(const PreparedLevels& prepared) {
  for (std::size_t i = 0; i < prepared.levels.size(); ++i)
    prepared.limits[i].store(read_limit(prepared.levels[i]), std::memory_order_relaxed);
  limits_read_at.store(now_ns(), std::memory_order_release);
}

std::size_t group_room(bool reclaimable, bool fresh_limits) noexcept {
  try {
    std::size_t room = kNoLimit;
    if (const PreparedLevels* prepared = prepared_levels.load(std::memory_order_acquire)) {
      if (fresh_limits || now_ns() - limits_read_at.load(std::memory_order_acquire) > kLimitsFresh)
        read_limits(*prepared);
      for (std::size_t i = 0; i < prepared->levels.size(); ++i)
        room = std::min(room, room_under_limit(prepared->levels[i],
                                               prepared->limits[i].load(std::memory_order_relaxed), reclaimable));
      return room;
    }
    for (const Level& level : find_levels())
      room = std::min(room, room_under_limit(level, read_limit(level), reclaimable));
    return room;
  } catch (...) {
    return kNoLimit;
  }
}

// Free memory and free swap, halved (sysinfo, one system call): the kernel
// keeps its reserves out of free memory, far below half of it, so the
// system gives at least this much without reclaiming anything.
std::size_t quick_available_memory() noexcept {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return available_memory();
  const unsigned long long unit = info.mem_unit ? info.mem_unit : 1;
  return clamp_to_size((static_cast<unsigned long long>(info.freeram) + info.freeswap) / 2 * unit);
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
  try {
    return system_text::meminfo_available(text_of(read_text("/proc/meminfo")));
  } catch (...) {
    return kNoLimit;
  }
}

void prepare_memory_room() noexcept {
  if (prepared_levels.load(std::memory_order_acquire)) return;
  try {
    auto prepared = std::make_unique<PreparedLevels>();
    prepared->levels = find_levels();
    prepared->limits = std::make_unique<std::atomic<unsigned long long>[]>(prepared->levels.size());
    read_limits(*prepared);
    prepared_levels.store(prepared.release(), std::memory_order_release);
  } catch (...) {
    // Found again at every reading.
  }
}

std::size_t group_memory_room(bool reclaimable) noexcept { return group_room(reclaimable, true); }

std::size_t address_space_room() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
  try {
    return system_text::address_space_room(limit.rlim_cur, text_of(read_text("/proc/self/statm")),
                                           static_cast<unsigned long long>(sysconf(_SC_PAGESIZE)));
  } catch (...) {
    return kNoLimit;
  }
}

MemoryRoom memory_room(bool precise) noexcept {
  const std::size_t address_space = address_space_room();
  const std::size_t available = precise ? available_memory() : quick_available_memory();
  return MemoryRoom{std::min({available, group_room(precise, precise), address_space}), address_space};
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

#if !defined(__linux__)
MemoryRoom memory_room(bool) noexcept {
  const std::size_t address_space = address_space_room();
  return MemoryRoom{std::min({available_memory(), group_memory_room(), address_space}), address_space};
}
#endif

}  // namespace velkor::platform
