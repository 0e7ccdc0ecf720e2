#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "elf/elf_image.h"
#include "elf/elf_reader.h"
#include "host/mapped_file.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "output_fixture.h"

using namespace prepqdm;
using namespace outputtest;
using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Writes the export object of `r`, maps and parses it as the driver does.
void WriteAndReread(ExportRun& r) {
  ASSERT_EQ(!r.exports.empty() ? r.Write().status : r.WriteEmpty(), 0);
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(r.run.mappings, r.run.options.output_path, &file), 0);
  ASSERT_EQ(ParseElfImage(file->view, static_cast<uint32_t>(file->size), &file->written), 0u);
  r.export_object.data = file->view;
  r.export_object.size = static_cast<uint32_t>(file->size);
  r.export_object_file = file;
}

// A library request for `r` with a do-nothing archiver in `dir`.
void RequestLibrary(ExportRun& r, const TempDir& dir, const std::string& module) {
  r.run.options.import_library_path = dir.File("lib.a");
  r.run.options.module_name = module;
  testsupport::WriteFile(dir.File("ax"), std::string("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/ax.log\"\n"));
  chmod(dir.File("ax").c_str(), 0755);
}

uint8_t* ContentOf(ExportRun& r, uint32_t index) {
  ElfImage image{r.export_object.data, r.export_object.size};
  return image.data + image.Section(index)->sh_offset;
}
void PatchSectionInView(ExportRun& r, uint32_t index, const std::function<void(SectionHeader&)>& edit) {
  ElfImage image{r.export_object.data, r.export_object.size};
  SectionHeader s = *image.Section(index);
  edit(s);
  StoreAt(image.data + image.SectionHeaderOffset(index), s);
}

}  // namespace

TEST(ImportLibrary, WorkedExampleArchiveAndBareStub) {
  for (bool bare : {false, true}) {
    TempDir dir;
    ScopedEnv epoch("SOURCE_DATE_EPOCH", "1700000000");
    ScopedEnv root("TOOLCHAIN_ROOT", dir.path().c_str());
    ExportRun r({{"foo", true}, {"baz", false}, {"bar", true}}, false, 3, dir.File("out.o"));
    r.run.options.def_only = true;
    r.run.options.no_archive_header = bare;
    r.run.options.verbose = true;
    std::string console;
    r.run.console.capture = &console;
    RequestLibrary(r, dir, "out/Foo.qdm");
    WriteAndReread(r);
    ASSERT_EQ(r.BuildLibrary(), 0);

    Bytes lib = ReadFile(dir.File("lib.a"));
    const size_t base = bare ? 0 : 68;
    if (!bare) {
      ASSERT_GE(lib.size(), 68u);
      EXPECT_EQ(std::string(lib.begin(), lib.begin() + 68),
                "!<arch>\nfoo.qdm.o/      1700000000  0     0     100666  640       `\n");
      EXPECT_EQ(console, "exec: " + dir.path() + "/ax -ts \"" + dir.File("lib.a") + "\"\n");
      EXPECT_EQ(ReadFile(dir.File("ax.log")), Text("-ts " + dir.File("lib.a") + "\n"));
    } else {
      EXPECT_EQ(console, "");
      EXPECT_FALSE(FileExists(dir.File("ax.log")));
    }
    ExpectedImage e(640, true);
    e.ElfHeader(0, 20, 384, 0, 6, 5);
    e.Word(64, 2, ".fimport count");
    e.Word(68, ReferenceCrc(Cat(Text(std::string("bar\0foo\0", 8)), Zeros(14))), ".fimport crc");
    e.Raw(72, Text("foo.qdm"), ".fimport module name");
    e.Word(128, 1, ".dimport count");
    e.Word(132, ReferenceCrc(Cat(Text(std::string("baz\0", 4)), Zeros(14))), ".dimport crc");
    e.Raw(136, Text("foo.qdm"), ".dimport module name");
    e.Symbol(192, 1, 1, 8, 0, 0x12, 1);
    e.Symbol(192, 2, 5, 16, 0, 0x12, 1);
    e.Symbol(192, 3, 9, 8, 0, 0x11, 2);
    e.Raw(256, Text(std::string("\0bar\0foo\0baz\0", 13)), ".strtab");
    e.Raw(320, Text(std::string("\0.fimport_foo.qdm\0.dimport_foo.qdm\0.symtab\0.strtab\0.secstrtab\0", 62)),
          ".secstrtab");
    e.Section(384, 1, {1, 0x80000002u, 6, 64, 24, 0, 7, 4, 0});
    e.Section(384, 2, {18, 0x80000002u, 3, 128, 16, 0, 7, 4, 0});
    e.Section(384, 3, {35, 2, 0, 192, 64, 4, 1, 16, 16});
    e.Section(384, 4, {43, 3, 0, 256, 13, 0, 0, 1, 0});
    e.Section(384, 5, {51, 3, 0, 320, 62, 0, 0, 1, 0});
    e.Compare(lib, base);
  }
}

// The library is read out of the export object twice, its pages given back
// every 65,536 entries: bytes as when they all stay, in either byte order.
TEST(ImportLibrary, PagesGivenBackMidwayChangeNothing) {
  for (bool big_endian : {false, true}) {
    TempDir dir;
    ScopedEnv root("TOOLCHAIN_ROOT", dir.path().c_str());
    std::vector<Export> list;
    for (int i = 0; i < 70000; ++i)
      list.push_back({"symbol_" + std::to_string(i * 7919 % 70001), i % 3 == 0, i % 5 == 0});
    ExportRun r(list, big_endian, big_endian ? 20 : 3, dir.File("out.o"));
    RequestLibrary(r, dir, "m.qdm");
    r.run.options.no_archive_header = true;
    WriteAndReread(r);
    ASSERT_EQ(r.BuildLibrary(), 0);
    const Bytes given_back = ReadFile(dir.File("lib.a"));
    r.export_object_file = nullptr;
    ASSERT_EQ(r.BuildLibrary(), 0);
    EXPECT_EQ(given_back, ReadFile(dir.File("lib.a"))) << big_endian;
    EXPECT_GT(given_back.size(), 70000u * 16);
  }
}

TEST(ImportLibrary, ModuleBaseName) {
  const std::pair<std::string, std::string> cases[] = {
      {"out/Foo.qdm", "foo.qdm"}, {"C:\\Dir\\FOO.QDM", "foo.qdm"}, {"a/b\\c/Mixed_9.X", "mixed_9.x"},
      {"plain", "plain"},         {"dir/", ""},                    {"\xC3\x84Z.qdm", "\xC3\x84z.qdm"}};
  for (const auto& [module, base] : cases) EXPECT_EQ(ModuleBaseName(module), base) << module;
}

TEST(ImportLibrary, LongModuleNameAndDataOnlyWithTls) {
  TempDir dir;
  ScopedEnv root("TOOLCHAIN_ROOT", dir.path().c_str());
  ExportRun r({{"t", false, true}, {"plain", false}}, false, 3, dir.File("out.o"));
  RequestLibrary(r, dir, "D\\ABCDEFGHIJKLMNOPQRST.QDM");
  WriteAndReread(r);
  ASSERT_EQ(r.BuildLibrary(), 0);
  Bytes lib = ReadFile(dir.File("lib.a"));
  // 13 bytes of the name, ".o/", no padding.
  EXPECT_EQ(std::string(lib.begin() + 8, lib.begin() + 24), "abcdefghijklm.o/");
  Bytes stub(lib.begin() + 68, lib.end());
  EXPECT_EQ(testsupport::ReadHeader(stub).e_shnum, 5);
  SectionHeader import = testsupport::ReadSection(stub, 1);
  EXPECT_EQ(import.sh_name, 1u);
  EXPECT_EQ(import.sh_flags, 3u);
  EXPECT_EQ(import.sh_size, 33u);  // L + 9 exceeds 8 + 8m
  EXPECT_EQ(import.sh_info, 24u);
  EXPECT_EQ(std::string(stub.begin() + import.sh_offset + 8, stub.begin() + import.sh_offset + 32),
            "abcdefghijklmnopqrst.qdm");
  // ".symtab" follows at 128: plain (object) then t (TLS object) at slot 1.
  EXPECT_EQ(testsupport::ReadSection(stub, 2).sh_offset, 128u);
  EXPECT_EQ(stub[128 + 16 + 12], 0x11);
  EXPECT_EQ(testsupport::Get32(stub, 128 + 32 + 4, false), 16u);
  EXPECT_EQ(stub[128 + 32 + 12], 0x16);
  EXPECT_EQ(stub[128 + 32 + 14], 1);
}

// Nothing exported: the stub without import sections, big-endian PowerPC as
// the fixed empty export object it is made from, in an archive handed to the
// archiver or bare.
TEST(ImportLibrary, EmptyExportObjectMakesTheEmptyStub) {
  for (bool bare : {false, true}) {
    SCOPED_TRACE(bare ? "bare" : "archive");
    TempDir dir;
    ScopedEnv epoch("SOURCE_DATE_EPOCH", "999999999999");
    ScopedEnv root("TOOLCHAIN_ROOT", dir.path().c_str());
    ExportRun r({}, false, 3, dir.File("out.o"));
    r.run.options.no_archive_header = bare;
    RequestLibrary(r, dir, "out/Sound.QDM");
    WriteAndReread(r);
    ASSERT_EQ(r.BuildLibrary(), 0);
    Bytes lib = ReadFile(dir.File("lib.a"));
    if (!bare) {
      ASSERT_GE(lib.size(), 68u);
      EXPECT_EQ(std::string(lib.begin(), lib.begin() + 68),
                "!<arch>\nsound.qdm.o/    9999999999990     0     100666  448       `\n");
    }
    EXPECT_EQ(FileExists(dir.File("ax.log")), !bare);
    ExpectedImage e(448, true);
    e.ElfHeader(0, 20, 256, 0, 4, 3);
    e.Raw(192, Text(std::string("\0.symtab\0.strtab\0.secstrtab\0", 28)), ".secstrtab");
    e.Section(256, 1, {1, 2, 0, 64, 16, 2, 1, 16, 16});
    e.Section(256, 2, {9, 3, 0, 128, 1, 0, 0, 1, 0});
    e.Section(256, 3, {17, 3, 0, 192, 28, 0, 0, 1, 0});
    e.Compare(lib, bare ? 0 : 68);
  }
}

// A replaced or damaged export object is refused before the library file is
// opened. Sections of the export object: 1 code, 2 its relocations, 3 data,
// 4 data relocations; big-endian tables.
TEST(ImportLibrary, InconsistentExportObjectIsRefused) {
  const std::string kInconsistent = "***Error: Inconsistent export object \"";
  struct Case {
    const char* what;
    std::function<void(ExportRun&)> patch;
    std::string message;
  } cases[] = {
      {"relocation count", [](ExportRun& r) { PatchSectionInView(r, 4, [](SectionHeader& s) { s.sh_size = 24; }); },
       "***Error: numDataExports (1) != numRelaDataExports (2). Return -1\n"},
      {"relocation offset", [](ExportRun& r) { StoreAt<uint32_t>(ContentOf(r, 4), 16); },
       "***Error: mismatched relocations and .dexports section. Return -1\n"},
      {"tls relocation without the bit", [](ExportRun& r) { StoreAt<uint32_t>(ContentOf(r, 4) + 4, (4u << 8) | 78); },
       "***Error: Export symbol \"baz\" is unexpectedly a TLS symbol. Clobber and rebuild with current "
       "prepqdm[32|64]. Return -1.\n"},
      {"table outside the file", [](ExportRun& r) { PatchSectionInView(r, 3, [](SectionHeader& s) { s.sh_offset = 0xFFFFFF00u; }); },
       kInconsistent},
      {"name offset outside the table",
       [](ExportRun& r) { StoreAt<uint32_t>(r.export_object.data + 64 + 12, Bswap32(0x7FFFFFF0u)); }, kInconsistent},
      {"name without its NUL",
       [](ExportRun& r) {
         StoreAt<uint32_t>(r.export_object.data + 64 + 12, Bswap32(53));
         r.export_object.data[64 + 53] = 'x';  // last byte of the table
       },
       kInconsistent},
      {"entry count beyond the table",
       [](ExportRun& r) { StoreAt<uint32_t>(r.export_object.data + 64, Bswap32(0x10000000u)); }, kInconsistent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ExportRun r({{"foo", true}, {"baz", false}, {"bar", true}}, true, 20, dir.File("out.o"));
    RequestLibrary(r, dir, "m");
    WriteAndReread(r);
    c.patch(r);
    std::string console;
    r.run.console.capture = &console;
    EXPECT_EQ(r.BuildLibrary(), -1);
    EXPECT_EQ(console.substr(0, c.message.size()), c.message);
    EXPECT_FALSE(FileExists(dir.File("lib.a")));
  }
}

// A library that could not be written whole is never handed to the archiver.
TEST(ImportLibrary, WriteFailureSkipsTheArchiver) {
  TempDir dir;
  ScopedEnv root("TOOLCHAIN_ROOT", dir.path().c_str());
  ExportRun r({{"f", true}}, false, 3, dir.File("out.o"));
  RequestLibrary(r, dir, "m");
  r.run.options.import_library_path = "/dev/full";
  std::string console;
  r.run.console.capture = &console;
  WriteAndReread(r);
  // A device gets its bytes only after the commit; the copy's failure is
  // the driver's to print.
  EXPECT_EQ(r.BuildLibrary(), ENOSPC);
  EXPECT_EQ(console, "");
  EXPECT_FALSE(FileExists(dir.File("ax.log")));
}
