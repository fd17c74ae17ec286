// Run-time SIMD dispatch for the hot kernels, and forced inlining of their helpers.
#pragma once

// Hot kernels are compiled several times and picked at load time by the CPU
// they run on; the baseline build stays at the plain x86-64 level. Helpers
// inlined into such a function are compiled for each of its targets.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__) && !defined(VELKOR_NO_CLONES)
#define VELKOR_SIMD_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VELKOR_SIMD_CLONES
#endif

#if defined(__GNUC__)
#define VELKOR_INLINE inline __attribute__((always_inline))
#else
#define VELKOR_INLINE inline
#endif
