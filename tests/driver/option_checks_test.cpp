#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "driver/option_checks.h"
#include "support/temp_dir.h"

using namespace prepqdm;
using testsupport::TempDir;
using testsupport::WriteFile;

// Every output is checked against every file the run reads and against the
// other outputs; the first collision found is refused with its roles named.
TEST(OptionChecks, EachOutputCollisionIsRefused) {
  TempDir dir;
  for (const char* name : {"in.o", "e.def", "x.txt", "r.rsp", "out.d", "other"}) WriteFile(dir.File(name), "x");
  const std::string in = dir.File("in.o"), def = dir.File("e.def"), exclude = dir.File("x.txt"),
                    response = dir.File("r.rsp"), depfile = dir.File("out.d"), other = dir.File("other");
  struct Case {
    const char* label;
    std::string output, library, log, dependency;
    std::string message;  // empty: no collision
  } cases[] = {
      {"none", dir.File("out.o"), dir.File("lib.a"), dir.File("x.log"), depfile, ""},
      {"library is the response file", dir.File("out.o"), response, "", "",
       "Import library \"" + response + "\" is also a response file"},
      {"output is the exclude file", exclude, "", "", "", "Output file \"" + exclude + "\" is also the exclude file"},
      {"dependency file is the exclude file", dir.File("out.o"), "", "", exclude,
       "Dependency file \"" + exclude + "\" is also the exclude file"},
      {"log is the dependency file", dir.File("out.o"), "", depfile, depfile,
       "Log file \"" + depfile + "\" is also the dependency file"},
      {"dependency file is the response file", dir.File("out.o"), "", "", response,
       "Dependency file \"" + response + "\" is also a response file"},
      {"library is the dependency file", dir.File("out.o"), depfile, "", depfile,
       "Import library \"" + depfile + "\" is also the dependency file"},
      {"dependency file is the definition file", dir.File("out.o"), "", "", def,
       "Dependency file \"" + def + "\" is also the definition file"},
      {"output is the response file", response, "", "", "", "Output file \"" + response + "\" is also a response file"},
      {"dependency file is an input", dir.File("out.o"), "", "", in, "Dependency file \"" + in + "\" is also an input"},
  };
  MappedFile input;
  input.path = in;
  const std::vector<MappedFile*> inputs{&input};
  for (const Case& c : cases) {
    Options options;
    options.output_path = c.output;
    if (!c.library.empty()) options.import_library_path = c.library;
    if (!c.log.empty()) options.log_path = c.log;
    if (!c.dependency.empty()) options.depfile_path = c.dependency;
    options.def_path = def;
    options.exclude_path = exclude;
    std::optional<OptionFailure> failure = CheckOutputFiles(options, inputs, {other, response});
    if (c.message.empty()) {
      EXPECT_FALSE(failure) << c.label << ": " << failure->line;
    } else {
      ASSERT_TRUE(failure) << c.label;
      EXPECT_EQ(failure->line, "***Error: " + c.message + ". Return -1.\n") << c.label;
    }
  }
  // A mapped input is known by the identity its mapping took: another name
  // of the same file collides with it too.
  std::filesystem::create_hard_link(in, dir.File("in-link.d"));
  Mappings mappings;
  MappedFile* mapped = nullptr;
  ASSERT_EQ(MapFile(mappings, in, &mapped), kOk);
  Options options;
  options.output_path = dir.File("out.o");
  options.depfile_path = dir.File("in-link.d");
  std::optional<OptionFailure> failure = CheckOutputFiles(options, {mapped}, {});
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->line, "***Error: Dependency file \"" + dir.File("in-link.d") + "\" is also an input. Return -1.\n");
  ReleaseMappedFile(mapped);
}
