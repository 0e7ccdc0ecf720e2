// Registration of relocatable objects. An object is registered only after its
// image has passed every ELF check (and been brought to host order); the
// record keeps one reference on the mapping that holds the bytes, because
// every later stage reads the object straight from that view. The registry
// is a list, newest first, and nothing is ever removed from it.
#include "elf/object_module.h"

#include <new>

#include "driver/run_state.h"
#include "elf/elf_reader.h"
#include "host/paths.h"

namespace prepqdm {

Status OpenObjectModule(RunState& run, MappedFile* file, std::string_view name, uint8_t* image, uint32_t size) {
  int name_length = static_cast<int>(name.size());
  uint32_t code = ParseElfImage(image, size);
  if (code != 0) {
    Print(run.console, "*** Error 0x%08X parsing ELF file \"%.*s\"\n", code, name_length, name.data());
    return AsStatus(code);
  }
  // The image passed the checks, so its header lies inside it.
  ElfHeader header = LoadAt<ElfHeader>(image);
  if (header.e_type != ET_REL) {
    Print(run.console, "*** Error Object file \"%.*s\" is not relocatable. return -1.\n", name_length, name.data());
    return -1;
  }
  if (header.e_shnum == 0) {
    Print(run.console, "*** Error Object file \"%.*s\" has no sections. return -1.\n", name_length, name.data());
    return -1;
  }

  InputRegistry& registry = run.registry;
  ObjectModule* module = nullptr;
  try {
    std::string copy(name);
    registry.storage.emplace_back();
    module = &registry.storage.back();
    module->name = std::move(copy);
  } catch (const std::bad_alloc&) {
    Print(run.console, "*** Error Out of memory.\n");
    return kEOutOfMemory;
  }
  RetainMappedFile(file);
  module->file = file;
  module->size = size;
  module->image = image;
  module->next = registry.head;
  registry.head = module;
  ++registry.count;
  return 0;
}

Status RegisterMappedObject(RunState& run, MappedFile* file) {
  std::string_view name = FileNamePart(file->path);
  Status status = OpenObjectModule(run, file, name, file->view, static_cast<uint32_t>(file->size));
  if (status != 0) return status;
  ReleaseMappedFile(file);
  return 0;
}

}  // namespace prepqdm
