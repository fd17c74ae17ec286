// Forks of the process, as seen by the code that runs in the child.
#pragma once

#include <cstdint>

namespace velkor::platform {

// How many times this process came out of fork() as the child: code that
// reads a different count than before a fork runs in a child, where of all
// threads only the forking one exists.
std::uint64_t forks_so_far() noexcept;

}  // namespace velkor::platform
