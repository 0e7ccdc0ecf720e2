// Definition files in definition-file-only mode. With no object to define
// them, the listed names become records of their own: the directive in force
// ([CODE], [DATA] or [TLS]) gives each its kind, the name itself its class
// flags (a static initializer or a ".." name is still refused later), and the
// tree keeps a copy of the name. A name listed again keeps its
// first kind; listing it once as code and once as data is an error, because
// the two tables of the export object cannot both hold it.
#include "exports/def_file.h"

#include <cstring>

#include "driver/run_state.h"
#include "exports/def_scanner.h"

namespace prepqdm {

namespace {

struct Directive {
  const char* text;
  uint32_t length;
  SymbolKind kind;
};

constexpr Directive kDirectives[] = {
    {"[CODE]", 6, kKindCode},
    {"[DATA]", 6, kKindData},
    {"[TLS]", 5, kKindTls},
};

// The class flags a name alone can earn; there is no section, so never
// CLASS_LINKONCE.
uint8_t DefNameClassFlags(const uint8_t* name, uint32_t length) {
  uint8_t flags = 0;
  if (length >= 7 && std::memcmp(name, "__sti__", 7) == 0) flags |= CLASS_STATIC_INIT;
  for (uint32_t i = 0; i + 1 < length; ++i) {
    if (name[i] == '.' && name[i + 1] == '.') {
      flags |= CLASS_DOUBLE_DOT;
      break;
    }
  }
  return flags;
}

}  // namespace

Status MatchDirective(const uint8_t* token, uint32_t length, SymbolKind* current_kind) {
  for (const Directive& directive : kDirectives) {
    if (length >= directive.length && std::memcmp(token, directive.text, directive.length) == 0) {
      *current_kind = directive.kind;
      return 0;
    }
  }
  return -1;
}

Status LoadDefOnlySymbols(RunState& run, MappedFile* def_file) {
  const char* module_name = OrNull(run.options.module_name);
  if (def_file == nullptr) {
    Print(run.console, "***Error: \"%s\", -q requires -x. Return -1\n", module_name);
    return -1;
  }
  SymbolKind current_kind = kKindNone;
  return ScanDefText(
      def_file->view, def_file->size, [&](DefTokenType type, const uint8_t* token, uint32_t length) -> Status {
        if (type == DefTokenType::kDirective) {
          if (MatchDirective(token, length, &current_kind) == 0) return 0;
          Print(run.console, "***Error: \"%s\", Unknown directive found \"%.*s\". Return -1.\n", module_name,
                PrintedLength(length), PrintedText(token));
          return -1;
        }
        if (current_kind == kKindNone) {
          Print(run.console,
                "Info: \"%s\", Missing [CODE] or [DATA] directive before symbol \"%.*s\". Assuming [CODE].\n",
                module_name, PrintedLength(length), PrintedText(token));
          current_kind = kKindCode;
        }
        Status status = 0;
        TrackedSymbol* record = RecordDefSymbol(run, token, length, current_kind, &status);
        if (status != 0) return status;
        if (record == nullptr) {
          Print(run.console, "***Error: \"%s\", tracking symbol \"%.*s\". Return -1\n", module_name,
                PrintedLength(length), PrintedText(token));
          return -1;
        }
        return 0;
      });
}

TrackedSymbol* RecordDefSymbol(RunState& run, const uint8_t* name, uint32_t length, SymbolKind kind, Status* status) {
  uint8_t class_flags = DefNameClassFlags(name, length);
  *status = 0;
  uint32_t parent = kNoRecord;
  int sign = 0;
  uint32_t found = run.tree.FindRecord(name, length, &parent, &sign);
  if (found != kNoRecord) {
    TrackedSymbol* existing = &run.tree.At(found);
    existing->class_flags |= class_flags;
    uint8_t is_code = kind == kKindCode ? 1 : 0;
    if (is_code != existing->is_code) {
      Print(run.console,
            "Error: Symbol \"%.*s\" defined more than once in export DEF/Anti-DEF files with at least once as "
            "DATA and once as CODE. Return -1.\n",
            PrintedLength(length), PrintedText(name));
      *status = -1;
      return nullptr;
    }
    if (run.tree.verbose) {
      Print(run.console, "INFO: Symbol \"%.*s\" defined more than once in export DEF/Anti-DEF files files!\n",
            PrintedLength(length), PrintedText(name));
    }
    return existing;
  }

  uint32_t number = run.tree.Allocate(name, length);
  if (number == kNoRecord) return nullptr;
  TrackedSymbol* record = &run.tree.At(number);
  record->exported = 0;
  record->object = nullptr;
  record->is_code = kind == kKindCode ? 1 : 0;
  record->is_tls = kind == kKindTls ? 1 : 0;
  record->is_weak = 0;
  record->class_flags = class_flags;
  run.tree.Insert(number, parent, sign);
  return record;
}

}  // namespace prepqdm
