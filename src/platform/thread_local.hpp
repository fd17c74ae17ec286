// The model of the module's own thread-local variables (VELKOR_TLS_MODEL).
#pragma once

// <features.h> defines __GLIBC__ under glibc; musl has the header but
// defines no such macro.
#if __has_include(<features.h>)
#include <features.h>
#endif

// Placed after `thread_local` on the module's thread-local variables.
//
// glibc keeps a reserve of static TLS for modules loaded with dlopen, so the
// initial-exec model works there: every access is one load at a fixed
// offset from the thread pointer, and nothing is allocated on a thread's
// first access (dynamic TLS is allocated then, and glibc aborts the process
// when that allocation fails).
//
// Other C libraries (musl) refuse to load a module that asks for static TLS
// with dlopen. There, and on macOS and Windows, the compiler's default
// model for such a module is used. musl allocates a module's TLS for every
// thread at dlopen and thread creation, never at first access; macOS'
// loader, like glibc's dynamic model, allocates a thread's block at its
// first access, and so does the emulated TLS of mingw-w64's GCC (MSVC's
// image TLS is made with the thread).
//
// The dynamic model costs a call into the loader per access: on glibc,
// about 240 instructions more per call into the module and 17 more per entry
// of a result dict (1% of building it). Define VELKOR_TLS_DYNAMIC to build
// with it on glibc too.
#if defined(__GLIBC__) && defined(__GNUC__) && !defined(VELKOR_TLS_DYNAMIC)
#define VELKOR_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define VELKOR_TLS_MODEL
#endif
