// Definition files in definition-file-only mode. With no object to define
// them, the listed names become records of their own: the directive in force
// ([CODE], [DATA] or [TLS]) gives each its kind, the name itself its class
// flags (a static initializer or a ".." name is still refused later), and the
// table keeps a copy of the name. A name listed again keeps its
// first kind; listing it once as code and once as data is an error, because
// the two tables of the export object cannot both hold it.
#include "exports/def_file.h"

#include <string_view>

#include "exports/def_scanner.h"
#include "host/mapped_file.h"
#include "symbols/resolution.h"
#include "symbols/symbol_table.h"

namespace prepqdm {

namespace {

struct Directive {
  std::string_view text;
  SymbolKind kind;
};

constexpr Directive kDirectives[] = {
    {"[CODE]", kKindCode},
    {"[DATA]", kKindData},
    {"[TLS]", kKindTls},
};

}  // namespace

Status MatchDirective(std::string_view token, SymbolKind* current_kind) {
  for (const Directive& directive : kDirectives) {
    if (token.starts_with(directive.text)) {
      *current_kind = directive.kind;
      return kOk;
    }
  }
  return -1;
}

Status LoadDefOnlySymbols(SymbolTable& symbols, Sink& console, const char* module_name, const MappedFile* def_file,
                          bool verbose) {
  if (def_file == nullptr) {
    Print(console, "***Error: \"%s\", -q requires -x. Return -1\n", module_name);
    return -1;
  }
  SymbolKind current_kind = kKindNone;
  return ScanDefText(
      def_file->view, def_file->size, [&](DefTokenType type, std::string_view token) -> Status {
        if (type == DefTokenType::kDirective) {
          if (MatchDirective(token, &current_kind) == kOk) return kOk;
          Print(console, "***Error: \"%s\", Unknown directive found \"%.*s\". Return -1.\n", module_name,
                PrintedLength(token), token.data());
          return -1;
        }
        if (current_kind == kKindNone) {
          Print(console,
                "Info: \"%s\", Missing [CODE] or [DATA] directive before symbol \"%.*s\". Assuming [CODE].\n",
                module_name, PrintedLength(token), token.data());
          current_kind = kKindCode;
        }
        Status status = kOk;
        TrackedSymbol* record = RecordDefSymbol(symbols, console, token, current_kind, verbose, &status);
        if (status != kOk) return status;
        if (record == nullptr) {
          Print(console, "***Error: \"%s\", tracking symbol \"%.*s\". Return -1\n", module_name,
                PrintedLength(token), token.data());
          return -1;
        }
        return kOk;
      });
}

TrackedSymbol* RecordDefSymbol(SymbolTable& symbols, Sink& console, std::string_view name,
                               SymbolKind kind, bool verbose, Status* status) {
  // No section, so never CLASS_LINKONCE.
  uint8_t class_flags = ClassifySymbolName(std::nullopt, name);
  *status = kOk;
  bool made = false;
  uint32_t found = symbols.FindOrAdd(name, &made);
  if (found == kNoRecord) return nullptr;
  if (!made) {
    TrackedSymbol* existing = &symbols.At(found);
    existing->class_flags |= class_flags;
    uint8_t is_code = kind == kKindCode ? 1 : 0;
    if (is_code != existing->is_code) {
      Print(console,
            "Error: Symbol \"%.*s\" defined more than once in export DEF/Anti-DEF files with at least once as "
            "DATA and once as CODE. Return -1.\n",
            PrintedLength(name), name.data());
      *status = -1;
      return nullptr;
    }
    if (verbose) {
      Print(console, "INFO: Symbol \"%.*s\" defined more than once in export DEF/Anti-DEF files files!\n",
            PrintedLength(name), name.data());
    }
    return existing;
  }

  TrackedSymbol* record = &symbols.At(found);
  record->object = nullptr;
  record->is_code = kind == kKindCode ? 1 : 0;
  record->is_tls = kind == kKindTls ? 1 : 0;
  record->is_weak = 0;
  record->class_flags = class_flags;
  return record;
}

}  // namespace prepqdm
