// Thread identity from the operating system: the calling thread's id, and whether it is the process's initial thread.
#pragma once

#include <cstdint>

namespace velkor::platform {

// The operating system's id of the calling thread, as tools such as ps,
// gdb, Activity Monitor or Process Explorer show it.
std::uint64_t current_thread_id() noexcept;

// True on the process's initial thread. For a Python process that is the
// interpreter's main thread, the only one on which signal handlers run.
bool on_initial_thread() noexcept;

}  // namespace velkor::platform
