// Giving input pages back once read. The reader reports every store into an
// image, so a view holding converted bytes keeps its pages; registration
// finds the ".export" section as a search of the image does; and an archive
// whose big-endian member shares pages with little-endian ones gives the
// same export object as the same objects named one by one; a big-endian
// object mapped ahead for its conversion reads as the reader reads it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "elf/elf_reader.h"
#include "elf/object_module.h"
#include "exports/in_code_exports.h"
#include "support/ar_builder.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using namespace testsupport;

namespace {

// The same object under extended numbering: count and name table's index in
// section 0 (which a big-endian image then converts).
void MakeExtended(Bytes& image) {
  ElfHeader h = ReadHeader(image);
  PatchSection(image, 0, [&](SectionHeader& s) { s.sh_size = h.e_shnum; s.sh_link = h.e_shstrndx; });
  PatchHeader(image, [](ElfHeader& header) { header.e_shnum = 0; header.e_shstrndx = SHN_XINDEX; });
}

TEST(ParseElfImage, ReportsEveryStoreIntoTheImage) {
  struct Case {
    bool big;
    std::function<void(Bytes&)> edit;
    bool written;
  } cases[] = {
      {false, [](Bytes&) {}, false},
      {true, [](Bytes&) {}, true},
      {true, [](Bytes& image) { image[EI_DATA] = 0; }, true},  // read as big-endian
      // Relocations for the null section are emptied in either byte order.
      {false, [](Bytes& image) { PatchSection(image, 2, [](SectionHeader& s) { s.sh_info = 0; }); }, true},
      {false, MakeExtended, false},
      {true, MakeExtended, true},
  };
  for (const Case& c : cases) {
    ElfBuilder b(c.big);
    uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    b.AddRelocations(text, false, {{0, 0, 0}});
    Bytes image = b.Build();
    c.edit(image);
    Bytes before = image;
    bool written = false;
    ASSERT_EQ(ParseElfImage(image.data(), static_cast<uint32_t>(image.size()), &written), 0u);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(image != before, c.written);
  }
}

TEST(OpenObjectModule, FindsTheExportSectionAsASearchOfTheImageDoes) {
  // Sections 1 .exports, 2 .export.x, 3 and 4 .export.
  struct Case {
    std::function<void(Bytes&)> edit;
    uint32_t little, big;
  } cases[] = {
      {[](Bytes&) {}, 3, 3},
      {[](Bytes& image) { PatchHeader(image, [](ElfHeader& h) { h.e_shstrndx = 0; }); }, kNoExportSection,
       kNoExportSection},
      // Entry 0 is searched too; it stays in the file's byte order.
      {[](Bytes& image) { Put32(image, ReadHeader(image).e_shoff, ReadSection(image, 3).sh_name, IsBigEndian(image)); },
       0, 3},
      {MakeExtended, 3, 3},
  };
  for (bool big : {false, true}) {
    for (const Case& c : cases) {
      ElfBuilder b(big);
      for (const char* name : {".exports", ".export.x", ".export", ".export"}) b.AddProgbits(name, SHF_ALLOC, Bytes(4));
      Bytes image = b.Build();
      c.edit(image);
      RunState run;
      MappedFile memory;
      ASSERT_EQ(OpenObjectModule(run.inputs.registry, run.console, &memory, "m.o", image.data(), static_cast<uint32_t>(image.size())), 0);
      const ObjectModule& module = *run.inputs.registry.head;
      EXPECT_EQ(module.facts.export_section, big ? c.big : c.little);
      std::optional<uint32_t> searched = FindExportSectionIndex(module.Image());
      EXPECT_EQ(searched.value_or(kNoExportSection), module.facts.export_section);
      EXPECT_EQ(FindExportSection(module), searched);
    }
  }
}

// Small members share pages. Had the converted pages of b.o been given back
// with a neighbour's, later stages would read its raw big-endian headers.
TEST(MixedByteOrderArchive, WritesWhatTheSameObjectsNamedOneByOneWrite) {
  TempDir dir;
  ArBuilder archive;
  archive.AddSymbolIndex();
  std::vector<std::string> objects;
  for (std::string tag : {"a", "b", "c", "d"}) {
    ElfBuilder b(tag == "b");
    uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(32, 0x60)));
    uint32_t f = b.AddGlobal("f" + tag, text, 0, 8), g = b.AddGlobal("g" + tag, text, 8, 8);
    if (tag == "b" || tag == "c") b.AddRelocations(b.AddProgbits(".export", SHF_ALLOC, Bytes(8)), true, {{4, g}, {0, f}});
    archive.Add(tag + ".o", b.Build());
    WriteFile(dir.File(tag + ".o"), b.Build());
    objects.push_back(dir.File(tag + ".o"));
  }
  WriteFile(dir.File("lib.a"), archive.Build());
  WriteFile(dir.File("e.def"), std::string("fa\nfd\n"));
  for (std::vector<std::string> mode : {std::vector<std::string>{"-xall"}, {"-x", dir.File("e.def")}}) {
    auto run = [&](const std::string& out, const std::vector<std::string>& files) {
      std::vector<std::string> args = mode;
      args.insert(args.end(), {"-o", dir.File(out)});
      args.insert(args.end(), files.begin(), files.end());
      InProcessResult result = RunInProcess(args);
      EXPECT_EQ(result.status, 0) << result.console;
      return ReadFile(dir.File(out));
    };
    Bytes from_archive = run("archive.o", {dir.File("lib.a")});
    EXPECT_EQ(from_archive, run("files.o", objects)) << mode[0];
    std::string text(from_archive.begin(), from_archive.end());
    for (const char* name : {"fa", "fb", "gb", "fc", "gc", "fd"}) EXPECT_NE(text.find(name), std::string::npos) << name;
  }
}

// A small big-endian object has the pages its conversion rewrites mapped for
// writing first, from headers read beside the view. Whatever those headers
// say, the run reads the object as the reader does: the same failure for a
// damaged one, and for a sound one the export object the same object gives
// as an archive member (which is not mapped so).
TEST(BigEndianObject, IsReadAsTheReaderReadsItWhateverItsHeaders) {
  TempDir dir;
  auto object = [](bool big) {
    ElfBuilder b(big);
    uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(5000, 0x60)));
    b.AddRelocations(text, false, {{0, 0, 0}});
    b.AddGlobal("f", text, 0, 8);
    b.AddGlobal("g", text, 4096, 8);
    return b.Build();
  };
  ArBuilder archive;
  archive.Add("be.o", object(true));
  WriteFile(dir.File("lib.a"), archive.Build());
  ASSERT_EQ(RunInProcess({"-xall", "-o", dir.File("member-out.o"), dir.File("lib.a")}).status, 0);
  struct Case {
    const char* label;
    std::function<void(Bytes&)> edit;
  } cases[] = {
      {"sound", [](Bytes&) {}},
      {"table past the end", [](Bytes& image) { PatchHeader(image, [](ElfHeader& h) { h.e_shoff = 0xFFFFFF00u; }); }},
      {"too many sections", [](Bytes& image) { PatchHeader(image, [](ElfHeader& h) { h.e_shnum = 0xFFFF; }); }},
      {"short entries", [](Bytes& image) { PatchHeader(image, [](ElfHeader& h) { h.e_shentsize = 4; }); }},
      {"symbols past the end", [](Bytes& image) { PatchSection(image, 3, [](SectionHeader& s) { s.sh_size = ~0u; }); }},
      {"program table", [](Bytes& image) {
         PatchHeader(image, [](ElfHeader& h) { h.e_phoff = 52, h.e_phnum = 0xFFFF, h.e_phentsize = 32; });
       }},
  };
  for (const Case& c : cases) {
    Bytes big = object(true);
    c.edit(big);
    WriteFile(dir.File("be.o"), big);
    Bytes parsed = big;
    const uint32_t code = ParseElfImage(parsed.data(), static_cast<uint32_t>(parsed.size()));
    InProcessResult result = RunInProcess({"-xall", "-o", dir.File("be-out.o"), dir.File("be.o")});
    EXPECT_EQ(result.status, code == 0 ? 0 : AsStatus(code)) << c.label << "\n" << result.console;
    if (code == 0) {
      EXPECT_EQ(ReadFile(dir.File("be-out.o")), ReadFile(dir.File("member-out.o"))) << c.label;
    }
  }
}

}  // namespace
