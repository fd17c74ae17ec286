// Linux's system files opened and read: the cgroups of this process and small files' texts.
#pragma once

#if defined(__linux__)

#include <optional>
#include <string>
#include <vector>

namespace velkor::platform::linux_cgroup {

// The text of a small system file (at most 64 KiB are read); nullopt when
// it is missing or cannot be read. May throw std::bad_alloc.
std::optional<std::string> read_text(const std::string& path);

// The directories whose limits bind this process in one cgroup hierarchy
// mounted at `mount` (system_text::cgroup_levels of /proc/self/cgroup).
// Inside a container the recorded path may not exist under the mount (the
// container sees its own cgroup as the root): such directories are listed
// all the same, and reading their files fails. May throw std::bad_alloc.
std::vector<std::string> levels(bool v2, const char* controller, const std::string& mount);

}  // namespace velkor::platform::linux_cgroup

#endif
