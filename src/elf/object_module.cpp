#include "elf/object_module.h"

#include "driver/run_state.h"
#include "elf/elf_reader.h"
#include "host/paths.h"

namespace prepqdm {

Status OpenObjectModule(RunState& run, MappedFile* file, std::string_view name, uint8_t* image, uint32_t size) {
  (void)run; (void)file; (void)name; (void)image; (void)size;
  return 0;  // placeholder
}

Status RegisterMappedObject(RunState& run, MappedFile* file) {
  std::string_view name = FileNamePart(file->path);
  Status status = OpenObjectModule(run, file, name, file->view, static_cast<uint32_t>(file->size));
  if (status != 0) return status;
  ReleaseMappedFile(file);
  return 0;
}

}  // namespace prepqdm
