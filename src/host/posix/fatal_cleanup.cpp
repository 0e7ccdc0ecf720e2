#include "host/fatal_cleanup.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace prepqdm {

namespace {

constexpr int kSlots = 8;
constexpr size_t kPathBytes = 4096;

struct Slot {
  volatile sig_atomic_t used = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  char path[kPathBytes] = {};
};

struct CleanupState {
  Slot temporary[kSlots];
  Slot committed[kSlots];
  volatile sig_atomic_t child = 0;
  bool installed = false;
};

CleanupState& State() {
  static constinit CleanupState state;
  return state;
}

void Put(Slot (&slots)[kSlots], const char* path, uint64_t device, uint64_t inode) {
  if (std::strlen(path) >= kPathBytes) return;
  for (Slot& slot : slots) {
    if (slot.used) continue;
    std::strcpy(slot.path, path);
    slot.device = device;
    slot.inode = inode;
    slot.used = 1;
    return;
  }
}

void Drop(Slot (&slots)[kSlots], const char* path) {
  for (Slot& slot : slots)
    if (slot.used && std::strcmp(slot.path, path) == 0) slot.used = 0;
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
}

void TrackTemporaryFile(const char* path) { Put(State().temporary, path, 0, 0); }
void ForgetTemporaryFile(const char* path) { Drop(State().temporary, path); }
void TrackCommittedFile(const char* path, uint64_t device, uint64_t inode) {
  Put(State().committed, path, device, inode);
}
void ForgetCommittedFile(const char* path) { Drop(State().committed, path); }
void TrackChild(int64_t process) { State().child = static_cast<sig_atomic_t>(process); }
void ForgetChild() { State().child = 0; }

void RunFatalCleanup() {
  CleanupState& state = State();
  if (state.child > 0) ::kill(static_cast<pid_t>(state.child), SIGTERM);
  for (Slot& slot : state.temporary)
    if (slot.used) ::unlink(slot.path);
  for (Slot& slot : state.committed) {
    struct stat st;
    if (slot.used && ::lstat(slot.path, &st) == 0 && static_cast<uint64_t>(st.st_dev) == slot.device &&
        static_cast<uint64_t>(st.st_ino) == slot.inode)
      ::unlink(slot.path);
  }
}

FatalSignalsHeld::FatalSignalsHeld() {
  static_assert(sizeof saved_ >= sizeof(sigset_t));
  sigset_t held;
  sigemptyset(&held);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal_number);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &held, &previous);
  std::memcpy(saved_, &previous, sizeof previous);
}

FatalSignalsHeld::~FatalSignalsHeld() {
  sigset_t previous;
  std::memcpy(&previous, saved_, sizeof previous);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace prepqdm
