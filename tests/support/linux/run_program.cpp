#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "elf/elf_format.h"
#include "support/run_support.h"
#include "support/temp_dir.h"

extern char** environ;

namespace testsupport {

namespace {

// The Windows flavour's end-to-end run: with PREPQDM_TEST_LAUNCHER (wine)
// and PREPQDM_TEST_PROGRAMS (the Windows build's folder) set, a program of
// this build (prepqdm, qdmdump, ax) is replaced by its .exe there, started
// through the launcher, and an environment value naming this build's folder
// (TOOLCHAIN_ROOT) names that folder instead. What it prints is brought to
// the Linux spelling before the test compares it: LF line ends, and every
// Z:\... path written with '/' and without the drive (a Z:/... path, as the
// dependency file spells it, loses the drive too).
struct Launch {
  std::string launcher;
  std::string programs;  // the Windows build's folder
  std::string here;      // this build's folder
};

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::optional<Launch> LaunchFor(const std::string& program) {
  const char* launcher = std::getenv("PREPQDM_TEST_LAUNCHER");
  const char* programs = std::getenv("PREPQDM_TEST_PROGRAMS");
  if (!launcher || !*launcher || !programs || !*programs) return std::nullopt;
  const std::string here = Folder(PREPQDM_BINARY);
  if (program.find('/') == std::string::npos || Folder(program) != here) return std::nullopt;
  return Launch{launcher, programs, here};
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string LinuxSpelling(std::string text, const Launch& launch) {
  ReplaceAll(text, "\r\n", "\n");
  for (size_t at = text.find("Z:\\"); at != std::string::npos; at = text.find("Z:\\", at)) {
    text.erase(at, 2);
    for (; at < text.size() && std::strchr("\"\n\t ", text[at]) == nullptr; ++at)
      if (text[at] == '\\') text[at] = '/';
  }
  ReplaceAll(text, "Z:/", "/");
  for (const char* name : {"prepqdm", "qdmdump", "ax"})
    ReplaceAll(text, launch.programs + "/" + name + ".exe", launch.here + "/" + name);
  // The separator that Windows puts after a TOOLCHAIN_ROOT such as /work/build.
  ReplaceAll(text, launch.programs + "\\ax", launch.here + "/ax");
  return text;
}

}  // namespace

namespace {

// This process's environment with `env`'s additions and removals.
std::vector<std::string> Environment(const std::vector<std::string>& env) {
  std::vector<std::string> storage;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& add : env)
      if (add.substr(0, add.find('=')) == name) overridden = true;
    if (!overridden) storage.push_back(entry);
  }
  for (const std::string& add : env)
    if (add.find('=') != std::string::npos) storage.push_back(add);
  return storage;
}

ProcessResult Spawn(std::vector<std::string> arguments, std::vector<std::string> environment, const std::string& cwd) {
  TempDir capture;
  std::string out_path = capture.File("stdout");
  std::string err_path = capture.File("stderr");
  std::vector<char*> envp;
  for (std::string& s : environment) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& s : arguments) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid;
  int rc = posix_spawnp(&pid, arguments[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + arguments[0] + ": " + strerror(rc));
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ProcessResult result;
  result.exit_code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  auto slurp = [](const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
  };
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  return result;
}

bool IsObjectOrArchive(const std::vector<uint8_t>& bytes) {
  return prepqdm::HasElfMagic(bytes.data(), bytes.size()) ||
         (bytes.size() >= 8 && std::memcmp(bytes.data(), "!<arch>\n", 8) == 0);
}

// Every ELF object and archive that the Linux run left in `twin` must be
// byte for byte the one the Windows run left at the same place in `cwd`.
void CompareOutputs(const std::string& twin, const std::string& cwd, const std::vector<std::string>& args) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(twin, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const fs::path relative = fs::relative(it->path(), twin, ec);
    std::vector<uint8_t> linux_bytes = ReadFile(it->path().string());
    if (!IsObjectOrArchive(linux_bytes)) continue;
    std::vector<uint8_t> windows_bytes = ReadFile((fs::path(cwd) / relative).string());
    if (windows_bytes != linux_bytes) {
      std::string command;
      for (const std::string& arg : args) command += " " + arg;
      ADD_FAILURE() << relative.string() << " differs between the Linux and the Windows run of" << command;
    }
  }
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env) {
  const std::optional<Launch> launch = LaunchFor(program);
  if (!launch) {
    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), args.begin(), args.end());
    return Spawn(arguments, Environment(env), cwd);
  }
  // Both runs date the import library alike unless the test chooses.
  std::vector<std::string> settings = env;
  if (std::none_of(env.begin(), env.end(), [](const std::string& e) { return e.rfind("SOURCE_DATE_EPOCH", 0) == 0; }))
    settings.push_back("SOURCE_DATE_EPOCH=1700000000");

  // The same command with this build's program first, in a copy of the
  // working directory (paths into it follow it there).
  TempDir copy;
  const std::string twin = copy.File("w");
  std::error_code ec;
  std::filesystem::copy(cwd, twin, std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, ec);
  const bool compare = !ec;
  if (compare) {
    std::vector<std::string> arguments{program};
    for (std::string arg : args) {
      if (arg.compare(0, cwd.size(), cwd) == 0) arg = twin + arg.substr(cwd.size());
      arguments.push_back(arg);
    }
    Spawn(arguments, Environment(settings), twin);
  }

  std::vector<std::string> environment = Environment(settings);
  for (std::string& entry : environment) {
    const size_t equals = entry.find('=');
    if (equals != std::string::npos && entry.compare(equals + 1, std::string::npos, launch->here) == 0)
      entry = entry.substr(0, equals + 1) + launch->programs;
  }
  std::vector<std::string> arguments{launch->launcher, launch->programs + program.substr(launch->here.size()) + ".exe"};
  arguments.insert(arguments.end(), args.begin(), args.end());
  ProcessResult result = Spawn(arguments, environment, cwd);
  result.out = LinuxSpelling(result.out, *launch);
  result.err = LinuxSpelling(result.err, *launch);
  if (compare) CompareOutputs(twin, cwd, args);
  return result;
}

std::string WrittenText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  std::string text(bytes.begin(), bytes.end());
  const std::optional<Launch> launch = LaunchFor(PREPQDM_BINARY);
  return launch ? LinuxSpelling(text, *launch) : text;
}

}  // namespace testsupport
