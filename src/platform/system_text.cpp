// What Linux's system files say, read from their text.
#include "platform/system_text.hpp"

#include <cstdint>

namespace velkor::platform::system_text {

namespace {

bool blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool digit(char c) noexcept { return c >= '0' && c <= '9'; }

void skip_blanks(std::string_view& s) noexcept {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
}

// Digits at the start of `s`, consumed; nullopt when there are none or
// they overflow.
std::optional<unsigned long long> take_digits(std::string_view& s) noexcept {
  if (s.empty() || !digit(s.front())) return std::nullopt;
  unsigned long long value = 0;
  while (!s.empty() && digit(s.front())) {
    const unsigned d = static_cast<unsigned>(s.front() - '0');
    if (value > (kUnlimited - d) / 10) return std::nullopt;
    value = value * 10 + d;
    s.remove_prefix(1);
  }
  return value;
}

// A signed number (an optional minus sign, then digits) after any blanks,
// consumed.
std::optional<long long> take_signed(std::string_view& s) noexcept {
  skip_blanks(s);
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  const auto magnitude = take_digits(s);
  if (!magnitude || *magnitude > static_cast<unsigned long long>(INT64_MAX)) return std::nullopt;
  const auto value = static_cast<long long>(*magnitude);
  return negative ? -value : value;
}

// The next line of `s` (without its newline), consumed.
std::string_view take_line(std::string_view& s) noexcept {
  const auto end = s.find('\n');
  const std::string_view line = s.substr(0, end);
  s.remove_prefix(end == std::string_view::npos ? s.size() : end + 1);
  return line;
}

std::size_t clamp_to_size(unsigned long long bytes) noexcept {
  return bytes > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(bytes);
}

// The CPUs a quota pays for in each period, rounded up; 0 for no quota.
unsigned quota_cpus(long long quota, long long period) noexcept {
  if (quota <= 0 || period <= 0) return 0;
  const long long cpus = quota / period + (quota % period != 0);
  return cpus > 65536 ? 0u : static_cast<unsigned>(cpus);
}

}  // namespace

std::optional<unsigned long long> first_number(Text text) noexcept {
  if (!text) return std::nullopt;
  std::string_view s = *text;
  skip_blanks(s);
  return take_digits(s);
}

std::vector<std::string> cgroup_levels(Text proc_self_cgroup, bool v2, std::string_view controller,
                                       const std::string& mount) {
  if (!proc_self_cgroup) return {};
  std::vector<std::string> dirs{mount};
  std::string_view rest = *proc_self_cgroup;
  std::string_view path;
  bool found = false;
  while (!rest.empty() && !found) {
    const std::string_view line = take_line(rest);
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    if (v2) {
      found = line.substr(0, first) == "0" && controllers.empty();
    } else {
      for (std::string_view list = controllers; !found;) {
        const auto comma = list.find(',');
        found = list.substr(0, comma) == controller;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
      }
    }
    if (found) path = line.substr(second + 1);
  }
  if (!found) return dirs;
  while (!path.empty() && path != "/") {
    dirs.push_back(mount + std::string(path));
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) break;
    path = path.substr(0, slash);
  }
  return dirs;
}

unsigned long long memory_limit(Text text) noexcept {
  const auto limit = first_number(text);
  // v1 reports "no limit" as a huge page-aligned number.
  return !limit || *limit >= (1ULL << 62) ? kUnlimited : *limit;
}

unsigned long long stat_field(Text text, std::string_view name) noexcept {
  if (!text) return 0;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::string_view line = take_line(rest);
    skip_blanks(line);
    const auto space = line.find_first_of(" \t");
    if (space == std::string_view::npos || line.substr(0, space) != name) continue;
    line.remove_prefix(space);
    return first_number(line).value_or(0);
  }
  return 0;
}

std::size_t room_under_limit(unsigned long long limit, Text usage, Text stat, bool v2, bool reclaimable) noexcept {
  if (limit == kUnlimited) return SIZE_MAX;
  const auto used_now = first_number(usage);
  if (!used_now) return SIZE_MAX;
  const unsigned long long cache = reclaimable ? stat_field(stat, v2 ? "inactive_file" : "total_inactive_file") : 0;
  const unsigned long long used = *used_now > cache ? *used_now - cache : 0;
  return used >= limit ? 0 : clamp_to_size(limit - used);
}

unsigned quota_cpus_v2(Text cpu_max) noexcept {
  if (!cpu_max) return 0;
  std::string_view s = *cpu_max;
  const auto quota = take_signed(s);
  const auto period = take_signed(s);
  return quota && period ? quota_cpus(*quota, *period) : 0;
}

unsigned quota_cpus_v1(Text cfs_quota_us, Text cfs_period_us) noexcept {
  if (!cfs_quota_us || !cfs_period_us) return 0;
  std::string_view q = *cfs_quota_us, p = *cfs_period_us;
  const auto quota = take_signed(q);
  const auto period = take_signed(p);
  return quota && period ? quota_cpus(*quota, *period) : 0;
}

std::size_t meminfo_available(Text meminfo) noexcept {
  if (!meminfo) return SIZE_MAX;
  std::string_view rest = *meminfo;
  std::optional<unsigned long long> available_kb;
  unsigned long long swap_free_kb = 0;
  constexpr std::string_view kAvailable = "MemAvailable:", kSwapFree = "SwapFree:";
  while (!rest.empty()) {
    const std::string_view line = take_line(rest);
    if (line.starts_with(kAvailable)) {
      available_kb = first_number(line.substr(kAvailable.size()));
    } else if (line.starts_with(kSwapFree)) {
      swap_free_kb = first_number(line.substr(kSwapFree.size())).value_or(0);
    }
  }
  if (!available_kb) return SIZE_MAX;
  const unsigned long long kb = *available_kb + swap_free_kb;
  return kb > kUnlimited / 1024 ? SIZE_MAX : clamp_to_size(kb * 1024);
}

std::size_t address_space_room(unsigned long long limit, Text statm, unsigned long long page_size) noexcept {
  if (limit == kUnlimited) return SIZE_MAX;
  const auto pages = first_number(statm);
  if (!pages) return SIZE_MAX;
  const unsigned long long mapped =
      page_size != 0 && *pages > kUnlimited / page_size ? kUnlimited : *pages * page_size;
  return mapped >= limit ? 0 : clamp_to_size(limit - mapped);
}

}  // namespace velkor::platform::system_text
