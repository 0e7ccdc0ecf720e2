#include "host/process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "host/fatal_cleanup.h"

extern char** environ;

namespace prepqdm {

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> storage;
  storage.reserve(arguments.size() + 1);
  storage.push_back(program);
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ProgramRun run;
  InstallFatalSignalCleanup();
  pid_t pid;
  if (int error = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ)) {
    run.start_error = error;
    return run;
  }
  TrackChild(pid);
  int wstatus = 0;
  int waited;
  while ((waited = waitpid(pid, &wstatus, 0)) < 0 && errno == EINTR) {
  }
  ForgetChild();
  if (waited < 0) return run;
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus)) run.status = 128 + WTERMSIG(wstatus);
  return run;
}

}  // namespace prepqdm
