// The process-wide hash key, read once from the operating system's random source.
#include "base/hashing.hpp"

#include <sys/random.h>

#include <chrono>

namespace velkor::base {

namespace {

std::uint64_t read_random_key() noexcept {
  std::uint64_t key = 0;
  std::size_t got = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&key);
  while (got < sizeof key) {
    ssize_t n = getrandom(bytes + got, sizeof key - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof key) {
    // No random source: fall back to the clock, which still varies per run.
    key ^= static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return key;
}

}  // namespace

std::uint64_t process_hash_key() noexcept {
  static const std::uint64_t key = read_random_key();
  return key;
}

}  // namespace velkor::base
