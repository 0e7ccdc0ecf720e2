// Registered relocatable objects. Each standalone object and each object
// member of an archive becomes one ObjectModule; the InputRegistry lists them
// newest first, the reverse of command-line (and archive member) order.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "elf/elf_image.h"
#include "host/mapped_file.h"
#include "host/status.h"

namespace prepqdm {

struct RunState;

struct ObjectModule {
  MappedFile* file = nullptr;  // holds one reference
  uint32_t size = 0;
  std::string name;            // file name, or the archive member's name
  uint8_t* image = nullptr;
  ObjectModule* next = nullptr;

  ElfImage Image() const { return ElfImage{image, size}; }
};

struct InputRegistry {
  ObjectModule* head = nullptr;
  int32_t count = 0;
  std::deque<ObjectModule> storage;  // stable addresses
};

// Parses and registers one object. Prints its own message on failure.
Status OpenObjectModule(RunState& run, MappedFile* file, std::string_view name, uint8_t* image, uint32_t size);

// Registers a mapped standalone object under the last component of its path;
// on success the caller's reference is released.
Status RegisterMappedObject(RunState& run, MappedFile* file);

}  // namespace prepqdm
