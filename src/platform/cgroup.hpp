// Linux cgroups of this process: the directories of a hierarchy that bound it, and reading their files.
#pragma once

#if defined(__linux__)

#include <string>
#include <vector>

namespace velkor::platform::linux_cgroup {

// The directories whose limits bind this process in one cgroup hierarchy
// mounted at `mount`: the mount itself, then the process's own cgroup and
// each of its ancestors, deepest first. The process's cgroup is the v2 line
// of /proc/self/cgroup ("0::/path") or, for v1, the line whose controller
// list names `controller`; when there is none, only the mount is listed,
// and nothing when /proc/self/cgroup cannot be read.
// Inside a container the recorded path may not exist under the mount (the
// container sees its own cgroup as the root): such directories are listed
// all the same, and reading their files fails. May throw std::bad_alloc.
std::vector<std::string> levels(bool v2, const char* controller, const std::string& mount);

// The first unsigned number of a small text file; false when the file is
// missing or starts with anything else ("max").
bool read_number(const std::string& path, unsigned long long& out);

// Up to two signed numbers at the start of a small text file; how many
// were read (0 when the file is missing or starts with anything else).
int read_numbers(const std::string& path, long long& a, long long& b);

// The value of the line "NAME VALUE" of a file of such lines (memory.stat);
// 0 when the file or the line is missing.
unsigned long long read_field(const std::string& path, const char* name);

}  // namespace velkor::platform::linux_cgroup

#endif
