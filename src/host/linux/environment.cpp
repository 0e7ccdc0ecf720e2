#include "host/environment.h"

#include <cstdlib>

namespace prepqdm {

std::optional<std::string> EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string ResponseFileText(std::string_view bytes) { return std::string(bytes); }

// A backslash is a file-name character here, never a separator.
char ToolchainSeparator(std::string_view) { return '/'; }

}  // namespace prepqdm
