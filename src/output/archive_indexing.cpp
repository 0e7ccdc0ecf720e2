#include "output/archive_indexing.h"

#include "driver/run_state.h"

namespace prepqdm {

void IndexImportLibrary(RunState&) {}  // placeholder

}  // namespace prepqdm
