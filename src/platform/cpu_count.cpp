// The number of CPUs this process can use.
#include "platform/cpu_count.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#if defined(__linux__)
#include <sched.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/cgroup.hpp"
#include "platform/system_text.hpp"
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#elif defined(_WIN32)
#include "platform/win32.hpp"

#include <bitset>
#endif

namespace velkor::platform {

namespace {

unsigned hardware_cpus() noexcept {
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1u;
}

#if defined(__linux__)

unsigned affinity_cpus() noexcept {
  // The mask may be wider than cpu_set_t on very large machines.
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<unsigned>(count) : 1u;
    if (errno != EINVAL) break;
  }
  return hardware_cpus();
}

// The CPUs that one cgroup's quota pays for, rounded up; 0 for no quota.
unsigned quota_cpus(const std::string& dir, bool v2) {
  using linux_cgroup::read_text;
  const auto text_of = [](const std::optional<std::string>& text) {
    return text ? system_text::Text(*text) : std::nullopt;
  };
  if (v2) return system_text::quota_cpus_v2(text_of(read_text(dir + "/cpu.max")));
  return system_text::quota_cpus_v1(text_of(read_text(dir + "/cpu.cfs_quota_us")),
                                    text_of(read_text(dir + "/cpu.cfs_period_us")));
}

// The smallest quota over the process's cgroups and their ancestors, in
// CPUs; 0 for none.
unsigned cgroup_quota_cpus() noexcept {
  try {
    unsigned smallest = 0;
    for (bool v2 : {true, false})
      for (const std::string& dir :
           linux_cgroup::levels(v2, "cpu", v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/cpu")) {
        const unsigned n = quota_cpus(dir, v2);
        if (n > 0 && (smallest == 0 || n < smallest)) smallest = n;
      }
    return smallest;
  } catch (...) {
    return 0;
  }
}

#endif

}  // namespace

#if defined(__linux__)

namespace {

// The quota in CPUs (0: none), read once per process: a quota seldom
// changes while a process runs, and reading it takes a dozen file reads.
// kUnread until then. An atomic rather than a function's static: a static
// being initialised when another thread forks stays "being initialised" in
// the child for ever, and the child's first call would wait for it.
constexpr unsigned kUnread = ~0u;
std::atomic<unsigned> read_quota{kUnread};

unsigned quota() noexcept {
  unsigned q = read_quota.load(std::memory_order_relaxed);
  if (q == kUnread) {
    q = cgroup_quota_cpus();
    read_quota.store(q, std::memory_order_relaxed);
  }
  return q;
}

}  // namespace

void prepare_cpu_count() noexcept { (void)quota(); }

// The affinity mask as read within the last quarter second: a process
// that calls velkor many times a second reads it a few times a second, not
// at every call.
constexpr std::int64_t kAffinityLife = 250'000'000;  // ns
std::atomic<unsigned> affinity_read{0};
std::atomic<std::int64_t> affinity_read_at{0};

unsigned usable_cpus() noexcept {
  const unsigned q = quota();
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  unsigned affinity = affinity_read.load(std::memory_order_relaxed);
  if (affinity == 0 || now - affinity_read_at.load(std::memory_order_relaxed) > kAffinityLife) {
    affinity = affinity_cpus();
    affinity_read.store(affinity, std::memory_order_relaxed);
    affinity_read_at.store(now, std::memory_order_relaxed);
  }
  return q > 0 ? std::min(affinity, q) : affinity;
}

#elif defined(__APPLE__)

void prepare_cpu_count() noexcept {}

unsigned usable_cpus() noexcept {
  int active = 0;
  std::size_t size = sizeof active;
  if (sysctlbyname("hw.activecpu", &active, &size, nullptr, 0) == 0 && active > 0)
    return static_cast<unsigned>(active);
  return hardware_cpus();
}

#elif defined(_WIN32)

void prepare_cpu_count() noexcept {}

unsigned usable_cpus() noexcept {
  // A process whose threads may run in one processor group only has an
  // affinity mask; on machines with more groups (more than 64 processors)
  // threads are spread over all of them.
  if (GetActiveProcessorGroupCount() <= 1) {
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
      return static_cast<unsigned>(std::bitset<sizeof(DWORD_PTR) * 8>(process).count());
  }
  const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? static_cast<unsigned>(active) : hardware_cpus();
}

#else

void prepare_cpu_count() noexcept {}

unsigned usable_cpus() noexcept { return hardware_cpus(); }

#endif

}  // namespace velkor::platform
