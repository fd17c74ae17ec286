// Forks of the process, as seen by the code that runs in the child.
#include "platform/fork_count.hpp"

#if !defined(_WIN32)
#include <pthread.h>

#include <atomic>
#endif

namespace velkor::platform {

#if defined(_WIN32)

// Windows has no fork(): a process is never a copy of another.
std::uint64_t forks_so_far() noexcept { return 0; }

#else

namespace {

std::atomic<std::uint64_t> fork_count{0};

void count_fork_in_child() noexcept { fork_count.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t forks_so_far() noexcept {
  // Registered once, before the first count is read, so a fork after that
  // read is counted.
  static const bool registered = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
  (void)registered;
  return fork_count.load(std::memory_order_relaxed);
}

#endif

}  // namespace velkor::platform
