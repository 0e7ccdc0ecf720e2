// Path helpers. Names are byte strings; a full path is absolute against the
// working directory with "." and ".." collapsed lexically (links are left
// alone) and '/' separators.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace prepqdm {

// Paths that do not fit the classic 260-character buffer (259 characters and
// the terminator) fail the attempt that forms them.
constexpr size_t kMaxPath = 260;

// The limit that inputs and search-path candidates are resolved with: the
// classic buffer on Windows; none where full paths may be of any length.
extern const size_t kInputPathLimit;

// The full path of `name`, or nothing when the working directory cannot be
// read or the result is `limit` characters or longer.
std::optional<std::string> FullPath(std::string_view name, size_t limit = kMaxPath);

// A name by which the system opens the file at `path`: `path` itself, or,
// where one call takes names of a bounded length (PATH_MAX) and `path` is a
// longer full path, the same file named relative to the working directory,
// so that a working directory of any depth leaves its files reachable. The
// host's own file calls (MapFile, IdentifyFile, OpenForWrite) pass names
// through it; code that hands a full path to something else that opens it
// (an output being staged) does the same.
std::string OpenableName(const std::string& path);

// Whether `c` separates the parts of a full path on this host ('/', and on
// Windows also '\\').
bool IsPathSeparator(char c);

// `path` with '/' between its parts, the spelling Make and Ninja read on
// every host: on Windows each '\\' becomes '/'; elsewhere a '\\' is part of
// a name and stays.
std::string SlashSeparated(std::string_view path);

// The part after the last '/' or '\\' (the whole path when there is none).
std::string_view FileNamePart(std::string_view path);

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool regular = false;  // a regular file (not a device, FIFO or directory)
};

// The identity of the file at `path`, links followed; nothing when there is
// no file.
std::optional<FileIdentity> IdentifyFile(const std::string& path);

// Whether two paths name the same file, by the host's rule: on Linux the
// same file identity when both exist, else the same full path; on Windows
// also the same full path with case ignored.
bool SameFile(const std::string& a, const std::string& b);

// The same with each path's IdentifyFile already looked up, so that a caller
// comparing one file with many identifies each file once.
bool SameFile(const std::string& a, const std::optional<FileIdentity>& a_identity, const std::string& b,
              const std::optional<FileIdentity>& b_identity);

struct MappedFile;
// The same for a file this run has mapped, with the identity the open that
// mapped it took: a lookup by name opens the file again, which on Windows
// costs as much as reading a small object. A record made over other memory
// is looked up by its path.
bool SameFile(const MappedFile& a, const std::string& b, const std::optional<FileIdentity>& b_identity);

// ASCII-only case-insensitive equality (A-Z only).
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

}  // namespace prepqdm
