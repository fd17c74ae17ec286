// The number of CPUs this process can use.
#pragma once

namespace velkor::platform {

// At least 1:
//  - Linux: the CPUs of the process's affinity mask, and no more than its
//    cgroups' CPU quota allows (v2 cpu.max, v1 cpu.cfs_quota_us, rounded
//    up; read once per process);
//  - macOS: the active CPUs (sysctl hw.activecpu);
//  - Windows: the active processors of all processor groups, or those of
//    the process's affinity mask on a machine with one group.
// Elsewhere std::thread::hardware_concurrency().
unsigned usable_cpus() noexcept;

}  // namespace velkor::platform
