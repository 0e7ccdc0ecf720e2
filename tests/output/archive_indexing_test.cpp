#include <gtest/gtest.h>
#include <sys/stat.h>

#include "elf/elf_reader.h"
#include "host/mapped_file.h"
#include "output/archive_indexing.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "output_fixture.h"
#include "support/ar_builder.h"

using namespace prepqdm;
using namespace outputtest;
using testsupport::ReadFile;
using testsupport::TempDir;

TEST(ArchiverCommand, LocatedThroughToolchainRoot) {
  struct Case { const char* root; std::string program; } cases[] = {
      {nullptr, "ax"},
      {"/cygdrive/c/sdk/tools", "c:/sdk/tools/ax"},
      {"/cygdrive/d", "d:/ax"},
      {"/cygdrive/", "/ax"},
      {"/CYGDRIVE/c/x", "/CYGDRIVE/c/x/ax"},  // exact case only
      {"D:\\sdk", "D:\\sdk/ax"},
      {"D:\\sdk\\", "D:\\sdk\\/ax"},          // a trailing separator stays
      {"D:/sdk", "D:/sdk/ax"},
      {"abc/tools", "abc/tools/ax"},
      {"", "/ax"},
  };
  for (const Case& c : cases) {
    ArchiverCommand command = BuildArchiverCommand(c.root, "out dir/my lib.a");
    EXPECT_EQ(command.program, c.program) << (c.root ? c.root : "(unset)");
    EXPECT_EQ(command.command_line, c.program + " -ts \"out dir/my lib.a\"");
  }
}

// Fake archivers in a temporary TOOLCHAIN_ROOT: the path must reach them as
// one unchanged argument, and their status decides the FAILED report.
TEST(ArchiverCommand, RunsWithoutAShell) {
  struct Case { const char* script; bool present; std::string console_tail; } cases[] = {
      {"for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$(dirname \"$0\")/argv\"\n", true, ""},
      {"exit 3\n", true, "\nreturned 3\n"},
      {"kill -TERM $$\n", true, "\nreturned 143\n"},
      {"", false, "\nreturned -1\n  note: PROGRAM: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ScopedEnv root("TOOLCHAIN_ROOT", dir.path().c_str());
    if (c.present) {
      testsupport::WriteFile(dir.File("ax"), std::string("#!/bin/sh\n") + c.script);
      chmod(dir.File("ax").c_str(), 0755);
    }
    const std::string path = dir.File("a b $HOME `id` ;\"q\" 'x'.a");
    ExportRun r({}, false, 3, "unused");
    std::string console;
    r.run.console.capture = &console;
    r.run.options.import_library_path = path;
    r.run.options.verbose = true;
    IndexImportLibrary(*r.run.options.import_library_path, *r.run.options.import_library_path, r.run.options.verbose, r.run.console);
    std::string exec = "exec: " + dir.path() + "/ax -ts \"" + path + "\"\n";
    std::string tail = c.console_tail;
    if (size_t at = tail.find("PROGRAM"); at != std::string::npos) tail.replace(at, 7, dir.path() + "/ax");
    EXPECT_EQ(console, exec + (tail.empty() ? "" : "FAILED: ax -ts " + path + tail)) << c.script;
    if (c.console_tail.empty()) {
      EXPECT_EQ(ReadFile(dir.File("argv")), Text("[-ts]\n[" + path + "]\n"));
    }
  }
}

TEST(ArchiverCommand, StandInIndexesTheLibrary) {
  TempDir dir;
  const std::string ax = AX_BINARY;
  ScopedEnv root("TOOLCHAIN_ROOT", dir.File("no-such-dir").c_str());  // first without an index
  ExportRun r({{"foo", true}, {"baz", false}, {"bar", true}}, false, 3, dir.File("out.o"));
  r.run.options.import_library_path = dir.File("lib.a");
  r.run.options.module_name = "out/Foo.qdm";
  std::string console;
  r.run.console.capture = &console;
  ASSERT_EQ(r.Write().status, 0);
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(r.run.mappings, dir.File("out.o"), &file), 0);
  ASSERT_EQ(ParseElfImage(file->view, static_cast<uint32_t>(file->size)), 0u);
  r.export_object.data = file->view;
  r.export_object.size = static_cast<uint32_t>(file->size);
  ASSERT_EQ(r.BuildLibrary(), -1);  // no archiver: no indexed library
  EXPECT_EQ(console, "FAILED: ax -ts " + dir.File("lib.a") + "\nreturned -1\n  note: " + dir.File("no-such-dir") +
                         "/ax: No such file or directory\n");

  EXPECT_EQ(Tool("ar", {"t", dir.File("lib.a")}), "foo.qdm.o\n");
  EXPECT_EQ(Tool("nm", {"-s", dir.File("lib.a")}).find("Archive index"), std::string::npos);
  int code = -1;
  testsupport::RunProgram(ax, {"-ts", dir.File("lib.a")}, dir.path());
  std::string index = Tool("nm", {"-s", dir.File("lib.a")}, &code);
  EXPECT_EQ(code, 0) << index;
  for (const char* name : {"bar", "foo", "baz"})
    EXPECT_NE(index.find(std::string(name) + " in foo.qdm.o\n"), std::string::npos) << index;
  EXPECT_EQ(testsupport::RunProgram(ax, {"-t", dir.File("lib.a")}, dir.path()).exit_code, 2);
}

// Every member is copied as the file holds it (a big-endian object is read
// converted in place), the old index is replaced, and each name points at
// its own member's header.
TEST(ArchiverCommand, StandInKeepsMembersAsTheyWere) {
  TempDir dir;
  auto object = [](bool big_endian, const std::vector<std::string>& defined) {
    testsupport::ElfBuilder b(big_endian, big_endian ? 20 : 3);
    uint32_t text = b.AddProgbits(".text", SHF_ALLOC | SHF_EXECINSTR, Bytes(16, 0x90));
    for (const std::string& name : defined)
      b.AddGlobal(name, text, 0, 4, STT_FUNC, name.find("weak") ? STB_GLOBAL : STB_WEAK);
    b.AddGlobal("undefined", 0);
    return b.Build();
  };
  const Bytes archive = testsupport::ArBuilder()
                            .AddSymbolIndex()
                            .Add("le.o", object(false, {"le_one", "le_two"}))
                            .Add("notes.txt", Bytes{'o', 'd', 'd'})
                            .Add("a_rather_long_member_name.o", object(true, {"weak_be", "be_one"}))
                            .Build();
  testsupport::WriteFile(dir.File("lib.a"), std::string(archive.begin(), archive.end()));
  ASSERT_EQ(testsupport::RunProgram(AX_BINARY, {"-ts", dir.File("lib.a")}, dir.path()).exit_code, 0);
  const Bytes indexed = ReadFile(dir.File("lib.a"));

  const size_t old_index_end = 8 + 60 + 4;
  const uint32_t count = testsupport::Get32(indexed, 68, true);
  ASSERT_EQ(count, 4u);
  const std::string names(indexed.begin() + 72 + 4 * count, indexed.begin() + 72 + 4 * count + 29);
  EXPECT_EQ(names, std::string("le_one\0le_two\0weak_be\0be_one\0", 29));
  const size_t index_end = 68 + std::stoul(std::string(indexed.begin() + 56, indexed.begin() + 66));
  ASSERT_EQ(indexed.size() - index_end, archive.size() - old_index_end);
  EXPECT_TRUE(std::equal(indexed.begin() + index_end, indexed.end(), archive.begin() + old_index_end));
  const char* member_of[] = {"le.o/", "le.o/", "/0 ", "/0 "};
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t at = testsupport::Get32(indexed, 72 + 4 * i, true);
    ASSERT_LT(at + 16u, indexed.size());
    EXPECT_EQ(std::string(indexed.begin() + at, indexed.begin() + at + std::strlen(member_of[i])), member_of[i]) << i;
  }
}
