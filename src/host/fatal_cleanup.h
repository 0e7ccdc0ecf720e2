// What a fatal signal must not leave behind: the temporary files of outputs
// being written (however many, whatever their length), the outputs this run
// has committed but may still have to take back, and the archiver, which is
// stopped and waited for before any file is removed, so that nothing it
// writes lands after this program has gone. Signal handlers get no context
// argument, so this state is kept per process; it lives here, behind these
// calls, and nothing outside src/host sees it.
//
// SIGINT, SIGTERM and SIGHUP run the cleanup and then end the process as the
// signal would have. SIGXFSZ and SIGPIPE are ignored, so that a write beyond
// the file size limit or to a FIFO whose reader has gone fails with an errno
// and takes the ordinary failure path.
#pragma once
#include <cstdint>

namespace prepqdm {

void InstallFatalSignalCleanup();

void TrackTemporaryFile(const char* path);
void ForgetTemporaryFile(const char* path);
// Removed on a fatal signal while it is still the file this run put there.
void TrackCommittedFile(const char* path, uint64_t device, uint64_t inode);
void ForgetCommittedFile(const char* path);
void TrackChild(int64_t process);
void ForgetChild();

// Async-signal-safe: stops the child and waits for it (killing it after
// about two seconds), then removes the temporary files and the committed
// ones that are still this run's.
void RunFatalCleanup();

// Holds SIGINT, SIGTERM and SIGHUP back while a file and its entry in the
// lists above change together (created and listed, renamed and listed, the
// archiver started and listed), so that a signal never finds one without the
// other. On Windows it is also the commit lock that the console-control
// handler takes for good.
class FatalSignalsHeld {
 public:
  FatalSignalsHeld();
  ~FatalSignalsHeld();
  FatalSignalsHeld(const FatalSignalsHeld&) = delete;
  FatalSignalsHeld& operator=(const FatalSignalsHeld&) = delete;

 private:
  unsigned char saved_[256];  // the previous signal mask
};

}  // namespace prepqdm
