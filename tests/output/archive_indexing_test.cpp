#include <gtest/gtest.h>
#include <sys/stat.h>

#include "elf/elf_reader.h"
#include "host/mapped_file.h"
#include "output/archive_indexing.h"
#include "output/export_object_writer.h"
#include "output/import_library.h"
#include "output_fixture.h"

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
    IndexImportLibrary(*r.run.options.import_library_path, r.run.options.verbose, r.run.console);
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
