// The number of CPUs this process can use.
#pragma once

namespace velkor::platform {

// At least 1:
//  - Linux: the CPUs of the process's affinity mask (as read within the
//    last quarter second), and no more than its cgroups' CPU quota allows
//    (v2 cpu.max, v1 cpu.cfs_quota_us, rounded up; read once per process,
//    see prepare_cpu_count);
//  - macOS: the active CPUs (sysctl hw.activecpu);
//  - Windows: the active processors of all processor groups, or those of
//    the process's affinity mask on a machine with one group.
// Elsewhere std::thread::hardware_concurrency().
unsigned usable_cpus() noexcept;

// Reads what usable_cpus() reads once per process (the cgroup quota), so
// that it is never read while a computation runs. Called when the module is
// made, with the interpreter lock held.
void prepare_cpu_count() noexcept;

}  // namespace velkor::platform
