#include "exports/export_list.h"

#include <algorithm>

#include "exports_fixture.h"

namespace exportstest {
namespace {

using Names = std::vector<std::string>;

TEST(CheckAndAddExport, RefusalsAndWarningsInOrder) {
  const std::string head = "Attempt to export symbol which shouldn't be exported: \"s\" is a ";
  const std::string allowed = " symbol.  Export allowed with warning.\n";
  const std::string lo_error = "***Error: " + head + "linkonce symbol\n",
                    lo_warning = "***Warning: " + head + "linkonce" + allowed;
  const std::string dots = "***Error: " + head + "\"..\" symbol\n";
  const std::string sti_error = "***Error: " + head + "static initializer symbol\n";
  const std::string sti_warning = "***Warning: " + head + "static initializer" + allowed;
  const uint8_t lo = CLASS_LINKONCE, dd = CLASS_DOUBLE_DOT, sti = CLASS_STATIC_INIT, cd = CLASS_COMDAT;
  struct Case {
    uint8_t flags;
    bool weak, warn_linkonce, warn_sti;
    Status status;
    std::string console;
  } cases[] = {
      {0, false, false, false, 0, ""},
      {lo | sti, true, false, false, -1, "***Error: Attempt to export WEAK symbol \"s\"\n"},
      {lo, false, false, false, -1, lo_error},
      {lo, false, true, false, 0, lo_warning},
      {dd, false, true, true, -1, dots},
      {sti, false, false, false, -1, sti_error},
      {sti, false, false, true, 0, sti_warning},
      {lo | sti, false, false, false, -1, lo_error + sti_error},
      {lo | dd | sti, false, true, true, -1, lo_warning + dots + sti_warning},
      // A COMDAT group member asked for by name is a linkonce symbol, once.
      {cd, false, false, false, -1, lo_error},
      {cd, false, true, false, 0, lo_warning},
      {cd | lo, false, false, false, -1, lo_error},
      {cd, true, true, false, -1, "***Error: Attempt to export WEAK symbol \"s\"\n"},
  };
  for (const Case& c : cases) {
    ExportsRun t;
    t.run.options.warn_linkonce = c.warn_linkonce;
    t.run.options.warn_sti = c.warn_sti;
    TrackedSymbol* s = t.Add("s", c.flags, c.weak);
    EXPECT_EQ(t.Check("s"), c.status) << c.console;
    EXPECT_EQ(t.Check("s"), c.status) << "repeat";
    EXPECT_EQ(t.console, c.console + c.console) << c.console;  // warnings too: the checks precede the list test
    EXPECT_EQ(s->exported, c.status == 0 ? 1u : 0u);
    EXPECT_EQ(t.exports().count(), c.status == 0 ? 1 : 0);
  }
}

// The writer takes a list whose entries were added in ascending name order
// as it is; AddExport must say so exactly, whatever order names come in.
TEST(AddExport, NotesWhetherEntriesAscend) {
  struct Case {
    Names added;
    bool ascending;
  } cases[] = {
      {{}, true},
      {{"a", "b", "c"}, true},
      {{"a", "ab", "b"}, true},
      {{"b", "a"}, false},
      {{"a", "c", "b"}, false},
      {{"a", "b", "a", "c"}, true},  // a repeat adds nothing
      {{"_ZN6halaaa5cacheEv", "_ZN6halaaa5cacheEPKc"}, false},
  };
  for (const Case& c : cases) {
    ExportsRun t;
    for (const std::string& n : c.added) t.Add(n);
    for (const std::string& n : c.added) EXPECT_EQ(t.Check(n), 0);
    EXPECT_EQ(t.exports().ascending, c.ascending) << testing::PrintToString(c.added);
  }
}

TEST(SelectExports, DefFileRefusalsAreAllReportedAndCountedPerLine) {
  ExportsRun t;
  t.Add("f");
  t.Add("w", 0, true);
  t.Add("qdm_fexports");  // as another export object defines it; qdm_dexports is held by none
  t.Add("__gnu_lto_v1");  // as an older GCC's fat LTO object defines it; __gnu_lto_slim is held by none
  testsupport::ElfBuilder b;  // an export section without relocations: searching it would fail
  b.AddProgbits(".export", SHF_ALLOC, Bytes(4));
  t.Register(b.Build(), "x.o");
  EXPECT_EQ(t.SelectAndWrite(t.Map("a.def", "[CODE]\ngone\nf\nw\nqdm_fexports\nf\ngone\nqdm_dexports\n"
                                            "[DATA]\n__gnu_lto_v1\n__gnu_lto_slim\n"),
                             nullptr),
            -1);
  const std::string note = ": a name every export object defines itself\n";
  const std::string lto_note = ": a marker GCC puts in its LTO objects (-flto)\n";
  EXPECT_EQ(t.console,
            "***Error: missing \"gone\"\n***Error: Attempt to export WEAK symbol \"w\"\n"
            "***Error: missing \"qdm_fexports\"\n  note: qdm_fexports" + note + "***Error: missing \"gone\"\n"
            "***Error: missing \"qdm_dexports\"\n  note: qdm_dexports" + note +
            "***Error: missing \"__gnu_lto_v1\"\n  note: __gnu_lto_v1" + lto_note +
            "***Error: missing \"__gnu_lto_slim\"\n  note: __gnu_lto_slim" + lto_note +
            "***Error: 7 exported symbols not found or invalid for export. Return -1.\n");
  const TrackedSymbol& table = *t.Find("qdm_fexports");
  EXPECT_EQ(std::tuple(table.verdict, table.verdict_reasons), std::tuple(kVerdictRefused, REASON_TABLE_NAME));
  const TrackedSymbol& marker = *t.Find("__gnu_lto_v1");
  EXPECT_EQ(std::tuple(marker.verdict, marker.verdict_reasons), std::tuple(kVerdictRefused, REASON_LTO_MARKER));
}

TEST(SelectExports, DefFileOrderAndExclusion) {
  ExportsRun t;
  for (const char* n : {"a", "b", "c", "d"}) t.Add(n);
  MappedFile* def = t.Map("a.def", "[CODE]\nc\na\nd\nb\na\n");
  EXPECT_EQ(t.SelectAndWrite(def, t.Map("x.def", "[DATA]\na\nnot_in_table\n# b\nd\na\n")), 0);
  EXPECT_EQ(t.console, "");
  EXPECT_EQ(t.List(), (Names{"b", "c"}));
  EXPECT_EQ(t.exports().count(), 2);
  EXPECT_EQ(std::tuple(uint8_t{t.Find("a")->exported}, uint8_t{t.Find("d")->exported}, uint8_t{t.Find("b")->exported}),
            std::tuple(0, 0, 1));
}

TEST(SelectExports, UnknownDirectivesAndTheEmptyList) {
  const char* const unknown = "***Error: Unknown directive found \"[code]\". Return -1.\n";
  struct Case {
    const char* def;
    const char* exclude;
    Status status;
    std::string console, log;
  } cases[] = {
      {"gone\n[code] ; x\na\n", "a", -1, std::string("***Error: missing \"gone\"\n") + unknown, ""},
      {"a\n", "[CODE]\n[code]\na\n", -1, unknown, ""},
      {"; nothing listed\n", "[code]\n", 0, "", "\nEmpty Export Object.\n"},  // exclude file not read
      {"a\nb\n", "b\na\n", 0, "", "\nEmpty Export Object.\n"},
  };
  for (const Case& c : cases) {
    ExportsRun t;
    std::string log;
    t.run.log = Sink{nullptr, &log};
    t.Add("a");
    t.Add("b");
    EXPECT_EQ(t.SelectAndWrite(t.Map("a.def", c.def), t.Map("x.def", c.exclude)), c.status) << c.def;
    EXPECT_EQ(t.console, c.console) << c.def;
    EXPECT_EQ(log, c.log) << c.def;
  }
}

TEST(SelectExports, ExportAllTakesNonWeakLoadableUnclassifiedNames) {
  ExportsRun t;
  t.run.options.export_all = true;
  testsupport::ElfBuilder b;
  uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16)));
  uint16_t linkonce = static_cast<uint16_t>(b.AddProgbits(".gnu.linkonce.t.lo", SHF_ALLOC, Bytes(4)));
  uint16_t note = static_cast<uint16_t>(b.AddProgbits(".note.x", 0, Bytes(4)));
  b.AddProgbits(".export", SHF_ALLOC, Bytes(4));  // never searched with -xall
  for (const char* name : {"g", "f", "__sti__x", ".L1", "qdm_fexports", "qdm_dexports", "__gnu_lto_v1"})
    b.AddGlobal(name, text);
  b.AddGlobal("__gnu_lto_slim", SHN_COMMON, 1, 1, STT_OBJECT);  // no LTO sections: not refused as slim
  b.AddGlobal("w", text, 0, 0, STT_FUNC, STB_WEAK);
  b.AddGlobal("lo", linkonce);
  b.AddGlobal("abs", SHN_ABS);
  b.AddGlobal("com", SHN_COMMON, 4, 4, STT_OBJECT);
  b.AddGlobal("tcom", SHN_TLS_COMMON, 4, 4, STT_TLS);
  b.AddGlobal("unalloc", note);
  b.AddGlobal("odd_index", 0xFF10);
  for (const char* name : {"hid", "intl", "cd", "hcd"}) b.AddGlobal(name, text);
  t.Register(b.Build(), "m.o");
  t.Add("def_only_record");  // no definition, so not loadable
  // As resolution notes them: hidden or internal visibility, a COMDAT group.
  for (const char* name : {"hid", "intl", "hcd"}) t.Find(name)->definition_hidden = 1;
  for (const char* name : {"cd", "hcd"}) t.Find(name)->class_flags = CLASS_COMDAT;
  EXPECT_EQ(t.SelectAndWrite(nullptr, nullptr), 0);
  EXPECT_EQ(t.console, "");
  EXPECT_EQ(t.List(), (Names{"tcom", "g", "f", "com"}));  // added in name order
  EXPECT_EQ(t.Find("qdm_dexports")->verdict_reasons, REASON_TABLE_NAME);
  EXPECT_EQ(t.Find("__gnu_lto_v1")->verdict_reasons, REASON_LTO_MARKER);
  EXPECT_EQ(t.Find("__gnu_lto_slim")->verdict_reasons, REASON_LTO_MARKER);
  EXPECT_EQ(t.Find("intl")->verdict_reasons, REASON_HIDDEN);
  EXPECT_EQ(t.Find("cd")->verdict_reasons, REASON_COMDAT);
  EXPECT_EQ(t.Find("hcd")->verdict_reasons, REASON_HIDDEN | REASON_COMDAT);
  EXPECT_EQ(t.Find("hcd")->verdict, kVerdictPassedOver);
}

}  // namespace
}  // namespace exportstest
