// Thread identity from the operating system: the calling thread's id, and whether it is the process's initial thread.
#include "platform/thread_identity.hpp"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#error "thread identity is implemented for Linux only"
#endif

namespace velkor::platform {

// The gettid() wrapper exists only from glibc 2.30 on (and not in every C
// library); the system call itself is as old as threads on Linux.
long current_thread_id() noexcept { return static_cast<long>(syscall(SYS_gettid)); }

// On Linux the initial thread's id equals the process id. This needs no
// state saved at import (which may happen on any thread) and runs no Python
// code, so it can be asked with or without the interpreter lock.
bool on_initial_thread() noexcept { return current_thread_id() == static_cast<long>(getpid()); }

}  // namespace velkor::platform
