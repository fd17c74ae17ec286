// The native call stack of the calling thread, written to standard error.
#include "platform/backtrace.hpp"

// glibc and macOS have <execinfo.h>; musl has none.
#if defined(_WIN32)
#include "platform/win32.hpp"

#include <cstdio>
#elif __has_include(<execinfo.h>)
#include <execinfo.h>
#include <unistd.h>
#define VELKOR_HAVE_EXECINFO 1
#endif

namespace velkor::platform {

bool write_backtrace() noexcept {
#if defined(_WIN32)
  // From the caller's frame on, one line per frame: the module's path and
  // the offset in it (symbols need the debugging tools' files), formatted
  // on the stack and written straight to the handle.
  void* frames[64];
  const USHORT n = CaptureStackBackTrace(1, 64, frames, nullptr);
  const HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
  for (USHORT i = 0; i < n; ++i) {
    HMODULE module = nullptr;
    char path[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCSTR>(frames[i]), &module))
      GetModuleFileNameA(module, path, sizeof path);
    const auto address = reinterpret_cast<unsigned long long>(frames[i]);
    const auto offset = address - reinterpret_cast<unsigned long long>(module);
    char line[MAX_PATH + 64];
    const int length = std::snprintf(line, sizeof line, "%s(+0x%llx) [0x%llx]\n", path, offset, address);
    if (length <= 0) continue;
    DWORD written = 0;
    WriteFile(out, line, static_cast<DWORD>(length < static_cast<int>(sizeof line) ? length : sizeof line - 1),
              &written, nullptr);
  }
  return true;
#elif defined(VELKOR_HAVE_EXECINFO)
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
