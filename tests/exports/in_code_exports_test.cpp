#include "exports/in_code_exports.h"

#include <chrono>
#include <cstdlib>
#include <functional>

#include "elf/tracking_pass.h"
#include "exports/export_list.h"
#include "exports_fixture.h"
#include "support/run_support.h"

namespace exportstest {
namespace {

using testsupport::ElfBuilder;
using testsupport::PatchSection;
using testsupport::ReadSection;
using testsupport::RelocSpec;

// An object with globals a, b, c in .text, a weak w, a local l, and a
// section symbol; `export_size` bytes of ".export" (section 2) whose
// relocations the case supplies.
struct ExportObject {
  ElfBuilder builder;
  uint32_t text, export_section;
  uint32_t a, b, c, w, local, section_symbol;
  explicit ExportObject(uint32_t export_size) {
    text = builder.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16));
    export_section = builder.AddProgbits(".export", SHF_ALLOC | SHF_WRITE, Bytes(export_size));
    section_symbol = builder.AddSymbol({"", 0, 0, testsupport::Info(0, STT_SECTION), 0, static_cast<uint16_t>(text)});
    local = builder.AddSymbol({"l", 0, 0, testsupport::Info(0, STT_FUNC), 0, static_cast<uint16_t>(text)});
    a = builder.AddGlobal("a", static_cast<uint16_t>(text), 0);
    b = builder.AddGlobal("b", static_cast<uint16_t>(text), 4);
    c = builder.AddGlobal("c", static_cast<uint16_t>(text), 8);
    w = builder.AddGlobal("w", static_cast<uint16_t>(text), 12, 0, STT_FUNC, STB_WEAK);
  }
};

struct Outcome {
  Status status;
  std::string console;
  std::vector<std::string> list;
};

Outcome Collect(Bytes image, bool verbose = false) {
  ExportsRun t;
  t.run.options.verbose = verbose;
  ObjectModule& object = t.Register(std::move(image), "m.o");
  t.TrackGlobals(object);
  Status status = CollectAllInCodeExports(t.run);
  return {status, t.console, t.List()};
}

const char* const kNoRelocations = "***Export section did not have relocations, so can't find exports! Return -1.\n";
const char* const kEmptyRelocations = "***Export section has empty reloc section, so can't find exports! Return -1.\n";
const char* const kFewer = "***Export has fewer relocations than exports, so can't find exports! Return -1.\n";

TEST(InCodeExports, RelocationMatchingAndMessages) {
  struct Case {
    const char* what;
    uint32_t export_size;
    std::function<void(ExportObject&)> relocate;
    Outcome expected;
  } cases[] = {
      {"three bytes declare nothing", 3, [](ExportObject&) {}, {0, "", {}}},
      {"no relocation section", 4, [](ExportObject&) {}, {-1, kNoRelocations, {}}},
      {"empty relocation section", 4,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {}); },
       {-1, kEmptyRelocations, {}}},
      {"fewer relocations than words", 12,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, true, {{0, o.a}, {4, o.b}}); },
       {-1, kFewer, {}}},
      {"word 1 unrelocated", 8,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {{0, o.a}, {8, o.b}}); },
       {-1, "***Error: Could not find a relocation for export 1. Return -1.\n", {"a"}}},
      {"type 0 skipped, later one counts", 4,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {{0, o.a, 0}, {0, o.b}, {0, o.c}}); },
       {0, "", {"b"}}},
      {"only type 0", 4,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {{0, o.a, 0}, {2, o.b}}); },
       {-1, "***Error: Could not find a relocation for export 0. Return -1.\n", {}}},
      {"out of order, handed on in word order", 12,
       [](ExportObject& o) {
         o.builder.AddRelocations(o.export_section, true, {{8, o.a}, {4, o.c}, {0, o.b}, {16, o.w}});
       },
       {0, "", {"a", "c", "b"}}},
      {"weak export ends the object", 8,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {{0, o.w}, {4, o.a}}); },
       {-1, "***Error: Attempt to export WEAK symbol \"w\"\n", {}}},
      {"local symbol looked up by name", 4,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {{0, o.local}}); },
       {-1, "***Error: missing \"l\"\n", {}}},
      {"section symbol has no name", 4,
       [](ExportObject& o) { o.builder.AddRelocations(o.export_section, false, {{0, o.section_symbol}}); },
       {-1, "***Error: missing \"\"\n", {}}},
      {"relocations of another section do not count", 4,
       [](ExportObject& o) { o.builder.AddRelocations(o.text, false, {{0, o.a}}); },
       {-1, kNoRelocations, {}}},
  };
  for (const Case& c : cases) {
    ExportObject o(c.export_size);
    c.relocate(o);
    Outcome got = Collect(o.builder.Build());
    EXPECT_EQ(got.status, c.expected.status) << c.what;
    EXPECT_EQ(got.console, c.expected.console) << c.what;
    EXPECT_EQ(got.list, c.expected.list) << c.what;
  }
}

TEST(InCodeExports, VerboseCountLineComesFirst) {
  ExportObject none(3);
  EXPECT_EQ(Collect(none.builder.Build(), true).console, "");
  ExportObject o(8);
  EXPECT_EQ(Collect(o.builder.Build(), true).console,
            std::string("File \"m.o\" has 2 in-code exports.\n") + kNoRelocations);
}

TEST(InCodeExports, OnlyTheFirstSectionNamedExactlyExportCounts) {
  ElfBuilder b;
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8));
  uint32_t longer = b.AddProgbits(".exports", SHF_ALLOC, Bytes(4));
  uint32_t dotted = b.AddProgbits(".export.x", SHF_ALLOC, Bytes(4));
  uint32_t first = b.AddProgbits(".export", SHF_ALLOC, Bytes(4));
  b.AddProgbits(".export", SHF_ALLOC, Bytes(4));  // second one: no relocations, never read
  uint32_t a = b.AddGlobal("a", static_cast<uint16_t>(text));
  b.AddRelocations(longer, false, {{0, a, 0}});
  b.AddRelocations(dotted, false, {{0, a, 0}});
  b.AddRelocations(first, false, {{0, a}});
  Outcome got = Collect(b.Build());
  EXPECT_EQ(got.status, 0) << got.console;
  EXPECT_EQ(got.list, std::vector<std::string>{"a"});
}

TEST(InCodeExports, ObjectsAreSearchedNewestFirst) {
  ExportsRun t;
  for (const char* name : {"old", "new"}) {
    ElfBuilder b;
    uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8));
    uint32_t exports = b.AddProgbits(".export", SHF_ALLOC, Bytes(8));
    uint32_t own = b.AddGlobal(name, static_cast<uint16_t>(text));
    uint32_t shared = b.AddGlobal(std::string("shared_") + name, static_cast<uint16_t>(text));
    b.AddRelocations(exports, false, {{0, own}, {4, shared}});
    t.TrackGlobals(t.Register(b.Build(), std::string(name) + ".o"));
  }
  EXPECT_EQ(CollectAllInCodeExports(t.run), 0);
  EXPECT_EQ(t.List(), (std::vector<std::string>{"shared_old", "old", "shared_new", "new"}));
}

TEST(InCodeExports, DefFileNamesComeFirstAndRepeatsAddNothing) {
  ExportsRun t;
  ExportObject o(8);
  o.builder.AddRelocations(o.export_section, false, {{0, o.c}, {4, o.a}});
  t.TrackGlobals(t.Register(o.builder.Build(), "m.o"));
  EXPECT_EQ(SelectExports(t.run, t.Map("a.def", "a\nb\n"), t.Map("x.def", "b\n")), 0);
  EXPECT_EQ(t.console, "");
  EXPECT_EQ(t.List(), (std::vector<std::string>{"c", "a"}));
}

// Malformed links: the export is refused as missing (with what can be read
// of its name), and nothing outside the image is read.
TEST(InCodeExports, BrokenLinksAreRefusedAsMissing) {
  struct Case {
    const char* what;
    std::function<void(Bytes&, const ExportObject&, uint32_t reloc_index)> patch;
    Status status;
    const char* console;
  } cases[] = {
      {"relocation links to no section",
       [](Bytes& img, const ExportObject&, uint32_t r) { PatchSection(img, r, [](SectionHeader& s) { s.sh_link = 999; }); },
       -1, "***Error: missing \"\"\n"},
      {"relocation links to the null section",
       [](Bytes& img, const ExportObject&, uint32_t r) { PatchSection(img, r, [](SectionHeader& s) { s.sh_link = 0; }); },
       -1, "***Error: missing \"\"\n"},
      {"relocation links to a non-symbol table",
       [](Bytes& img, const ExportObject& o, uint32_t r) {
         PatchSection(img, r, [&](SectionHeader& s) { s.sh_link = o.text; });
       },
       -1, "***Error: missing \"\"\n"},
      {"symbol table links nowhere",
       [](Bytes& img, const ExportObject& o, uint32_t) {
         PatchSection(img, o.builder.SymtabIndex(), [](SectionHeader& s) { s.sh_link = 0xFFFF; });
       },
       -1, "***Error: missing \"\"\n"},
      {"symbol index past the table",
       [](Bytes& img, const ExportObject& o, uint32_t) {
         PatchSection(img, o.builder.SymtabIndex(), [](SectionHeader& s) { s.sh_size = 3 * kSymbolSize; });
       },
       -1, "***Error: missing \"\"\n"},
      {"name without its zero inside the table",
       [](Bytes& img, const ExportObject& o, uint32_t) {
         // .strtab is "\0l\0a\0b\0..."; end it right after the "a".
         PatchSection(img, o.builder.StrtabIndex(), [](SectionHeader& s) { s.sh_size = 4; });
       },
       -1, "***Error: missing \"a\"\n"},
      {"relocation table outside the image",
       [](Bytes& img, const ExportObject&, uint32_t r) {
         PatchSection(img, r, [](SectionHeader& s) { s.sh_offset = 0xFFFFFFF0u; });
       },
       -1, "***Error: Could not find a relocation for export 0. Return -1.\n"},
      {"relocation entries smaller than r_info",
       [](Bytes& img, const ExportObject&, uint32_t r) { PatchSection(img, r, [](SectionHeader& s) { s.sh_entsize = 4; }); },
       -1, "***Error: Could not find a relocation for export 0. Return -1.\n"},
      {"export section size far past the image",
       [](Bytes& img, const ExportObject& o, uint32_t) {
         PatchSection(img, o.export_section, [](SectionHeader& s) { s.sh_size = 0xFFFFFFFCu; });
       },
       -1, kFewer},
      {"export and relocation sizes far past the image",
       [](Bytes& img, const ExportObject& o, uint32_t r) {
         PatchSection(img, o.export_section, [](SectionHeader& s) { s.sh_size = 0xFFFFFFFCu; });
         PatchSection(img, r, [](SectionHeader& s) { s.sh_size = 0xFFFFFFF8u; });
       },
       -1, nullptr},  // whatever the bytes after the table say; no read outside
      {"section-name table cut inside \".export\"",
       [](Bytes& img, const ExportObject& o, uint32_t) {
         uint32_t names = o.builder.ShstrtabIndex();
         SectionHeader export_header = ReadSection(img, o.export_section);
         PatchSection(img, names, [&](SectionHeader& s) { s.sh_size = export_header.sh_name + 7; });
       },
       0, ""},
      {"section-name index out of range",
       [](Bytes& img, const ExportObject&, uint32_t) {
         testsupport::PatchHeader(img, [](ElfHeader& h) { h.e_shstrndx = 0xFFF0; });
       },
       0, ""},
  };
  for (const Case& c : cases) {
    ExportObject o(4);
    uint32_t reloc = o.builder.AddRelocations(o.export_section, false, {{0, o.a}});
    Bytes image = o.builder.Build();
    c.patch(image, o, reloc);
    ExportsRun t;
    ObjectModule& object = t.Register(image, "m.o");
    // Records come from an intact copy, so the names are there to be found.
    ObjectModule& intact = t.Register(o.builder.Build(), "intact.o");
    t.run.registry.head = &object;
    object.next = nullptr;
    t.TrackGlobals(intact);
    EXPECT_EQ(CollectAllInCodeExports(t.run), c.status) << c.what;
    if (c.console) {
      EXPECT_EQ(t.console, c.console) << c.what;
    }
  }
}

TEST(InCodeExports, FiftyThousandExportsInOnePass) {
  constexpr uint32_t kCount = 50000;
  ElfBuilder b;
  uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(4));
  uint32_t exports = b.AddProgbits(".export", SHF_ALLOC, Bytes(4 * kCount));
  std::vector<RelocSpec> relocs;
  for (uint32_t j = 0; j < kCount; ++j) {
    uint32_t symbol = b.AddGlobal("e" + std::to_string(j), static_cast<uint16_t>(text));
    relocs.push_back({4 * (kCount - 1 - j), symbol});  // reverse of word order
  }
  b.AddRelocations(exports, true, relocs);
  ExportsRun t;
  t.TrackGlobals(t.Register(b.Build(), "big.o"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CollectAllInCodeExports(t.run), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(t.run.exports.count, static_cast<int32_t>(kCount));
  // Word 0 is relocated against the last symbol and was added first.
  EXPECT_EQ(t.List().back(), "e" + std::to_string(kCount - 1));
  EXPECT_EQ(t.List().front(), "e0");
}

// A compiler-made object, read, registered and tracked by the real stages:
// the exported function and variable come out in word order, and the export
// object is written.
TEST(InCodeExports, GccObjectWithExportPointers) {
  ExportsRun t;
  std::string source = t.dir.File("e.c");
  testsupport::WriteFile(source,
                         "int f(void) { return 1; }\n"
                         "int v;\n"
                         "void* const __e[] __attribute__((section(\".export\"), used)) = { (void*)f, &v };\n");
  std::string object_path = t.dir.File("e.o");
  std::string command = "gcc -m32 -c -o '" + object_path + "' '" + source + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "gcc -m32 cannot compile here";
  t.run.options.verbose = true;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(t.run.mappings, object_path, &file), 0);
  ASSERT_EQ(RegisterMappedObject(t.run, file), 0) << t.console;
  ASSERT_EQ(TrackAllSymbols(t.run), 0) << t.console;
  EXPECT_EQ(SelectExports(t.run, nullptr, nullptr), 0);
  EXPECT_EQ(t.console, "File \"e.o\" has 2 in-code exports.\n");
  EXPECT_EQ(t.List(), (std::vector<std::string>{"v", "f"}));
  EXPECT_TRUE(testsupport::FileExists(t.run.options.output_path));
}

}  // namespace
}  // namespace exportstest
