// Linux's system files opened and read: the cgroups of this process and small files' texts.
#include "platform/cgroup.hpp"

#if defined(__linux__)

#include <cstdio>
#include <memory>

#include "platform/system_text.hpp"

namespace velkor::platform::linux_cgroup {

namespace {

struct CloseFile {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

constexpr std::size_t kMostRead = 64 << 10;

}  // namespace

std::optional<std::string> read_text(const std::string& path) {
  const File f(std::fopen(path.c_str(), "r"));
  if (!f) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (text.size() < kMostRead) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, f.get());
    text.append(chunk, got);
    if (got < sizeof chunk) break;
  }
  if (std::ferror(f.get())) return std::nullopt;
  return text;
}

std::vector<std::string> levels(bool v2, const char* controller, const std::string& mount) {
  const std::optional<std::string> text = read_text("/proc/self/cgroup");
  return system_text::cgroup_levels(text ? system_text::Text(*text) : std::nullopt, v2, controller, mount);
}

}  // namespace velkor::platform::linux_cgroup

#endif
