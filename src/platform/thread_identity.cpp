// Thread identity from the operating system: the calling thread's id, and whether it is the process's initial thread.
#include "platform/thread_identity.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/fork_count.hpp"
#include "platform/thread_local.hpp"
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(_WIN32)
#include "platform/win32.hpp"
#include <tlhelp32.h>
#else
#error "thread identity is implemented for Linux, macOS and Windows"
#endif

namespace velkor::platform {

// None of these needs state saved at import (which may happen on any
// thread) or runs Python code, so they can be asked with or without the
// interpreter lock.

#if defined(__linux__)

// The gettid() wrapper exists only from glibc 2.30 on (and not in every C
// library); the system call itself is as old as threads on Linux.
std::uint64_t current_thread_id() noexcept { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

// On Linux the initial thread's id equals the process id.
// Asked once per thread, and again in a child after a fork (where the
// forking thread becomes the initial one).
bool on_initial_thread() noexcept {
  struct Known {
    std::uint64_t forks = ~std::uint64_t{0};
    bool initial = false;
  };
  thread_local VELKOR_TLS_MODEL Known known;
  const std::uint64_t forks = forks_so_far();
  if (known.forks != forks) {
    known.initial = current_thread_id() == static_cast<std::uint64_t>(getpid());
    known.forks = forks;
  }
  return known.initial;
}

#elif defined(__APPLE__)

std::uint64_t current_thread_id() noexcept {
  std::uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
}

bool on_initial_thread() noexcept { return pthread_main_np() != 0; }

#elif defined(_WIN32)

std::uint64_t current_thread_id() noexcept { return GetCurrentThreadId(); }

namespace {

// Windows keeps no record of a process's initial thread: it is the one of
// its threads created first. Creation times have the clock's coarse
// resolution; among equal times the snapshot's order, the order in which
// the threads were made, decides. 0 (no thread's id) when nothing can be
// read.
DWORD initial_thread_id() noexcept {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD process = GetCurrentProcessId();
  DWORD first = 0;
  ULARGE_INTEGER first_created{};
  first_created.QuadPart = ~0ULL;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != process) continue;
    const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (!thread) continue;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
      ULARGE_INTEGER when{};
      when.LowPart = created.dwLowDateTime;
      when.HighPart = created.dwHighDateTime;
      if (when.QuadPart < first_created.QuadPart) {
        first_created = when;
        first = entry.th32ThreadID;
      }
    }
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return first;
}

}  // namespace

// Looked for once: the initial thread keeps its id while it runs, and a
// Python process ends with it.
bool on_initial_thread() noexcept {
  static const DWORD initial = initial_thread_id();
  return initial != 0 && GetCurrentThreadId() == initial;
}

#endif

}  // namespace velkor::platform
