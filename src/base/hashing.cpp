// The process-wide hash key, read once from the operating system's random source.
#include "base/hashing.hpp"

#include <atomic>

#include "platform/random_seed.hpp"

namespace velkor::base {

namespace {

// 0 until taken. An atomic rather than a function's static: a static being
// initialised when another thread forks would block the child for ever.
std::atomic<std::uint64_t> key{0};

}  // namespace

std::uint64_t process_hash_key() noexcept {
  std::uint64_t k = key.load(std::memory_order_relaxed);
  if (k == 0) {
    // Two threads may both take one; the first stored is kept.
    std::uint64_t seed = platform::random_seed() | 1;
    key.compare_exchange_strong(k, seed, std::memory_order_relaxed);
    k = key.load(std::memory_order_relaxed);
  }
  return k;
}

}  // namespace velkor::base
