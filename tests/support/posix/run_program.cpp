#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

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
// Z:\... path written with '/' and without the drive.
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
  for (const char* name : {"prepqdm", "qdmdump", "ax"})
    ReplaceAll(text, launch.programs + "/" + name + ".exe", launch.here + "/" + name);
  // The separator that Windows puts after a TOOLCHAIN_ROOT such as /work/build.
  ReplaceAll(text, launch.programs + "\\ax", launch.here + "/ax");
  return text;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env) {
  TempDir capture;
  std::string out_path = capture.File("stdout");
  std::string err_path = capture.File("stderr");

  std::vector<std::string> env_storage;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& add : env)
      if (add.substr(0, add.find('=')) == name) overridden = true;
    if (!overridden) env_storage.push_back(entry);
  }
  for (const std::string& add : env)
    if (add.find('=') != std::string::npos) env_storage.push_back(add);
  std::vector<char*> envp;
  for (std::string& s : env_storage) envp.push_back(s.data());
  envp.push_back(nullptr);

  const std::optional<Launch> launch = LaunchFor(program);
  if (launch) {
    for (std::string& entry : env_storage)
      if (entry.size() > launch->here.size() && entry.compare(entry.size() - launch->here.size(), std::string::npos,
                                                              launch->here) == 0 &&
          entry[entry.size() - launch->here.size() - 1] == '=')
        entry = entry.substr(0, entry.size() - launch->here.size()) + launch->programs;
  }
  std::vector<std::string> arg_storage;
  if (launch) {
    arg_storage.push_back(launch->launcher);
    arg_storage.push_back(launch->programs + program.substr(launch->here.size()) + ".exe");
  } else {
    arg_storage.push_back(program);
  }
  arg_storage.insert(arg_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : arg_storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid;
  int rc = posix_spawnp(&pid, arg_storage[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + strerror(rc));
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
  if (launch) {
    result.out = LinuxSpelling(result.out, *launch);
    result.err = LinuxSpelling(result.err, *launch);
  }
  return result;
}

std::string WrittenText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFile(path);
  std::string text(bytes.begin(), bytes.end());
  const std::optional<Launch> launch = LaunchFor(PREPQDM_BINARY);
  return launch ? LinuxSpelling(text, *launch) : text;
}

}  // namespace testsupport
