// Resolution of global definitions from several inputs: a non-weak definition
// replaces a weak one, otherwise the first met stays in force. Each name also
// collects class flags that export selection refuses or warns about.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "host/status.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

struct RunState;
struct ObjectModule;
struct SymbolTree;

// The Elf32_Sym of the definition in force, inside its object's image; null
// for a record made from a definition file alone.
const uint8_t* DefinitionEntry(const TrackedSymbol& record);

// Whether a definition is loadable: its section is allocated, or it is a
// common (ordinary or thread-local) symbol that the linker will allocate.
bool IsLoadableDefinition(const ObjectModule& object, const uint8_t* symbol_entry);

uint8_t ClassifySymbolName(std::optional<std::string_view> section_name, const uint8_t* name, uint32_t length);

// Tracks every defined global of symbol table section `symtab_index` of
// `object`. Returns 0, or -1 after its message when a record cannot be made.
Status TrackSymbolTable(RunState& run, ObjectModule& object, uint32_t symtab_index);

// Enters one definition; returns the record now in force, or null when a new
// record cannot be allocated.
TrackedSymbol* TrackSymbol(RunState& run, const uint8_t* name, uint32_t length, ObjectModule& object,
                           const uint8_t* symbol_entry, SymbolKind kind,
                           std::optional<std::string_view> section_name);

}  // namespace prepqdm
