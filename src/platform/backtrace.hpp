// The native call stack of the calling thread, written to standard error.
#pragma once

namespace velkor::platform {

// Writes the calling thread's call stack to standard error, one frame a
// line. Returns false, having written nothing, where the C library offers no
// way to walk the stack.
bool write_backtrace() noexcept;

}  // namespace velkor::platform
