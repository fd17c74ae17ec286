// Run-time SIMD dispatch of the hot kernels, and forced inlining of their helpers.
#include "platform/simd_dispatch.hpp"

#if defined(VELKOR_SIMD_RUNTIME_SWITCH)
#include <cpuid.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace velkor::platform {

namespace {

// The register state the operating system saves on a context switch (XCR0).
std::uint64_t saved_state() noexcept {
  std::uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

SimdLevel cpu_level() noexcept {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return SimdLevel::baseline;
  const bool osxsave = c & bit_OSXSAVE;
  const bool avx = c & bit_AVX;
  if (!osxsave || !avx) return SimdLevel::baseline;
  const std::uint64_t state = saved_state();
  constexpr std::uint64_t kYmm = 0x6;     // SSE and AVX state
  constexpr std::uint64_t kZmm = 0xe6;    // plus opmask and the upper ZMM registers
  if ((state & kYmm) != kYmm) return SimdLevel::baseline;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return SimdLevel::baseline;
  if ((b & bit_AVX512F) && (state & kZmm) == kZmm) return SimdLevel::avx512f;
  if (b & bit_AVX2) return SimdLevel::avx2;
  return SimdLevel::baseline;
}

}  // namespace

std::atomic<int> detected_simd_level{-1};

void prepare_simd_level() noexcept { (void)simd_level(); }

SimdLevel detect_simd_level() noexcept {
  const SimdLevel level = cpu_level();
  const char* cap = std::getenv("VELKOR_SIMD_LEVEL");
  if (!cap) return level;
  if (std::strcmp(cap, "baseline") == 0) return SimdLevel::baseline;
  if (std::strcmp(cap, "avx2") == 0) return std::min(level, SimdLevel::avx2);
  return level;
}

}  // namespace velkor::platform

#else

namespace velkor::platform {
void prepare_simd_level() noexcept {}
}  // namespace velkor::platform

#endif
