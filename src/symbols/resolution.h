// Resolution of global definitions from several inputs: a non-weak definition
// replaces a weak one, otherwise the first met stays in force. Each name also
// collects class flags that export selection refuses or warns about.
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

// The order definitions are met in. The tracking pass meets them newest
// object first, each table from its first entry, and keeps the first one met
// (a non-weak one over a weak one). Objects entered as they are registered
// meet them in exactly the reverse order (oldest object first, each table
// from its last entry) and keep the last one met instead, which leaves the
// same definition in force. Only the pass's order reports under -v.
enum class MeetingOrder { kPass, kReverse };

// Tracks every defined global of symbol table section `symtab_index` of
// `object`. Returns 0, or -1 after its message when a record cannot be made.
Status TrackSymbolTable(SymbolTable& symbols, Sink& console, ObjectModule& object, uint32_t symtab_index, bool verbose,
                        MeetingOrder order = MeetingOrder::kPass);

// Enters one definition; returns the record now in force, or null when a new
// record cannot be allocated.
TrackedSymbol* TrackSymbol(SymbolTable& symbols, Sink& console, std::string_view name,
                           ObjectModule& object, const uint8_t* symbol_entry, SymbolKind kind,
                           std::optional<std::string_view> section_name, bool verbose);
// The same with the name's SymbolTable::HashName and whether the definition
// is loadable (IsLoadableDefinition) worked out already.
TrackedSymbol* TrackHashedSymbol(SymbolTable& symbols, Sink& console, std::string_view name, uint32_t hash,
                                 ObjectModule& object, const uint8_t* symbol_entry, SymbolKind kind,
                                 std::optional<std::string_view> section_name, bool loadable, bool verbose,
                                 MeetingOrder order = MeetingOrder::kPass);

}  // namespace prepqdm
