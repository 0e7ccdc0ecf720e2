#include "exports/in_code_exports.h"

#include "driver/run_state.h"

namespace prepqdm {

uint32_t FindExportSection(const ObjectModule&) { return 0; }
Status CollectInCodeExports(RunState&, const ObjectModule&, const SectionHeader&, uint32_t) { return 0; }
Status CollectAllInCodeExports(RunState&) { return 0; }  // placeholder

}  // namespace prepqdm
