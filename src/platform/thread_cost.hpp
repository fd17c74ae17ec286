// What a thread that a call starts takes of the process: its stack and its allocator arena.
#pragma once

#include <cstddef>

namespace velkor::platform {

struct ThreadCost {
  // Address space the thread maps (its stack; under glibc, the malloc arena
  // its first allocation makes, which stays mapped after the thread ends
  // and is reused by later threads).
  std::size_t address_space;
  // Memory it holds while it runs: the part of its stack it touches, its
  // thread-local storage and control block.
  std::size_t memory;
};

// The cost of one std::thread with the default attributes.
ThreadCost thread_cost() noexcept;

}  // namespace velkor::platform
