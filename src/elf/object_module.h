// Registered relocatable objects. Each standalone object and each object
// member of an archive becomes one ObjectModule; the InputRegistry lists them
// newest first, the reverse of command-line (and archive member) order.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "elf/elf_image.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

// ObjectModule::export_section when the object has no ".export" section, and
// when the record was made without OpenObjectModule and nobody looked yet.
constexpr uint32_t kNoExportSection = 0xFFFFFFFFu;
constexpr uint32_t kExportSectionNotSought = 0xFFFFFFFEu;

struct ObjectModule {
  MappedFile* file = nullptr;  // holds one reference
  uint32_t size = 0;
  std::string name;            // file name, or the archive member's name
  uint8_t* image = nullptr;
  ObjectModule* next = nullptr;
  // Index of the first section named ".export" (an accepted object has fewer
  // than 2^27 sections, so the two values above never collide with one).
  // Found at registration, while the section headers are resident, so that
  // the search for in-code exports does not fault every object's headers
  // back in.
  uint32_t export_section = kExportSectionNotSought;
  // What the tracking pass needs from the section headers, noted at
  // registration for the same reason: whether any section is an import table
  // (the object is then an import stub), and the symbol tables to track.
  bool sections_noted = false;
  bool import_stub = false;
  uint32_t section_count = 0;
  std::vector<uint32_t> symbol_tables;
  // Each symbol table's SHT_SYMTAB_SHNDX section (0 for none), in the order
  // of symbol_tables; left empty when the object has no such section.
  std::vector<uint32_t> symbol_index_tables;
  // ContentHash of the image, taken at registration when an object of the
  // same size came before it (only such objects can be copies).
  bool hashed = false;
  uint64_t content_hash = 0;

  ElfImage Image() const { return ElfImage{image, size}; }
};

struct InputRegistry {
  ObjectModule* head = nullptr;
  int32_t count = 0;
  std::deque<ObjectModule> storage;  // stable addresses
  std::unordered_set<uint64_t> shapes_seen;  // size and section count of each object
  // Every stage that is done with an object's pages queues them here.
  PageGiveBacks give_backs;
  // Called with each object as soon as it is registered, while its pages are
  // fresh (the tracking pass can be done ahead).
  std::function<void(ObjectModule&)> registered;
};

// A fast 64-bit hash of a whole object; equal bytes give equal hashes.
uint64_t ContentHash(const uint8_t* bytes, uint32_t size);

// Index of the first section, from index 0 up, whose name is exactly
// ".export" (the eight bytes ".export\0" at its sh_name in the section-name
// table); nothing when no section is, or the image has no section names.
// Neither type nor flags are looked at.
std::optional<uint32_t> FindExportSectionIndex(const ElfImage& image);

// Fills in `import_stub`, `section_count`, `symbol_tables` and
// `symbol_index_tables` from the section headers: the
// symbol tables from index 1 up, less size-prefixed ones, which the reader
// neither checks nor converts (nor anything in the null section header 0).
void NoteSectionFacts(ObjectModule& module);

// The SHT_SYMTAB_SHNDX section of symbol table `symtab_index` (0 for none):
// from the noted facts, or found in the section headers when they were not
// noted.
uint32_t SymbolIndexTableOf(const ObjectModule& module, uint32_t symtab_index);

// The section that `symbol_entry`, an entry of one of the module's symbol
// tables (as a TrackedSymbol keeps it), is defined in: see
// ElfImage::SymbolSectionIndex. Only an SHN_XINDEX entry costs more than a
// load: its table is found among the module's symbol tables.
uint32_t SymbolSectionIndex(const ObjectModule& module, const uint8_t* symbol_entry);

// Parses and registers one object. Prints its own message on failure.
// `named` is the input as the command line names it, when that is not
// `name`: the refusal of a slim LTO object shows it.
Status OpenObjectModule(InputRegistry& registry, Sink& console, MappedFile* file, std::string_view name,
                        uint8_t* image, uint32_t size, std::string_view named = {});

// Registers a mapped standalone object under the last component of its path;
// on success the caller's reference is released.
Status RegisterMappedObject(InputRegistry& registry, Sink& console, MappedFile* file, std::string_view named = {});

}  // namespace prepqdm
