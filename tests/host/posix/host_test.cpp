#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/mapped_file.h"
#include "host/paths.h"
#include "host/status.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::TempDir;

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
  EXPECT_FALSE(FullPath("/" + std::string(300, 'a')).has_value());
  EXPECT_EQ(FileNamePart("D:\\work\\lib\\foo.o"), "foo.o");
  EXPECT_EQ(FileNamePart("/x/y.o"), "y.o");
  EXPECT_EQ(FileNamePart("plain"), "plain");
  EXPECT_TRUE(EqualsIgnoreAsciiCase("NoAr", "noar"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xC9", "\xE9"));
  // File names are case-sensitive here: "-o Out.O out.o" names two files.
  EXPECT_FALSE(SameFile(base + "/Out.O", base + "/out.o"));
}
