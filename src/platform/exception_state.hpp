// Makes the C++ runtime's per-thread exception state ahead of the first throw on a thread.
#pragma once

#include <exception>

namespace velkor::platform {

// The C++ runtime keeps each thread's exception state in its own
// thread-local storage, which the C library may allocate only on the
// thread's first access, that is, at its first throw: with memory exhausted
// the process would then abort. Asking for the count of uncaught exceptions
// reads that state (libstdc++ and libc++abi alike), so calling this where a
// thread starts work makes it while nothing can fail yet.
inline void prepare_exception_state() noexcept {
  [[maybe_unused]] volatile int pending = std::uncaught_exceptions();
}

}  // namespace velkor::platform
