// What a thread that a call starts takes of the process: its stack and its allocator arena.
#include "platform/thread_cost.hpp"

#if __has_include(<features.h>)
#include <features.h>
#endif
#if defined(__GLIBC__)
#include <sys/resource.h>
#include <unistd.h>
#elif !defined(_WIN32)
#include <pthread.h>
#endif

namespace velkor::platform {

namespace {

// Resident memory of a helper beyond what it allocates: the stack pages it
// touches (the algorithms keep no large arrays on the stack), its
// thread-local storage and control block. Measured at about 40 KiB on
// Linux; charged with room to spare.
constexpr std::size_t kThreadMemory = std::size_t{256} << 10;

// The default stack's size where it cannot be asked for.
#if defined(_WIN32)
constexpr std::size_t kDefaultStack = std::size_t{1} << 20;  // reserved per thread by default
#elif defined(__APPLE__)
constexpr std::size_t kDefaultStack = std::size_t{512} << 10;
#else
constexpr std::size_t kDefaultStack = std::size_t{8} << 20;
#endif

std::size_t default_stack() noexcept {
#if defined(_WIN32)
  return kDefaultStack;
#elif defined(__GLIBC__)
  // glibc sizes a thread's default stack by RLIMIT_STACK when it is finite,
  // with a guard page below it. Asked through the limit, not through
  // pthread_attr_getstacksize, whose symbol moved to glibc 2.34 and would
  // make the module need it.
  rlimit limit{};
  std::size_t size = kDefaultStack;
  if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > 0)
    size = static_cast<std::size_t>(limit.rlim_cur);
  const long page = sysconf(_SC_PAGESIZE);
  return size + static_cast<std::size_t>(page > 0 ? page : 4096);
#else
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return kDefaultStack;
  std::size_t size = 0, guard = 0;
  if (pthread_attr_getstacksize(&attr, &size) != 0 || size == 0) size = kDefaultStack;
  if (pthread_attr_getguardsize(&attr, &guard) != 0) guard = 0;
  pthread_attr_destroy(&attr);
  return size + guard;
#endif
}

// glibc gives each thread that allocates an arena of its own (up to eight
// per CPU), whose heap reserves 2 * DEFAULT_MMAP_THRESHOLD_MAX of address
// space: 64 MiB on 64-bit systems, 1 MiB on 32-bit ones. When that space
// is not there, the thread shares an existing arena instead. Other C
// libraries reserve nothing per thread.
std::size_t arena() noexcept {
#if defined(__GLIBC__)
  return sizeof(void*) >= 8 ? std::size_t{64} << 20 : std::size_t{1} << 20;
#else
  return 0;
#endif
}

}  // namespace

ThreadCost thread_cost() noexcept { return ThreadCost{default_stack() + arena(), kThreadMemory}; }

}  // namespace velkor::platform
