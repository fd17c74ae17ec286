// Forks of the process, as seen by the code that runs in the child.
#pragma once

#include <cstdint>

namespace velkor::platform {

// How many times this process came out of fork() as the child: code that
// reads a different count than before a fork runs in a child, where of all
// threads only the forking one exists.
std::uint64_t forks_so_far() noexcept;

// Registers the counting of forks. Called when the module is made, with the
// interpreter lock held, so that no registration is under way when another
// thread forks; forks_so_far() registers it too, if it is not yet.
void prepare_fork_count() noexcept;

}  // namespace velkor::platform
