#include "output/import_library.h"

#include "driver/run_state.h"

namespace prepqdm {

Status BuildImportLibrary(RunState&) { return 0; }  // placeholder

}  // namespace prepqdm
