#include "host/fatal_cleanup.h"

#include <windows.h>

#include <cstring>

#include "host/win32/wide.h"

namespace prepqdm {

namespace {

constexpr int kSlots = 8;
constexpr size_t kPathBytes = 4096;

struct Slot {
  bool used = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  char path[kPathBytes] = {};
};

// The console-control handler runs on a thread of its own, so the lists
// are guarded by a lock that FatalSignalsHeld also takes: the handler waits
// until a file and its entry agree.
struct CleanupState {
  CRITICAL_SECTION lock;
  Slot temporary[kSlots];
  Slot committed[kSlots];
  int64_t child = 0;  // the archiver's process handle
  bool installed = false;
  CleanupState() { InitializeCriticalSection(&lock); }
};

CleanupState& State() {
  static CleanupState state;
  return state;
}

void Put(Slot (&slots)[kSlots], const char* path, uint64_t device, uint64_t inode) {
  if (std::strlen(path) >= kPathBytes) return;
  CleanupState& state = State();
  EnterCriticalSection(&state.lock);
  for (Slot& slot : slots) {
    if (slot.used) continue;
    std::strcpy(slot.path, path);
    slot.device = device;
    slot.inode = inode;
    slot.used = true;
    break;
  }
  LeaveCriticalSection(&state.lock);
}

void Drop(Slot (&slots)[kSlots], const char* path) {
  CleanupState& state = State();
  EnterCriticalSection(&state.lock);
  for (Slot& slot : slots)
    if (slot.used && std::strcmp(slot.path, path) == 0) slot.used = false;
  LeaveCriticalSection(&state.lock);
}

// Ctrl-C, Ctrl-Break, the console window closed, logoff, shutdown: clean up
// and let the default handler end the process.
BOOL WINAPI OnConsoleControl(DWORD) {
  RunFatalCleanup();
  return FALSE;
}

}  // namespace

void InstallFatalSignalCleanup() {
  CleanupState& state = State();
  if (state.installed) return;
  state.installed = true;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void TrackTemporaryFile(const char* path) { Put(State().temporary, path, 0, 0); }
void ForgetTemporaryFile(const char* path) { Drop(State().temporary, path); }
void TrackCommittedFile(const char* path, uint64_t device, uint64_t inode) {
  Put(State().committed, path, device, inode);
}
void ForgetCommittedFile(const char* path) { Drop(State().committed, path); }

void TrackChild(int64_t process) {
  CleanupState& state = State();
  EnterCriticalSection(&state.lock);
  state.child = process;
  LeaveCriticalSection(&state.lock);
}

void ForgetChild() { TrackChild(0); }

void RunFatalCleanup() {
  CleanupState& state = State();
  EnterCriticalSection(&state.lock);
  if (state.child != 0) TerminateProcess(reinterpret_cast<HANDLE>(state.child), 1);
  for (Slot& slot : state.temporary)
    if (slot.used) DeleteFileW(Widen(slot.path).c_str());
  for (Slot& slot : state.committed) {
    if (!slot.used) continue;
    const std::wstring path = Widen(slot.path);
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) continue;
    uint64_t volume = 0, index = 0;
    const bool same = HandleIdentity(handle, &volume, &index) && volume == slot.device && index == slot.inode;
    CloseHandle(handle);
    if (same) DeleteFileW(path.c_str());
  }
  LeaveCriticalSection(&state.lock);
}

FatalSignalsHeld::FatalSignalsHeld() { EnterCriticalSection(&State().lock); }

FatalSignalsHeld::~FatalSignalsHeld() { LeaveCriticalSection(&State().lock); }

}  // namespace prepqdm
