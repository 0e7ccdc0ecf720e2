// The dependency file of -MF: its rule, byte for byte, and what a real build
// system makes of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/ar_builder.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

using testsupport::Bytes;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string kAxDirectory = std::string(AX_BINARY).substr(0, std::string(AX_BINARY).rfind('/'));

// a.o defines f; lib/libh.a(h.o) defines h.
void WriteModule(const TempDir& dir) {
  auto object = [](const std::string& symbol) {
    testsupport::ElfBuilder b;
    uint16_t text = static_cast<uint16_t>(b.AddProgbits(".text", 6, Bytes(300, 0)));
    b.AddGlobal(symbol, text);
    return b.Build();
  };
  WriteFile(dir.File("a.o"), object("f"));
  mkdir(dir.File("lib").c_str(), 0755);
  WriteFile(dir.File("lib/libh.a"), testsupport::ArBuilder().Add("h.o", object("h")).Build());
}

// Whether ninja is on PATH; its absence fails the test where the run
// requires it.
bool HaveNinja(const TempDir& dir) {
  if (testsupport::RunProgram("/usr/bin/env", {"ninja", "--version"}, dir.path()).exit_code == 0) return true;
  if (std::getenv("PREPQDM_NINJA_REQUIRED")) ADD_FAILURE() << "ninja required but not found on PATH";
  return false;
}

}  // namespace

// Targets as typed, prerequisites as read (the -L-found archive where it was
// found, the response file resolved), names escaped for Make; nothing is
// written by a run that fails.
TEST(DependencyFile, RuleOfASuccessfulRunOnly) {
  TempDir dir;
  WriteModule(dir);
  WriteFile(dir.File("my exports.def"), std::string("[CODE]\nf\nh\n"));
  WriteFile(dir.File("x#1$.txt"), std::string("nothing\n"));
  WriteFile(dir.File("args.rsp"), std::string("-x \"my exports.def\"\n"));
  std::vector<std::string> args{"-MF", "out.d", "-l", "lib.a", "-r", "M.qdm", "-L", "lib", "@args.rsp",
                                "-xnot", "x#1$.txt", "a.o", "libh.a"};
  testsupport::ProcessResult r = testsupport::RunBinary(args, dir.path(), {"TOOLCHAIN_ROOT=" + kAxDirectory});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const std::string rule = testsupport::WrittenText(dir.File("out.d"));
  EXPECT_EQ(rule, "pre_qdm.o lib.a: \\\n  " + dir.File("args.rsp") + " \\\n  " + dir.File("a.o") +
                                          " \\\n  " + dir.File("lib/libh.a") +
                                          " \\\n  my\\ exports.def \\\n  x\\#1$$.txt\n");

  // A failing run leaves the previous file as it was.
  WriteFile(dir.File("my exports.def"), std::string("[CODE]\nnothere\n"));
  r = testsupport::RunBinary(args, dir.path(), {"TOOLCHAIN_ROOT=" + kAxDirectory});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(testsupport::WrittenText(dir.File("out.d")), rule);
  r = testsupport::RunBinary({"-o", "out.o", "-MF", "fail.d", "-x", "my exports.def", "a.o"}, dir.path());
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(testsupport::FileExists(dir.File("fail.d")));
}

// A module built by Ninja with the README's rule: touching the definition
// file, the response file or an archive found through -L reruns prepqdm;
// touching nothing does not. A module that exports nothing (a definition
// file of directives alone) still gets its import library, so its build
// settles too.
TEST(DependencyFile, NinjaRerunsOnlyWhenARealInputChanges) {
  TempDir dir;
  if (!HaveNinja(dir)) GTEST_SKIP() << "ninja not found on PATH (Debian package ninja-build)";
  WriteModule(dir);
  WriteFile(dir.File("m.def"), std::string("[CODE]\nf\nh\n"));
  WriteFile(dir.File("args.rsp"), std::string("-x m.def\n"));
  WriteFile(dir.File("none.def"), std::string("[CODE]\n[DATA]\n"));
  WriteFile(dir.File("build.ninja"),
            "rule prepqdm\n"
            "  command = " PREPQDM_BINARY " -o $out -MF $out.d -L lib @args.rsp a.o libh.a\n"
            "  depfile = $out.d\n"
            "  deps = gcc\n"
            "build exports.o: prepqdm a.o\n"
            "rule prepqdm_library\n"
            "  command = TOOLCHAIN_ROOT=" + kAxDirectory + " " PREPQDM_BINARY
            " -o none.o -l none.a -r None.qdm -MF none.d -x none.def a.o\n"
            "  depfile = none.d\n"
            "  deps = gcc\n"
            "build none.o none.a: prepqdm_library a.o\n");
  auto build = [&]() {
    testsupport::ProcessResult r = testsupport::RunProgram("/usr/bin/env", {"ninja", "-C", dir.path()}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    return r.out.find("ninja: no work to do.") == std::string::npos;
  };
  auto touch = [&](const std::string& name) {
    // Past the timestamp granularity of the file system.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(utimensat(AT_FDCWD, dir.File(name).c_str(), nullptr, 0), 0) << name;
  };
  EXPECT_TRUE(build());
  EXPECT_TRUE(testsupport::FileExists(dir.File("exports.o")));
  EXPECT_TRUE(testsupport::FileExists(dir.File("none.a")));
  EXPECT_FALSE(build());
  for (const char* input : {"m.def", "lib/libh.a", "args.rsp"}) {
    SCOPED_TRACE(input);
    touch(input);
    EXPECT_TRUE(build());
    EXPECT_FALSE(build());
  }
}

// The file as this build's program wrote it, read by the Linux ninja: an
// input in a folder with a space comes back from "ninja -t deps" as one path
// with '/' between its parts (under Wine, where the program runs on Windows,
// on drive Z:).
TEST(DependencyFile, NinjaReadsTheWrittenPaths) {
  TempDir dir;
  if (!HaveNinja(dir)) GTEST_SKIP() << "ninja not found on PATH (Debian package ninja-build)";
  testsupport::ElfBuilder b;
  b.AddGlobal("f", static_cast<uint16_t>(b.AddProgbits(".text", 6, Bytes(16, 0))));
  mkdir(dir.File("with space").c_str(), 0755);
  const std::string input = dir.File("with space/x.o");
  WriteFile(input, b.Build());
  testsupport::ProcessResult r =
      testsupport::RunBinary({"-o", "exports.o", "-xall", "-MF", "written.d", input}, dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WriteFile(dir.File("build.ninja"),
            "rule stage\n"
            "  command = cp written.d $out.d && touch $out\n"
            "  depfile = $out.d\n"
            "  deps = gcc\n"
            "build exports.o: stage\n");
  r = testsupport::RunProgram("/usr/bin/env", {"ninja", "-C", dir.path()}, dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  r = testsupport::RunProgram("/usr/bin/env", {"ninja", "-C", dir.path(), "-t", "deps", "exports.o"}, dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::vector<std::string> deps;
  for (size_t at = r.out.find("\n    "); at != std::string::npos; at = r.out.find("\n    ", at + 1))
    deps.push_back(r.out.substr(at + 5, r.out.find('\n', at + 1) - at - 5));
  ASSERT_EQ(deps.size(), 1u) << r.out;
  EXPECT_TRUE(deps[0] == input || deps[0] == "Z:" + input) << r.out;
}
