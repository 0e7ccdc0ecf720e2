#include "output/export_object_writer.h"

#include "driver/run_state.h"

namespace prepqdm {

Status WriteExportObject(RunState&) { return 0; }       // placeholder
Status WriteEmptyExportObject(RunState&) { return 0; }  // placeholder

}  // namespace prepqdm
