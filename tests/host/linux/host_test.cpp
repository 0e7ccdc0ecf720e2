#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "host/mapped_file.h"
#include "host/paths.h"
#include "host/status.h"
#include "support/elf_builder.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::TempDir;

namespace {

// A chain of directories whose full path is longer than PATH_MAX, made and
// entered one level at a time (no single call takes a path that long), then
// emptied and removed the same way, by relative names.
class DeepWorkingDirectory {
 public:
  explicit DeepWorkingDirectory(const TempDir& base)
      : saved_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), path_(std::filesystem::canonical(base.path())) {
    ok_ = chdir(path_.c_str()) == 0;
    for (; ok_ && path_.size() <= PATH_MAX; ++depth_, path_ += "/" + kLevel)
      ok_ = mkdir(kLevel.c_str(), 0755) == 0 && chdir(kLevel.c_str()) == 0;
  }
  ~DeepWorkingDirectory() {
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(".", ec)) entries.push_back(entry.path());
    for (const auto& entry : entries) std::filesystem::remove_all(entry, ec);
    while (depth_ > 0 && chdir("..") == 0 && rmdir(kLevel.c_str()) == 0) --depth_;
    EXPECT_EQ(fchdir(saved_), 0);
    close(saved_);
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  inline static const std::string kLevel = std::string(200, 'd');
  int saved_;
  std::string path_;
  int depth_ = 0;
  bool ok_ = false;
};

}  // namespace

TEST(ExitCode, KeepsLowByteButNeverTurnsFailureIntoSuccess) {
  struct Case { Status status; int code; } cases[] = {
      {0, 0}, {-1, 255}, {2, 2}, {0x100, 1}, {AsStatus(0xBAD00018u), 0x18},
      {AsStatus(0x80070002u), 2}, {AsStatus(0x80004000u), 1}, {-4, 252}};
  for (const Case& c : cases) EXPECT_EQ(ExitCodeFromStatus(c.status), c.code) << c.status;
}

TEST(MapFile, StatusesFollowTheFailure) {
  TempDir dir;
  Mappings mappings;
  MappedFile* file = reinterpret_cast<MappedFile*>(1);
  EXPECT_EQ(MapFile(mappings, "", &file), kEUnexpected);
  EXPECT_EQ(MapFile(mappings, dir.File("missing"), &file), kEFileNotFound);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(MapFile(mappings, dir.File("nodir/x"), &file), kEPathNotFound);
  testsupport::WriteFile(dir.File("a.o"), std::string("x"));
  EXPECT_EQ(MapFile(mappings, dir.File("a.o/x"), &file), kEPathNotFound);  // through a regular file
  EXPECT_EQ(MapFile(mappings, dir.File(std::string(300, 'n')), &file), kEPathNotFound);  // name too long
  EXPECT_EQ(MapFile(mappings, dir.path(), &file), kEAccessDenied);
  testsupport::WriteFile(dir.File("empty"), std::string());
  EXPECT_EQ(MapFile(mappings, dir.File("empty"), &file), kEFail);
  // A FIFO without a writer is refused at once instead of blocking the run.
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  EXPECT_EQ(MapFile(mappings, dir.File("fifo"), &file), kEFail);
  EXPECT_EQ(MapFile(mappings, "/dev/null", &file), kEFail);
  EXPECT_TRUE(mappings.live.empty());
}

// A file that shrinks while it is mapped ends the run with a message that
// names it, not with a silent signal death.
TEST(MapFile, ShrinkingFileEndsTheRunWithItsName) {
  TempDir dir;
  const std::string path = dir.File("in.o");
  testsupport::WriteFile(path, std::string(3 * 4096, 'x'));
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int out = open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    Mappings mappings;
    MappedFile* file = nullptr;
    if (MapFile(mappings, path, &file) != kOk || truncate(path.c_str(), 0) != 0) _exit(3);
    volatile uint8_t byte = file->view[2 * 4096];
    (void)byte;
    _exit(0);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus);
  EXPECT_EQ(WEXITSTATUS(wstatus), 255);
  std::vector<uint8_t> out = testsupport::ReadFile(dir.File("out"));
  EXPECT_EQ(std::string(out.begin(), out.end()),
            "***Error: File \"" + path + "\" became shorter while it was being read. Return -1.\n");
}

TEST(MapFile, ViewIsCopyOnWriteAndCounted) {
  TempDir dir;
  testsupport::WriteFile(dir.File("a"), std::string("hello"));
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("a"), &file), kOk);
  ASSERT_EQ(file->size, 5u);
  file->view[0] = 'J';
  EXPECT_EQ(testsupport::ReadFile(dir.File("a"))[0], 'h');
  RetainMappedFile(file);
  EXPECT_EQ(ReleaseMappedFile(file), 1);
  EXPECT_EQ(mappings.live.size(), 1u);
  EXPECT_EQ(ReleaseMappedFile(file), 0);
  EXPECT_TRUE(mappings.live.empty());
}

TEST(OpenForWrite, RefusesAMappedFileEvenThroughAnotherName) {
  TempDir dir;
  testsupport::WriteFile(dir.File("in.o"), std::string("data"));
  ASSERT_EQ(symlink(dir.File("in.o").c_str(), dir.File("alias.o").c_str()), 0);
  Mappings mappings;
  MappedFile* file = nullptr;
  ASSERT_EQ(MapFile(mappings, dir.File("in.o"), &file), kOk);
  errno = 0;
  EXPECT_EQ(OpenForWrite(mappings, dir.File("alias.o"), "wb"), nullptr);
  EXPECT_EQ(errno, EBUSY);
  FILE* other = OpenForWrite(mappings, dir.File("out.o"), "wb");
  ASSERT_NE(other, nullptr);
  fclose(other);
  ReleaseMappedFile(file);
  FILE* now = OpenForWrite(mappings, dir.File("in.o"), "wb");
  ASSERT_NE(now, nullptr);
  fclose(now);
}

TEST(Paths, FullPathIsAbsoluteAndLexicallyNormal) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::string base = cwd;
  EXPECT_EQ(*FullPath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(*FullPath("x.o"), base + "/x.o");
  EXPECT_EQ(*FullPath("/a\\b"), "/a\\b");  // a backslash is a file-name byte here
  EXPECT_EQ(*FullPath("/.."), "/");
  EXPECT_FALSE(FullPath('/' + std::string(300, 'a')).has_value());
  EXPECT_EQ(FileNamePart("D:\\work\\lib\\foo.o"), "foo.o");
  EXPECT_EQ(FileNamePart("/x/y.o"), "y.o");
  EXPECT_EQ(FileNamePart("plain"), "plain");
  EXPECT_TRUE(EqualsIgnoreAsciiCase("NoAr", "noar"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC9", "\xE9"));
  // File names are case-sensitive here: "-o Out.O out.o" names two files.
  EXPECT_FALSE(SameFile(base + "/Out.O", base + "/out.o"));
}

// A run in a working directory deeper than PATH_MAX: outputs, inputs (also
// through -L), log, import library and dependency file by relative names or
// by full paths that long; the dependency file holds the inputs' full paths.
TEST(Paths, WorkingDirectoryLongerThanPathMax) {
  TempDir base;
  DeepWorkingDirectory deep(base);
  ASSERT_TRUE(deep.ok());
  const std::string here = deep.path(), up = here.substr(0, here.rfind('/') + 1);
  EXPECT_EQ(FullPath("x.o", SIZE_MAX), here + "/x.o");
  EXPECT_EQ(OpenableName(here + "/x.o"), "x.o");
  EXPECT_EQ(OpenableName(up + std::string(200, 's') + "/y.o"), "../" + std::string(200, 's') + "/y.o");
  EXPECT_EQ(OpenableName("/etc/hosts"), "/etc/hosts");

  ASSERT_EQ(mkdir("lib", 0755), 0);
  for (auto [name, symbol] : {std::pair{"a.o", "f"}, {"lib/b.o", "g"}}) {
    testsupport::ElfBuilder builder;
    builder.AddGlobal(symbol, static_cast<uint16_t>(builder.AddProgbits(".text", 6, testsupport::Bytes(300, 0))));
    testsupport::WriteFile(name, builder.Build());
  }
  const std::string binary = PREPQDM_BINARY;
  testsupport::ProcessResult r = testsupport::RunBinary(
      {"-o", "out.o", "-log", "run.log", "-MF", "out.d", "-l", "lib.a", "-r", "M.qdm", "-Llib", "-xall", "a.o", "b.o"},
      ".", {"TOOLCHAIN_ROOT=" + binary.substr(0, binary.rfind('/'))});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Output to log file \"run.log\".\n");
  EXPECT_TRUE(testsupport::FileExists("out.o") && testsupport::FileExists("lib.a"));
  EXPECT_NE(testsupport::WrittenText("run.log").find("Output to \"" + here + "/out.o\""), std::string::npos);
  EXPECT_EQ(testsupport::WrittenText("out.d"), "out.o lib.a: \\\n  " + here + "/a.o \\\n  " + here + "/lib/b.o\n");
  r = testsupport::RunBinary({"-o", here + "/full.o", "-xall", here + "/a.o"}, ".");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(testsupport::FileExists("full.o"));
}
