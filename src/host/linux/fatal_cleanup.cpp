#include "host/fatal_cleanup.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

namespace prepqdm {

namespace {

// One registered file. Entries are made and unlinked with the fatal signals
// held, so the handler only ever walks a whole list; a path of any length is
// kept.
struct Entry {
  Entry* next = nullptr;
  bool committed = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  char* path = nullptr;
};

struct CleanupState {
  Entry* entries = nullptr;
  volatile sig_atomic_t child = 0;
  bool installed = false;
};

CleanupState& State() {
  static constinit CleanupState state;
  return state;
}

void Put(const char* path, bool committed, uint64_t device, uint64_t inode) {
  const size_t length = std::strlen(path);
  Entry* entry = new Entry;
  entry->path = new char[length + 1];
  std::memcpy(entry->path, path, length + 1);
  entry->committed = committed;
  entry->device = device;
  entry->inode = inode;
  FatalSignalsHeld held;
  entry->next = State().entries;
  State().entries = entry;
}

void Drop(const char* path, bool committed) {
  Entry* dropped = nullptr;
  {
    FatalSignalsHeld held;
    for (Entry** link = &State().entries; *link;) {
      Entry* entry = *link;
      if (entry->committed == committed && std::strcmp(entry->path, path) == 0) {
        *link = entry->next;
        entry->next = dropped;
        dropped = entry;
      } else {
        link = &entry->next;
      }
    }
  }
  while (dropped) {
    Entry* next = dropped->next;
    delete[] dropped->path;
    delete dropped;
    dropped = next;
  }
}

// Asks the archiver (and what it started: it leads a process group of its
// own) to stop and waits for it, so that nothing it writes lands after this
// program has gone; whatever of the group is left after about two seconds,
// or after the archiver has ended, is killed.
void StopChild(pid_t child) {
  ::kill(-child, SIGTERM);
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < 200 && !ended; ++waited) {
    if (::waitpid(child, &status, WNOHANG) != 0) {
      ended = true;
      break;
    }
    struct timespec pause = {0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  ::kill(-child, SIGKILL);
  if (!ended) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void OnFatalSignal(int signal_number) {
  RunFatalCleanup();
  // End as the signal would have: the parent sees the same status.
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void InstallFatalSignalCleanup() {
  CleanupState& state = State();
  if (state.installed) return;
  state.installed = true;
  struct sigaction action = {};
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous = {};
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
  // A reader that goes away (a FIFO target) makes the write fail with EPIPE,
  // reported like any failed write, instead of killing the run uncleaned.
  ::signal(SIGPIPE, SIG_IGN);
}

void TrackTemporaryFile(const char* path) { Put(path, false, 0, 0); }
void ForgetTemporaryFile(const char* path) { Drop(path, false); }
void TrackCommittedFile(const char* path, uint64_t device, uint64_t inode) { Put(path, true, device, inode); }
void ForgetCommittedFile(const char* path) { Drop(path, true); }
void TrackChild(int64_t process) { State().child = static_cast<sig_atomic_t>(process); }
void ForgetChild() { State().child = 0; }

void RunFatalCleanup() {
  const int saved_errno = errno;
  CleanupState& state = State();
  if (state.child > 0) {
    StopChild(static_cast<pid_t>(state.child));
    state.child = 0;
  }
  for (Entry* entry = state.entries; entry; entry = entry->next) {
    if (!entry->committed) {
      ::unlink(entry->path);
      continue;
    }
    struct stat st;
    if (::lstat(entry->path, &st) == 0 && static_cast<uint64_t>(st.st_dev) == entry->device &&
        static_cast<uint64_t>(st.st_ino) == entry->inode)
      ::unlink(entry->path);
  }
  errno = saved_errno;
}

FatalSignalsHeld::FatalSignalsHeld() {
  static_assert(sizeof saved_ >= sizeof(sigset_t));
  sigset_t held;
  sigemptyset(&held);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal_number);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &held, &previous);
  std::memcpy(saved_, &previous, sizeof previous);
}

FatalSignalsHeld::~FatalSignalsHeld() {
  sigset_t previous;
  std::memcpy(&previous, saved_, sizeof previous);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace prepqdm
