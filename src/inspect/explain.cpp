// Explain mode. The run is prepqdm's own: ParseCommandLine maps and registers
// the inputs, the option checks of the driver follow (their messages are the
// driver's), TrackAllSymbols and, in definition-file-only mode,
// LoadDefOnlySymbols fill the SymbolTree, and SelectExports gathers, checks
// and excludes with `write_outputs` off, so no export object, log, import
// library or archiver run comes of it. Every console line goes to a string.
//
// Verdicts are then read off the run. A symbol is exported when it is on the
// final list. Otherwise CheckAndAddExport is asked again for its name, with
// the console captured and any addition undone: what it prints is exactly
// what prepqdm prints when the name is requested, and when that text occurs
// in what the selection printed, the name was requested and refused. With
// -xall, where nothing is refused, the reason a symbol was passed over is
// given by the -xall eligibility rules. A symbol that passes the checks but is
// not on the list was excluded (when the exclude file names it) or was never
// requested.
#include "inspect/explain.h"

#include <cstdint>
#include <set>
#include <string_view>

#include "driver/command_line.h"
#include "driver/run_state.h"
#include "elf/elf_image.h"
#include "elf/tracking_pass.h"
#include "exports/def_file.h"
#include "exports/def_scanner.h"
#include "exports/export_list.h"
#include "host/paths.h"
#include "symbols/resolution.h"

namespace prepqdm {

namespace {

constexpr std::string_view kMissingPrefix = "***Error: missing \"";

std::string NameOf(const TrackedSymbol& record) {
  return std::string(reinterpret_cast<const char*>(record.name()), record.name_length);
}

// The input's path (relative when it lies below the working directory), with
// the member's name for an archive member.
std::string InputOf(const ObjectModule* object, const std::string& directory) {
  if (object == nullptr) return "";
  if (object->file == nullptr) return object->name;
  std::string path = object->file->path;
  if (!directory.empty() && path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
      path[directory.size()] == '/')
    path.erase(0, directory.size() + 1);
  if (object->image != object->file->view) return path + "(" + object->name + ")";
  return path;
}

// Messages of one console text, one per line; a line that starts a new
// message ends the one before (names may hold line breaks).
std::vector<std::string> SplitMessages(std::string_view text) {
  std::vector<std::string> messages;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    if (i + 1 < text.size() && text.substr(i + 1, 3) != "***") continue;
    messages.emplace_back(text.substr(start, i - start));
    start = i + 1;
  }
  if (start < text.size()) messages.emplace_back(text.substr(start));
  return messages;
}

// Asks CheckAndAddExport about `record` as if its name were requested once
// more. Returns whether it would be accepted; `printed` gets its messages.
// An entry it adds is taken off again.
bool CheckAgain(RunState& run, TrackedSymbol& record, std::string* printed) {
  Sink saved = run.console;
  run.console = Sink{nullptr, printed};
  uint32_t was_exported = record.exported;
  Status status = CheckAndAddExport(run, record.name(), record.name_length);
  if (was_exported == 0 && record.exported == 1 && !run.exports.empty() &&
      &run.tree.At(run.exports.entries.back().record) == &record) {
    run.exports.entries.pop_back();
    record.exported = 0;
  }
  run.console = saved;
  return status == 0;
}

// Why -xall passes the record over: its eligibility rules, each that fails.
std::vector<std::string> PassOverReasons(const TrackedSymbol& record) {
  std::vector<std::string> reasons;
  if (record.is_weak) reasons.push_back("weak definition");
  if (record.class_flags & CLASS_LINKONCE) reasons.push_back("defined in a linkonce section");
  if (record.class_flags & CLASS_STATIC_INIT) reasons.push_back("static initializer (name begins with __sti__)");
  if (record.class_flags & CLASS_DOUBLE_DOT) reasons.push_back("name contains \"..\"");
  if (record.name_length > 0 && record.name()[0] == '.') reasons.push_back("name begins with '.'");
  if (record.object == nullptr) {
    reasons.push_back("no definition in an object");
    return reasons;
  }
  ElfImage image = record.object->Image();
  ElfSymbol symbol = LoadAt<ElfSymbol>(DefinitionEntry(record));
  uint32_t shndx = SymbolSectionIndex(*record.object, DefinitionEntry(record));
  char text[96];
  if (shndx < image.SectionCount()) {
    std::optional<SectionHeader> section = image.Section(shndx);
    if (!section) {
      std::snprintf(text, sizeof text, "not loadable: section %u cannot be read", shndx);
      reasons.push_back(text);
    } else if ((section->sh_flags & SHF_ALLOC) == 0) {
      std::string name(image.SectionName(shndx).value_or(""));
      std::snprintf(text, sizeof text, "not loadable: section %u ", shndx);
      reasons.push_back(text + ("(" + name + ") is not allocated (no SHF_ALLOC)"));
    }
  } else if (symbol.st_shndx == SHN_ABS) {
    reasons.push_back("not loadable: absolute symbol (SHN_ABS)");
  } else if (symbol.st_shndx != SHN_COMMON && symbol.st_shndx != SHN_TLS_COMMON) {
    std::snprintf(text, sizeof text, "not loadable: special section index 0x%04X", symbol.st_shndx);
    reasons.push_back(text);
  }
  return reasons;
}

std::set<std::string> ExcludedNames(const MappedFile* exclude_file) {
  std::set<std::string> names;
  if (exclude_file == nullptr) return names;
  ScanDefText(exclude_file->view, exclude_file->size, [&](DefTokenType type, const uint8_t* token, uint32_t length) {
    if (type == DefTokenType::kSymbol) names.emplace(reinterpret_cast<const char*>(token), length);
    return Status{0};
  });
  return names;
}

// Names the selection reported missing, in the order reported, each once.
std::vector<std::string> MissingNames(std::string_view text, const SymbolTree& tree) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (size_t at = 0; (at = text.find(kMissingPrefix, at)) != std::string_view::npos;) {
    bool message_start = at == 0 || text[at - 1] == '\n';
    at += kMissingPrefix.size();
    if (!message_start) continue;
    size_t end = text.find("\"\n", at);
    if (end == std::string_view::npos) break;
    std::string name(text.substr(at, end - at));
    if (tree.FindRecord(reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size())) == kNoRecord &&
        seen.insert(name).second)
      names.push_back(name);
  }
  return names;
}

// The driver's option checks, with its messages; false ends the dry run.
bool CheckOptions(RunState& run) {
  Options& options = run.options;
  if (options.check_no_sda)
    Print(run.console, "\nWARNING: -checknosda is deprecated; pass -checknosda to makeqdm instead.\n");
  if (options.import_library_path.has_value() != options.module_name.has_value()) {
    Print(run.console, "\nERROR: -l requires -r and v.v. Return -1.\n");
    return false;
  }
  if (options.import_library_path) options.def_only = run.registry.count == 0;
  if (run.registry.count == 0) {
    if (options.export_all) {
      Print(run.console, "\nERROR: -xall requires library or object files. Return -1.\n");
      return false;
    }
    if (!options.def_only) {
      Print(run.console, "\nERROR: No library or object files specified. Return -1.\n");
      return false;
    }
  }
  if (options.def_path) {
    if (options.export_all) {
      Print(run.console, "***Error: -xall and -x <file> cannot be used together.\n");
      return false;
    }
    if (MapFile(run.mappings, *options.def_path, &run.def_file) != kOk) {
      Print(run.console, "Error: Could not map in exports def file \"%s\". Return -1.\n", options.def_path->c_str());
      return false;
    }
  }
  if (options.exclude_path && MapFile(run.mappings, *options.exclude_path, &run.exclude_file) != kOk) {
    Print(run.console, "Error: Could not map in exclude file \"%s\". Return -1.\n", options.exclude_path->c_str());
    return false;
  }
  return true;
}

}  // namespace

ExplainReport Explain(const std::vector<std::string>& args) {
  ExplainReport report;
  RunState run;
  run.console = Sink{nullptr, &report.console};
  run.write_outputs = false;

  std::vector<std::string> storage{"prepqdm"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  report.status = ParseCommandLine(run, static_cast<int>(storage.size()), argv.data());
  if (report.status != kOk) return report;
  if (!CheckOptions(run)) {
    report.status = -1;
    return report;
  }
  report.status = TrackAllSymbols(run);
  if (report.status == kOk && run.options.def_only) report.status = LoadDefOnlySymbols(run, run.def_file);
  if (report.status != kOk) return report;

  report.ran = true;
  report.export_all = run.options.export_all;
  report.def_only = run.options.def_only;
  size_t selection_start = report.console.size();
  report.status = SelectExports(run, run.def_file, run.exclude_file);
  const std::string selection_text = report.console.substr(selection_start);
  const std::set<std::string> excluded = ExcludedNames(run.exclude_file);
  const std::string directory = FullPath(".", SIZE_MAX).value_or("");

  for (uint32_t number = run.tree.First(); number != kNoRecord; number = run.tree.Next(number)) {
    TrackedSymbol* record = &run.tree.At(number);
    ExplainSymbol s;
    s.name = NameOf(*record);
    s.input = InputOf(record->object, directory);
    s.kind = record->is_code ? "code" : record->is_tls ? "tls" : "data";
    s.weak = record->is_weak != 0;
    s.class_flags = record->class_flags;

    std::string printed;
    bool accepted = CheckAgain(run, *record, &printed);
    std::vector<std::string> messages = SplitMessages(printed);
    std::vector<std::string> pass_over = report.export_all ? PassOverReasons(*record) : std::vector<std::string>{};
    if (record->exported == 1) {
      s.verdict = Verdict::kExported;
      s.warnings = messages;
    } else if (!accepted && !report.export_all && !printed.empty() &&
               selection_text.find(printed) != std::string::npos) {
      s.verdict = Verdict::kRefused;
      s.reasons = messages;
    } else if (!pass_over.empty()) {
      s.verdict = Verdict::kPassedOver;
      s.reasons = pass_over;
    } else if (accepted && excluded.count(s.name)) {
      s.verdict = Verdict::kExcluded;
      s.reasons.push_back("named in the exclude file");
      s.warnings = messages;
    } else {
      s.verdict = Verdict::kNotRequested;
      // A failed selection stops early: later sources were never read.
      if (report.status != 0) {
        s.reasons.push_back("not on the export list when the selection stopped");
      } else if (!report.export_all) {
        s.reasons.push_back("not named in the definition file or an .export section");
      }
    }
    report.symbols.push_back(std::move(s));
  }
  report.missing = MissingNames(selection_text, run.tree);
  return report;
}

}  // namespace prepqdm
