// Linux cgroups of this process: the directories of a hierarchy that bound it, and reading their files.
#include "platform/cgroup.hpp"

#if defined(__linux__)

#include <cstdio>
#include <cstring>
#include <memory>

namespace velkor::platform::linux_cgroup {

namespace {

struct CloseFile {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

}  // namespace

std::vector<std::string> levels(bool v2, const char* controller, const std::string& mount) {
  const File f(std::fopen("/proc/self/cgroup", "r"));
  if (!f) return {};
  std::vector<std::string> dirs{mount};
  const std::string wanted = std::string(",") + controller + ",";
  std::string path;
  bool found = false;
  char line[4096];
  while (std::fgets(line, sizeof line, f.get())) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    const auto first = s.find(':');
    const auto second = first == std::string::npos ? std::string::npos : s.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = s.substr(first + 1, second - first - 1);
    const bool match = v2 ? (s.compare(0, first, "0") == 0 && controllers.empty())
                          : (("," + controllers + ",").find(wanted) != std::string::npos);
    if (match) {
      path = s.substr(second + 1);
      found = true;
      break;
    }
  }
  if (!found) return dirs;
  while (!path.empty() && path != "/") {
    dirs.push_back(mount + path);
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) break;
    path.resize(slash);
  }
  return dirs;
}

bool read_number(const std::string& path, unsigned long long& out) {
  const File f(std::fopen(path.c_str(), "r"));
  return f && std::fscanf(f.get(), "%llu", &out) == 1;
}

int read_numbers(const std::string& path, long long& a, long long& b) {
  const File f(std::fopen(path.c_str(), "r"));
  if (!f) return 0;
  const int n = std::fscanf(f.get(), "%lld %lld", &a, &b);
  return n > 0 ? n : 0;
}

unsigned long long read_field(const std::string& path, const char* name) {
  const File f(std::fopen(path.c_str(), "r"));
  if (!f) return 0;
  char field[64];
  unsigned long long value = 0;
  while (std::fscanf(f.get(), "%63s %llu", field, &value) == 2)
    if (std::strcmp(field, name) == 0) return value;
  return 0;
}

}  // namespace velkor::platform::linux_cgroup

#endif
