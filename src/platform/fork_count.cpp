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
void prepare_fork_count() noexcept {}

#else

namespace {

std::atomic<std::uint64_t> fork_count{0};

void count_fork_in_child() noexcept { fork_count.fetch_add(1, std::memory_order_relaxed); }

std::atomic<bool> registered{false};

}  // namespace

void prepare_fork_count() noexcept {
  if (!registered.load(std::memory_order_relaxed) && !registered.exchange(true, std::memory_order_relaxed))
    pthread_atfork(nullptr, nullptr, count_fork_in_child);
}

std::uint64_t forks_so_far() noexcept {
  // Registered before the first count is read, so a fork after that read
  // is counted.
  prepare_fork_count();
  return fork_count.load(std::memory_order_relaxed);
}

#endif

}  // namespace velkor::platform
