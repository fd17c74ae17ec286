// The native call stack of the calling thread, written to standard error.
#include "platform/backtrace.hpp"

// glibc has <execinfo.h>; musl has none.
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#include <unistd.h>
#define VELKOR_HAVE_EXECINFO 1
#endif

namespace velkor::platform {

bool write_backtrace() noexcept {
#if defined(VELKOR_HAVE_EXECINFO)
  void* frames[65];
  const int n = backtrace(frames, 65);
  // From the caller's frame on, straight to the file descriptor, allocating
  // nothing.
  if (n > 1) backtrace_symbols_fd(frames + 1, n - 1, STDERR_FILENO);
  return true;
#else
  return false;
#endif
}

}  // namespace velkor::platform
