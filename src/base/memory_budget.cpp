// The memory budget of one call: reading the system's limits and charging against them.
#include "base/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace velkor::base {

namespace {

constexpr std::size_t kNoLimit = SIZE_MAX;

// The first number of a small text file, or nothing (missing file, "max").
bool read_number(const std::string& path, unsigned long long& out) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  const bool ok = std::fscanf(f, "%llu", &out) == 1;
  std::fclose(f);
  return ok;
}

// "inactive_file N" of a cgroup's memory.stat: page cache the kernel can
// reclaim before it has to refuse memory.
unsigned long long reclaimable(const std::string& stat_path, const char* field) {
  std::FILE* f = std::fopen(stat_path.c_str(), "r");
  if (!f) return 0;
  char name[64];
  unsigned long long value = 0, found = 0;
  while (std::fscanf(f, "%63s %llu", name, &value) == 2) {
    if (std::strcmp(name, field) == 0) {
      found = value;
      break;
    }
  }
  std::fclose(f);
  return found;
}

// The room left in one cgroup directory, or kNoLimit.
std::size_t cgroup_room(const std::string& dir, bool v2) {
  unsigned long long limit = 0, usage = 0;
  const std::string limit_file = dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes");
  const std::string usage_file = dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes");
  if (!read_number(limit_file, limit) || !read_number(usage_file, usage)) return kNoLimit;
  // v1 reports "no limit" as a huge page-aligned number.
  if (limit >= (1ULL << 62)) return kNoLimit;
  const unsigned long long cache =
      reclaimable(dir + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file");
  const unsigned long long used = usage > cache ? usage - cache : 0;
  if (used >= limit) return 0;
  const unsigned long long room = limit - used;
  return room > SIZE_MAX ? kNoLimit : static_cast<std::size_t>(room);
}

// The smallest room over the cgroup of this process and its ancestors,
// within the hierarchy mounted at `mount` (v2: "0::/path"; v1: the line
// whose controller list names "memory").
std::size_t cgroup_hierarchy_room(bool v2) {
  std::FILE* f = std::fopen("/proc/self/cgroup", "r");
  if (!f) return kNoLimit;
  std::string path;
  bool found = false;
  char line[4096];
  while (std::fgets(line, sizeof line, f)) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    const auto first = s.find(':');
    const auto second = first == std::string::npos ? std::string::npos : s.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = s.substr(first + 1, second - first - 1);
    const bool match = v2 ? (s.compare(0, first, "0") == 0 && controllers.empty())
                          : (("," + controllers + ",").find(",memory,") != std::string::npos);
    if (match) {
      path = s.substr(second + 1);
      found = true;
      break;
    }
  }
  std::fclose(f);
  const std::string mount = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
  std::size_t room = cgroup_room(mount, v2);
  if (!found) return room;
  // Inside a container the recorded path may not exist under the mount
  // (the container sees its own cgroup as the root); missing levels are
  // skipped.
  while (!path.empty() && path != "/") {
    room = std::min(room, cgroup_room(mount + path, v2));
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) break;
    path.resize(slash);
  }
  return room;
}

}  // namespace

std::size_t system_available_memory() noexcept {
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
  const unsigned long long total = (available_kb + swap_free_kb) * 1024ULL;
  return total > SIZE_MAX ? kNoLimit : static_cast<std::size_t>(total);
}

std::size_t cgroup_available_memory() noexcept {
  try {
    return std::min(cgroup_hierarchy_room(true), cgroup_hierarchy_room(false));
  } catch (...) {
    return kNoLimit;
  }
}

std::size_t address_space_available() noexcept {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kNoLimit;
  unsigned long long pages = 0;
  if (!read_number("/proc/self/statm", pages)) return kNoLimit;
  const unsigned long long mapped = pages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
  if (mapped >= limit.rlim_cur) return 0;
  return static_cast<std::size_t>(limit.rlim_cur - mapped);
}

std::size_t MemoryBudget::limit() noexcept {
  std::size_t limit = limit_.load(std::memory_order_acquire);
  if (!fixed_ && limit == kUnread) {
    // Two threads may both read the system; either answer will do.
    limit = std::max(kUnchecked, std::min({system_available_memory(), cgroup_available_memory(),
                                           address_space_available()}));
    limit_.store(limit, std::memory_order_release);
  }
  return limit;
}

BudgetExceeded::BudgetExceeded(std::size_t needed, std::size_t available, std::size_t entries)
    : needed_(needed), available_(available) {
  message_ = "the result needs at least " +
             (needed == SIZE_MAX ? std::string("more") : std::to_string(needed)) +
             " bytes of memory (" + std::to_string(entries) +
             " entries or more), but only " + std::to_string(available) + " bytes are available";
}

void MemoryBudget::charge(std::size_t bytes) {
  std::size_t used = used_.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t total = bytes > SIZE_MAX - used ? SIZE_MAX : used + bytes;
    if ((fixed_ || total > kUnchecked) && total > limit())
      throw BudgetExceeded(total, limit(), entries_.load(std::memory_order_relaxed));
    if (used_.compare_exchange_weak(used, total, std::memory_order_relaxed)) return;
  }
}

void MemoryBudget::charge_nodes(std::size_t nodes) {
  const std::size_t per = cost_.node_bytes();
  charge(per != 0 && nodes > SIZE_MAX / per ? SIZE_MAX : nodes * per);
}

void MemoryBudget::charge_entries(std::size_t entries) {
  const std::size_t before = entries_.fetch_add(entries, std::memory_order_relaxed);
  const std::size_t after = entries > SIZE_MAX - before ? SIZE_MAX : before + entries;
  const std::size_t was = cost_.entry_bytes(before), now = cost_.entry_bytes(after);
  try {
    charge(now == SIZE_MAX ? SIZE_MAX : now - was);
  } catch (...) {
    entries_.fetch_sub(entries, std::memory_order_relaxed);
    throw;
  }
}

void MemoryBudget::release(std::size_t bytes) noexcept {
  std::size_t used = used_.load(std::memory_order_relaxed);
  while (!used_.compare_exchange_weak(used, used > bytes ? used - bytes : 0,
                                      std::memory_order_relaxed)) {
  }
}

}  // namespace velkor::base
