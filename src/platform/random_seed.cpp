// A random 64-bit seed from the operating system's entropy source.
#include "platform/random_seed.hpp"

#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

#include <chrono>

namespace velkor::platform {

// getentropy() fills up to 256 bytes in one call, blocks only until the
// kernel's pool is first seeded, and exists in glibc (2.25 and later), musl,
// macOS and the BSDs.
std::uint64_t random_seed() noexcept {
  std::uint64_t seed = 0;
  if (getentropy(&seed, sizeof seed) == 0) return seed;
  return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

}  // namespace velkor::platform
