// Writes the export object: up to two export tables (code, data) with their
// relocations, symbols and string tables, or the fixed empty object.
#pragma once
#include "host/status.h"

namespace prepqdm {

struct RunState;

Status WriteExportObject(RunState& run);
Status WriteEmptyExportObject(RunState& run);

}  // namespace prepqdm
