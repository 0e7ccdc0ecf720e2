// Giving input pages back once they have been read. The reader reports every
// store into an image, so a view that holds converted bytes is never given
// back; registration finds the ".export" section once, with the same rule as
// a search of the image; and a run over an archive whose big-endian member
// shares pages with little-endian ones writes the same files as a run over
// the same objects given one by one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
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

// An object defining f<tag> and d<tag>; with `exports`, a ".export" section
// of two words relocated against both.
Bytes Member(const std::string& tag, bool big, bool exports = false) {
  ElfBuilder b(big);
  uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(32, 0x60)));
  uint16_t data = static_cast<uint16_t>(b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(16, 1)));
  uint32_t f = b.AddGlobal("f" + tag, text, 0, 8);
  uint32_t d = b.AddGlobal("d" + tag, data, 4, 4, STT_OBJECT);
  if (exports) {
    uint32_t words = b.AddProgbits(".export", SHF_ALLOC, Bytes(8));
    b.AddRelocations(words, true, {{4, d}, {0, f}});
  }
  return b.Build();
}

TEST(ParseElfImage, ReportsEveryStoreIntoTheImage) {
  struct Case {
    const char* what;
    bool big;
    std::function<void(Bytes&)> edit;
    bool written;
  } cases[] = {
      {"little-endian object", false, [](Bytes&) {}, false},
      {"big-endian object", true, [](Bytes&) {}, true},
      {"EI_DATA 0 reads as big-endian", true, [](Bytes& image) { image[EI_DATA] = 0; }, true},
      {"little-endian relocations for the null section are emptied in place", false,
       [](Bytes& image) { PatchSection(image, 3, [](SectionHeader& s) { s.sh_info = 0; }); }, true},
  };
  for (const Case& c : cases) {
    ElfBuilder b(c.big);
    uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8, 0));
    b.AddGlobal("f", static_cast<uint16_t>(text), 0, 8);
    b.AddProgbits(".data", SHF_ALLOC | SHF_WRITE, Bytes(8, 0));
    b.AddRelocations(text, false, {{0, 0, 0}});  // section 3
    Bytes image = b.Build();
    c.edit(image);
    Bytes before = image;
    bool written = false;
    ASSERT_EQ(ParseElfImage(image.data(), static_cast<uint32_t>(image.size()), &written), 0u) << c.what;
    EXPECT_EQ(written, c.written) << c.what;
    EXPECT_EQ(image != before, c.written) << c.what;
  }
}

// Resident kB of the mapping that holds `address` (/proc/self/smaps).
long ResidentKb(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long begin = 0, end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = at >= begin && at < end;
      continue;
    }
    if (inside && line.rfind("Rss:", 0) == 0) return std::strtol(line.c_str() + 4, nullptr, 10);
  }
  return -1;
}

TEST(OpenObjectModule, GivesBackThePagesOfAnObjectItDidNotChange) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    TempDir dir;
    // Several pages of symbols, so that something is resident after parsing.
    ElfBuilder b(big);
    uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(64, 0)));
    for (int i = 0; i < 2000; ++i) b.AddGlobal("symbol_" + std::to_string(i), text);
    WriteFile(dir.File("m.o"), b.Build());
    RunState run;
    std::string console;
    run.console = Sink{nullptr, &console};
    MappedFile* file = nullptr;
    ASSERT_EQ(MapFile(run.mappings, dir.File("m.o"), &file), 0);
    ASSERT_EQ(RegisterMappedObject(run, file), 0) << console;
    EXPECT_EQ(file->written, big);
    if (big) {
      EXPECT_GT(ResidentKb(file->view), 0);
    } else {
      EXPECT_EQ(ResidentKb(file->view), 0);
    }
    // Whatever was given back reads the same afterwards.
    EXPECT_EQ(run.registry.head->Image().Header().e_type, ET_REL);
    EXPECT_EQ(run.registry.head->Image().SectionCount(), 5u);
  }
}

TEST(OpenObjectModule, FindsTheExportSectionAsASearchOfTheImageDoes) {
  // Sections: 1 .text, 2 .exports, 3 .export.x, 4 .export, 5 .export.
  struct Case {
    const char* what;
    std::function<void(Bytes&, const ElfBuilder&)> edit;
    uint32_t little, big;  // expected index in each byte order
  } cases[] = {
      {"first of two exactly named sections", [](Bytes&, const ElfBuilder&) {}, 4, 4},
      {"no section names", [](Bytes& image, const ElfBuilder&) { PatchHeader(image, [](ElfHeader& h) { h.e_shstrndx = 0; }); },
       kNoExportSection, kNoExportSection},
      {"names off by one byte",
       [](Bytes& image, const ElfBuilder&) {
         for (uint32_t index : {4u, 5u}) PatchSection(image, index, [](SectionHeader& s) { s.sh_name += 1; });
       },
       kNoExportSection, kNoExportSection},
      {"name table ends inside the name",
       [](Bytes& image, const ElfBuilder& b) {
         uint32_t name = ReadSection(image, 4).sh_name;
         PatchSection(image, b.ShstrtabIndex(), [=](SectionHeader& s) { s.sh_size = name + 7; });
         for (uint32_t index = 1; index < ReadHeader(image).e_shnum; ++index)
           PatchSection(image, index, [=](SectionHeader& s) { s.sh_name = std::min(s.sh_name, name); });
       },
       kNoExportSection, kNoExportSection},
      // The reserved entry 0 is searched too, and stays in the file's byte
      // order, so its name offset matches only in a little-endian object.
      {"reserved entry 0 named .export",
       [](Bytes& image, const ElfBuilder&) {
         uint32_t name = ReadSection(image, 4).sh_name;
         Put32(image, ReadHeader(image).e_shoff, name, IsBigEndian(image));
       },
       0, 4},
  };
  for (bool big : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (big ? " (big-endian)" : ""));
      ElfBuilder b(big);
      b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(8));
      for (const char* name : {".exports", ".export.x", ".export", ".export"}) b.AddProgbits(name, SHF_ALLOC, Bytes(4));
      Bytes image = b.Build();
      c.edit(image, b);
      RunState run;
      std::string console;
      run.console = Sink{nullptr, &console};
      MappedFile memory;
      ASSERT_EQ(OpenObjectModule(run, &memory, "m.o", image.data(), static_cast<uint32_t>(image.size())), 0)
          << console;
      const ObjectModule& module = *run.registry.head;
      EXPECT_EQ(module.export_section, big ? c.big : c.little);
      std::optional<uint32_t> searched = FindExportSectionIndex(module.Image());
      EXPECT_EQ(searched.value_or(kNoExportSection), module.export_section);
      EXPECT_EQ(FindExportSection(module), searched);
    }
  }
}

// Members small enough to share pages, the big-endian one between
// little-endian ones: were its converted pages given back, the objects
// registered or tracked after it would read raw big-endian headers.
TEST(MixedByteOrderArchive, WritesWhatTheSameObjectsGivenOneByOneWrite) {
  struct Input {
    const char* name;
    bool big, exports;
  } inputs[] = {{"a.o", false, false}, {"b.o", true, true}, {"c.o", false, true}, {"d.o", false, false}};
  TempDir dir;
  ArBuilder archive;
  archive.AddSymbolIndex();
  std::vector<std::string> objects;
  for (const Input& input : inputs) {
    Bytes bytes = Member(std::string(input.name, 1), input.big, input.exports);
    archive.Add(input.name, bytes);
    WriteFile(dir.File(input.name), bytes);
    objects.push_back(dir.File(input.name));
  }
  WriteFile(dir.File("lib.a"), archive.Build());
  WriteFile(dir.File("e.def"), std::string("fa\nfd\n"));

  std::vector<std::vector<std::string>> modes = {{"-xall"}, {"-x", dir.File("e.def")}};
  for (const std::vector<std::string>& mode : modes) {
    SCOPED_TRACE(mode[0]);
    auto run = [&](const std::string& tag, const std::vector<std::string>& files) {
      std::vector<std::string> args = mode;
      args.push_back("-o");
      args.push_back(dir.File(tag + ".o"));
      args.insert(args.end(), files.begin(), files.end());
      InProcessResult result = RunInProcess(args);
      EXPECT_EQ(result.status, 0) << result.console;
      return ReadFile(dir.File(tag + ".o"));
    };
    Bytes from_archive = run("archive", {dir.File("lib.a")});
    Bytes one_by_one = run("files", objects);
    EXPECT_EQ(from_archive, one_by_one);
    std::string text(from_archive.begin(), from_archive.end());
    // The big-endian member's exports, declared in code or by -xall.
    for (const char* name : {"fa", "fb", "db", "fc", "dc", "fd"}) EXPECT_NE(text.find(name), std::string::npos) << name;
  }
}

}  // namespace
