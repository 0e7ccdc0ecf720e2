#include "host/mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "host/fatal_cleanup.h"

namespace prepqdm {

namespace {

// The live sets, for the fault handler, which gets no context.
Mappings*& FirstSet() {
  static constinit Mappings* first = nullptr;
  return first;
}

void WriteText(const char* text, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(STDOUT_FILENO, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// Only async-signal-safe work: find the view, say which file it was, clean
// up, end the run with status -1.
void OnBusError(int signal_number, siginfo_t* info, void*) {
  const uint8_t* address = static_cast<const uint8_t*>(info->si_addr);
  for (Mappings* set = FirstSet(); set != nullptr; set = set->next_set) {
    for (const MappedFile* file : set->live) {
      if (file->view == nullptr || address < file->view || address >= file->view + file->size) continue;
      static constexpr char kHead[] = "***Error: File \"";
      static constexpr char kTail[] = "\" became shorter while it was being read. Return -1.\n";
      WriteText(kHead, sizeof kHead - 1);
      WriteText(file->path.data(), file->path.size());
      WriteText(kTail, sizeof kTail - 1);
      RunFatalCleanup();
      _exit(255);
    }
  }
  // Not a view of this program: the signal's own action.
  ::signal(signal_number, SIG_DFL);
}

void InstallBusErrorHandler() {
  static constinit bool installed = false;
  if (installed) return;
  installed = true;
  InstallFatalSignalCleanup();
  struct sigaction action = {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

}  // namespace

Mappings::Mappings() {
  next_set = FirstSet();
  if (next_set) next_set->previous_set = this;
  FirstSet() = this;
}

Mappings::~Mappings() {
  if (previous_set) previous_set->next_set = next_set;
  else FirstSet() = next_set;
  if (next_set) next_set->previous_set = previous_set;
  // Records still alive at the end of a run are torn down with it.
  for (MappedFile* file : live) {
    if (file->view) munmap(file->view, file->size);
    if (file->handle >= 0) close(static_cast<int>(file->handle));
    delete file;
  }
}

Status MapFile(Mappings& mappings, const std::string& name, MappedFile** out) {
  if (!out || name.empty()) return kEUnexpected;
  *out = nullptr;
  InstallBusErrorHandler();
  // O_NONBLOCK: opening a FIFO must not wait for a writer (it is then
  // refused as not a regular file); it changes nothing for regular files.
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    // A missing directory on the way is a different failure from a missing
    // file, as callers show the status to the user.
    if (error == ENOENT) {
      size_t slash = name.find_last_of('/');
      if (slash != std::string::npos && slash != 0) {
        struct stat dir;
        if (stat(name.substr(0, slash).c_str(), &dir) != 0) return kEPathNotFound;
      }
    }
    return StatusFromErrno(error);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return StatusFromErrno(error);
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return kEAccessDenied;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size == 0 || (size >> 32) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kEFail;
  }
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  if (view == MAP_FAILED) {
    int error = errno;
    close(fd);
    return error == ENOMEM ? kEOutOfMemory : kEFail;
  }
  MappedFile* file = new (std::nothrow) MappedFile;
  if (!file) {
    munmap(view, size);
    close(fd);
    return kEOutOfMemory;
  }
  file->path = name;
  file->handle = fd;
  file->size = size;
  file->view = static_cast<uint8_t*>(view);
  file->device = static_cast<uint64_t>(st.st_dev);
  file->inode = static_cast<uint64_t>(st.st_ino);
  file->owner = &mappings;
  file->file_backed = true;
  mappings.live.push_back(file);
  *out = file;
  return kOk;
}

// A read fault on a file mapping maps the other cached pages of its aligned
// block as well (64 KiB by default), so reading a range brings back the rest
// of the blocks it lies in, neighbouring archive members included. Those
// pages are dropped with the range, or they would stay for the whole run.
constexpr uintptr_t kFaultAroundBytes = 64 * 1024;

void ReleaseResidentPages(MappedFile& file, const uint8_t* begin, uint64_t length) {
  if (file.written || !file.file_backed || file.view == nullptr || length == 0 || begin == nullptr) return;
  long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  uintptr_t page = static_cast<uintptr_t>(page_size);
  uintptr_t block = std::max(page, kFaultAroundBytes);
  uintptr_t view_begin = reinterpret_cast<uintptr_t>(file.view);
  // mmap returns a page-aligned view and maps whole pages, so the page that
  // holds the last byte of the file is still inside the mapping.
  uintptr_t view_end = view_begin + ((file.size + page - 1) & ~static_cast<uint64_t>(page - 1));
  uintptr_t first = reinterpret_cast<uintptr_t>(begin);
  uintptr_t last = length > UINTPTR_MAX - first ? UINTPTR_MAX : first + static_cast<uintptr_t>(length);
  first = std::max(first, view_begin);
  last = std::min(last, view_end);
  if (first >= last) return;
  // Whole blocks, clipped to the view: both ends stay on page boundaries.
  first = std::max(view_begin, first & ~(block - 1));
  last = std::min(view_end, (last + block - 1) & ~(block - 1));
  // Only advice: a failure leaves the pages resident, which changes nothing.
  madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void RetainMappedFile(MappedFile* file) { file->reference_count.fetch_add(1); }

int32_t ReleaseMappedFile(MappedFile* file) {
  int32_t remaining = file->reference_count.fetch_sub(1) - 1;
  if (remaining != 0) return remaining;
  munmap(file->view, file->size);
  close(static_cast<int>(file->handle));
  if (Mappings* owner = file->owner) {
    auto it = std::find(owner->live.begin(), owner->live.end(), file);
    if (it != owner->live.end()) owner->live.erase(it);
  }
  delete file;
  return 0;
}

FILE* OpenForWrite(const Mappings& mappings, const std::string& path, const char* mode) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    for (const MappedFile* file : mappings.live) {
      if (file->device == static_cast<uint64_t>(st.st_dev) &&
          file->inode == static_cast<uint64_t>(st.st_ino)) {
        errno = EBUSY;
        return nullptr;
      }
    }
  }
  return fopen(path.c_str(), mode);
}

}  // namespace prepqdm
