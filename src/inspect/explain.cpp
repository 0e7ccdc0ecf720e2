// Explain mode. The run is prepqdm's own, up to and including selection:
// RunThroughSelection, the driver's own stages, loads the inputs, makes the
// run's checks (with its messages), fills the SymbolTable, and SelectExports
// gathers, checks and excludes. No writer runs, so no export object, log,
// import library or archiver run comes of it. Every console line goes to a
// string.
//
// Verdicts are then read off the records, where selection left them with
// their reasons; the words for each reason are the messages prepqdm prints
// for it, or, for an -xall pass-over, a description of the rule. A run that
// fails writes nothing, so there nothing is "exported". A remedy is named
// only where the rules let it make the symbol an export: the explain tests
// apply each one to the real run.
//
// Resolution notes which definitions lie in a COMDAT group, and registration
// which group lists each section; the group's signature is read here.
//
// Where a name was requested is not kept by selection (a record is 24
// bytes and a big run has half a million): explain scans the definition
// file and the objects' ".export" sections again, with the scanner and the
// reader selection uses. For names that no record holds it looks through
// every object's symbol tables (locals, stubs, undefined references), the
// globals' demangled names (a C++ function named as written in the source)
// and the global names for near spellings.
#include "inspect/explain.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>

#include "driver/driver.h"
#include "driver/option_checks.h"
#include "driver/run_state.h"
#include "elf/elf_image.h"
#include "elf/reader_status.h"
#include "exports/def_scanner.h"
#include "exports/in_code_exports.h"
#include "host/paths.h"
#include "inspect/cxx_names.h"
#include "inspect/similar_names.h"
#include "symbols/resolution.h"

namespace prepqdm {

namespace {

std::string NameOf(const TrackedSymbol& record) { return std::string(record.name()); }

// The input's path (relative when it lies below the working directory), with
// the member's name for an archive member.
std::string InputOf(const ObjectModule* object, const std::string& directory) {
  if (object == nullptr) return "";
  if (object->file == nullptr) return object->name;
  std::string path = object->file->path;
  if (!directory.empty() && path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
      IsPathSeparator(path[directory.size()]))
    path.erase(0, directory.size() + 1);
  if (object->image != object->file->view) return path + "(" + object->name + ")";
  return path;
}

// The lines selection printed for `record`'s reasons, in its order.
std::vector<std::string> CheckMessages(const TrackedSymbol& record, const SelectionSettings& settings) {
  std::vector<std::string> messages;
  for (ExportReasons reason : kCheckMessageOrder) {
    if (!(record.verdict_reasons & reason)) continue;
    const std::string message = CheckMessage(reason, settings, record.name());
    for (size_t start = 0, end; start <= message.size(); start = end + 1) {
      end = std::min(message.find('\n', start), message.size());
      messages.push_back(message.substr(start, end - start));
    }
  }
  return messages;
}

// Why the definition in force is not loadable, in words.
std::string NotLoadableReason(const TrackedSymbol& record) {
  if (record.object == nullptr) return "no definition in an object";
  std::optional<ElfSymbol> symbol = DefinitionSymbol(record);
  if (!symbol) return "not loadable: the definition cannot be read";
  ElfImage image = record.object->Image();
  // The real index, also for a symbol whose index is kept in SYMTAB_SHNDX.
  const uint32_t shndx = SymbolSectionIndex(*record.object, DefinitionEntry(record));
  if (shndx < image.SectionCount()) {
    std::optional<SectionHeader> section = image.Section(shndx);
    if (!section) return Format("not loadable: section %u cannot be read", shndx);
    std::string name(image.SectionName(shndx).value_or(""));
    return Format("not loadable: section %u ", shndx) + "(" + name + ") is not allocated (no SHF_ALLOC)";
  }
  if (symbol->st_shndx == SHN_ABS) return "not loadable: absolute symbol (SHN_ABS)";
  return Format("not loadable: special section index 0x%04X", symbol->st_shndx);
}

// The name of the symbol that signs a group: sh_info indexes the symbol
// table named by sh_link. Assemblers may sign with a section symbol, which
// has the section's name.
std::string GroupSignature(const ElfImage& image, const SectionHeader& group) {
  std::optional<SectionHeader> symtab = image.Section(group.sh_link);
  if (!symtab || symtab->sh_type != SHT_SYMTAB || (symtab->sh_flags & SHF_SIZE_PREFIXED)) return "?";
  const uint8_t* at = image.Entry(*symtab, SymbolEntrySize(*symtab), group.sh_info, kSymbolSize);
  if (at == nullptr) return "?";
  const ElfSymbol s = LoadAt<ElfSymbol>(at);
  if (SymbolType(s.st_info) == STT_SECTION) return std::string(image.SectionName(s.st_shndx).value_or("?"));
  return std::string(image.StringAt(symtab->sh_link, s.st_name).value_or("?"));
}

// The signature of the COMDAT group holding the definition in force.
std::optional<std::string> ComdatSignature(const TrackedSymbol& record) {
  if (!(record.class_flags & CLASS_COMDAT) || record.object == nullptr || DefinitionEntry(record) == nullptr)
    return std::nullopt;
  const uint32_t group = ComdatGroupOf(*record.object, SymbolSectionIndex(*record.object, DefinitionEntry(record)));
  const ElfImage image = record.object->Image();
  std::optional<SectionHeader> header = group != 0 ? image.Section(group) : std::nullopt;
  if (!header) return std::nullopt;
  return GroupSignature(image, *header);
}

std::string VisibilityOf(const TrackedSymbol& record) {
  std::optional<ElfSymbol> symbol = record.object != nullptr ? DefinitionSymbol(record) : std::nullopt;
  if (!symbol) return "";
  static constexpr const char* kNames[] = {"", "internal", "hidden", "protected"};
  return kNames[symbol->st_other & 3];
}

std::string WeakDefinition(const std::optional<std::string>& comdat) {
  if (comdat) return "weak definition in COMDAT group `" + *comdat + "`: a C++ inline function or template";
  return "weak definition";
}

std::string InComdatGroup(const std::optional<std::string>& comdat) {
  return comdat ? "in COMDAT group `" + *comdat + "`" : "in a COMDAT group";
}

// A weak definition's words name its group already.
bool ComdatNamedByWeak(ExportReasons reasons, const std::optional<std::string>& comdat) {
  return (reasons & REASON_WEAK) && comdat;
}

// Why -xall passes the record over, one line for each rule it fails.
std::vector<std::string> PassOverReasons(const TrackedSymbol& record, const std::optional<std::string>& comdat) {
  static constexpr struct {
    ExportReasons reason;
    const char* words;
  } kWords[] = {
      {REASON_LINKONCE, "defined in a linkonce section"},
      {REASON_STATIC_INIT, "static initializer (name begins with __sti__)"},
      {REASON_DOUBLE_DOT, "name contains \"..\""},
      {REASON_DOT_NAME, "name begins with '.'"},
      {REASON_TABLE_NAME, "a name every export object defines itself"},
      {REASON_LTO_MARKER, "a marker GCC puts in its LTO objects (-flto)"},
  };
  std::vector<std::string> reasons;
  if (record.verdict_reasons & REASON_WEAK) reasons.push_back(WeakDefinition(comdat));
  for (const auto& entry : kWords)
    if (record.verdict_reasons & entry.reason) reasons.push_back(entry.words);
  if (record.verdict_reasons & REASON_NOT_LOADABLE) reasons.push_back(NotLoadableReason(record));
  if (record.verdict_reasons & REASON_HIDDEN) reasons.push_back(VisibilityOf(record) + " visibility");
  if ((record.verdict_reasons & REASON_COMDAT) && !ComdatNamedByWeak(record.verdict_reasons, comdat))
    reasons.push_back(InComdatGroup(comdat));
  return reasons;
}

// Requested names that no input defines, in the order refused, each once.
std::vector<std::string> MissingNames(const std::vector<std::string>& refused, const SymbolTable& symbols) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const std::string& name : refused) {
    if (symbols.FindRecord(name) == kNoRecord && seen.insert(name).second) names.push_back(name);
  }
  return names;
}

constexpr uint8_t kStbLocal = 0;
constexpr size_t kMostSimilar = 3;
constexpr size_t kMostFindings = 8;

using OriginMap = std::map<std::string, std::vector<ExplainOrigin>>;

void AddDefinitionFileOrigins(const MappedFile& file, const std::string& typed, OriginMap& origins) {
  ScanDefLines(file.view, file.size, [&](DefTokenType type, std::string_view token, uint32_t line) {
    if (type == DefTokenType::kSymbol) {
      ExplainOrigin origin;
      origin.source = ExplainOrigin::Source::kDefinitionFile;
      origin.file = typed;
      origin.line = line;
      origins[std::string(token)].push_back(std::move(origin));
    }
    return kOk;
  });
}

// The addend of an export word's relocation: r_addend, or for SHT_REL the
// word itself (in the file's byte order; the reader converts no contents).
std::optional<uint32_t> Addend(const ElfImage& image, const SectionHeader& export_section, const InCodeExport& e) {
  if (e.relocations.sh_type == SHT_RELA) {
    const uint8_t* at = image.Entry(e.relocations, RelocationEntrySize(e.relocations), e.relocation_index, kRelaSize);
    if (at == nullptr) return std::nullopt;
    return static_cast<uint32_t>(LoadAt<ElfRela>(at).r_addend);
  }
  const uint8_t* word = image.Entry(export_section, 4, e.entry, 4);
  if (word == nullptr) return std::nullopt;
  uint32_t value = LoadAt<uint32_t>(word);
  return IsLittleEndianIdent(image.Header().e_ident) ? value : Bswap32(value);
}

// When the entry's relocation is against a local symbol: which one, in
// words. Compilers relocate against a static function through its section's
// symbol and an addend, so that case is traced to the symbol at that offset.
// The named symbols of one symbol table by section and value, the first of
// each, made when an object's first entry needs it.
using SymbolsAt = std::map<std::pair<uint32_t, uint32_t>, std::string>;

// What the entries of one object's .export section share: their symbol
// table's SHT_SYMTAB_SHNDX section and its symbols by place, looked up once.
struct ExportSymbols {
  std::optional<uint32_t> index_table;
  std::optional<SymbolsAt> at;
};

SymbolsAt NamedSymbolsAt(const ElfImage& image, uint32_t index_table, const SectionHeader& symtab) {
  SymbolsAt symbols;
  const uint32_t entry_size = SymbolEntrySize(symtab);
  const uint32_t count = symtab.sh_size / entry_size;
  for (uint32_t k = 1; k < count; ++k) {
    const uint8_t* at = image.Entry(symtab, entry_size, k, kSymbolSize);
    if (at == nullptr) break;
    const ElfSymbol s = LoadAt<ElfSymbol>(at);
    const uint8_t type = SymbolType(s.st_info);
    if (type == STT_SECTION || type == STT_FILE) continue;
    std::optional<std::string_view> name = image.StringAt(symtab.sh_link, s.st_name);
    if (name && !name->empty())
      symbols.emplace(std::make_pair(image.SymbolSectionIndex(index_table, k, s.st_shndx), s.st_value),
                      std::string(*name));
  }
  return symbols;
}

void DescribeLocalTarget(const ElfImage& image, const SectionHeader& export_section, const InCodeExport& e,
                         ExportSymbols& symbols, ExplainOrigin& origin) {
  std::optional<SectionHeader> symtab = image.Section(e.relocations.sh_link);
  if (!symtab) return;
  const uint32_t entry_size = SymbolEntrySize(*symtab);
  const uint8_t* at = image.Entry(*symtab, entry_size, e.symbol_index, kSymbolSize);
  if (at == nullptr) return;
  const ElfSymbol target = LoadAt<ElfSymbol>(at);
  if (SymbolBinding(target.st_info) != kStbLocal) return;
  if (SymbolType(target.st_info) != STT_SECTION) {
    origin.local_symbol = std::string(image.StringAt(symtab->sh_link, target.st_name).value_or(""));
    origin.local_target = "the local symbol \"" + *origin.local_symbol + "\"";
    return;
  }
  if (!symbols.index_table) symbols.index_table = image.FindSymbolIndexTable(e.relocations.sh_link);
  const uint32_t target_section = image.SymbolSectionIndex(*symbols.index_table, e.symbol_index, target.st_shndx);
  const std::string section(image.SectionName(target_section).value_or("?"));
  std::optional<uint32_t> addend = Addend(image, export_section, e);
  if (!addend) {
    origin.local_target = "the section symbol of " + section;
    return;
  }
  if (!symbols.at) symbols.at = NamedSymbolsAt(image, *symbols.index_table, *symtab);
  if (auto found = symbols.at->find({target_section, *addend}); found != symbols.at->end()) {
    origin.local_symbol = found->second;
    origin.local_target = Format("the local symbol \"%s\" (through the section symbol of %s + 0x%X)",
                                 found->second.c_str(), section.c_str(), *addend);
    return;
  }
  origin.local_target = Format("the section symbol of %s + 0x%X, where no symbol is defined", section.c_str(), *addend);
}

void AddExportSectionOrigins(InputRegistry& registry, const std::string& directory, OriginMap& origins) {
  Sink quiet;  // selection has printed whatever there is to say
  for (ObjectModule* object = registry.head; object != nullptr; object = object->next) {
    std::optional<uint32_t> index = FindExportSection(*object);
    if (!index) continue;
    const ElfImage image = object->Image();
    std::optional<SectionHeader> section = image.Section(*index);
    if (!section) continue;
    const std::string input = InputOf(object, directory);
    ExportSymbols symbols;
    ReadInCodeExports(*object, *section, *index, quiet, [&](const InCodeExport& e) {
      ExplainOrigin origin;
      origin.source = ExplainOrigin::Source::kExportSection;
      origin.file = input;
      origin.entry = e.entry;
      DescribeLocalTarget(image, *section, e, symbols, origin);
      origins[std::string(e.name)].push_back(std::move(origin));
      return kOk;
    });
  }
}

// Up to three global names within the name's limit, nearest first, then in
// name order; none of `taken`.
std::vector<std::string> SimilarNames(const SymbolTable& symbols, const std::string& name,
                                      const std::vector<std::string>& taken) {
  // Every short name is near an empty one.
  if (name.empty()) return {};
  const size_t limit = SimilarityLimit(name.size());
  std::vector<std::pair<size_t, std::string>> nearest;
  for (uint32_t number : symbols.InNameOrder()) {
    const TrackedSymbol& record = symbols.At(number);
    const std::string_view candidate = record.name();
    const size_t distance = EditDistance(name, candidate, limit);
    if (distance > limit || std::find(taken.begin(), taken.end(), candidate) != taken.end()) continue;
    if (nearest.size() == kMostSimilar && distance >= nearest.back().first) continue;
    nearest.emplace_back(distance, std::string(candidate));
    std::stable_sort(nearest.begin(), nearest.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    if (nearest.size() > kMostSimilar) nearest.pop_back();
  }
  std::vector<std::string> names;
  for (auto& entry : nearest) names.push_back(std::move(entry.second));
  return names;
}

// The globals a name writes in C++ terms ("audio::mixer_volume" for
// _ZN5audio12mixer_volumeEi), in name order. Demangling every global costs
// a moment in a big run, so the index is made when first asked.
class CxxMatches {
 public:
  explicit CxxMatches(const SymbolTable& symbols) : symbols_(symbols) {}
  std::vector<std::string> Of(std::string_view name) {
    if (!index_) {
      index_.emplace();
      for (uint32_t number : symbols_.InNameOrder()) index_->Add(symbols_.At(number).name());
    }
    return index_->Find(name);
  }

 private:
  const SymbolTable& symbols_;
  std::optional<CxxNameIndex> index_;
};

// What the inputs hold under each of the absent names, from every symbol
// table of every object (in command-line order), stubs and copies included.
void FindUnderAbsentNames(InputRegistry& registry, const std::string& directory,
                          std::map<std::string, ExplainAbsent*>& absent) {
  std::vector<ObjectModule*> objects;
  for (ObjectModule* object = registry.head; object != nullptr; object = object->next) objects.push_back(object);
  std::map<ExplainAbsent*, size_t> more;
  for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
    const ObjectModule& object = **it;
    const ElfImage image = object.Image();
    const std::string input = InputOf(&object, directory);
    const bool stub = object.facts.sections_noted && object.facts.import_stub;
    for (uint32_t index = 1; index < image.SectionCount(); ++index) {
      std::optional<SectionHeader> symtab = image.Section(index);
      if (!symtab || symtab->sh_type != SHT_SYMTAB || (symtab->sh_flags & SHF_SIZE_PREFIXED)) continue;
      const uint32_t entry_size = SymbolEntrySize(*symtab);
      const uint32_t count = symtab->sh_size / entry_size;
      const uint32_t index_table = image.FindSymbolIndexTable(index);
      for (uint32_t k = 1; k < count; ++k) {
        const uint8_t* at = image.Entry(*symtab, entry_size, k, kSymbolSize);
        if (at == nullptr) break;
        const ElfSymbol s = LoadAt<ElfSymbol>(at);
        std::optional<std::string_view> name = image.StringAt(symtab->sh_link, s.st_name);
        if (!name) continue;
        auto found = absent.find(std::string(*name));
        if (found == absent.end()) continue;
        const uint8_t binding = SymbolBinding(s.st_info);
        const uint8_t type = SymbolType(s.st_info);
        if (type == STT_SECTION || type == STT_FILE) continue;
        ExplainFinding finding;
        finding.input = input;
        if (s.st_shndx == SHN_UNDEF) {
          finding.kind = "undefined";
          finding.words = "only referenced (undefined) in " + input;
        } else if (binding == kStbLocal) {
          finding.kind = "local";
          finding.words = "a local (static) symbol in " + input + ": only global symbols are exported";
        } else if (stub) {
          finding.kind = "import-stub";
          finding.words = "defined in the import stub " + input + ": import stubs give no symbols";
        } else if (binding == STB_WEAK) {
          finding.kind = "weak";
          finding.words = "a weak definition in " + input;
        } else if (ClassifySymbolName(image.SectionName(image.SymbolSectionIndex(index_table, k, s.st_shndx)), {}) &
                   CLASS_LINKONCE) {
          finding.kind = "linkonce";
          finding.words = "a definition in a linkonce section in " + input;
        } else {
          finding.kind = "untracked";
          finding.words = "a global definition in " + input + ", an input given twice (only its first copy counts)";
        }
        std::vector<ExplainFinding>& findings = found->second->findings;
        if (findings.size() < kMostFindings) findings.push_back(std::move(finding));
        else ++more[found->second];
      }
    }
  }
  for (auto& [entry, count] : more) {
    ExplainFinding rest;
    rest.kind = "more";
    rest.words = Format("and %zu more in other inputs", count);
    entry->findings.push_back(std::move(rest));
  }
}

// The reason codes, in the order the words are given.
constexpr struct {
  ExportReasons reason;
  const char* code;
} kReasonCodes[] = {
    {REASON_WEAK, "weak"},
    {REASON_LINKONCE, "linkonce"},
    {REASON_STATIC_INIT, "static-init"},
    {REASON_DOUBLE_DOT, "double-dot"},
    {REASON_DOT_NAME, "dot-name"},
    {REASON_NOT_LOADABLE, "not-loadable"},
    {REASON_TABLE_NAME, "table-name"},
    {REASON_LTO_MARKER, "lto-marker"},
    {REASON_HIDDEN, "hidden"},
    {REASON_COMDAT, "comdat"},
};

// Rules no option lifts, for a name that is asked for.
constexpr ExportReasons kNeverExported = REASON_WEAK | REASON_DOUBLE_DOT | REASON_TABLE_NAME | REASON_LTO_MARKER;

// How a symbol meets the rules: asked for (the definition file or an
// .export section, or would be if named), or considered by -xall. The words
// and remedies differ: -xall never takes a linkonce symbol or a static
// initializer, whatever -warnlinkonce and -warnsti say.
enum class Route { kRequested, kExportAll };

struct Judged {
  const SelectionSettings& settings;
  std::optional<std::string> comdat;
  uint8_t class_flags = 0;
  std::string visibility;
};

// -xall reasons that naming the symbol gets past (with -warnlinkonce for a
// COMDAT group, which counts as linkonce when asked for).
constexpr ExportReasons kLiftedByRequest = REASON_HIDDEN | REASON_COMDAT;

// `lifted`: asked for, no rule beyond the ones -warnlinkonce and -warnsti
// allow stands in the way; under -xall, naming the symbol would export it.
std::string RuleWords(ExportReasons reason, ExportReasons reasons, Route route, const Judged& j, bool lifted) {
  const bool all = route == Route::kExportAll;
  // Asked for, a COMDAT member counts as linkonce: its words say which.
  const bool comdat_linkonce = !all && !(j.class_flags & CLASS_LINKONCE) && (j.class_flags & CLASS_COMDAT);
  switch (reason) {
    case REASON_WEAK:
      if (j.comdat)
        return "it is a " + WeakDefinition(j.comdat) + (all ? ", which -xall never takes" : ", and a weak symbol is "
                                                                                            "never exported");
      return all ? "-xall never takes a weak definition"
                 : "the definition in force is weak, and a weak symbol is never exported: give it a strong definition";
    case REASON_LINKONCE:
      if (comdat_linkonce) {
        const std::string where = "it is defined " + InComdatGroup(j.comdat) + ", which counts as linkonce";
        if (j.settings.warn_linkonce) return where + ", and -warnlinkonce allows it with a warning";
        return lifted ? where + ": -warnlinkonce allows it with a warning" : where;
      }
      if (all) return "it is defined in a .gnu.linkonce section, which -xall never takes, -warnlinkonce or not";
      if (j.settings.warn_linkonce) return "it is defined in a .gnu.linkonce section, which -warnlinkonce allows with a warning";
      return lifted ? "it is defined in a .gnu.linkonce section: -warnlinkonce allows it with a warning"
                    : "it is defined in a .gnu.linkonce section";
    case REASON_STATIC_INIT:
      if (all) return "it is a static initializer (a name beginning with __sti__), which -xall never takes, -warnsti or not";
      if (j.settings.warn_sti)
        return "it is a static initializer (a name beginning with __sti__), which -warnsti allows with a warning";
      return std::string("it is a static initializer (a name beginning with __sti__)") +
             (lifted ? ": -warnsti allows it with a warning" : "");
    case REASON_DOUBLE_DOT: return "its name contains \"..\", which is never exported";
    case REASON_DOT_NAME: return "its name begins with '.', which -xall never takes";
    case REASON_NOT_LOADABLE:
      return "its definition is not loadable (not in an allocated section, not common), which -xall never takes";
    case REASON_TABLE_NAME: return "it is a name every export object defines itself, which is never exported";
    case REASON_LTO_MARKER: return "it is a marker GCC puts in its LTO objects (-flto), which is never exported";
    case REASON_HIDDEN:
      if (reasons == REASON_HIDDEN)
        return j.visibility + " symbols are not exported by -xall; give it default visibility or name it in the "
                              "definition file";
      return j.visibility + " symbols are not exported by -xall";
    case REASON_COMDAT: {
      std::string words = "it is defined " + InComdatGroup(j.comdat) + ", which -xall never takes";
      if (!lifted) return words;
      if (j.settings.warn_linkonce) return words + ": name it in the definition file (a linkonce symbol, allowed with "
                                                   "a warning)";
      return words + ": name it in the definition file with -warnlinkonce";
    }
    default: return "";
  }
}

std::string JoinWords(const std::vector<std::string>& words, const char* separator = "; ") {
  std::string joined;
  for (const std::string& w : words) joined += (joined.empty() ? "" : separator) + w;
  return joined;
}

// The words and codes of `reasons`; `lifted` when no rule beyond the ones
// -warnlinkonce and -warnsti allow stands in the way.
void ExplainReasons(ExportReasons reasons, Route route, const Judged& j, ExplainSymbol& s) {
  const bool lifted =
      route == Route::kExportAll ? (reasons & ~kLiftedByRequest) == 0 : !(reasons & kNeverExported);
  std::vector<std::string> words;
  for (const auto& r : kReasonCodes) {
    if (!(reasons & r.reason)) continue;
    s.reason_codes.push_back(r.code);
    if (r.reason == REASON_COMDAT && ComdatNamedByWeak(reasons, j.comdat)) continue;
    words.push_back(RuleWords(r.reason, reasons, route, j, lifted));
  }
  s.why += JoinWords(words);
}

// The options that would let a requested symbol with `reasons` through.
std::vector<std::string> LiftingOptions(ExportReasons reasons, const SelectionSettings& settings) {
  std::vector<std::string> options;
  if ((reasons & REASON_LINKONCE) && !settings.warn_linkonce) options.push_back("-warnlinkonce");
  if ((reasons & REASON_STATIC_INIT) && !settings.warn_sti) options.push_back("-warnsti");
  return options;
}

struct DescribeContext {
  const ExplainReport& report;
  const SelectionSettings& settings;
  bool def_file = false;
  const std::string& directory;
};

// Nothing asked for the record: what would make it an export, if anything.
void ExplainNotRequested(const TrackedSymbol& record, const Judged& j, ExplainSymbol& s, bool def_file) {
  s.reason_codes.push_back("not-requested");
  const ExportReasons checks = CheckReasons(record);
  if (checks & kNeverExported) {
    s.why = "nothing asks for it, and asking would not help: ";
    ExplainReasons(checks & kNeverExported, Route::kRequested, j, s);
    return;
  }
  ExplainRemedy remedy;
  remedy.request = true;
  remedy.options = LiftingOptions(checks, j.settings);
  remedy.export_all = ExportAllReasons(record) == 0;
  s.why = "nothing asks for it: name it in the definition file or an .export section";
  if (!remedy.options.empty()) s.why += " and add " + JoinWords(remedy.options, " and ");
  if (remedy.export_all) s.why += def_file ? ", or use -xall in place of -x" : ", or use -xall";
  s.remedy = std::move(remedy);
}

ExplainSymbol Describe(const TrackedSymbol& record, const DescribeContext& c) {
  ExplainSymbol s;
  s.name = NameOf(record);
  s.input = InputOf(record.object, c.directory);
  s.kind = record.is_code ? "code" : record.is_tls ? "tls" : "data";
  s.weak = record.is_weak != 0;
  s.class_flags = record.class_flags;
  s.visibility = VisibilityOf(record);
  s.comdat_group = ComdatSignature(record);
  const Judged j{c.settings, s.comdat_group, record.class_flags, s.visibility};
  const bool succeeds = c.report.status == kOk;
  if (record.exported) {
    s.warnings = CheckMessages(record, c.settings);
    if (!succeeds) {
      // Explain runs no writer: a run that fails writes nothing at all.
      s.verdict = Verdict::kWouldExport;
      s.why = "passed every check; the run fails for the reasons above";
      return s;
    }
    s.verdict = Verdict::kExported;
    s.why = "on the export list";
    if (!s.warnings.empty()) {
      s.why += ", with a warning: ";
      ExplainReasons(record.verdict_reasons, Route::kRequested, j, s);
    }
    return s;
  }
  switch (record.verdict) {
    case kVerdictRefused: {
      s.verdict = Verdict::kRefused;
      s.reasons = CheckMessages(record, c.settings);
      s.why = "refused: ";
      ExplainReasons(record.verdict_reasons, Route::kRequested, j, s);
      if (!(record.verdict_reasons & kNeverExported)) {
        ExplainRemedy remedy;
        remedy.options = LiftingOptions(record.verdict_reasons, c.settings);
        if (!remedy.options.empty()) s.remedy = std::move(remedy);
      }
      break;
    }
    case kVerdictPassedOver:
      s.verdict = Verdict::kPassedOver;
      s.reasons = PassOverReasons(record, s.comdat_group);
      s.why = "-xall passes it over: ";
      ExplainReasons(record.verdict_reasons, Route::kExportAll, j, s);
      // Named in a definition file (in place of -xall) it is exported.
      if ((record.verdict_reasons & kLiftedByRequest) && !(record.verdict_reasons & ~kLiftedByRequest)) {
        ExplainRemedy remedy;
        remedy.request = true;
        remedy.options = LiftingOptions(CheckReasons(record), c.settings);
        s.remedy = std::move(remedy);
      }
      break;
    case kVerdictExcluded:
      s.verdict = Verdict::kExcluded;
      s.reasons.push_back("named in the exclude file");
      s.warnings = CheckMessages(record, c.settings);
      s.reason_codes.push_back("excluded");
      s.why = "it passed the checks, and the exclude file takes it off the list";
      if (succeeds) {
        s.why += ": take it out of the exclude file to export it";
        s.remedy.emplace().unexclude = true;
      }
      break;
    default:
      s.verdict = Verdict::kNotRequested;
      // A failed selection stops early: later sources were never read.
      if (!succeeds) {
        s.reasons.push_back("not on the export list when the selection stopped");
        s.reason_codes.push_back("selection-stopped");
        s.why = "the selection stopped (see the messages) before it was on the export list";
      } else if (!c.report.export_all) {
        s.reasons.push_back("not named in the definition file or an .export section");
        ExplainNotRequested(record, j, s, c.def_file);
      }
  }
  return s;
}

// The inputs the loader passed over, with why.
std::vector<ExplainPassedOverInput> PassedOverInputs(const InputFiles& inputs) {
  std::vector<ExplainPassedOverInput> listed;
  for (const auto& [token, why] : inputs.passed_over) {
    ExplainPassedOverInput entry;
    entry.input = token;
    switch (why) {
      case InputFiles::PassedOver::kTooShort:
        entry.reason = "too-short";
        entry.words = ReaderStatusWords(ReaderStatusCode("TooShort")).value_or("shorter than 260 bytes");
        break;
      case InputFiles::PassedOver::kLinkerCommandFile:
        entry.reason = "linker-command-file";
        entry.words = "a linker command file (.ld or .lnk), never read";
        break;
      case InputFiles::PassedOver::kOutput:
        entry.reason = "output";
        entry.words = "the output file itself, a previous run's export object, never read";
        break;
      case InputFiles::PassedOver::kRepeated:
        entry.reason = "repeated";
        entry.words = "named before: each file is read once";
        break;
    }
    listed.push_back(std::move(entry));
  }
  return listed;
}

// The exclude file's names that took nothing off the list, with their lines.
std::vector<ExplainUnmatchedExclude> UnmatchedExcludes(const MappedFile& file, const SymbolTable& symbols,
                                                       CxxMatches& cxx) {
  std::vector<ExplainUnmatchedExclude> unmatched;
  ScanDefLines(file.view, file.size, [&](DefTokenType type, std::string_view token, uint32_t line) {
    if (type != DefTokenType::kSymbol) return kOk;
    uint32_t number = symbols.FindRecord(token);
    if (number == kNoRecord || symbols.At(number).verdict != kVerdictExcluded) {
      ExplainUnmatchedExclude entry;
      entry.name = std::string(token);
      entry.line = line;
      entry.cxx_matches = cxx.Of(entry.name);
      entry.similar = SimilarNames(symbols, entry.name, entry.cxx_matches);
      unmatched.push_back(std::move(entry));
    }
    return kOk;
  });
  return unmatched;
}

// Every name of the exclude file, with its line.
std::vector<ExplainUnmatchedExclude> AllExcludes(const MappedFile& file) {
  std::vector<ExplainUnmatchedExclude> names;
  ScanDefLines(file.view, file.size, [&](DefTokenType type, std::string_view token, uint32_t line) {
    if (type == DefTokenType::kSymbol) names.push_back({std::string(token), line, {}, {}});
    return kOk;
  });
  return names;
}

}  // namespace

ExplainReport Explain(const std::vector<std::string>& args, const std::vector<std::string>& only) {
  ExplainReport report;
  report.only = only;
  RunState run;
  run.console = Sink{nullptr, &report.console};

  std::vector<std::string> storage{"prepqdm"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  const ThroughSelection through =
      RunThroughSelection(run, static_cast<int>(storage.size()), argv.data(), LogFile::kNone);
  report.status = through.status;
  if (!through.parsed) return report;
  const Options& options = run.options;
  report.passed_over_inputs = PassedOverInputs(run.inputs);
  if (through.failure) {
    PrintBytes(run.console, through.failure->line.data(), through.failure->line.size());
    return report;
  }
  if (!through.selected) return report;

  report.ran = true;
  report.export_all = options.export_all;
  report.def_only = options.def_only;
  const SelectionSettings settings = SelectionSettingsOf(options);
  const SelectionResult& selection = run.selection;
  const std::string directory = FullPath(".", SIZE_MAX).value_or("");

  OriginMap origins;
  if (!options.export_all) {
    if (run.def_file) AddDefinitionFileOrigins(*run.def_file, *options.def_path, origins);
    AddExportSectionOrigins(run.inputs.registry, directory, origins);
  }
  const std::set<std::string> wanted(only.begin(), only.end());
  auto kept = [&](const std::string& name) { return wanted.empty() || wanted.count(name) != 0; };

  const DescribeContext context{report, settings, run.def_file != nullptr, directory};
  bool excluded_any = false;
  for (uint32_t number : run.symbols.InNameOrder()) {
    const TrackedSymbol& record = run.symbols.At(number);
    ++report.global_count;
    if (record.exported) ++report.exported_count;
    if (record.verdict == kVerdictExcluded) excluded_any = true;
    if (!kept(NameOf(record))) continue;
    ExplainSymbol s = Describe(record, context);
    if (options.export_all) {
      s.requested_by.emplace_back();
    } else if (auto found = origins.find(s.name); found != origins.end()) {
      s.requested_by = found->second;
    }
    report.symbols.push_back(std::move(s));
  }

  report.missing = MissingNames(selection.missing, run.symbols);
  std::erase_if(report.missing, [&](const std::string& name) { return !kept(name); });
  std::vector<std::string> absent_names = report.missing;
  for (const std::string& name : only) {
    const bool held = run.symbols.FindRecord(name) != kNoRecord;
    if (!held && std::find(absent_names.begin(), absent_names.end(), name) == absent_names.end())
      absent_names.push_back(name);
  }
  CxxMatches cxx(run.symbols);
  for (const std::string& name : absent_names) {
    ExplainAbsent absent;
    absent.name = name;
    absent.requested = std::find(report.missing.begin(), report.missing.end(), name) != report.missing.end();
    if (auto found = origins.find(name); found != origins.end()) absent.requested_by = found->second;
    absent.cxx_matches = cxx.Of(name);
    absent.similar = SimilarNames(run.symbols, name, absent.cxx_matches);
    report.absent.push_back(std::move(absent));
  }
  std::map<std::string, ExplainAbsent*> by_name;
  for (ExplainAbsent& absent : report.absent) by_name[absent.name] = &absent;
  if (!by_name.empty()) FindUnderAbsentNames(run.inputs.registry, directory, by_name);

  // The exclusions are applied once the list is complete; a selection that
  // stopped before took nothing off, whatever the file says.
  if (run.exclude_file) {
    report.exclude_file = *options.exclude_path;
    if (report.status == kOk || excluded_any)
      report.unmatched_excludes = UnmatchedExcludes(*run.exclude_file, run.symbols, cxx);
    else
      report.unapplied_excludes = AllExcludes(*run.exclude_file);
    auto unkept = [&](const ExplainUnmatchedExclude& entry) { return !kept(entry.name); };
    std::erase_if(report.unmatched_excludes, unkept);
    std::erase_if(report.unapplied_excludes, unkept);
  }
  return report;
}

}  // namespace prepqdm
