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
  void* frames[64];
  const int n = backtrace(frames, 64);
  // Writes straight to the file descriptor and allocates nothing.
  backtrace_symbols_fd(frames, n, STDERR_FILENO);
  return true;
#else
  return false;
#endif
}

}  // namespace velkor::platform
