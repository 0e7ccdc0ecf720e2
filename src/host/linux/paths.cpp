#include "host/paths.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "host/mapped_file.h"

namespace prepqdm {

// Full paths have no length limit here; PATH_MAX bounds only the names one
// system call takes, and OpenableName keeps those short.
const size_t kInputPathLimit = SIZE_MAX;

bool IsPathSeparator(char c) { return c == '/'; }

std::string SlashSeparated(std::string_view path) { return std::string(path); }

namespace {

// The working directory, however long. Beyond PATH_MAX the C library finds
// it by walking up the tree, and getcwd says ERANGE until the buffer holds it.
std::optional<std::string> WorkingDirectory() {
  char usual[PATH_MAX];
  if (getcwd(usual, sizeof usual)) return std::string(usual);
  for (std::string buffer(2 * sizeof usual, '\0'); errno == ERANGE; buffer.resize(2 * buffer.size())) {
    if (getcwd(buffer.data(), buffer.size())) return std::string(buffer.c_str());
  }
  return std::nullopt;
}

// The parts of `path` between '/', less the empty ones and ".", which name
// nothing.
std::vector<std::string_view> Parts(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  return parts;
}

}  // namespace

std::optional<std::string> FullPath(std::string_view name, size_t limit) {
  std::string joined;
  if (name.empty() || name[0] != '/') {
    std::optional<std::string> directory = WorkingDirectory();
    if (!directory) return std::nullopt;
    joined = std::move(*directory);
    joined += '/';
  }
  joined.append(name);

  std::vector<std::string_view> parts;
  for (std::string_view part : Parts(joined)) {
    if (part != "..") parts.push_back(part);
    else if (!parts.empty()) parts.pop_back();
  }
  std::string full;
  for (std::string_view part : parts) {
    full += '/';
    full.append(part);
  }
  // Appended rather than assigned from a literal: GCC 12 at -O3 takes the
  // assignment for an overlapping copy (-Wrestrict).
  if (full.empty()) full += '/';
  if (full.size() >= limit) return std::nullopt;
  return full;
}

// The working directory's path holds no links, so a ".." taken from it goes
// where the lexical ".." of a full path goes, and the relative name reaches
// the same file as the full path would.
std::string OpenableName(const std::string& path) {
  if (path.size() < PATH_MAX || path[0] != '/') return path;
  std::optional<std::string> directory = WorkingDirectory();
  if (!directory) return path;
  const std::vector<std::string_view> here = Parts(*directory);
  const std::vector<std::string_view> there = Parts(path);
  size_t common = 0;
  while (common < here.size() && common < there.size() && here[common] == there[common]) ++common;
  std::string name;
  for (size_t i = common; i < here.size(); ++i) name += name.empty() ? ".." : "/..";
  for (size_t i = common; i < there.size(); ++i) {
    if (!name.empty()) name += '/';
    name.append(there[i]);
  }
  if (name.empty()) name += '.';
  if (path.back() == '/') name += '/';
  return name;
}

std::optional<FileIdentity> IdentifyFile(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(OpenableName(path).c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), S_ISREG(st.st_mode)};
}

bool SameFile(const std::string& a, const std::string& b) {
  return SameFile(a, IdentifyFile(a), b, IdentifyFile(b));
}

bool SameFile(const std::string& a, const std::optional<FileIdentity>& x, const std::string& b,
              const std::optional<FileIdentity>& y) {
  if (x && y) return x->device == y->device && x->inode == y->inode;
  if (x || y) return false;
  std::optional<std::string> full_a = FullPath(a, SIZE_MAX);
  std::optional<std::string> full_b = FullPath(b, SIZE_MAX);
  return full_a && full_b && *full_a == *full_b;
}

// The fstat of the mapping gave the whole identity, and only a regular file
// is mapped.
bool SameFile(const MappedFile& a, const std::string& b, const std::optional<FileIdentity>& y) {
  if (!a.file_backed) return SameFile(a.path, IdentifyFile(a.path), b, y);
  return SameFile(a.path, FileIdentity{a.device, a.inode, true}, b, y);
}

}  // namespace prepqdm
