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
#include <utility>
#include <vector>

#include "elf/elf_image.h"
#include "host/mapped_file.h"
#include "host/output.h"
#include "host/status.h"

namespace prepqdm {

// ModuleFacts::export_section when the object has no ".export" section, and
// when the record was made without OpenObjectModule and nobody looked yet.
constexpr uint32_t kNoExportSection = 0xFFFFFFFFu;
constexpr uint32_t kExportSectionNotSought = 0xFFFFFFFEu;

// What registration notes of an object for the stages after it, while the
// object's pages are resident, so that those stages need not fault every
// object's section headers (or all its bytes) back in. A big build holds one
// per input object: the fields are ordered to leave no holes.
struct ModuleFacts {
  // Index of the first section named ".export" (an accepted object has fewer
  // than 2^27 sections, so the two values above never collide with one), for
  // the search for in-code exports.
  uint32_t export_section = kExportSectionNotSought;
  // What the tracking pass needs from the section headers: whether any
  // section is an import table (the object is then an import stub), and the
  // symbol tables to track. Set by NoteSectionFacts; left unset when it ran
  // out of memory, or for an object made without registration (the pass
  // then looks at the headers itself).
  uint32_t section_count = 0;
  bool sections_noted = false;
  bool import_stub = false;
  // Whether content_hash is taken (below).
  bool hashed = false;
  std::vector<uint32_t> symbol_tables;
  // Each symbol table's SHT_SYMTAB_SHNDX section (0 for none), in the order
  // of symbol_tables; left empty when the object has no such section.
  std::vector<uint32_t> symbol_index_tables;
  // The sections COMDAT groups (SHT_GROUP sections with GRP_COMDAT) list,
  // each with its group, in ascending order of section. Selection asks about
  // every definition it enters; a C object has a group or two (gcc's PIC
  // thunks), so the members are kept rather than a word per section.
  std::vector<std::pair<uint32_t, uint32_t>> comdat_members;
  // ContentHash of the image, for the duplicate-object finder: taken at
  // registration when an object of the same shape (ShapeOf) came before it
  // (only such objects can be copies).
  uint64_t content_hash = 0;
  // A hash of every section's offset and size, taken by NoteSectionFacts
  // as it walks the headers anyway: copies have the same headers, and most
  // objects of a common size and section count differ there, so they need
  // not be read whole to be told apart.
  uint64_t layout_hash = 0;
};

struct ObjectModule {
  MappedFile* file = nullptr;  // holds one reference
  uint32_t size = 0;
  // Its place in registration order, from 1 up (0: not registered): the
  // later registered, the earlier the tracking pass meets it.
  uint32_t ordinal = 0;
  std::string name;            // file name, or the archive member's name
  uint8_t* image = nullptr;
  ObjectModule* next = nullptr;
  ModuleFacts facts;

  ElfImage Image() const { return ElfImage{image, size}; }
};

struct InputRegistry {
  ObjectModule* head = nullptr;
  int32_t count = 0;
  std::deque<ObjectModule> storage;  // stable addresses
  std::unordered_set<uint64_t> shapes_seen;  // ShapeOf each object
  // When the inputs' pages are mapped ahead and given back: objects are
  // done with once entered, and each stage that reads them again ends with
  // ObjectsDone.
  InputResidency residency;
  // Called with each object as soon as it is registered, while its pages are
  // fresh (the tracking pass can be done ahead).
  std::function<void(ObjectModule&)> registered;
};

// A stage is done with `module`'s pages (the named point at which they go
// back; see InputResidency).
void ObjectDone(InputRegistry& registry, const ObjectModule& module);
// A stage that read objects is over: their pages go back now.
void ObjectsDone(InputRegistry& registry);

// A fast 64-bit hash of a whole object; equal bytes give equal hashes.
uint64_t ContentHash(const uint8_t* bytes, uint32_t size);

// Index of the first section, from index 0 up, whose name is exactly
// ".export" (the eight bytes ".export\0" at its sh_name in the section-name
// table); nothing when no section is, or the image has no section names.
// Neither type nor flags are looked at.
std::optional<uint32_t> FindExportSectionIndex(const ElfImage& image);

// Fills in the section facts (`import_stub`, `section_count`,
// `symbol_tables`, `symbol_index_tables`, `comdat_members`) from the section
// headers: the symbol tables and groups from index 1 up, less size-prefixed
// ones, which the reader neither checks nor converts (nor anything in the
// null section header 0).
void NoteSectionFacts(ObjectModule& module);

// What objects that are copies of each other share: size, section count and
// the offset and size of every section. Objects of different shapes are
// never compared byte for byte. From the facts when they were noted, else
// from the headers.
uint64_t ShapeOf(const ObjectModule& module);

// The COMDAT group that lists section `section` (0 for none, and for an
// index that is not a section): from the noted facts, or found in the
// section headers when they were not noted.
uint32_t ComdatGroupOf(const ObjectModule& module, uint32_t section);

// The SHT_SYMTAB_SHNDX section of symbol table `symtab_index` (0 for none):
// from the noted facts, or found in the section headers when they were not
// noted.
uint32_t SymbolIndexTableOf(const ObjectModule& module, uint32_t symtab_index);

// The first of the module's symbol tables (in section index order) whose
// entries hold the Elf32_Sym at `offset` in the image, or 0 for none.
uint32_t SymbolTableHolding(const ObjectModule& module, uint32_t offset);

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
