// The import library: an `ar` archive holding one stub object whose import
// sections define every exported name at its slot.
#pragma once
#include <string>
#include <string_view>

#include "host/status.h"

namespace prepqdm {

struct RunState;

// Builds the library from the re-read export object (run.export_object).
Status BuildImportLibrary(RunState& run);

// The module's file name without directories, ASCII letters lower-cased.
std::string ModuleBaseName(std::string_view module_name);

}  // namespace prepqdm
