// A whole run in-process, over files in the scratch folder. Byte 0 of the
// input picks options (bit 0 -x, 1 -xnot, 2 -xall, 3 -l and -r, 4 -v,
// 5 -warnsti, 6 -warnlinkonce, 7 -log); the rest is the definition file, the
// exclude file and up to four inputs (objects or archives), separated by
// kPartSeparator. The import library is always written without its archive
// member header (-noar), so no archiver process is started. Whatever the run
// decides, every object it leaves behind must parse cleanly, and a run that
// succeeds must have written its export object.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/run_state.h"
#include "harness_support.h"
#include "harnesses.h"

namespace fuzzing {

namespace {

constexpr size_t kMaxInputs = 4;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

int FuzzRun(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  std::vector<std::string_view> parts = SplitParts(data + 1, size - 1);
  const Scratch& scratch = Scratch::Get();
  scratch.Clear();

  const std::string output = scratch.Path("out.o");
  const std::string library = scratch.Path("lib.a");
  std::vector<std::string> args = {"prepqdm", "-o", output, "-noar"};
  if (flags & 0x01) {
    scratch.WriteFile("exports.def", parts[0]);
    args.insert(args.end(), {"-x", scratch.Path("exports.def")});
  }
  if ((flags & 0x02) && parts.size() > 1) {
    scratch.WriteFile("exclude.def", parts[1]);
    args.insert(args.end(), {"-xnot", scratch.Path("exclude.def")});
  }
  if (flags & 0x04) args.push_back("-xall");
  if (flags & 0x08) args.insert(args.end(), {"-l", library, "-r", "Fuzz/Module.QDM"});
  if (flags & 0x10) args.push_back("-v");
  if (flags & 0x20) args.push_back("-warnsti");
  if (flags & 0x40) args.push_back("-warnlinkonce");
  if (flags & 0x80) args.insert(args.end(), {"-log", scratch.Path("run.log")});
  for (size_t i = 2; i < parts.size() && i < 2 + kMaxInputs; ++i) {
    std::string name = "in" + std::to_string(i - 2) + ".o";
    scratch.WriteFile(name, parts[i]);
    args.push_back(scratch.Path(name));
  }

  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::string console;
  ShowConsoleAtEnd show{"run", console};
  prepqdm::Status status;
  {
    prepqdm::RunState run;
    run.console = prepqdm::Sink{nullptr, &console};
    status = prepqdm::RunPrepqdm(run, static_cast<int>(args.size()), argv.data());
  }
  console += "[status " + std::to_string(status) + "]\n";
  if (status == 0 && !Exists(output)) Finding("run succeeded without its export object", output, console);
  if (Exists(output)) CheckGeneratedObject(output, console);
  if (Exists(library)) CheckGeneratedObject(library, console);
  return 0;
}

}  // namespace fuzzing
