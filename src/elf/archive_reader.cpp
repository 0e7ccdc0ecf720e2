#include "elf/archive_reader.h"

#include "driver/run_state.h"

namespace prepqdm {

Status ReadArchive(RunState& run, MappedFile* archive) {
  (void)run; (void)archive;
  return 0;  // placeholder
}

}  // namespace prepqdm
