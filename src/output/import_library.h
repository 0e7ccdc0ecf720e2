// The import library: an `ar` archive holding one stub object whose import
// sections define every exported name at its slot.
#pragma once
#include "host/status.h"

namespace prepqdm {

struct RunState;

// Builds the library from the re-read export object (run.export_object).
Status BuildImportLibrary(RunState& run);

}  // namespace prepqdm
