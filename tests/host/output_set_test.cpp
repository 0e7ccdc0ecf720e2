// The commit machinery on its own: what a rollback, a failed rename and the
// signal cleanup leave at the targets, without whole runs at random moments.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/fatal_cleanup.h"
#include "host/output_set.h"
#include "host/staged_file.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::FileExists;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string Text(const std::string& path) {
  std::vector<uint8_t> bytes = testsupport::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// Stages `text` for `target`; the file must stay where the set can use it.
std::unique_ptr<StagedFile> Staged(const std::string& target, const std::string& text) {
  auto file = std::make_unique<StagedFile>();
  Mappings none;
  EXPECT_EQ(file->Open(none, target), 0) << target;
  EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), file->stream()), text.size());
  EXPECT_EQ(file->Close(), 0);
  return file;
}

// Another run's file put at `target` by rename, as a concurrent run would.
void ReplaceByRename(const TempDir& dir, const std::string& target, const std::string& text) {
  const std::string beside = dir.File("beside");
  WriteFile(beside, text);
  std::filesystem::rename(beside, target);
}

std::vector<std::string> Leftovers(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().filename().string()[0] == '.') names.push_back(entry.path().filename().string());
  return names;
}

}  // namespace

// After the commit a failure takes back what this run put in place, by
// rollback or by the signal cleanup; a file that replaced an output since
// (same path, another file) stays.
TEST(OutputSet, TakingBackLeavesWhatReplacedAnOutput) {
  enum class Undo { kRollBack, kSignalCleanup };
  struct Case {
    const char* label;
    Undo undo;
    bool replace_library;  // another run's library stands there before the undo
  } cases[] = {
      {"rollback", Undo::kRollBack, false},
      {"rollback, library replaced", Undo::kRollBack, true},
      {"signal cleanup", Undo::kSignalCleanup, false},
      {"signal cleanup, library replaced", Undo::kSignalCleanup, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string object = dir.File("out.o"), library = dir.File("lib.a");
    WriteFile(object, std::string("old object"));
    auto staged_object = Staged(object, "new object");
    auto staged_library = Staged(library, "new library");
    OutputSet outputs;
    outputs.Add(*staged_object, [](int error) { return error; });
    outputs.Add(*staged_library, [](int error) { return error; });
    ASSERT_EQ(outputs.CommitAll(), 0) << c.label;
    EXPECT_EQ(Text(object), "new object") << c.label;
    if (c.replace_library) ReplaceByRename(dir, library, "their library");
    if (c.undo == Undo::kRollBack) {
      outputs.RollBack();
    } else {
      RunFatalCleanup();
      outputs.KeepAll();  // forget the entries the cleanup already acted on
    }
    EXPECT_FALSE(FileExists(object)) << c.label;
    if (c.replace_library)
      EXPECT_EQ(Text(library), "their library") << c.label;
    else
      EXPECT_FALSE(FileExists(library)) << c.label;
    EXPECT_TRUE(Leftovers(dir).empty()) << c.label;
  }
}

// A rename that fails (a directory now stands at the library's path) takes
// back the export object already renamed, reports the library's error and
// leaves no temporary file.
TEST(OutputSet, FailedRenameTakesBackTheOutputsBeforeIt) {
  TempDir dir;
  const std::string object = dir.File("out.o"), library = dir.File("lib.a"), depfile = dir.File("out.d");
  auto staged_object = Staged(object, "new object");
  auto staged_library = Staged(library, "new library");
  auto staged_depfile = Staged(depfile, "out.o: a.o\n");
  std::filesystem::create_directories(dir.File("lib.a") + "/inside");
  std::vector<std::string> reported;
  OutputSet outputs;
  outputs.Add(*staged_object, [&](int error) {
    reported.push_back("object");
    return error;
  });
  outputs.Add(*staged_library, [&](int error) {
    reported.push_back("library");
    return error;
  });
  outputs.Add(*staged_depfile, [&](int error) {
    reported.push_back("depfile");
    return error;
  });
  EXPECT_NE(outputs.CommitAll(), 0);
  EXPECT_EQ(reported, std::vector<std::string>{"library"});
  EXPECT_FALSE(FileExists(object));
  EXPECT_FALSE(FileExists(depfile));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("lib.a") + "/inside"));
  EXPECT_TRUE(Leftovers(dir).empty());
}

// The signal cleanup removes every temporary file registered, however many,
// and a staged file's temporary name ends with its target's name.
TEST(OutputSet, SignalCleanupRemovesEveryTemporaryFile) {
  TempDir dir;
  std::vector<std::unique_ptr<StagedFile>> files;
  for (int i = 0; i < 40; ++i) files.push_back(Staged(dir.File("out" + std::to_string(i) + ".o"), "x"));
  EXPECT_TRUE(files[7]->written_path().ends_with(".out7.o")) << files[7]->written_path();
  EXPECT_EQ(Leftovers(dir).size(), 40u);
  RunFatalCleanup();
  EXPECT_TRUE(Leftovers(dir).empty());
  for (auto& file : files) file->Discard();
}
