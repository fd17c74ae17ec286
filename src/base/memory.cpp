// A check against the memory the system can still give, made before large allocations.
#include "base/memory.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace velkor::base {

std::size_t available_memory() noexcept {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return SIZE_MAX;
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
  if (!found) return SIZE_MAX;
  const unsigned long long total = (available_kb + swap_free_kb) * 1024ULL;
  return total > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(total);
}

void ensure_available(std::size_t bytes) {
  constexpr std::size_t kUnchecked = std::size_t{64} << 20;
  if (bytes < kUnchecked) return;
  if (bytes > available_memory()) throw std::bad_alloc();
}

}  // namespace velkor::base
