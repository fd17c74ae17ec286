// What memory the system can still give this process: available memory, the limits of its group, its address space.
#pragma once

#include <cstddef>

namespace velkor::platform {

// Each figure is in bytes, SIZE_MAX where there is no such limit or it
// cannot be read.

// Memory the system can still give without failing or ending processes:
//  - Linux: available memory plus free swap (/proc/meminfo);
//  - macOS: free, inactive, speculative and purgeable pages
//    (host_statistics64), at most the installed memory (hw.memsize), plus
//    the free part of the swap files (vm.swapusage);
//  - Windows: what can still be committed (physical memory plus page file,
//    GlobalMemoryStatusEx).
std::size_t available_memory() noexcept;

// The room left under the memory limits of the process's group:
//  - Linux: the cgroup's limit less its usage (v2 memory.max, v1
//    memory.limit_in_bytes; with `reclaimable`, the inactive page cache,
//    which the kernel reclaims before it refuses memory, not counted as
//    used), the smallest over the process's cgroup and its ancestors;
//  - Windows: the job object's limits on the process's and on the whole
//    job's committed memory;
//  - macOS: none.
std::size_t group_memory_room(bool reclaimable = true) noexcept;

// The room left in the address space:
//  - Linux: under RLIMIT_AS (ulimit -v), less what is mapped;
//  - Windows: the free part of the process's user-mode address space;
//  - macOS: none (every process there maps gigabytes of shared system
//    libraries, so no usable RLIMIT_AS can be set).
std::size_t address_space_room() noexcept;

struct MemoryRoom {
  // The smallest of the three.
  std::size_t memory;
  // address_space_room().
  std::size_t address_space;
};
// The room, `precise` or quick. A quick reading is cheap enough for every
// call and never above the precise one by more than what the system keeps
// in reserve: on Linux, half of the free memory and swap (one sysinfo call)
// instead of the available memory, the cgroup limits as read within the
// last second, usage without the reclaimable page cache. A precise reading
// reads everything afresh and counts the group's reclaimable page cache as
// room. Elsewhere both are the precise reading.
MemoryRoom memory_room(bool precise) noexcept;

// Finds the process's cgroup directories and reads their limits once, so
// that later readings only read the usage under them (Linux; nothing
// elsewhere). Called when the module is
// made, with the interpreter lock held: the directories are never looked
// for while a computation runs. A process moved to another cgroup later
// keeps the limits of the first.
void prepare_memory_room() noexcept;

}  // namespace velkor::platform
