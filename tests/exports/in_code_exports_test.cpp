#include "exports/in_code_exports.h"

#include <cstdlib>
#include <functional>

#include "symbols/tracking_pass.h"
#include "exports/export_list.h"
#include "exports_fixture.h"

namespace exportstest {
namespace {

using testsupport::ElfBuilder;
using testsupport::PatchSection;
using Names = std::vector<std::string>;

// Symbols of every test object: a section symbol, a local l, globals a, b, c,
// a weak w and the table name qdm_fexports in .text (section 1); ".export" is
// section 2.
enum : uint32_t { kSection = 1, kLocal, kA, kB, kC, kW, kTableName };
enum : uint32_t { kText = 1, kExport = 2 };

struct ExportObject {
  ElfBuilder builder;
  uint32_t export_section = kExport;
  explicit ExportObject(uint32_t export_size) {
    builder.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16));
    builder.AddProgbits(".export", SHF_ALLOC | SHF_WRITE, Bytes(export_size));
    builder.AddSymbol({"", 0, 0, testsupport::Info(0, STT_SECTION), 0, kText});
    builder.AddSymbol({"l", 0, 0, testsupport::Info(0, STT_FUNC), 0, kText});
    for (const char* name : {"a", "b", "c"}) builder.AddGlobal(name, kText);
    builder.AddGlobal("w", kText, 0, 0, STT_FUNC, STB_WEAK);
    builder.AddGlobal("qdm_fexports", kText);
  }
};

const std::string kNoRelocations = "***Export section did not have relocations, so can't find exports! Return -1.\n";
const std::string kFewer = "***Export has fewer relocations than exports, so can't find exports! Return -1.\n";
const std::string kEmpty = "***Export section has empty reloc section, so can't find exports! Return -1.\n";
std::string NoRelocationFor(int j) {
  return "***Error: Could not find a relocation for export " + std::to_string(j) + ". Return -1.\n";
}

TEST(InCodeExports, RelocationMatchingAndMessages) {
  using Relocs = std::vector<testsupport::RelocDesc>;  // {offset, symbol, type (default 1)}
  struct Case {
    uint32_t export_size, reloc_target;  // target 0: no relocation section; REL, or RELA for 12 bytes
    Relocs relocs;
    Status status;
    std::string console;
    Names list;
  } cases[] = {
      // clang-format off
      {3, 0, {}, 0, "", {}},  // declares nothing, even with -v
      {8, 0, {}, -1, "File \"m.o\" has 2 in-code exports.\n" + kNoRelocations, {}},
      {4, kText, {{0, kA}}, -1, "File \"m.o\" has 1 in-code exports.\n" + kNoRelocations, {}},
      {4, kExport, {}, -1, "File \"m.o\" has 1 in-code exports.\n" + kEmpty, {}},
      {12, kExport, {{0, kA}, {4, kB}}, -1, "File \"m.o\" has 3 in-code exports.\n" + kFewer, {}},
      {8, kExport, {{0, kA}, {8, kB}}, -1, "File \"m.o\" has 2 in-code exports.\n" + NoRelocationFor(1), {"a"}},
      {4, kExport, {{0, kA, 0}, {0, kB}, {0, kC}}, 0, "File \"m.o\" has 1 in-code exports.\n", {"b"}},
      {4, kExport, {{0, kA, 0}, {2, kB}}, -1, "File \"m.o\" has 1 in-code exports.\n" + NoRelocationFor(0), {}},
      {12, kExport, {{8, kA}, {4, kC}, {0, kB}, {16, kW}}, 0, "File \"m.o\" has 3 in-code exports.\n", {"a", "c", "b"}},
      {8, kExport, {{0, kW}, {4, kA}}, -1, "File \"m.o\" has 2 in-code exports.\n***Error: Attempt to export WEAK symbol \"w\"\n", {}},
      {4, kExport, {{0, kLocal}}, -1, "File \"m.o\" has 1 in-code exports.\n***Error: missing \"l\"\n", {}},
      {4, kExport, {{0, kSection}}, -1, "File \"m.o\" has 1 in-code exports.\n***Error: missing \"\"\n", {}},
      {8, kExport, {{0, kTableName}, {4, kA}}, -1, "File \"m.o\" has 2 in-code exports.\n***Error: missing \"qdm_fexports\"\n"
                                                   "  note: qdm_fexports: a name every export object defines itself\n", {}},
      // clang-format on
  };
  for (const Case& c : cases) {
    ExportObject o(c.export_size);
    if (c.reloc_target != 0) o.builder.AddRelocations(c.reloc_target, c.export_size == 12, c.relocs);
    ExportsRun t;
    t.run.options.verbose = true;
    t.Register(o.builder.Build(), "m.o");
    EXPECT_EQ(t.CollectInCode(), c.status) << c.console;
    EXPECT_EQ(t.console, c.console);
    EXPECT_EQ(t.List(), c.list) << c.console;
  }
}

TEST(InCodeExports, FirstExactlyNamedSectionOfEachObjectNewestFirst) {
  ExportsRun t;
  for (const std::string name : {"old", "new"}) {
    ElfBuilder b;
    uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8)));
    uint32_t longer = b.AddProgbits(".exports", SHF_ALLOC, Bytes(4));
    uint32_t dotted = b.AddProgbits(".export.x", SHF_ALLOC, Bytes(4));
    uint32_t first = b.AddProgbits(".export", SHF_ALLOC, Bytes(8));
    b.AddProgbits(".export", SHF_ALLOC, Bytes(4));  // second one: no relocations, never read
    uint32_t own = b.AddGlobal(name, text), also = b.AddGlobal("also_" + name, text);
    b.AddRelocations(longer, false, {{0, own, 0}});
    b.AddRelocations(dotted, false, {{0, own, 0}});
    b.AddRelocations(first, false, {{0, own}, {4, also}});
    t.Register(b.Build(), name + ".o");
  }
  EXPECT_EQ(t.SelectAndWrite(t.Map("a.def", "old\n"), nullptr), 0);
  EXPECT_EQ(t.console, "");
  EXPECT_EQ(t.List(), (Names{"also_old", "also_new", "new", "old"}));
}

// Malformed links: the export is refused as missing, with what can be read
// of its name, and nothing outside the image is read.
TEST(InCodeExports, BrokenLinksAreRefusedAsMissing) {
  using Patch = std::function<void(Bytes&, const ExportObject&, uint32_t reloc)>;
  auto reloc = [](std::function<void(SectionHeader&)> edit) -> Patch {
    return [=](Bytes& img, const ExportObject&, uint32_t r) { PatchSection(img, r, edit); };
  };
  auto symtab = [](std::function<void(SectionHeader&)> edit) -> Patch {
    return [=](Bytes& img, const ExportObject& o, uint32_t) { PatchSection(img, o.builder.SymtabIndex(), edit); };
  };
  const std::string missing = "***Error: missing \"\"\n";
  struct Case {
    const char* what;
    Patch patch;
    Status status;
    std::string console;  // "?": not checked
  } cases[] = {
      {"relocation links nowhere", reloc([](SectionHeader& s) { s.sh_link = 999; }), -1, missing},
      {"symbol table links nowhere", symtab([](SectionHeader& s) { s.sh_link = 0xFFFF; }), -1, missing},
      {"symbol index past the table", symtab([](SectionHeader& s) { s.sh_size = 3 * kSymbolSize; }), -1, missing},
      {"name without its zero inside the table",  // .strtab is "\0l\0a\0..."; end it after the a
       [](Bytes& img, const ExportObject& o, uint32_t) {
         PatchSection(img, o.builder.StrtabIndex(), [](SectionHeader& s) { s.sh_size = 4; });
       },
       -1, "***Error: missing \"a\"\n"},
      {"relocation table outside the image", reloc([](SectionHeader& s) { s.sh_offset = 0xFFFFFFF0u; }), -1,
       NoRelocationFor(0)},
      {"export and relocation sizes far past the image",
       [](Bytes& img, const ExportObject& o, uint32_t r) {
         PatchSection(img, o.export_section, [](SectionHeader& s) { s.sh_size = 0xFFFFFFFCu; });
         PatchSection(img, r, [](SectionHeader& s) { s.sh_size = 0xFFFFFFF8u; });
       },
       -1, "?"},
      {"section-name table cut inside \".export\"",
       [](Bytes& img, const ExportObject& o, uint32_t) {
         uint32_t name = testsupport::ReadSection(img, o.export_section).sh_name;
         PatchSection(img, o.builder.ShstrtabIndex(), [=](SectionHeader& s) { s.sh_size = name + 7; });
       },
       0, ""},
  };
  for (const Case& c : cases) {
    ExportObject o(4);
    uint32_t relocations = o.builder.AddRelocations(kExport, false, {{0, kA}});
    Bytes image = o.builder.Build();
    c.patch(image, o, relocations);
    ExportsRun t;
    t.Register(o.builder.Build(), "intact.o");  // defines the names
    ObjectModule& broken = t.Register(image, "m.o", false);
    broken.next = nullptr;  // search the broken object only
    EXPECT_EQ(t.CollectInCode(), c.status) << c.what;
    if (c.console != "?") {
      EXPECT_EQ(t.console, c.console) << c.what;
    }
  }
}

// Relocations in the reverse of word order are matched to their words and the
// exports are handed on in word order.
TEST(InCodeExports, ManyExportsRelocatedInReverseOrder) {
  constexpr uint32_t kCount = 5000;
  ElfBuilder b;
  uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(4)));
  uint32_t exports = b.AddProgbits(".export", SHF_ALLOC, Bytes(4 * kCount));
  std::vector<testsupport::RelocDesc> relocs;
  for (uint32_t j = 0; j < kCount; ++j)
    relocs.push_back({4 * (kCount - 1 - j), b.AddGlobal('e' + std::to_string(j), text)});
  b.AddRelocations(exports, true, relocs);
  ExportsRun t;
  t.Register(b.Build(), "big.o");
  EXPECT_EQ(t.CollectInCode(), 0);
  EXPECT_EQ(t.exports().count(), static_cast<int32_t>(kCount));
  EXPECT_EQ(t.List().front(), "e0");  // word 0 is the last symbol, added first
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
  ASSERT_EQ(RegisterMappedObject(t.run.inputs.registry, t.run.console, file), 0) << t.console;
  ASSERT_EQ(TrackAllSymbols(t.run.inputs.registry, t.run.symbols, t.run.console, false), 0) << t.console;
  EXPECT_EQ(t.SelectAndWrite(nullptr, nullptr), 0);
  EXPECT_EQ(t.console, "File \"e.o\" has 2 in-code exports.\n");
  EXPECT_EQ(t.List(), (std::vector<std::string>{"v", "f"}));
  EXPECT_TRUE(testsupport::FileExists(t.run.options.output_path));
}

}  // namespace
}  // namespace exportstest
