// The import library: an `ar` archive holding one stub object whose import
// sections define every exported name at its slot.
#pragma once
#include <string>
#include <string_view>

#include "elf/elf_image.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/staged_file.h"
#include "host/status.h"

namespace prepqdm {

// The stub's member is named after the module's base name, cut to fit, with
// this suffix.
constexpr char kStubMemberSuffix[] = ".o";

struct ImportLibrarySettings {
  const std::string& path;                // -l, as typed
  const std::string& module_name;         // -r
  const std::string& export_object_path;  // named when the export object is inconsistent
  bool no_archive_header = false;         // -noar: a bare stub object
  // The mapping the export object is read through, when its pages may be
  // given back as the library is built; null keeps them.
  MappedFile* export_object_file = nullptr;
};

struct BuiltImportLibrary {
  Status status = kOk;
  // The library, complete and closed but not yet in place (see StagedFile);
  // without an export table, the stub without import sections.
  StagedFile file;
};

// Builds the library from the export object read back in (parsed, so in host
// order). Prints its own messages on failure.
BuiltImportLibrary BuildImportLibrary(const ElfImage& export_object, const ImportLibrarySettings& settings,
                                      const Mappings& mappings, Sink& console);

// The module's file name without directories, ASCII letters lower-cased.
std::string ModuleBaseName(std::string_view module_name);

}  // namespace prepqdm
