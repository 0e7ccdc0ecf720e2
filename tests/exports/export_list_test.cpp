#include "exports/export_list.h"

#include <algorithm>

#include "exports_fixture.h"

namespace exportstest {
namespace {

using testsupport::ElfBuilder;

Status Check(ExportsRun& t, const std::string& name) {
  return CheckAndAddExport(t.run, reinterpret_cast<const uint8_t*>(name.data()), static_cast<uint32_t>(name.size()));
}

const std::string kLinkonceError =
    "***Error: Attempt to export symbol which shouldn't be exported: \"s\" is a linkonce symbol\n";
const std::string kLinkonceWarning =
    "***Warning: Attempt to export symbol which shouldn't be exported: \"s\" is a linkonce symbol.  Export allowed "
    "with warning.\n";
const std::string kDotsError =
    "***Error: Attempt to export symbol which shouldn't be exported: \"s\" is a \"..\" symbol\n";
const std::string kStiError =
    "***Error: Attempt to export symbol which shouldn't be exported: \"s\" is a static initializer symbol\n";
const std::string kStiWarning =
    "***Warning: Attempt to export symbol which shouldn't be exported: \"s\" is a static initializer symbol.  Export "
    "allowed with warning.\n";

TEST(CheckAndAddExport, RefusalsAndWarningsInOrder) {
  struct Case {
    const char* what;
    uint8_t flags;
    bool weak, warn_linkonce, warn_sti;
    Status status;
    std::string console;
  } cases[] = {
      {"plain", 0, false, false, false, 0, ""},
      {"weak, other flags not reported", CLASS_LINKONCE | CLASS_STATIC_INIT, true, false, false, -1,
       "***Error: Attempt to export WEAK symbol \"s\"\n"},
      {"linkonce", CLASS_LINKONCE, false, false, false, -1, kLinkonceError},
      {"linkonce allowed", CLASS_LINKONCE, false, true, false, 0, kLinkonceWarning},
      {"dots, no option helps", CLASS_DOUBLE_DOT, false, true, true, -1, kDotsError},
      {"sti", CLASS_STATIC_INIT, false, false, false, -1, kStiError},
      {"sti allowed", CLASS_STATIC_INIT, false, false, true, 0, kStiWarning},
      {"linkonce and sti", CLASS_LINKONCE | CLASS_STATIC_INIT, false, false, false, -1, kLinkonceError + kStiError},
      {"linkonce and sti, only sti allowed", CLASS_LINKONCE | CLASS_STATIC_INIT, false, false, true, -1,
       kLinkonceError + kStiWarning},
      {"all three, both options", CLASS_LINKONCE | CLASS_DOUBLE_DOT | CLASS_STATIC_INIT, false, true, true, -1,
       kLinkonceWarning + kDotsError + kStiWarning},
  };
  for (const Case& c : cases) {
    ExportsRun t;
    t.run.options.warn_linkonce = c.warn_linkonce;
    t.run.options.warn_sti = c.warn_sti;
    TrackedSymbol* s = t.Add("s", c.flags, c.weak);
    EXPECT_EQ(Check(t, "s"), c.status) << c.what;
    EXPECT_EQ(t.console, c.console) << c.what;
    EXPECT_EQ(s->exported, c.status == 0 ? 1u : 0u) << c.what;
    EXPECT_EQ(t.run.exports.count, c.status == 0 ? 1 : 0) << c.what;
  }
}

TEST(CheckAndAddExport, MissingAndRepeatedNames) {
  ExportsRun t;
  t.Add("a");
  EXPECT_EQ(Check(t, "nope"), -1);
  EXPECT_EQ(Check(t, ""), -1);
  EXPECT_EQ(Check(t, "a"), 0);
  EXPECT_EQ(Check(t, "a"), 0);
  EXPECT_EQ(t.console, "***Error: missing \"nope\"\n***Error: missing \"\"\n");
  EXPECT_EQ(t.List(), std::vector<std::string>{"a"});
  EXPECT_EQ(t.run.exports.count, 1);
}

TEST(SelectExports, DefFileRefusalsAreAllReportedAndCountedPerLine) {
  ExportsRun t;
  t.Add("f");
  t.Add("w", 0, true);
  t.Add("__sti__x", CLASS_STATIC_INIT);
  // An export section without relocations: searching it would print an error.
  ElfBuilder b;
  b.AddProgbits(".export", SHF_ALLOC, Bytes(4));
  t.Register(b.Build(), "x.o");
  MappedFile* def = t.Map("a.def", "[CODE]\ngone\nf\nw\nf\ngone\n__sti__x\n");
  EXPECT_EQ(Select(t, def), -1);
  EXPECT_EQ(t.console,
            "***Error: missing \"gone\"\n"
            "***Error: Attempt to export WEAK symbol \"w\"\n"
            "***Error: missing \"gone\"\n"
            "***Error: Attempt to export symbol which shouldn't be exported: \"__sti__x\" is a static initializer "
            "symbol\n"
            "***Error: 4 exported symbols not found or invalid for export. Return -1.\n");
}

TEST(SelectExports, WarnStiExportsTheName) {
  ExportsRun t;
  t.run.options.warn_sti = true;
  t.Add("__sti__x", CLASS_STATIC_INIT);
  EXPECT_EQ(Select(t, t.Map("a.def", "__sti__x\n")), 0);
  EXPECT_EQ(t.List(), std::vector<std::string>{"__sti__x"});
}

TEST(SelectExports, UnknownDirectiveInDefFileEndsAtOnce) {
  ExportsRun t;
  t.Add("a");
  EXPECT_EQ(Select(t, t.Map("a.def", "gone\n[CODE]\na\n[TEXT] ; what\nb\n")), -1);
  EXPECT_EQ(t.console, "***Error: missing \"gone\"\n***Error: Unknown directive found \"[TEXT]\". Return -1.\n");
}

TEST(SelectExports, DefFileOrderAndExclusion) {
  ExportsRun t;
  for (const char* n : {"a", "b", "c", "d"}) t.Add(n);
  MappedFile* def = t.Map("a.def", "[CODE]\nc\na\nd\nb\na\n");
  MappedFile* exclude = t.Map("x.def", "[DATA]\na\nnot_in_table\n# b\nd\na\n");
  EXPECT_EQ(Select(t, def, exclude), 0);
  EXPECT_EQ(t.console, "");
  EXPECT_EQ(t.List(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(t.run.exports.count, 2);
  auto find = [&](const char* n) { return t.run.tree.Find(reinterpret_cast<const uint8_t*>(n), 1); };
  EXPECT_EQ(find("a")->exported, 0u);
  EXPECT_EQ(find("d")->exported, 0u);
  EXPECT_EQ(find("b")->exported, 1u);
}

TEST(SelectExports, ExcludingEverythingWritesTheEmptyObject) {
  ExportsRun t;
  std::string log;
  t.run.log = Sink{nullptr, &log};
  t.Add("a");
  t.Add("b");
  EXPECT_EQ(Select(t, t.Map("a.def", "a\nb\n"), t.Map("x.def", "b\na\n")), 0);
  EXPECT_EQ(t.run.exports.head, nullptr);
  EXPECT_EQ(t.run.exports.count, 0);
  EXPECT_EQ(log, "\nEmpty Export Object.\n");
  EXPECT_EQ(t.console, "");
}

TEST(SelectExports, ExcludeFileIsReadOnlyForANonEmptyList) {
  for (bool listed : {false, true}) {
    ExportsRun t;
    t.Add("a");
    MappedFile* def = t.Map("a.def", listed ? "a\n" : "; nothing\n");
    Status status = Select(t, def, t.Map("x.def", "[CODE]\n[code]\na\n"));
    if (listed) {
      EXPECT_EQ(status, -1);
      EXPECT_EQ(t.console, "***Error: Unknown directive found \"[code]\". Return -1.\n");
    } else {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(t.console, "");
    }
  }
}

TEST(SelectExports, ExportAllTakesNonWeakLoadableUnclassifiedNames) {
  ExportsRun t;
  t.run.options.export_all = true;
  ElfBuilder b;
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16));
  uint32_t linkonce = b.AddProgbits(".gnu.linkonce.t.lo", SHF_ALLOC | SHF_EXECINSTR, Bytes(4));
  uint32_t note = b.AddProgbits(".note.x", 0, Bytes(4));
  b.AddProgbits(".export", SHF_ALLOC, Bytes(4));  // never searched with -xall
  b.AddGlobal("g", static_cast<uint16_t>(text), 4);
  b.AddGlobal("f", static_cast<uint16_t>(text));
  b.AddGlobal("w", static_cast<uint16_t>(text), 0, 0, STT_FUNC, STB_WEAK);
  b.AddGlobal("lo", static_cast<uint16_t>(linkonce));
  b.AddGlobal("__sti__x", static_cast<uint16_t>(text));
  b.AddGlobal(".L1", static_cast<uint16_t>(text));
  b.AddGlobal("abs", SHN_ABS, 0, 0, STT_OBJECT);
  b.AddGlobal("com", SHN_COMMON, 4, 4, STT_OBJECT);
  b.AddGlobal("tcom", SHN_TLS_COMMON, 4, 4, STT_TLS);
  b.AddGlobal("unalloc", static_cast<uint16_t>(note), 0, 0, STT_OBJECT);
  b.AddGlobal("odd_index", 0xFF10, 0, 0, STT_OBJECT);
  ObjectModule& object = t.Register(b.Build(), "m.o");
  t.TrackGlobals(object);
  t.Add("def_only_record");  // no definition: not loadable
  EXPECT_EQ(Select(t), 0);
  EXPECT_EQ(t.console, "");
  // Added in name order, so the list runs backwards.
  EXPECT_EQ(t.List(), (std::vector<std::string>{"tcom", "g", "f", "com"}));
}

TEST(SelectExports, ExportAllWithNothingEligibleWritesTheEmptyObject) {
  ExportsRun t;
  t.run.options.export_all = true;
  std::string log;
  t.run.log = Sink{nullptr, &log};
  t.Add("w", 0, true);
  EXPECT_EQ(Select(t), 0);
  EXPECT_EQ(log, "\nEmpty Export Object.\n");
}

TEST(CompareExportNames, UnsignedBytesThenLength) {
  ExportsRun t;
  std::vector<std::string> names = {"b", "abc", "\x80", "ab", "B", "a"};
  std::vector<ExportEntry> entries;
  for (const std::string& n : names) entries.push_back(ExportEntry{t.Add(n), 0, nullptr});
  std::sort(entries.begin(), entries.end(),
            [](const ExportEntry& x, const ExportEntry& y) { return CompareExportNames(&x, &y) < 0; });
  std::vector<std::string> sorted;
  for (const ExportEntry& e : entries) {
    sorted.emplace_back(reinterpret_cast<const char*>(e.tracked_symbol->name), e.tracked_symbol->name_length);
  }
  EXPECT_EQ(sorted, (std::vector<std::string>{"B", "a", "ab", "abc", "b", "\x80"}));
  EXPECT_EQ(CompareExportNames(&entries[0], &entries[0]), 0);
}

}  // namespace
}  // namespace exportstest
