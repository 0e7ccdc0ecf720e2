// Export selection. Candidates come either from the whole symbol table
// (-xall: every non-weak, unclassified, loadable global of default or
// protected visibility, defined outside any COMDAT group, whose name does not
// begin with '.' and is not a table name) or from the definition file
// followed by the objects' ".export" sections. Every named candidate passes
// the same refusals (missing or a table name, weak, linkonce, "..", static
// initializer), a definition in a COMDAT group counting as linkonce: the
// compiler puts a copy into every object that uses it, and an import library
// defining it clashes with a consumer's own copy. Definition-file refusals
// are all reported and then counted once, an in-code refusal ends the run.
// The exclude file then takes names off the list.
//
// Each decision is first written into the record as a verdict with its
// reasons, and the messages are printed from those reasons, so the record
// always tells what the console said about it.
//
// The list runs newest first, so its order is the reverse of the order of
// addition; the writer lays out its string table in list order.
#include "exports/export_list.h"

#include <new>
#include <vector>

#include "elf/object_module.h"
#include "exports/def_file.h"
#include "exports/def_scanner.h"
#include "exports/in_code_exports.h"
#include "exports/table_names.h"
#include "host/mapped_file.h"
#include "symbols/resolution.h"
#include "symbols/symbol_table.h"

namespace prepqdm {

namespace {

// Records without a definition (definition-file-only mode) have no section.
// Resolution has usually noted the answer in the record already.
bool IsLoadableDefinition(const TrackedSymbol& record) {
  if (record.definition_loadable != 0) return record.definition_loadable == 2;
  std::optional<ElfSymbol> symbol = DefinitionSymbol(record);
  return symbol && IsLoadableDefinition(*record.object, DefinitionEntry(record), *symbol);
}

void PrintCheckMessages(Sink& console, ExportReasons reasons, const SelectionSettings& settings, std::string_view name) {
  for (ExportReasons reason : kCheckMessageOrder) {
    if (!(reasons & reason)) continue;
    std::string message = CheckMessage(reason, settings, name);
    message += '\n';
    PrintBytes(console, message.data(), message.size());
  }
}

Status PrintUnknownDirective(Sink& console, std::string_view token) {
  Print(console, "***Error: Unknown directive found \"%.*s\". Return -1.\n", PrintedLength(token), token.data());
  return -1;
}

// Every record is judged in storage order, which reads the table front to
// back, and the eligible ones are then put in name order at once: the list
// is then ascending, as the writer wants it.
Status GatherAllEligible(Selector& selector) {
  SymbolTable& symbols = selector.symbols;
  ExportList& exports = selector.result.exports;
  std::vector<uint32_t> eligible;
  try {
    // At most one per record: reserving the bound up front spares a copy at
    // each growth; untouched room costs no memory.
    eligible.reserve(symbols.RecordCount());
    symbols.ForEachRecord([&](uint32_t number) {
      TrackedSymbol& record = symbols.At(number);
      if (ExportReasons reasons = ExportAllReasons(record)) {
        record.verdict = kVerdictPassedOver;
        record.verdict_reasons = reasons;
      } else if (record.exported == 0) {
        eligible.push_back(number);
        record.exported = 1;
      }
    });
    if (!symbols.SortByName(eligible)) throw std::bad_alloc();
    exports.entries.reserve(exports.entries.size() + eligible.size());
  } catch (const std::bad_alloc&) {
    // None of them made the list.
    for (uint32_t number : eligible) symbols.At(number).exported = 0;
    Print(selector.console, "***Error: Out of memory. Return -1\n");
    return -1;
  }
  // Names are distinct, so the sorted numbers are in strictly ascending order.
  if (!exports.entries.empty() && !eligible.empty()) {
    exports.ascending =
        exports.ascending && CompareExportNames(symbols, exports.entries.back(), ExportEntry{eligible[0]}) < 0;
  }
  for (uint32_t number : eligible) exports.entries.push_back(ExportEntry{number});
  return kOk;
}

Status GatherFromDefFile(Selector& selector, const MappedFile& def_file) {
  SymbolKind current_kind = kKindNone;
  int32_t refused = 0;
  Status status = ScanDefText(
      def_file.view, def_file.size, [&](DefTokenType type, std::string_view token) -> Status {
        if (type == DefTokenType::kDirective) {
          return MatchDirective(token, &current_kind) == kOk
                     ? kOk
                     : PrintUnknownDirective(selector.console, token);
        }
        if (CheckAndAddExport(selector, token) != kOk) ++refused;
        return kOk;
      });
  if (status != kOk) return status;
  if (refused != 0) {
    Print(selector.console, "***Error: %d exported symbols not found or invalid for export. Return -1.\n", refused);
    return -1;
  }
  return kOk;
}

// Takes each listed name off the list, then removes the entries in one
// sweep, so a long exclude file costs one pass over the list rather than one
// per name. Nothing reads the list between the two steps.
Status ExcludeNames(Selector& selector, const MappedFile& exclude_file) {
  SymbolKind current_kind = kKindNone;
  SymbolTable& symbols = selector.symbols;
  Status status = ScanDefText(
      exclude_file.view, exclude_file.size, [&](DefTokenType type, std::string_view token) -> Status {
        if (type == DefTokenType::kDirective) {
          return MatchDirective(token, &current_kind) == kOk
                     ? kOk
                     : PrintUnknownDirective(selector.console, token);
        }
        TrackedSymbol* record = symbols.Find(token);
        if (record != nullptr && record->exported == 1) {
          record->exported = 0;
          record->verdict = kVerdictExcluded;
        }
        return kOk;
      });

  std::erase_if(selector.result.exports.entries,
                [&](const ExportEntry& e) { return symbols.At(e.record).exported == 0; });
  return status;
}

Status Select(Selector& selector, InputRegistry& registry, const MappedFile* def_file,
              const MappedFile* exclude_file) {
  if (selector.settings.export_all) {
    Status status = GatherAllEligible(selector);
    if (status != kOk) return status;
  } else {
    if (def_file != nullptr) {
      Status status = GatherFromDefFile(selector, *def_file);
      if (status != kOk) return status;
    }
    Status status = CollectAllInCodeExports(selector, registry);
    if (status != kOk) return status;
  }
  if (!selector.result.exports.empty() && exclude_file != nullptr) return ExcludeNames(selector, *exclude_file);
  return kOk;
}

}  // namespace

ExportReasons ExportAllReasons(const TrackedSymbol& record) {
  ExportReasons reasons = 0;
  if (record.is_weak) reasons |= REASON_WEAK;
  if (record.class_flags & CLASS_LINKONCE) reasons |= REASON_LINKONCE;
  if (record.class_flags & CLASS_STATIC_INIT) reasons |= REASON_STATIC_INIT;
  if (record.class_flags & CLASS_DOUBLE_DOT) reasons |= REASON_DOUBLE_DOT;
  if (record.name().starts_with('.')) reasons |= REASON_DOT_NAME;
  if (!IsLoadableDefinition(record)) reasons |= REASON_NOT_LOADABLE;
  if (IsExportTableName(record.name())) reasons |= REASON_TABLE_NAME;
  if (IsGccLtoMarkerName(record.name())) reasons |= REASON_LTO_MARKER;
  if (record.definition_hidden) reasons |= REASON_HIDDEN;
  if (record.class_flags & CLASS_COMDAT) reasons |= REASON_COMDAT;
  return reasons;
}

ExportReasons CheckReasons(const TrackedSymbol& record) {
  // A table name or an LTO marker is refused as if no input defined it, and
  // a weak symbol for that alone.
  if (IsExportTableName(record.name())) return REASON_TABLE_NAME;
  if (IsGccLtoMarkerName(record.name())) return REASON_LTO_MARKER;
  if (record.is_weak) return REASON_WEAK;
  ExportReasons reasons = 0;
  if (record.class_flags & (CLASS_LINKONCE | CLASS_COMDAT)) reasons |= REASON_LINKONCE;
  if (record.class_flags & CLASS_DOUBLE_DOT) reasons |= REASON_DOUBLE_DOT;
  if (record.class_flags & CLASS_STATIC_INIT) reasons |= REASON_STATIC_INIT;
  return reasons;
}

bool Refuses(ExportReasons reasons, const SelectionSettings& settings) {
  ExportReasons refusing = REASON_TABLE_NAME | REASON_LTO_MARKER | REASON_WEAK | REASON_DOUBLE_DOT;
  if (!settings.warn_linkonce) refusing |= REASON_LINKONCE;
  if (!settings.warn_sti) refusing |= REASON_STATIC_INIT;
  return (reasons & refusing) != 0;
}

std::string CheckMessage(ExportReasons reason, const SelectionSettings& settings, std::string_view name) {
  const int printed_length = PrintedLength(name);
  const char* text = name.data();
  switch (reason) {
    case REASON_TABLE_NAME:
      return Format("***Error: missing \"%.*s\"\n  note: %.*s: a name every export object defines itself",
                    printed_length, text, printed_length, text);
    case REASON_LTO_MARKER:
      return Format("***Error: missing \"%.*s\"\n  note: %.*s: a marker GCC puts in its LTO objects (-flto)",
                    printed_length, text, printed_length, text);
    case REASON_WEAK:
      return Format("***Error: Attempt to export WEAK symbol \"%.*s\"", printed_length, text);
    case REASON_LINKONCE:
      if (settings.warn_linkonce) {
        return Format(
            "***Warning: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a linkonce symbol.  "
            "Export allowed with warning.",
            printed_length, text);
      }
      return Format("***Error: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a linkonce symbol",
                    printed_length, text);
    case REASON_DOUBLE_DOT:
      return Format("***Error: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a \"..\" symbol",
                    printed_length, text);
    case REASON_STATIC_INIT:
      if (settings.warn_sti) {
        return Format(
            "***Warning: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a static initializer "
            "symbol.  Export allowed with warning.",
            printed_length, text);
      }
      return Format(
          "***Error: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a static initializer symbol",
          printed_length, text);
    default:
      return std::string();
  }
}

SelectionResult SelectExports(SymbolTable& symbols, InputRegistry& registry, const MappedFile* def_file,
                              const MappedFile* exclude_file, const SelectionSettings& settings, Sink& console) {
  SelectionResult result;
  Selector selector{symbols, console, settings, result};
  result.status = Select(selector, registry, def_file, exclude_file);
  return result;
}

Status RefuseMissingExport(Selector& selector, std::string_view name) {
  if (IsExportTableName(name)) {
    PrintCheckMessages(selector.console, REASON_TABLE_NAME, selector.settings, name);
  } else if (IsGccLtoMarkerName(name)) {
    PrintCheckMessages(selector.console, REASON_LTO_MARKER, selector.settings, name);
  } else {
    Print(selector.console, "***Error: missing \"%.*s\"\n", PrintedLength(name), name.data());
  }
  try {
    selector.result.missing.emplace_back(name);
  } catch (const std::bad_alloc&) {
    // The message is out; only qdmdump --explain reads the list.
  }
  return -1;
}

Status CheckAndAddExport(Selector& selector, std::string_view name) {
  uint32_t number = selector.symbols.FindRecord(name);
  if (number == kNoRecord) return RefuseMissingExport(selector, name);
  TrackedSymbol& record = selector.symbols.At(number);
  const ExportReasons reasons = CheckReasons(record);
  const bool refused = Refuses(reasons, selector.settings);
  record.verdict_reasons = reasons;
  if (refused) record.verdict = kVerdictRefused;
  PrintCheckMessages(selector.console, reasons, selector.settings, name);
  if (refused) return -1;
  return AddExport(selector, number);
}

Status AddExport(Selector& selector, uint32_t record) {
  TrackedSymbol& symbol = selector.symbols.At(record);
  if (symbol.exported == 1) return kOk;
  ExportList& exports = selector.result.exports;
  // The previous entry was just visited, so this costs no trip to memory.
  if (exports.ascending && !exports.entries.empty()) {
    exports.ascending = CompareExportNames(selector.symbols, exports.entries.back(), ExportEntry{record}) < 0;
  }
  try {
    exports.entries.push_back(ExportEntry{record});
  } catch (const std::bad_alloc&) {
    Print(selector.console, "***Error: Out of memory. Return -1\n");
    return -1;
  }
  symbol.exported = 1;
  return kOk;
}

int CompareExportNames(const SymbolTable& symbols, const ExportEntry& a, const ExportEntry& b) {
  const TrackedSymbol& x = symbols.At(a.record);
  const TrackedSymbol& y = symbols.At(b.record);
  return CompareNames(x.name(), y.name());
}

}  // namespace prepqdm
