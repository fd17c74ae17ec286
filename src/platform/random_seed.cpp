// A random 64-bit seed from the operating system's entropy source.
#include "platform/random_seed.hpp"

#if defined(_WIN32)
#include "platform/win32.hpp"
#include <bcrypt.h>
#else
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif
#endif

#include <chrono>

namespace velkor::platform {

namespace {

bool read_entropy(std::uint64_t& seed) noexcept {
#if defined(_WIN32)
  // The system's preferred generator; no algorithm handle to open or close.
  return BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&seed), sizeof seed,
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#else
  // getentropy() fills up to 256 bytes in one call, blocks only until the
  // kernel's pool is first seeded, and exists in glibc (2.25 and later),
  // musl, macOS (10.12 and later) and the BSDs.
  return getentropy(&seed, sizeof seed) == 0;
#endif
}

}  // namespace

std::uint64_t random_seed() noexcept {
  std::uint64_t seed = 0;
  if (read_entropy(seed)) return seed;
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

}  // namespace velkor::platform
