// Run-time SIMD dispatch of the hot kernels, and forced inlining of their helpers.
#pragma once

namespace velkor::platform {
// Detects the CPU's level where kernels are chosen by a switch at run time
// (nothing to do elsewhere). Called when the module is made.
void prepare_simd_level() noexcept;
}  // namespace velkor::platform

// <features.h> defines __GLIBC__ under glibc; musl has the header but
// defines no such macro.
#if __has_include(<features.h>)
#include <features.h>
#endif

// A kernel is written once and compiled for AVX-512F, AVX2 and the plain
// x86-64 baseline; the build itself stays at the baseline. The variant that
// runs is chosen by the CPU:
//  - where the loader resolves GNU indirect functions (glibc on ELF), with
//    target_clones, at load time;
//  - on other x86-64 systems (musl refuses IRELATIVE relocations; macOS and
//    Windows have no indirect functions), through a switch on the CPU's
//    level, detected once per process.
// Helpers inlined into a kernel are compiled for each of its targets. The
// kernels do integer arithmetic only, so every variant gives identical
// results. Elsewhere a kernel is compiled once, for the build's target:
// on aarch64 that includes NEON, which every aarch64 CPU has. MSVC cannot
// compile one function for another instruction set than the build's, so
// an MSVC build on x86-64 runs the baseline (SSE2) kernels.
//
//   VELKOR_SIMD_KERNEL(name, (T a, U b), (a, b)) { body }
//
// defines `void name(T a, U b)`.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && defined(__GLIBC__) && \
    !defined(VELKOR_NO_IFUNC)

#define VELKOR_SIMD_KERNEL(name, params, args) \
  __attribute__((target_clones("avx512f", "avx2", "default"))) void name params

#elif defined(__GNUC__) && defined(__x86_64__)

#define VELKOR_SIMD_RUNTIME_SWITCH 1

#include <atomic>

namespace velkor::platform {

enum class SimdLevel { baseline, avx2, avx512f };

// The best level the CPU and the operating system support (the OS must save
// the wider registers). VELKOR_SIMD_LEVEL=baseline or avx2 in the environment
// caps it, so that tests can run every variant.
SimdLevel detect_simd_level() noexcept;

// detect_simd_level(), once per process: when the module is made
// (prepare_simd_level, with the interpreter lock held), or at first use.
// Kept in an atomic rather than a function's static, whose initialisation,
// if in flight when another thread forks, would block the child for ever.
extern std::atomic<int> detected_simd_level;  // -1 until detected

inline SimdLevel simd_level() noexcept {
  int level = detected_simd_level.load(std::memory_order_relaxed);
  if (level < 0) {
    level = static_cast<int>(detect_simd_level());
    detected_simd_level.store(level, std::memory_order_relaxed);
  }
  return static_cast<SimdLevel>(level);
}

}  // namespace velkor::platform

#define VELKOR_SIMD_KERNEL(name, params, args)                                          \
  static inline __attribute__((always_inline)) void name##_body params;                 \
  __attribute__((target("avx512f"))) void name##_avx512f params { name##_body args; }   \
  __attribute__((target("avx2"))) void name##_avx2 params { name##_body args; }         \
  void name##_baseline params { name##_body args; }                                     \
  void name params {                                                                    \
    switch (::velkor::platform::simd_level()) {                                         \
      case ::velkor::platform::SimdLevel::avx512f: return name##_avx512f args;          \
      case ::velkor::platform::SimdLevel::avx2: return name##_avx2 args;                \
      default: return name##_baseline args;                                             \
    }                                                                                   \
  }                                                                                     \
  static inline __attribute__((always_inline)) void name##_body params

#else

#define VELKOR_SIMD_KERNEL(name, params, args) void name params

#endif

#if defined(__GNUC__)
#define VELKOR_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define VELKOR_INLINE __forceinline
#else
#define VELKOR_INLINE inline
#endif
