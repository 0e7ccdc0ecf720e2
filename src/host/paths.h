// Path helpers. Names are byte strings; a full path is absolute against the
// working directory with "." and ".." collapsed lexically (links are left
// alone) and '/' separators.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace prepqdm {

// Paths that do not fit the classic 260-character buffer (259 characters and
// the terminator) fail the attempt that forms them.
constexpr size_t kMaxPath = 260;

// The full path of `name`, or nothing when the working directory cannot be
// read or the result is `limit` characters or longer.
std::optional<std::string> FullPath(std::string_view name, size_t limit = kMaxPath);

// The part after the last '/' or '\\' (the whole path when there is none).
std::string_view FileNamePart(std::string_view path);

// ASCII-only case-insensitive equality (A-Z only).
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

}  // namespace prepqdm
