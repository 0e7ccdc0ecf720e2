// Renderings of the inspector's reports. Text output is for people: names
// are printed as bytes, with control bytes shown as \xNN so a hostile name
// cannot drive the terminal. JSON output is for scripts and carries every
// field of the records (see json_writer.h for how bytes are escaped).
#include "inspect/render.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "elf/elf_format.h"
#include "host/output.h"
#include "inspect/cxx_names.h"
#include "inspect/json_writer.h"
#include "output/import_library.h"
#include "symbols/tracked_symbol.h"

namespace prepqdm {

namespace {

class Text {
 public:
  void Line(const char* format, ...) __attribute__((format(PREPQDM_PRINTF, 2, 3))) {
    Sink sink{nullptr, &out};
    va_list args;
    va_start(args, format);
    VPrint(sink, format, args);
    va_end(args);
    out += '\n';
  }
  std::string out;
};

// Control bytes as \xNN; everything else as it is.
std::string Printable(std::string_view bytes) {
  std::string out;
  char escape[8];
  for (char c : bytes) {
    uint8_t b = static_cast<uint8_t>(c);
    if (b < 0x20 || b == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02X", b);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

// A mangled C++ name with its demangled form beside it:
// "_ZN5audio12mixer_volumeEi (audio::mixer_volume(int))"; any other name as
// it is.
std::string NameText(std::string_view name) {
  std::optional<std::string> demangled = Demangled(name);
  return demangled ? Printable(name) + " (" + Printable(*demangled) + ")" : Printable(name);
}

// The "demangled" member, present only for a name that demangles.
void JsonDemangled(JsonWriter& j, std::string_view name) {
  if (std::optional<std::string> demangled = Demangled(name)) j.Key("demangled").String(*demangled);
}

constexpr uint16_t kEm386 = 3;

const char* MachineName(uint16_t machine) {
  switch (machine) {
    case kEm386: return "Intel 80386";
    case 8: return "MIPS";
    case EM_PPC: return "PowerPC";
    case 21: return "PowerPC64";
    case 40: return "ARM";
    case 62: return "x86-64";
    default: return "unknown";
  }
}

const char* KindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kExportObject: return "export object";
    case ObjectKind::kEmptyExportObject: return "empty export object";
    case ObjectKind::kImportStub: return "import stub";
    case ObjectKind::kEmptyImportStub: return "empty import stub";
  }
  return "";
}

// Relocation types are numbered per machine; the names are readelf's.
const char* RelocationName(uint16_t machine, uint32_t type) {
  static constexpr struct {
    uint16_t machine;
    uint32_t type;
    const char* name;
  } kNames[] = {
      {kEm386, 0, "R_386_NONE"},    {kEm386, 1, "R_386_32"},          {kEm386, 2, "R_386_PC32"},
      {EM_PPC, 0, "R_PPC_NONE"},    {EM_PPC, 1, "R_PPC_ADDR32"},      {EM_PPC, 26, "R_PPC_REL32"},
      {EM_PPC, 78, "R_PPC_DTPREL32"},
  };
  for (const auto& entry : kNames)
    if (entry.machine == machine && entry.type == type) return entry.name;
  return "other";
}

// The version of the JSON documents' layout; a script can check it before
// it reads on.
constexpr int kJsonSchemaVersion = 2;

std::string CrcVerdict(uint32_t stored, const std::optional<uint32_t>& computed, const char* source) {
  char text[96];
  if (!computed) {
    std::snprintf(text, sizeof text, "CRC stored 0x%08X, not computable", stored);
  } else {
    std::snprintf(text, sizeof text, "CRC stored 0x%08X, %s 0x%08X %s", stored, source, *computed,
                  stored == *computed ? "ok" : "MISMATCH");
  }
  return text;
}

std::string ObjectLabel(const FileReport& file, const ObjectReport& object) {
  std::string label = file.path;
  if (object.member) label += "(" + (object.member->name.empty() ? object.member->name_field : object.member->name) + ")";
  return label;
}

// The stub of a module that exports nothing carries no module name; its
// member is named after the module ("sound.qdm.o"), a bare stub not at all.
std::string EmptyLibraryWords(const ObjectReport& object) {
  std::string module = "a module (a bare stub does not name it)";
  if (object.member && !object.member->name.empty()) {
    module = object.member->name;
    constexpr std::string_view kSuffix = kStubMemberSuffix;
    if (module.size() > kSuffix.size() && module.ends_with(kSuffix)) module.resize(module.size() - kSuffix.size());
  }
  return "import library of " + module + ": exports nothing";
}

void TextObject(Text& t, const ObjectFacts& o) {
  t.Line("  %s, %s (EI_DATA %u), machine %u (%s), %u sections, %u symbols", KindName(o.kind),
         o.big_endian ? "big-endian" : "little-endian", o.ei_data, o.machine, MachineName(o.machine),
         o.section_count, o.symbol_count);
  if (o.kind == ObjectKind::kEmptyExportObject) t.Line("  no exports");
  for (const ExportTableFacts& x : o.export_tables) {
    t.Line("  %s table %s (section %u, %u bytes): %u entries, %s", x.code ? "code" : "data",
           Printable(x.section_name).c_str(), x.section_index, x.section_size, x.count,
           CrcVerdict(x.stored_crc, x.computed_crc, "computed").c_str());
    if (x.relocation_section != 0)
      t.Line("    relocations in section %u: %u entries", x.relocation_section, x.relocation_count);
    for (const ExportEntryFacts& e : x.entries) {
      std::string name = e.name ? NameText(*e.name) : "<unreadable name>";
      std::string relocation = "no relocation";
      if (e.relocation) {
        char text[64];
        std::snprintf(text, sizeof text, "%s (%u) against symbol %u ", RelocationName(o.machine, e.relocation->type),
                      e.relocation->type, e.relocation->symbol_index);
        relocation = text + (e.relocation->symbol_name ? Printable(*e.relocation->symbol_name) : "<unreadable>");
      }
      t.Line("    [%u] %s%s  name at 0x%X, %s", e.index, name.c_str(), e.tls ? "  TLS" : "", e.name_offset,
             relocation.c_str());
    }
  }
  for (const ImportTableFacts& x : o.import_tables) {
    t.Line("  %s imports %s (section %u, %u bytes): module \"%s\", %u entries, %s", x.code ? "code" : "data",
           Printable(x.section_name).c_str(), x.section_index, x.section_size, Printable(x.module_name).c_str(),
           x.count, CrcVerdict(x.stored_crc, x.computed_crc, "from slot names").c_str());
    for (const ImportSlotFacts& s : x.slots)
      t.Line("    slot %u (symbol %u): %s  %s", s.slot, s.symbol_index, s.kind.c_str(), NameText(s.name).c_str());
  }
}

void JsonObject(JsonWriter& j, const ObjectFacts& o) {
  j.BeginObject();
  j.Key("kind").String(KindName(o.kind));
  j.Key("ei_data").Number(o.ei_data);
  j.Key("byte_order").String(o.big_endian ? "big-endian" : "little-endian");
  j.Key("machine").Number(o.machine);
  j.Key("section_count").Number(o.section_count);
  j.Key("symbol_count").Number(o.symbol_count);
  j.Key("export_tables").BeginArray();
  for (const ExportTableFacts& x : o.export_tables) {
    j.BeginObject();
    j.Key("table").String(x.code ? "code" : "data");
    j.Key("section").Number(x.section_index);
    j.Key("section_name").String(x.section_name);
    j.Key("section_size").Number(x.section_size);
    j.Key("count").Number(x.count);
    j.Key("stored_crc").Number(x.stored_crc);
    if (x.computed_crc) j.Key("computed_crc").Number(*x.computed_crc);
    else j.Key("computed_crc").Null();
    j.Key("crc_ok").Bool(x.computed_crc && *x.computed_crc == x.stored_crc);
    j.Key("relocation_section").Number(x.relocation_section);
    j.Key("relocation_count").Number(x.relocation_count);
    j.Key("entries").BeginArray();
    for (const ExportEntryFacts& e : x.entries) {
      j.BeginObject();
      j.Key("index").Number(e.index);
      if (e.name) j.Key("name").String(*e.name);
      else j.Key("name").Null();
      if (e.name) JsonDemangled(j, *e.name);
      j.Key("name_offset").Number(e.name_offset);
      j.Key("tls").Bool(e.tls);
      j.Key("relocation");
      if (e.relocation) {
        j.BeginObject();
        j.Key("index").Number(e.relocation->index);
        j.Key("type").Number(e.relocation->type);
        j.Key("type_name").String(RelocationName(o.machine, e.relocation->type));
        j.Key("symbol_index").Number(e.relocation->symbol_index);
        if (e.relocation->symbol_name) j.Key("symbol").String(*e.relocation->symbol_name);
        else j.Key("symbol").Null();
        j.EndObject();
      } else {
        j.Null();
      }
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();
  j.Key("import_tables").BeginArray();
  for (const ImportTableFacts& x : o.import_tables) {
    j.BeginObject();
    j.Key("table").String(x.code ? "code" : "data");
    j.Key("section").Number(x.section_index);
    j.Key("section_name").String(x.section_name);
    j.Key("section_size").Number(x.section_size);
    j.Key("module").String(x.module_name);
    j.Key("count").Number(x.count);
    j.Key("stored_crc").Number(x.stored_crc);
    if (x.computed_crc) j.Key("computed_crc").Number(*x.computed_crc);
    else j.Key("computed_crc").Null();
    j.Key("crc_ok").Bool(x.computed_crc && *x.computed_crc == x.stored_crc);
    j.Key("slots").BeginArray();
    for (const ImportSlotFacts& s : x.slots) {
      j.BeginObject();
      j.Key("slot").Number(s.slot);
      j.Key("symbol_index").Number(s.symbol_index);
      j.Key("name").String(s.name);
      JsonDemangled(j, s.name);
      j.Key("kind").String(s.kind);
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
}

void JsonStrings(JsonWriter& j, const std::vector<std::string>& strings) {
  j.BeginArray();
  for (const std::string& s : strings) j.String(s);
  j.EndArray();
}

}  // namespace

int ExitStatusOf(const std::vector<FileReport>& reports, const std::optional<PairCheck>& pair) {
  int status = pair && !pair->problems.empty() ? kDumpProblems : kDumpClean;
  for (const FileReport& file : reports) {
    if (!file.error.empty()) return kDumpBadInput;
    for (const ObjectReport& object : file.objects) {
      if (!object.error.empty()) return kDumpBadInput;
      if (!object.problems.empty()) status = kDumpProblems;
    }
  }
  return status;
}

int ExitStatusOf(const ExplainReport& report) {
  if (!report.ran) return kDumpBadInput;
  return report.status == 0 ? kDumpClean : kDumpProblems;
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kExported: return "exported";
    case Verdict::kWouldExport: return "would-export";
    case Verdict::kRefused: return "refused";
    case Verdict::kPassedOver: return "passed-over";
    case Verdict::kExcluded: return "excluded";
    case Verdict::kNotRequested: return "not-requested";
  }
  return "";
}

std::string ClassFlagNames(uint8_t flags) {
  std::string names;
  auto add = [&](uint8_t flag, const char* name) {
    if (!(flags & flag)) return;
    if (!names.empty()) names += ',';
    names += name;
  };
  add(CLASS_LINKONCE, "linkonce");
  add(CLASS_STATIC_INIT, "static-init");
  add(CLASS_DOUBLE_DOT, "double-dot");
  add(CLASS_COMDAT, "comdat");
  return names.empty() ? "-" : names;
}

std::vector<std::string> ErrorLines(const std::vector<FileReport>& reports) {
  std::vector<std::string> lines;
  for (const FileReport& file : reports) {
    for (const ObjectReport& object : file.objects)
      if (!object.error.empty()) lines.push_back("qdmdump: " + Printable(ObjectLabel(file, object)) + ": " + object.error);
    if (!file.error.empty()) lines.push_back("qdmdump: " + Printable(file.path) + ": " + Printable(file.error));
  }
  return lines;
}

std::string RenderText(const std::vector<FileReport>& reports, const std::optional<PairCheck>& pair) {
  Text t;
  for (const FileReport& file : reports) {
    if (!t.out.empty()) t.Line("%s", "");
    if (file.archive && file.objects.empty() && file.error.empty()) {
      t.Line("%s: ar archive, no members", Printable(file.path).c_str());
    } else if (file.archive) {
      t.Line("%s: ar archive, %zu members", Printable(file.path).c_str(), file.objects.size());
    } else {
      t.Line("%s:", Printable(file.path).c_str());
    }
    for (const ObjectReport& object : file.objects) {
      if (const std::optional<MemberHeader>& m = object.member) {
        t.Line("member %s at offset %llu: date %s, uid %s, gid %s, mode %s, size %s%s%s",
               Printable(ObjectLabel(file, object)).c_str(), static_cast<unsigned long long>(m->offset),
               Printable(m->date).c_str(), Printable(m->uid).c_str(), Printable(m->gid).c_str(), Printable(m->mode).c_str(), Printable(m->size).c_str(),
               object.note.empty() ? "" : "; ", object.note.c_str());
      }
      if (object.object) TextObject(t, *object.object);
      if (object.object && object.object->kind == ObjectKind::kEmptyImportStub)
        t.Line("  %s", Printable(EmptyLibraryWords(object)).c_str());
      if (!object.error.empty()) t.Line("  error: %s", object.error.c_str());
      for (const std::string& problem : object.problems) t.Line("  problem: %s", Printable(problem).c_str());
    }
    if (!file.error.empty()) t.Line("  error: %s", Printable(file.error).c_str());
  }
  // A finding about both files, so after both and not indented under either.
  if (pair && !pair->problems.empty()) {
    t.Line("%s", "");
    for (const std::string& problem : pair->problems) t.Line("problem: %s", Printable(problem).c_str());
  }
  return t.out;
}

std::string RenderJson(const std::vector<FileReport>& reports, const std::optional<PairCheck>& pair) {
  JsonWriter j;
  j.BeginObject();
  j.Key("schema_version").Number(kJsonSchemaVersion);
  j.Key("status").Number(ExitStatusOf(reports, pair));
  j.Key("files").BeginArray();
  for (const FileReport& file : reports) {
    j.BeginObject();
    j.Key("path").String(file.path);
    j.Key("archive").Bool(file.archive);
    if (file.error.empty()) j.Key("error").Null();
    else j.Key("error").String(file.error);
    j.Key("objects").BeginArray();
    for (const ObjectReport& object : file.objects) {
      j.BeginObject();
      j.Key("member");
      if (const std::optional<MemberHeader>& m = object.member) {
        j.BeginObject();
        j.Key("offset").Number(static_cast<int64_t>(m->offset));
        j.Key("name_field").String(m->name_field);
        j.Key("name").String(m->name);
        j.Key("date").String(m->date);
        j.Key("uid").String(m->uid);
        j.Key("gid").String(m->gid);
        j.Key("mode").String(m->mode);
        j.Key("size").String(m->size);
        j.EndObject();
      } else {
        j.Null();
      }
      if (object.note.empty()) j.Key("note").Null();
      else j.Key("note").String(object.note);
      if (object.error.empty()) j.Key("error").Null();
      else j.Key("error").String(object.error);
      j.Key("object");
      if (object.object) JsonObject(j, *object.object);
      else j.Null();
      j.Key("problems");
      JsonStrings(j, object.problems);
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();
  j.Key("pair");
  if (pair) {
    j.BeginObject();
    j.Key("export_object").String(pair->export_object);
    j.Key("import_library").String(pair->import_library);
    j.Key("belongs").Bool(pair->problems.empty());
    j.Key("problems");
    JsonStrings(j, pair->problems);
    j.EndObject();
  } else {
    j.Null();
  }
  j.EndObject();
  return j.Text() + "\n";
}

namespace {

std::string Quote(const std::string& name) { return '"' + Printable(name) + '"'; }

std::string OriginText(const ExplainOrigin& origin) {
  switch (origin.source) {
    case ExplainOrigin::Source::kDefinitionFile:
      return Format("%s line %u", Printable(origin.file).c_str(), origin.line);
    case ExplainOrigin::Source::kExportSection: {
      std::string text = Format(".export entry %u of %s", origin.entry, Printable(origin.file).c_str());
      if (!origin.local_target.empty()) text += ", relocated against " + Printable(origin.local_target);
      return text;
    }
    case ExplainOrigin::Source::kExportAll:
      break;
  }
  return "-xall";
}

void TextOrigins(Text& t, const std::vector<ExplainOrigin>& origins) {
  for (const ExplainOrigin& origin : origins) t.Line("    requested by %s", OriginText(origin).c_str());
}

// The globals the name writes in C++ terms first, then near spellings.
void TextSimilar(Text& t, const std::vector<std::string>& cxx_matches, const std::vector<std::string>& similar) {
  std::string names;
  for (const auto* list : {&cxx_matches, &similar})
    for (const std::string& name : *list) names += (names.empty() ? "" : ", ") + NameText(name);
  if (!names.empty()) t.Line("    did you mean: %s", names.c_str());
}

void JsonSimilar(JsonWriter& j, const std::vector<std::string>& cxx_matches, const std::vector<std::string>& similar) {
  j.Key("did_you_mean").BeginArray();
  for (const auto* list : {&cxx_matches, &similar})
    for (const std::string& name : *list) j.String(name);
  j.EndArray();
  j.Key("demangled_matches").BeginArray();
  for (const std::string& name : cxx_matches) {
    j.BeginObject();
    j.Key("name").String(name);
    JsonDemangled(j, name);
    j.EndObject();
  }
  j.EndArray();
}

void JsonOrigins(JsonWriter& j, const std::vector<ExplainOrigin>& origins) {
  j.BeginArray();
  for (const ExplainOrigin& origin : origins) {
    j.BeginObject();
    switch (origin.source) {
      case ExplainOrigin::Source::kDefinitionFile:
        j.Key("source").String("definition-file");
        j.Key("file").String(origin.file);
        j.Key("line").Number(origin.line);
        break;
      case ExplainOrigin::Source::kExportSection:
        j.Key("source").String("export-section");
        j.Key("input").String(origin.file);
        j.Key("entry").Number(origin.entry);
        if (origin.local_symbol) j.Key("local_symbol").String(*origin.local_symbol);
        else j.Key("local_symbol").Null();
        if (origin.local_target.empty()) j.Key("local_target").Null();
        else j.Key("local_target").String(origin.local_target);
        break;
      case ExplainOrigin::Source::kExportAll:
        j.Key("source").String("xall");
        break;
    }
    j.EndObject();
  }
  j.EndArray();
}

}  // namespace

std::string RenderText(const ExplainReport& report) {
  Text t;
  if (!report.console.empty()) {
    t.out += "prepqdm would print:\n";
    t.out += report.console;
    if (report.console.back() != '\n') t.out += '\n';
    t.Line("%s", "");
  }
  if (!report.ran) {
    t.Line("the reading stages failed (status %d); nothing to explain", report.status);
    return t.out;
  }
  t.Line("%-13s %-4s %-6s %-16s %-24s %s", "verdict", "kind", "weak", "class", "symbol", "input");
  for (const ExplainSymbol& s : report.symbols) {
    t.Line("%-13s %-4s %-6s %-16s %-24s %s", VerdictName(s.verdict), s.kind.c_str(), s.weak ? "weak" : "strong",
           ClassFlagNames(s.class_flags).c_str(), NameText(s.name).c_str(),
           s.input.empty() ? "(definition file)" : Printable(s.input).c_str());
    if (!s.visibility.empty()) t.Line("    visibility: %s", s.visibility.c_str());
    // Every symbol of an -xall run is considered by -xall: said once, below.
    const bool why_shown = s.verdict != Verdict::kExported && !s.why.empty();
    // Unless the lines below name the group already.
    bool group_named = why_shown && s.why.find("COMDAT") != std::string::npos;
    for (const std::string& reason : s.reasons) group_named = group_named || reason.find("COMDAT") != std::string::npos;
    if (s.comdat_group && !group_named) t.Line("    in COMDAT group `%s`", Printable(*s.comdat_group).c_str());
    for (const std::string& reason : s.reasons) t.Line("    %s", Printable(reason).c_str());
    for (const std::string& warning : s.warnings) t.Line("    %s", Printable(warning).c_str());
    if (why_shown) t.Line("    why: %s", Printable(s.why).c_str());
    if (!report.export_all) TextOrigins(t, s.requested_by);
  }
  for (const ExplainAbsent& a : report.absent) {
    std::string name = Quote(a.name);
    if (std::optional<std::string> demangled = Demangled(a.name)) name += " (" + Printable(*demangled) + ")";
    t.Line("%-13s %s", a.requested ? "missing" : "no-global", name.c_str());
    if (!a.requested) t.Line("    why: no input defines a global symbol of this name");
    TextOrigins(t, a.requested_by);
    for (const ExplainFinding& f : a.findings) t.Line("    the inputs have %s", Printable(f.words).c_str());
    TextSimilar(t, a.cxx_matches, a.similar);
  }
  if (report.exclude_file && !report.unmatched_excludes.empty()) {
    t.Line("%s", "");
    t.Line("names in the exclude file %s that matched no listed export:", Printable(*report.exclude_file).c_str());
    for (const ExplainUnmatchedExclude& u : report.unmatched_excludes) {
      t.Line("    line %u: %s", u.line, Quote(u.name).c_str());
      TextSimilar(t, u.cxx_matches, u.similar);
    }
  }
  if (report.exclude_file && !report.unapplied_excludes.empty()) {
    t.Line("%s", "");
    t.Line("names in the exclude file %s, not applied: the selection stopped:",
           Printable(*report.exclude_file).c_str());
    for (const ExplainUnmatchedExclude& u : report.unapplied_excludes)
      t.Line("    line %u: %s", u.line, Quote(u.name).c_str());
  }
  if (!report.passed_over_inputs.empty()) {
    t.Line("%s", "");
    t.Line("inputs passed over (nothing is read from them):");
    for (const ExplainPassedOverInput& p : report.passed_over_inputs)
      t.Line("    %s: %s", Printable(p.input).c_str(), p.words.c_str());
  }
  t.Line("%s", "");
  if (report.status == 0) {
    t.Line("%zu of %zu global symbols would be exported%s", report.exported_count, report.global_count,
           report.export_all ? " (-xall)" : "");
  } else {
    t.Line("prepqdm would fail with status %d and write nothing (%zu symbols had passed the checks)", report.status,
           report.exported_count);
  }
  return t.out;
}

std::string RenderJson(const ExplainReport& report) {
  JsonWriter j;
  j.BeginObject();
  j.Key("schema_version").Number(kJsonSchemaVersion);
  j.Key("mode").String("explain");
  j.Key("ran").Bool(report.ran);
  j.Key("status").Number(report.status);
  j.Key("would_write").Bool(report.ran && report.status == 0);
  j.Key("export_all").Bool(report.export_all);
  j.Key("def_only").Bool(report.def_only);
  j.Key("console").String(report.console);
  j.Key("only");
  JsonStrings(j, report.only);
  j.Key("global_count").Number(static_cast<int64_t>(report.global_count));
  j.Key("exported_count").Number(static_cast<int64_t>(report.exported_count));
  j.Key("symbols").BeginArray();
  for (const ExplainSymbol& s : report.symbols) {
    j.BeginObject();
    j.Key("name").String(s.name);
    JsonDemangled(j, s.name);
    if (s.input.empty()) j.Key("input").Null();
    else j.Key("input").String(s.input);
    j.Key("kind").String(s.kind);
    j.Key("weak").Bool(s.weak);
    j.Key("class_flags").Number(s.class_flags);
    j.Key("classes").String(ClassFlagNames(s.class_flags));
    j.Key("verdict").String(VerdictName(s.verdict));
    j.Key("reasons");
    JsonStrings(j, s.reasons);
    j.Key("warnings");
    JsonStrings(j, s.warnings);
    j.Key("reason_codes");
    JsonStrings(j, s.reason_codes);
    j.Key("why").String(s.why);
    j.Key("requested_by");
    JsonOrigins(j, s.requested_by);
    j.Key("visibility").String(s.visibility.empty() ? "default" : s.visibility);
    if (s.comdat_group) j.Key("comdat_group").String(*s.comdat_group);
    else j.Key("comdat_group").Null();
    j.Key("remedy");
    if (s.remedy) {
      j.BeginObject();
      j.Key("request").Bool(s.remedy->request);
      j.Key("add_options");
      JsonStrings(j, s.remedy->options);
      j.Key("or_xall").Bool(s.remedy->export_all);
      j.Key("unexclude").Bool(s.remedy->unexclude);
      j.EndObject();
    } else {
      j.Null();
    }
    j.EndObject();
  }
  j.EndArray();
  j.Key("missing");
  JsonStrings(j, report.missing);
  j.Key("absent").BeginArray();
  for (const ExplainAbsent& a : report.absent) {
    j.BeginObject();
    j.Key("name").String(a.name);
    JsonDemangled(j, a.name);
    j.Key("requested").Bool(a.requested);
    j.Key("requested_by");
    JsonOrigins(j, a.requested_by);
    j.Key("findings").BeginArray();
    for (const ExplainFinding& f : a.findings) {
      j.BeginObject();
      if (f.input.empty()) j.Key("input").Null();
      else j.Key("input").String(f.input);
      j.Key("kind").String(f.kind);
      j.Key("words").String(f.words);
      j.EndObject();
    }
    j.EndArray();
    JsonSimilar(j, a.cxx_matches, a.similar);
    j.EndObject();
  }
  j.EndArray();
  if (report.exclude_file) j.Key("exclude_file").String(*report.exclude_file);
  else j.Key("exclude_file").Null();
  j.Key("unmatched_excludes").BeginArray();
  for (const ExplainUnmatchedExclude& u : report.unmatched_excludes) {
    j.BeginObject();
    j.Key("name").String(u.name);
    j.Key("line").Number(u.line);
    JsonSimilar(j, u.cxx_matches, u.similar);
    j.EndObject();
  }
  j.EndArray();
  j.Key("unapplied_excludes").BeginArray();
  for (const ExplainUnmatchedExclude& u : report.unapplied_excludes) {
    j.BeginObject();
    j.Key("name").String(u.name);
    j.Key("line").Number(u.line);
    j.EndObject();
  }
  j.EndArray();
  j.Key("passed_over_inputs").BeginArray();
  for (const ExplainPassedOverInput& p : report.passed_over_inputs) {
    j.BeginObject();
    j.Key("input").String(p.input);
    j.Key("reason").String(p.reason);
    j.Key("words").String(p.words);
    j.EndObject();
  }
  j.EndArray();
  j.EndObject();
  return j.Text() + "\n";
}

}  // namespace prepqdm
