// Hash mixing for the module's own containers: a keyed 64-bit finaliser.
#pragma once

#include <cstdint>

namespace velkor::base {

// A random key taken once per process from the operating system (when the
// module is made, or at first use), so that crafted node numbers cannot
// force every key into one probe chain.
std::uint64_t process_hash_key() noexcept;

// Mixes a 64-bit key with the process key (splitmix64 finaliser).
inline std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= process_hash_key();
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace velkor::base
