#include "host/process.h"

#include <signal.h>
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
  // The child starts with the signal mask this program had before it held
  // the fatal signals, and with the default action for the signals this
  // program ignores for itself.
  sigset_t unheld;
  pthread_sigmask(SIG_SETMASK, nullptr, &unheld);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setsigmask(&attributes, &unheld);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  // A group of its own, so that a fatal signal stops whatever the archiver
  // started too (a script's own children), not the archiver alone.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid;
  {
    // A fatal signal between the start and the listing would lose the child.
    FatalSignalsHeld held;
    int error = posix_spawnp(&pid, program.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
      run.start_error = error;
      return run;
    }
    TrackChild(pid);
  }
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
