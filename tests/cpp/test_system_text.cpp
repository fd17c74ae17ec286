// The readers of Linux's system files, fed the texts that kernels, systemd and container runtimes produce.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "platform/system_text.hpp"

namespace st = velkor::platform::system_text;

namespace {

using Dirs = std::vector<std::string>;

void test_cgroup_levels() {
  const std::string v2 = "/sys/fs/cgroup", v1 = "/sys/fs/cgroup/memory";
  // A systemd host with cgroup v2 only: the session and each ancestor.
  CHECK(st::cgroup_levels("0::/user.slice/user-0.slice/session-3.scope\n", true, "memory", v2) ==
        (Dirs{v2, v2 + "/user.slice/user-0.slice/session-3.scope", v2 + "/user.slice/user-0.slice",
              v2 + "/user.slice"}));
  // A container that sees its own cgroup as the root, without a newline at the end.
  CHECK(st::cgroup_levels("0::/", true, "memory", v2) == Dirs{v2});
  // A v1 host (Docker): each controller on a line of its own, named
  // hierarchies beside them; the controller is a whole item of its list
  // ("cpu" is neither "cpuset" nor "cpuacct" alone).
  const char* docker =
      "12:pids:/docker/ab12\n"
      "5:cpuset:/docker/ab12/set\n"
      "4:cpu,cpuacct:/docker/ab12/cpu\n"
      "3:memory:/docker/ab12\n"
      "1:name=systemd:/docker/ab12/sd\n";
  CHECK(st::cgroup_levels(docker, false, "memory", v1) == (Dirs{v1, v1 + "/docker/ab12", v1 + "/docker"}));
  CHECK(st::cgroup_levels(docker, false, "cpu", "/c") == (Dirs{"/c", "/c/docker/ab12/cpu", "/c/docker/ab12", "/c/docker"}));
  CHECK(st::cgroup_levels(docker, false, "cpuacct", "/c").size() == 4);
  // No v2 line in a v1 host's file, and no memory line in a v2 host's:
  // the mount alone. Lines without two colons are passed over.
  CHECK(st::cgroup_levels(docker, true, "memory", v2) == Dirs{v2});
  CHECK(st::cgroup_levels("garbage\n0::/a/b\n", false, "memory", v1) == Dirs{v1});
  CHECK(st::cgroup_levels("garbage\n0::/a/b\n", true, "memory", v2) == (Dirs{v2, v2 + "/a/b", v2 + "/a"}));
  // A hybrid host: v1 controllers and the v2 unified line.
  const char* hybrid = "4:memory:/system.slice/x.service\n0::/system.slice/x.service\n";
  CHECK(st::cgroup_levels(hybrid, true, "memory", v2).size() == 3);
  CHECK(st::cgroup_levels(hybrid, false, "memory", v1).size() == 3);
  // No file: nothing, not even the mount.
  CHECK(st::cgroup_levels(std::nullopt, true, "memory", v2).empty());
}

void test_numbers_and_limits() {
  CHECK(st::first_number(" 42\n") == 42ULL);
  CHECK(!st::first_number("max\n"));
  CHECK(!st::first_number("-1\n"));
  CHECK(!st::first_number(""));
  CHECK(!st::first_number(std::nullopt));
  CHECK(!st::first_number("184467440737095516160\n"));  // beyond 64 bits
  CHECK(st::memory_limit("268435456\n") == 268435456ULL);
  CHECK(st::memory_limit("max\n") == st::kUnlimited);
  CHECK(st::memory_limit("9223372036854771712\n") == st::kUnlimited);  // v1's "no limit"
  CHECK(st::memory_limit(std::nullopt) == st::kUnlimited);

  const char* v2_stat = "anon 1000\nfile 9000\nactive_file 4000\ninactive_file 5000\n";
  const char* v1_stat = "cache 9000\ninactive_file 100\ntotal_inactive_file 5000\n";
  CHECK(st::stat_field(v2_stat, "inactive_file") == 5000);
  CHECK(st::stat_field(v1_stat, "inactive_file") == 100);
  CHECK(st::stat_field(v1_stat, "total_inactive_file") == 5000);
  CHECK(st::stat_field(v2_stat, "total_inactive_file") == 0);
  CHECK(st::stat_field(std::nullopt, "file") == 0);

  // The room under a limit: usage less the inactive page cache when it
  // counts, never below nothing; no room past the limit.
  CHECK(st::room_under_limit(100000, "60000\n", v2_stat, true, true) == 45000);
  CHECK(st::room_under_limit(100000, "60000\n", v2_stat, true, false) == 40000);
  CHECK(st::room_under_limit(100000, "60000\n", v1_stat, false, true) == 45000);
  CHECK(st::room_under_limit(100000, "60000\n", std::nullopt, true, true) == 40000);
  CHECK(st::room_under_limit(100000, "3000\n", v2_stat, true, true) == 100000);
  CHECK(st::room_under_limit(100000, "100000\n", v2_stat, true, false) == 0);
  CHECK(st::room_under_limit(100000, "250000\n", v2_stat, true, true) == 0);
  CHECK(st::room_under_limit(st::kUnlimited, "60000\n", v2_stat, true, true) == SIZE_MAX);
  CHECK(st::room_under_limit(100000, std::nullopt, v2_stat, true, true) == SIZE_MAX);
}

void test_cpu_quota() {
  // v2: below, at and above one CPU, rounded up; "max" and unreadable
  // texts are no quota.
  CHECK(st::quota_cpus_v2("50000 100000\n") == 1);
  CHECK(st::quota_cpus_v2("100000 100000\n") == 1);
  CHECK(st::quota_cpus_v2("150000 100000\n") == 2);
  CHECK(st::quota_cpus_v2("400000 100000\n") == 4);
  CHECK(st::quota_cpus_v2("max 100000\n") == 0);
  CHECK(st::quota_cpus_v2("50000\n") == 0);
  CHECK(st::quota_cpus_v2(std::nullopt) == 0);
  // v1: the quota and the period in files of their own; -1 is no quota.
  CHECK(st::quota_cpus_v1("50000\n", "100000\n") == 1);
  CHECK(st::quota_cpus_v1("250000\n", "100000\n") == 3);
  CHECK(st::quota_cpus_v1("-1\n", "100000\n") == 0);
  CHECK(st::quota_cpus_v1("50000\n", std::nullopt) == 0);
  CHECK(st::quota_cpus_v1(std::nullopt, "100000\n") == 0);
  CHECK(st::quota_cpus_v1("50000\n", "0\n") == 0);
}

void test_free_memory_and_address_space() {
  const char* meminfo =
      "MemTotal:       24000000 kB\n"
      "MemFree:         1000000 kB\n"
      "MemAvailable:   20000000 kB\n"
      "SwapTotal:       2000000 kB\n"
      "SwapFree:        1500000 kB\n";
  // 21.5 GB: more than a 32-bit size_t holds, where it reads as all there is.
  CHECK(st::meminfo_available(meminfo) == std::min<unsigned long long>(21500000ull * 1024, SIZE_MAX));
  // A kernel older than 3.14 has no MemAvailable: no reading.
  CHECK(st::meminfo_available("MemTotal: 1000 kB\nMemFree: 500 kB\n") == SIZE_MAX);
  CHECK(st::meminfo_available("MemAvailable: 1000 kB") == 1024000);
  CHECK(st::meminfo_available(std::nullopt) == SIZE_MAX);

  CHECK(st::address_space_room(1 << 30, "1000 300 20 1 0 500 0\n", 4096) == (1u << 30) - 4096000u);
  CHECK(st::address_space_room(4096000, "1000 300\n", 4096) == 0);
  CHECK(st::address_space_room(st::kUnlimited, "1000\n", 4096) == SIZE_MAX);
  CHECK(st::address_space_room(1 << 30, std::nullopt, 4096) == SIZE_MAX);
}

}  // namespace

void test_system_text() {
  test_cgroup_levels();
  test_numbers_and_limits();
  test_cpu_quota();
  test_free_memory_and_address_space();
}
