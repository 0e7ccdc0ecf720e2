// Explain mode. The run is prepqdm's own, up to and including selection:
// ParseCommandLine loads the inputs, the driver's option checks follow (with
// its messages), TrackAllSymbols and, in definition-file-only mode,
// LoadDefOnlySymbols fill the SymbolTree, and SelectExports gathers, checks
// and excludes. No writer runs, so no export object, log, import library or
// archiver run comes of it. Every console line goes to a string.
//
// Verdicts are then read off the records, where selection left them with
// their reasons; the words for each reason are the messages prepqdm prints
// for it, or, for an -xall pass-over, a description of the rule.
#include "inspect/explain.h"

#include <cstdint>
#include <set>
#include <string_view>

#include "driver/command_line.h"
#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "elf/elf_image.h"
#include "exports/def_file.h"
#include "host/paths.h"
#include "symbols/resolution.h"
#include "symbols/tracking_pass.h"

namespace prepqdm {

namespace {

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

// The messages selection printed for `record`'s reasons, in its order.
std::vector<std::string> CheckMessages(const TrackedSymbol& record, const SelectionSettings& settings) {
  std::vector<std::string> messages;
  for (uint8_t reason : kCheckMessageOrder)
    if (record.verdict_reasons & reason)
      messages.push_back(CheckMessage(reason, settings, record.name(), record.name_length));
  return messages;
}

// Why the definition in force is not loadable, in words.
std::string NotLoadableReason(const TrackedSymbol& record) {
  if (record.object == nullptr) return "no definition in an object";
  std::optional<ElfSymbol> symbol = DefinitionSymbol(record);
  if (!symbol) return "not loadable: the definition cannot be read";
  ElfImage image = record.object->Image();
  if (symbol->st_shndx < image.SectionCount()) {
    std::optional<SectionHeader> section = image.Section(symbol->st_shndx);
    if (!section) return Format("not loadable: section %u cannot be read", symbol->st_shndx);
    std::string name(image.SectionName(symbol->st_shndx).value_or(""));
    return Format("not loadable: section %u ", symbol->st_shndx) + "(" + name + ") is not allocated (no SHF_ALLOC)";
  }
  if (symbol->st_shndx == SHN_ABS) return "not loadable: absolute symbol (SHN_ABS)";
  return Format("not loadable: special section index 0x%04X", symbol->st_shndx);
}

// Why -xall passes the record over, one line for each rule it fails.
std::vector<std::string> PassOverReasons(const TrackedSymbol& record) {
  static constexpr struct {
    uint8_t reason;
    const char* words;
  } kWords[] = {
      {REASON_WEAK, "weak definition"},
      {REASON_LINKONCE, "defined in a linkonce section"},
      {REASON_STATIC_INIT, "static initializer (name begins with __sti__)"},
      {REASON_DOUBLE_DOT, "name contains \"..\""},
      {REASON_DOT_NAME, "name begins with '.'"},
  };
  std::vector<std::string> reasons;
  for (const auto& entry : kWords)
    if (record.verdict_reasons & entry.reason) reasons.push_back(entry.words);
  if (record.verdict_reasons & REASON_NOT_LOADABLE) reasons.push_back(NotLoadableReason(record));
  return reasons;
}

// Requested names that no input defines, in the order refused, each once.
std::vector<std::string> MissingNames(const std::vector<std::string>& refused, const SymbolTree& tree) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const std::string& name : refused) {
    if (tree.FindRecord(reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size())) ==
            kNoRecord &&
        seen.insert(name).second)
      names.push_back(name);
  }
  return names;
}

ExplainSymbol Describe(const TrackedSymbol& record, const ExplainReport& report, const SelectionSettings& settings,
                       const std::string& directory) {
  ExplainSymbol s;
  s.name = NameOf(record);
  s.input = InputOf(record.object, directory);
  s.kind = record.is_code ? "code" : record.is_tls ? "tls" : "data";
  s.weak = record.is_weak != 0;
  s.class_flags = record.class_flags;
  if (record.exported) {
    s.verdict = Verdict::kExported;
    s.warnings = CheckMessages(record, settings);
    return s;
  }
  switch (record.verdict) {
    case kVerdictRefused:
      s.verdict = Verdict::kRefused;
      s.reasons = CheckMessages(record, settings);
      break;
    case kVerdictPassedOver:
      s.verdict = Verdict::kPassedOver;
      s.reasons = PassOverReasons(record);
      break;
    case kVerdictExcluded:
      s.verdict = Verdict::kExcluded;
      s.reasons.push_back("named in the exclude file");
      s.warnings = CheckMessages(record, settings);
      break;
    default:
      s.verdict = Verdict::kNotRequested;
      // A failed selection stops early: later sources were never read.
      if (report.status != 0) {
        s.reasons.push_back("not on the export list when the selection stopped");
      } else if (!report.export_all) {
        s.reasons.push_back("not named in the definition file or an .export section");
      }
  }
  return s;
}

}  // namespace

ExplainReport Explain(const std::vector<std::string>& args) {
  ExplainReport report;
  RunState run;
  run.console = Sink{nullptr, &report.console};

  std::vector<std::string> storage{"prepqdm"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  report.status = ParseCommandLine(run, static_cast<int>(storage.size()), argv.data());
  if (report.status != kOk) return report;
  Options& options = run.options;
  std::optional<OptionFailure> failure = CheckOptionCombination(options, run.inputs.registry.count, run.console);
  // No log is written.
  Sink no_log;
  if (!failure) failure = MapSelectionFiles(options, run.mappings, no_log, &run.def_file, &run.exclude_file);
  if (failure) {
    PrintBytes(run.console, failure->line.data(), failure->line.size());
    report.status = -1;
    return report;
  }
  report.status = TrackAllSymbols(run.inputs.registry, run.tree, run.console, &run.tracking_ahead);
  if (report.status == kOk && options.def_only)
    report.status = LoadDefOnlySymbols(run.tree, run.console, OrNull(options.module_name), run.def_file);
  if (report.status != kOk) return report;

  report.ran = true;
  report.export_all = options.export_all;
  report.def_only = options.def_only;
  const SelectionSettings settings = SelectionSettingsOf(options);
  SelectionResult selection =
      SelectExports(run.tree, run.inputs.registry, run.def_file, run.exclude_file, settings, run.console);
  report.status = selection.status;
  const std::string directory = FullPath(".", SIZE_MAX).value_or("");
  for (uint32_t number : run.tree.InNameOrder())
    report.symbols.push_back(Describe(run.tree.At(number), report, settings, directory));
  report.missing = MissingNames(selection.missing, run.tree);
  return report;
}

}  // namespace prepqdm
