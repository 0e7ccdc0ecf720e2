// What the inspector finds in a file, as plain records. The reader fills
// them once; the text and JSON renderers print the same records, so both
// outputs always carry the same facts.
//
// Problems are inconsistencies inside a file that was read (a CRC that does
// not match, an entry without its relocation, a name outside its section);
// an error is input that could not be read at all (not an ELF object or
// archive, refused by the ELF reader, a damaged archive).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/status.h"

namespace prepqdm {

// The relocation that fills word 0 of an export table entry.
struct EntryRelocation {
  uint32_t index = 0;  // position in the relocation section
  uint32_t type = 0;
  uint32_t symbol_index = 0;
  std::optional<std::string> symbol_name;  // none when it cannot be read
};

struct ExportEntryFacts {
  uint32_t index = 0;
  uint32_t name_offset = 0;  // word 1 without the TLS bit
  bool tls = false;          // bit 31 of word 1
  std::optional<std::string> name;  // none when the offset leads nowhere
  std::optional<EntryRelocation> relocation;
};

struct ExportTableFacts {
  bool code = false;
  uint32_t section_index = 0;
  std::string section_name;
  uint32_t section_size = 0;
  uint32_t count = 0;
  uint32_t stored_crc = 0;
  std::optional<uint32_t> computed_crc;  // none when the name area is not inside the section
  uint32_t relocation_section = 0;       // 0 when there is none
  uint32_t relocation_count = 0;
  std::vector<ExportEntryFacts> entries;
};

struct ImportSlotFacts {
  uint32_t slot = 0;        // (st_value - 8) / 8
  uint32_t symbol_index = 0;
  std::string name;
  std::string kind;         // "function", "data", "thread-local data" or "type N"
};

struct ImportTableFacts {
  bool code = false;
  uint32_t section_index = 0;
  std::string section_name;
  uint32_t section_size = 0;
  std::string module_name;  // the sh_info bytes after count and CRC
  uint32_t count = 0;
  uint32_t stored_crc = 0;
  std::optional<uint32_t> computed_crc;  // over the slot names, as the export table's CRC
  std::vector<ImportSlotFacts> slots;
};

// The empty import stub is the import library of a module that exports
// nothing: no import section, the null symbol alone.
enum class ObjectKind { kExportObject, kEmptyExportObject, kImportStub, kEmptyImportStub };

struct ObjectFacts {
  ObjectKind kind = ObjectKind::kExportObject;
  uint8_t ei_data = 0;
  bool big_endian = false;
  uint16_t machine = 0;
  uint32_t section_count = 0;
  uint32_t symbol_count = 0;
  std::vector<ExportTableFacts> export_tables;
  std::vector<ImportTableFacts> import_tables;
};

// The 60-byte header of an archive member, fields as text without padding.
struct MemberHeader {
  uint64_t offset = 0;
  std::string name_field;
  std::string name;  // resolved (long names), empty for special members
  std::string date, uid, gid, mode, size;
};

// One ELF object: the file itself, or one member of an archive.
struct ObjectReport {
  std::optional<MemberHeader> member;
  std::string note;                   // a member that is not dumped: why
  std::optional<ObjectFacts> object;
  std::vector<std::string> problems;
  std::string error;                  // unreadable: why
};

struct FileReport {
  std::string path;
  bool archive = false;
  std::vector<ObjectReport> objects;  // none for an archive of the magic alone
  std::string error;  // the file as a whole could not be read
};

// An export object and an import library given together: whether the
// library was made from that export object, judged by the counts and CRCs
// its stub copied from the export tables.
struct PairCheck {
  std::string export_object;  // paths as given
  std::string import_library;
  std::vector<std::string> problems;  // "<library> does not belong to <export object>: ..."
};

// Explain mode: what prepqdm's selection would do with every global symbol.
// kWouldExport: passed every check in a run that fails, so nothing is written.
enum class Verdict { kExported, kWouldExport, kRefused, kPassedOver, kExcluded, kNotRequested };

// What would make a symbol an export, each part a change to the command line
// or its files; offered only where the rules allow it. `request`: name it in
// the definition file or an .export section, with `options` added; or
// `export_all`: use -xall (in place of -x); `unexclude`: take it out of the
// exclude file; or with `request` false, just add `options`.
struct ExplainRemedy {
  bool request = false;
  std::vector<std::string> options;
  bool export_all = false;
  bool unexclude = false;
};

// Where a name was asked for: a line of the definition file, an entry of an
// object's ".export" section, or -xall (which considers every global).
struct ExplainOrigin {
  enum class Source { kDefinitionFile, kExportSection, kExportAll } source = Source::kExportAll;
  std::string file;   // the definition file as typed, or the object (archive(member))
  uint32_t line = 0;  // definition file: its line, from 1
  uint32_t entry = 0; // .export: the entry (word) index, from 0
  // .export: the entry's relocation is against a local symbol, which is
  // looked up among the globals by its name: that symbol, in words.
  std::optional<std::string> local_symbol;  // its name, when it can be told
  std::string local_target;                 // words, empty when the target is global
};

struct ExplainSymbol {
  std::string name;
  std::string input;          // path, or archive(member); empty for a definition-file record
  std::string kind;           // "code", "data" or "tls"
  bool weak = false;
  uint8_t class_flags = 0;
  Verdict verdict = Verdict::kNotRequested;
  std::vector<std::string> reasons;   // refusal messages, or why -xall passed it over
  std::vector<std::string> warnings;  // warnings prepqdm prints when exporting it
  std::vector<std::string> reason_codes;  // "weak", "linkonce", ..., one per rule
  std::string why;                        // the verdict's reason in words
  std::vector<ExplainOrigin> requested_by;
  std::string visibility;                 // "internal", "hidden" or "protected"; empty for the default
  std::optional<std::string> comdat_group;  // the signature of the COMDAT group holding the definition
  std::optional<ExplainRemedy> remedy;
};

// An input the loader read nothing from, as written on the command line.
struct ExplainPassedOverInput {
  std::string input;
  std::string reason;  // "too-short", "linker-command-file", "output", "repeated"
  std::string words;
};

// What an input holds under a name that no global record has.
struct ExplainFinding {
  std::string input;
  std::string kind;   // "local", "weak", "linkonce", "import-stub", "undefined"
  std::string words;
};

// A name that no global record holds: requested (and so missing), or asked
// about with --symbol.
struct ExplainAbsent {
  std::string name;
  bool requested = false;
  std::vector<ExplainOrigin> requested_by;
  std::vector<ExplainFinding> findings;
  // "Did you mean": the globals whose demangled names this name writes
  // ("audio::mixer_volume" for _ZN5audio12mixer_volumeEi), in name order,
  // then other spellings near it, nearest first, at most three.
  std::vector<std::string> cxx_matches;
  std::vector<std::string> similar;
};

// An exclude-file name that took nothing off the list, or, when the
// selection stopped before the exclusions, any of its names.
struct ExplainUnmatchedExclude {
  std::string name;
  uint32_t line = 0;
  std::vector<std::string> similar;
  std::vector<std::string> cxx_matches;  // as ExplainAbsent's, listed before `similar`
};

struct ExplainReport {
  bool ran = false;           // false: the reading stages failed (see console)
  Status status = 0;          // what the selection stage returned
  bool export_all = false;
  bool def_only = false;
  std::string console;        // everything prepqdm would have printed
  std::vector<ExplainSymbol> symbols;
  std::vector<std::string> missing;  // requested names no input defines
  std::vector<ExplainAbsent> absent; // the missing names, and --symbol names no input defines
  std::vector<std::string> only;     // --symbol: the names the report is limited to
  size_t global_count = 0;           // global symbols, and how many would be exported,
  size_t exported_count = 0;         // whatever --symbol keeps
  std::optional<std::string> exclude_file;  // as typed, when one was given
  std::vector<ExplainUnmatchedExclude> unmatched_excludes;
  std::vector<ExplainUnmatchedExclude> unapplied_excludes;  // the selection stopped first
  std::vector<ExplainPassedOverInput> passed_over_inputs;
};

// Exit statuses shared by the program and its tests.
constexpr int kDumpClean = 0;
constexpr int kDumpProblems = 1;  // inconsistencies found, or the selection would fail
constexpr int kDumpBadInput = 2;  // unreadable input, usage error, or the reading stages failed

int ExitStatusOf(const std::vector<FileReport>& reports, const std::optional<PairCheck>& pair = std::nullopt);
int ExitStatusOf(const ExplainReport& report);

const char* VerdictName(Verdict verdict);
std::string ClassFlagNames(uint8_t flags);  // "linkonce,static-init,double-dot,comdat", "-" when 0

}  // namespace prepqdm
