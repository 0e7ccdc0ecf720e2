#include "host/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace prepqdm {

bool IsPathSeparator(char c) { return c == '/'; }

std::optional<std::string> FullPath(std::string_view name, size_t limit) {
  std::string joined;
  if (name.empty() || name[0] != '/') {
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return std::nullopt;
    joined = buffer;
    joined += '/';
  }
  joined.append(name);

  std::vector<std::string_view> parts;
  std::string_view rest(joined);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string full;
  for (std::string_view part : parts) {
    full += '/';
    full.append(part);
  }
  if (full.empty()) full = "/";
  if (full.size() >= limit) return std::nullopt;
  return full;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), S_ISREG(st.st_mode)};
}

bool SameFile(const std::string& a, const std::string& b) {
  std::optional<FileIdentity> x = IdentifyFile(a);
  std::optional<FileIdentity> y = IdentifyFile(b);
  if (x && y) return x->device == y->device && x->inode == y->inode;
  if (x || y) return false;
  std::optional<std::string> full_a = FullPath(a, SIZE_MAX);
  std::optional<std::string> full_b = FullPath(b, SIZE_MAX);
  return full_a && full_b && *full_a == *full_b;
}

}  // namespace prepqdm
