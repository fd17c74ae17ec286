// Makes the C++ runtime's per-thread exception state ahead of the first throw on a thread.
#pragma once

#include <exception>

// libc++abi (the C++ ABI library under libc++: macOS, and clang's libc++
// elsewhere) defines __cxa_get_globals but does not declare it in
// <cxxabi.h>; its signature is part of the Itanium C++ ABI.
#if defined(_LIBCPP_VERSION) && !defined(_MSC_VER)
extern "C" void* __cxa_get_globals() noexcept;
#endif

namespace velkor::platform {

// The C++ runtime keeps each thread's exception state in storage of its
// own, which it may allocate only on the thread's first access, that is, at
// its first throw: with memory exhausted the process would then abort.
// Calling this where a thread starts work makes it while nothing can fail
// yet.
//  - libstdc++: asking for the count of uncaught exceptions reads (and so
//    makes) the state.
//  - libc++abi: that count does not make the state (it is kept under a
//    thread key and made by __cxa_get_globals alone), so the state is asked
//    for directly.
//  - Microsoft's C++ runtime makes a thread's state when the thread starts.
inline void prepare_exception_state() noexcept {
#if defined(_LIBCPP_VERSION) && !defined(_MSC_VER)
  [[maybe_unused]] void* volatile state = __cxa_get_globals();
#else
  [[maybe_unused]] volatile int pending = std::uncaught_exceptions();
#endif
}

}  // namespace velkor::platform
