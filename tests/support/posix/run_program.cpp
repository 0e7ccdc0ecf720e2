#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/run_support.h"
#include "support/temp_dir.h"

extern char** environ;

namespace testsupport {

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

  std::vector<std::string> arg_storage;
  arg_storage.push_back(program);
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
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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
  return result;
}

}  // namespace testsupport
