// A random 64-bit seed from the operating system's entropy source.
#pragma once

#include <cstdint>

namespace velkor::platform {

// 64 bits from the operating system's random source; when that cannot be
// read, a value from the clock, which still differs between runs.
std::uint64_t random_seed() noexcept;

}  // namespace velkor::platform
