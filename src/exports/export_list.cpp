#include "exports/export_list.h"

#include "driver/run_state.h"

namespace prepqdm {

ExportList::~ExportList() {
  while (head) {
    ExportEntry* next = head->next;
    delete head;
    head = next;
  }
}

Status SelectExports(RunState&, MappedFile*, MappedFile*) { return 0; }  // placeholder
Status CheckAndAddExport(RunState&, const uint8_t*, uint32_t) { return -1; }
Status AddExport(RunState&, TrackedSymbol*) { return -1; }
int CompareExportNames(const ExportEntry*, const ExportEntry*) { return 0; }

}  // namespace prepqdm
