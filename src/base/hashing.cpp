// The process-wide hash key, read once from the operating system's random source.
#include "base/hashing.hpp"

#include "platform/random_seed.hpp"

namespace velkor::base {

std::uint64_t process_hash_key() noexcept {
  static const std::uint64_t key = platform::random_seed();
  return key;
}

}  // namespace velkor::base
