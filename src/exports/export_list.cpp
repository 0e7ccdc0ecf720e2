// Export selection. Candidates come either from the whole symbol table
// (-xall: every non-weak, unclassified, loadable global whose name does not
// begin with '.') or from the definition file followed by the objects'
// ".export" sections. Every named candidate passes the same refusals (missing,
// weak, linkonce, "..", static initializer); definition-file refusals are all
// reported and then counted once, an in-code refusal ends the run. The exclude
// file then takes names off the list, and the writer gets what is left.
//
// The list runs newest first, so its order is the reverse of the order of
// addition; the writer lays out its string table in list order.
#include "exports/export_list.h"

#include <new>

#include "driver/run_state.h"
#include "elf/elf_image.h"
#include "exports/def_file.h"
#include "exports/def_scanner.h"
#include "exports/in_code_exports.h"
#include "output/export_object_writer.h"
#include "symbols/resolution.h"

namespace prepqdm {

namespace {

// Records without a definition (definition-file-only mode) have no section.
// Resolution has usually noted the answer in the record already.
bool IsLoadableDefinition(const TrackedSymbol& record) {
  if (record.object == nullptr) return false;
  if (record.definition_loadable != 0) return record.definition_loadable == 2;
  return IsLoadableDefinition(*record.object, DefinitionEntry(record));
}

bool QualifiesForExportAll(const TrackedSymbol& record) {
  if (record.is_weak != 0 || record.class_flags != 0) return false;
  if (record.name_length > 0 && record.name()[0] == '.') return false;
  return IsLoadableDefinition(record);
}

Status PrintUnknownDirective(RunState& run, const uint8_t* token, uint32_t length) {
  Print(run.console, "***Error: Unknown directive found \"%.*s\". Return -1.\n", PrintedLength(length),
        PrintedText(token));
  return -1;
}

Status GatherAllEligible(RunState& run) {
  // At most one entry per record: reserving the bound up front spares the
  // list a copy of itself at each growth; untouched room costs no memory.
  try {
    run.exports.entries.reserve(run.tree.RecordCount());
  } catch (const std::bad_alloc&) {
    // AddExport reports it if the list really cannot grow.
  }
  for (uint32_t record = run.tree.First(); record != kNoRecord; record = run.tree.Next(record)) {
    if (!QualifiesForExportAll(run.tree.At(record))) continue;
    Status status = AddExport(run, record);
    if (status != 0) return status;
  }
  return 0;
}

Status GatherFromDefFile(RunState& run, MappedFile& def_file) {
  SymbolKind current_kind = kKindNone;
  int32_t refused = 0;
  Status status = ScanDefText(
      def_file.view, def_file.size, [&](DefTokenType type, const uint8_t* token, uint32_t length) -> Status {
        if (type == DefTokenType::kDirective) {
          return MatchDirective(token, length, &current_kind) == 0 ? 0 : PrintUnknownDirective(run, token, length);
        }
        if (CheckAndAddExport(run, token, length) != 0) ++refused;
        return 0;
      });
  if (status != 0) return status;
  if (refused != 0) {
    Print(run.console, "***Error: %d exported symbols not found or invalid for export. Return -1.\n", refused);
    return -1;
  }
  return 0;
}

// Clears `exported` for each listed name, then removes the cleared entries
// in one sweep, so a long exclude file costs one pass over the list
// rather than one per name. Nothing reads the list between the two steps.
Status ExcludeNames(RunState& run, MappedFile& exclude_file) {
  SymbolKind current_kind = kKindNone;
  Status status = ScanDefText(
      exclude_file.view, exclude_file.size, [&](DefTokenType type, const uint8_t* token, uint32_t length) -> Status {
        if (type == DefTokenType::kDirective) {
          return MatchDirective(token, length, &current_kind) == 0 ? 0 : PrintUnknownDirective(run, token, length);
        }
        TrackedSymbol* record = run.tree.Find(token, length);
        if (record != nullptr && record->exported == 1) record->exported = 0;
        return 0;
      });

  std::erase_if(run.exports.entries, [&](const ExportEntry& e) { return run.tree.At(e.record).exported == 0; });
  return status;
}

}  // namespace

Status SelectExports(RunState& run, MappedFile* def_file, MappedFile* exclude_file) {
  if (run.options.export_all) {
    Status status = GatherAllEligible(run);
    if (status != 0) return status;
  } else {
    if (def_file != nullptr) {
      Status status = GatherFromDefFile(run, *def_file);
      if (status != 0) return status;
    }
    Status status = CollectAllInCodeExports(run);
    if (status != 0) return status;
  }

  if (!run.exports.empty() && exclude_file != nullptr) {
    Status status = ExcludeNames(run, *exclude_file);
    if (status != 0) return status;
  }

  if (!run.write_outputs) return 0;
  if (!run.exports.empty()) return WriteExportObject(run);
  Print(run.log, "\nEmpty Export Object.\n");
  return WriteEmptyExportObject(run);
}

Status RefuseMissingExport(RunState& run, const uint8_t* name, uint32_t length) {
  Print(run.console, "***Error: missing \"%.*s\"\n", PrintedLength(length), PrintedText(name));
  return -1;
}

Status CheckAndAddExport(RunState& run, const uint8_t* name, uint32_t length) {
  uint32_t number = run.tree.FindRecord(name, length);
  if (number == kNoRecord) return RefuseMissingExport(run, name, length);
  const TrackedSymbol* record = &run.tree.At(number);

  int printed_length = PrintedLength(length);
  const char* text = PrintedText(name);
  if (record->is_weak == 1) {
    Print(run.console, "***Error: Attempt to export WEAK symbol \"%.*s\"\n", printed_length, text);
    return -1;
  }

  bool refused = false;
  uint8_t flags = record->class_flags;
  if (flags & CLASS_LINKONCE) {
    if (run.options.warn_linkonce) {
      Print(run.console,
            "***Warning: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a linkonce symbol.  "
            "Export allowed with warning.\n",
            printed_length, text);
    } else {
      Print(run.console,
            "***Error: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a linkonce symbol\n",
            printed_length, text);
      refused = true;
    }
  }
  if (flags & CLASS_DOUBLE_DOT) {
    Print(run.console, "***Error: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a \"..\" symbol\n",
          printed_length, text);
    refused = true;
  }
  if (flags & CLASS_STATIC_INIT) {
    if (run.options.warn_sti) {
      Print(run.console,
            "***Warning: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a static initializer "
            "symbol.  Export allowed with warning.\n",
            printed_length, text);
    } else {
      Print(run.console,
            "***Error: Attempt to export symbol which shouldn't be exported: \"%.*s\" is a static initializer "
            "symbol\n",
            printed_length, text);
      refused = true;
    }
  }
  if (refused) return -1;
  return AddExport(run, number);
}

Status AddExport(RunState& run, uint32_t record) {
  TrackedSymbol& symbol = run.tree.At(record);
  if (symbol.exported == 1) return 0;
  // The previous entry was just visited, so this costs no trip to memory.
  if (run.exports.ascending && !run.exports.entries.empty()) {
    run.exports.ascending = CompareExportNames(run.tree, run.exports.entries.back(), ExportEntry{record, 0}) < 0;
  }
  try {
    run.exports.entries.push_back(ExportEntry{record, 0});
  } catch (const std::bad_alloc&) {
    Print(run.console, "***Error: Out of memory. Return -1\n");
    return -1;
  }
  symbol.exported = 1;
  return 0;
}

int CompareExportNames(const SymbolTree& tree, const ExportEntry& a, const ExportEntry& b) {
  const TrackedSymbol& x = tree.At(a.record);
  const TrackedSymbol& y = tree.At(b.record);
  return CompareNames(x.name(), x.name_length, y.name(), y.name_length);
}

}  // namespace prepqdm
