// Resolution of global definitions from several inputs: a non-weak definition
// beats a weak one, otherwise the newest input's stays in force (Wins). Each
// name also collects class flags that export selection refuses or warns about.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "elf/elf_format.h"
#include "host/output.h"
#include "host/status.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

struct ObjectModule;
struct SymbolTable;

// The Elf32_Sym of the definition in force, inside its object's image; null
// for a record made from a definition file alone, and for an offset that
// does not leave a whole record inside the image.
const uint8_t* DefinitionEntry(const TrackedSymbol& record);
// The same record, loaded.
std::optional<ElfSymbol> DefinitionSymbol(const TrackedSymbol& record);

// Whether a definition is loadable: its section is allocated, or it is a
// common (ordinary or thread-local) symbol that the linker will allocate.
// `symbol` is the record at `symbol_entry`, already loaded.
bool IsLoadableDefinition(const ObjectModule& object, const uint8_t* symbol_entry, const ElfSymbol& symbol);

// The class flags a name earns: CLASS_LINKONCE for a definition in a
// ".gnu.linkonce" section, CLASS_STATIC_INIT for a "__sti__" name,
// CLASS_DOUBLE_DOT for a name holding "..". A name without a section (from a
// definition file) passes no section name.
uint8_t ClassifySymbolName(std::optional<std::string_view> section_name, std::string_view name);

// One definition of a name as it is met: the table it is met in and its
// entry there.
struct MetDefinition {
  const ObjectModule* object = nullptr;
  uint32_t symtab_index = 0;   // section index of the symbol table
  uint32_t symbol_offset = 0;  // of its Elf32_Sym in the object's image
  bool weak = false;
};

// Whether `candidate` takes the place of the definition in force in
// `in_force`. A record made from a definition file alone, with no object, is
// always filled in. Otherwise a non-weak definition beats a weak one (a
// common one ranks by its binding like any other: commons are not merged), and
// among equals the one the tracking pass meets first wins: the newer object
// (ObjectModule::ordinal), then the earlier symbol table, then the earlier
// entry. The outcome is a ranking, so definitions may be met in any order.
// Objects not registered (ordinal 0, as tests make them) rank equal: among
// them the one met first stays.
bool Wins(const MetDefinition& candidate, const TrackedSymbol& in_force);

// Tracks every defined global of symbol table section `symtab_index` of
// `object`. Returns 0, or -1 after its message when a record cannot be made.
// `verbose` (-v) reports each definition met for a name already in force,
// worded for the tracking pass's order (see TrackAllSymbols).
Status TrackSymbolTable(SymbolTable& symbols, Sink& console, ObjectModule& object, uint32_t symtab_index,
                        bool verbose);

}  // namespace prepqdm
