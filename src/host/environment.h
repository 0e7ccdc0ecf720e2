// Environment and text conventions that differ between hosts. The program
// keeps every name and path as UTF-8; text read from the host in another
// encoding is converted here.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace prepqdm {

// The value of an environment variable, as UTF-8; nothing when unset.
std::optional<std::string> EnvironmentValue(const char* name);

// The text of a response file as UTF-8: on Windows response files are
// written in the ANSI code page; elsewhere their bytes are taken as they are.
std::string ResponseFileText(std::string_view bytes);

// The separator put between a TOOLCHAIN_ROOT directory and the archiver's
// name.
char ToolchainSeparator(std::string_view root);

}  // namespace prepqdm
