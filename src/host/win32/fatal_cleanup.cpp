#include "host/fatal_cleanup.h"

#include <windows.h>

#include <string>

#include "host/win32/wide.h"

namespace prepqdm {

namespace {

// One registered file; a path of any length is kept.
struct Entry {
  Entry* next = nullptr;
  bool committed = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  std::string path;
};

// The console-control handler runs on a thread of its own, so the list is
// guarded by a lock that FatalSignalsHeld also takes: the handler waits
// until a file and its entry agree.
struct CleanupState {
  CRITICAL_SECTION lock;
  Entry* entries = nullptr;
  int64_t child = 0;  // the archiver's process handle
  bool installed = false;
  CleanupState() { InitializeCriticalSection(&lock); }
};

CleanupState& State() {
  static CleanupState state;
  return state;
}

void Put(const char* path, bool committed, uint64_t device, uint64_t inode) {
  Entry* entry = new Entry{nullptr, committed, device, inode, path};
  FatalSignalsHeld held;
  entry->next = State().entries;
  State().entries = entry;
}

void Drop(const char* path, bool committed) {
  FatalSignalsHeld held;
  for (Entry** link = &State().entries; *link;) {
    Entry* entry = *link;
    if (entry->committed == committed && entry->path == path) {
      *link = entry->next;
      delete entry;
    } else {
      link = &entry->next;
    }
  }
}

// Ctrl-C, Ctrl-Break, the console window closed, logoff, shutdown: take the
// lock for good, so the main thread renames nothing after the cleanup, clean
// up, and let the default handler end the process.
BOOL WINAPI OnConsoleControl(DWORD) {
  EnterCriticalSection(&State().lock);
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

void TrackTemporaryFile(const char* path) { Put(path, false, 0, 0); }
void ForgetTemporaryFile(const char* path) { Drop(path, false); }
void TrackCommittedFile(const char* path, uint64_t device, uint64_t inode) { Put(path, true, device, inode); }
void ForgetCommittedFile(const char* path) { Drop(path, true); }

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
  if (state.child != 0) {
    // Stopped, and waited for: nothing it writes lands after this.
    HANDLE child = reinterpret_cast<HANDLE>(state.child);
    TerminateProcess(child, 1);
    WaitForSingleObject(child, 2000);
  }
  for (Entry* entry = state.entries; entry; entry = entry->next) {
    const std::wstring path = Widen(entry->path);
    if (!entry->committed) {
      DeleteFileW(path.c_str());
      continue;
    }
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) continue;
    uint64_t volume = 0, index = 0;
    const bool same = HandleIdentity(handle, &volume, &index) && volume == entry->device && index == entry->inode;
    CloseHandle(handle);
    if (same) DeleteFileW(path.c_str());
  }
  LeaveCriticalSection(&state.lock);
}

FatalSignalsHeld::FatalSignalsHeld() { EnterCriticalSection(&State().lock); }

FatalSignalsHeld::~FatalSignalsHeld() { LeaveCriticalSection(&State().lock); }

}  // namespace prepqdm
