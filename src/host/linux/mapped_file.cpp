#include "host/mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "host/fatal_cleanup.h"
#include "host/paths.h"

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
    if (file->give_backs != nullptr) file->give_backs->Flush();
    if (file->view) munmap(file->view, file->size);
    if (file->handle >= 0) close(static_cast<int>(file->handle));
    delete file;
  }
}

Status MapFile(Mappings& mappings, const std::string& name, MappedFile** out) {
  if (!out || name.empty()) return kEUnexpected;
  *out = nullptr;
  InstallBusErrorHandler();
  const std::string opened = OpenableName(name);
  // O_NONBLOCK: opening a FIFO must not wait for a writer (it is then
  // refused as not a regular file); it changes nothing for regular files.
  int fd = open(opened.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    // A missing directory on the way is a different failure from a missing
    // file, as callers show the status to the user.
    if (error == ENOENT) {
      size_t slash = opened.find_last_of('/');
      if (slash != std::string::npos && slash != 0) {
        struct stat dir;
        if (stat(opened.substr(0, slash).c_str(), &dir) != 0) return kEPathNotFound;
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

namespace {

// The page-aligned range ReleaseResidentPages gives back; false when there is
// none.
bool PagesToGiveBack(const MappedFile& file, const uint8_t* begin, uint64_t length, uintptr_t* from,
                     uintptr_t* to) {
  if (file.written || !file.file_backed || file.view == nullptr || length == 0 || begin == nullptr) return false;
  long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return false;
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
  if (first >= last) return false;
  // Whole blocks, clipped to the view: both ends stay on page boundaries.
  *from = std::max(view_begin, first & ~(block - 1));
  *to = std::min(view_end, (last + block - 1) & ~(block - 1));
  return true;
}

// Only advice: a failure leaves the pages resident, which changes nothing.
void GiveBack(uintptr_t first, uintptr_t last) {
  madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

// Linux 5.14; older C library headers may not name them.
#ifndef MADV_POPULATE_READ
constexpr int MADV_POPULATE_READ = 22;
#endif
#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;
#endif

void Populate(const MappedFile& file, const uint8_t* begin, uint64_t length, int advice) {
  if (!file.file_backed || file.view == nullptr || begin == nullptr || length == 0 || length > kPrefaultBytes) return;
  const uintptr_t view_begin = reinterpret_cast<uintptr_t>(file.view);
  const uintptr_t at = reinterpret_cast<uintptr_t>(begin);
  if (at < view_begin || at - view_begin >= file.size || length > file.size - (at - view_begin)) return;
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const uintptr_t page = static_cast<uintptr_t>(page_size);
  const uintptr_t first = at & ~(page - 1);
  const uintptr_t last = (at + length + page - 1) & ~(page - 1);
  // Only advice: where it is not known, the pages fault in as before.
  madvise(reinterpret_cast<void*>(first), last - first, advice);
}

}  // namespace

void PrefaultPages(const MappedFile& file, const uint8_t* begin, uint64_t length) {
  Populate(file, begin, length, MADV_POPULATE_READ);
}

void PrefaultPagesForWriting(const MappedFile& file, const uint8_t* begin, uint64_t length) {
  Populate(file, begin, length, MADV_POPULATE_WRITE);
}

bool InputResidency::MapsAhead(uint64_t length) { return length <= kPrefaultBytes; }

void InputResidency::BeforeReading(const MappedFile& file, const uint8_t* begin, uint64_t length,
                                   const Ranges& rewritten) {
  if (!MapsAhead(length)) return;
  if (!rewritten.empty()) {
    // Whole pages, each run of them in one call.
    constexpr uint64_t kPage = 4096;
    Ranges sorted = rewritten;
    std::sort(sorted.begin(), sorted.end());
    uint64_t run_begin = 0, run_end = 0;
    for (const auto& [first_byte, end_byte] : sorted) {
      const uint64_t first = first_byte / kPage * kPage, last = (end_byte + kPage - 1) / kPage * kPage;
      if (first > run_end) {
        if (run_end > run_begin) PrefaultPagesForWriting(file, begin + run_begin, run_end - run_begin);
        run_begin = first;
      }
      run_end = std::max(run_end, last);
    }
    run_end = std::min(run_end, length);
    if (run_end > run_begin) PrefaultPagesForWriting(file, begin + run_begin, run_end - run_begin);
  }
  PrefaultPages(file, begin, length);
}

bool ReadFileAt(const MappedFile& file, uint64_t offset, void* buffer, size_t length) {
  if (file.handle < 0 || offset > file.size || length > file.size - offset) return false;
  uint8_t* to = static_cast<uint8_t*>(buffer);
  while (length != 0) {
    const ssize_t got = pread(static_cast<int>(file.handle), to, length, static_cast<off_t>(offset));
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
    to += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return true;
}

void ReleaseResidentPages(MappedFile& file, const uint8_t* begin, uint64_t length) {
  uintptr_t first, last;
  if (PagesToGiveBack(file, begin, length, &first, &last)) GiveBack(first, last);
}

PageGiveBacks::~PageGiveBacks() {
  Flush();
  if (self >= 0) close(self);
}

void PageGiveBacks::Add(MappedFile& file, const uint8_t* begin, uint64_t length) {
  uintptr_t first, last;
  if (!PagesToGiveBack(file, begin, length, &first, &last)) return;
  if (!queued.empty() && queued.back().file == &file && first <= queued.back().last && last >= queued.back().first) {
    Range& joined = queued.back();
    const uintptr_t before = joined.last - joined.first;
    joined.first = std::min(joined.first, first);
    joined.last = std::max(joined.last, last);
    queued_bytes += (joined.last - joined.first) - before;
  } else {
    // A view is in one queue at a time.
    if (file.give_backs != nullptr && file.give_backs != this) file.give_backs->Flush();
    try {
      queued.reserve(kMostRanges);
      queued.push_back(Range{&file, first, last});
    } catch (const std::bad_alloc&) {
      GiveBack(first, last);
      return;
    }
    file.give_backs = this;
    queued_bytes += last - first;
  }
  if (queued_bytes >= kQueuedBytes || queued.size() >= kMostRanges) Flush();
}

void PageGiveBacks::Flush() {
  if (queued.empty()) return;
  iovec ranges[kMostRanges];
  size_t count = 0;
  uint64_t bytes = 0;
  for (const Range& range : queued) {
    // A view written since it was queued now holds the only copy of its bytes.
    if (range.file->written) continue;
    ranges[count].iov_base = reinterpret_cast<void*>(range.first);
    ranges[count].iov_len = range.last - range.first;
    bytes += ranges[count].iov_len;
    ++count;
  }
  bool done = count == 0;
  // One call for all ranges, one TLB flush (Linux 6.13 and later; older
  // kernels refuse this advice here and get one call per range).
#if defined(SYS_process_madvise) && defined(SYS_pidfd_open)
  if (count > 1 && self != -2) {
    if (self < 0) {
      self = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
      if (self < 0) self = -2;
    }
    if (self >= 0) {
      const long advised = syscall(SYS_process_madvise, self, ranges, count, MADV_DONTNEED, 0);
      done = advised == static_cast<long>(bytes);
      if (advised < 0 && (errno == EINVAL || errno == ENOSYS || errno == EPERM)) {
        close(self);
        self = -2;
      }
    }
  }
#endif
  if (!done) {
    for (size_t i = 0; i < count; ++i) {
      const uintptr_t first = reinterpret_cast<uintptr_t>(ranges[i].iov_base);
      GiveBack(first, first + ranges[i].iov_len);
    }
  }
  for (const Range& range : queued) range.file->give_backs = nullptr;
  queued.clear();
  queued_bytes = 0;
}

void RetainMappedFile(MappedFile* file) { file->reference_count.fetch_add(1); }

int32_t ReleaseMappedFile(MappedFile* file) {
  int32_t remaining = file->reference_count.fetch_sub(1) - 1;
  if (remaining != 0) return remaining;
  if (file->give_backs != nullptr) file->give_backs->Flush();
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
  const std::string opened = OpenableName(path);
  struct stat st;
  if (stat(opened.c_str(), &st) == 0) {
    for (const MappedFile* file : mappings.live) {
      if (file->device == static_cast<uint64_t>(st.st_dev) &&
          file->inode == static_cast<uint64_t>(st.st_ino)) {
        errno = EBUSY;
        return nullptr;
      }
    }
  }
  return fopen(opened.c_str(), mode);
}

}  // namespace prepqdm
