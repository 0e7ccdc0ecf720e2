#include "host/mapped_file.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "host/fatal_cleanup.h"
#include "host/output.h"
#include "host/win32/wide.h"

namespace prepqdm {

// Read sharing only keeps every other process from writing, truncating or
// deleting a file while it is mapped, so no view can lose its pages here and
// no fault handler is needed.
Mappings::Mappings() = default;

namespace {

void TearDown(MappedFile* file) {
  if (file->view) UnmapViewOfFile(file->view);
  if (file->mapping) CloseHandle(reinterpret_cast<HANDLE>(file->mapping));
  if (file->handle != -1) CloseHandle(reinterpret_cast<HANDLE>(file->handle));
}

}  // namespace

Mappings::~Mappings() {
  for (MappedFile* file : live) {
    TearDown(file);
    delete file;
  }
}

Status MapFile(Mappings& mappings, const std::string& name, MappedFile** out) {
  if (!out || name.empty()) return kEUnexpected;
  *out = nullptr;
  HANDLE handle = CreateFileW(Widen(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return StatusFromSystemError(GetLastError());
  // Each query is a trip into the kernel and through the file system's
  // filters: the run needs the size and the file index, and the volume
  // serial number only when an index agrees with another file's (SameFile).
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) {
    Status status = StatusFromSystemError(GetLastError());
    CloseHandle(handle);
    return status;
  }
  const uint64_t bytes = static_cast<uint64_t>(size.QuadPart);
  // An empty file is refused, and so is anything but a disk file (a pipe, a
  // device) when CreateFileMappingW refuses it: the same failure.
  if ((bytes >> 32) != 0 || bytes == 0) {
    CloseHandle(handle);
    return kEFail;
  }
  HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_WRITECOPY, 0, static_cast<DWORD>(bytes), nullptr);
  if (!mapping) {
    CloseHandle(handle);
    return kEFail;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0);
  if (!view) {
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    CloseHandle(handle);
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_COMMITMENT_LIMIT ? kEOutOfMemory : kEFail;
  }
  MappedFile* file = new (std::nothrow) MappedFile;
  if (!file) {
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(handle);
    return kEOutOfMemory;
  }
  file->path = name;
  file->handle = reinterpret_cast<int64_t>(handle);
  file->mapping = reinterpret_cast<int64_t>(mapping);
  file->size = bytes;
  file->view = static_cast<uint8_t*>(view);
  file->inode = FileIndex(handle);
  file->owner = &mappings;
  file->file_backed = true;
  mappings.live.push_back(file);
  *out = file;
  return kOk;
}

namespace {

// A view given back whole is unmapped and mapped again where it was, which
// takes its pages out of the process on every host: VirtualUnlock does that
// on Windows, but under Wine it changes nothing. The new view holds the same
// bytes, since the old one was never written and no other process can write
// the file while this one holds it open with read sharing only. No other
// thread of this process maps memory, so the address is still free; were it
// taken all the same, every pointer into the view would be left dangling,
// and the run ends at once instead.
void MapAgain(MappedFile& file) {
  void* at = file.view;
  if (!UnmapViewOfFile(at)) return;
  if (MapViewOfFileEx(reinterpret_cast<HANDLE>(file.mapping), FILE_MAP_COPY, 0, 0, 0, at) == at) return;
  Sink console{stdout, nullptr};
  Print(console, "***Error: File \"%s\" could not be mapped again. Return -1.\n", file.path.c_str());
  std::fflush(nullptr);
  RunFatalCleanup();
  std::_Exit(ExitCodeFromStatus(-1));
}

}  // namespace

// Part of a view: unlocking pages that were never locked takes them out of
// the working set (on Windows; not under Wine), and an unwritten page is read
// again from the file when touched.
void ReleaseResidentPages(MappedFile& file, const uint8_t* begin, uint64_t length) {
  if (file.written || !file.file_backed || file.view == nullptr || length == 0 || begin == nullptr) return;
  const uint8_t* end = file.view + file.size;
  if (begin < file.view || begin >= end) return;
  const uint64_t available = static_cast<uint64_t>(end - begin);
  if (begin == file.view && length >= available) {
    MapAgain(file);
    return;
  }
  // Only advice: a failure leaves the pages resident, which changes nothing.
  VirtualUnlock(const_cast<uint8_t*>(begin), static_cast<SIZE_T>(std::min(length, available)));
}

// Neither VirtualUnlock nor mapping a view again costs anything per call
// worth batching for, so a range is given back as soon as it is queued and
// there is never anything to flush.
PageGiveBacks::~PageGiveBacks() = default;

void PageGiveBacks::Add(MappedFile& file, const uint8_t* begin, uint64_t length) {
  ReleaseResidentPages(file, begin, length);
}

void PageGiveBacks::Flush() {}

// Pages fault in as they are read; prefetching them is only an optimisation.
void PrefaultPages(const MappedFile&, const uint8_t*, uint64_t) {}
void PrefaultPagesForWriting(const MappedFile&, const uint8_t*, uint64_t) {}
// Nothing is mapped ahead here, so readers need not say what they rewrite.
bool InputResidency::MapsAhead(uint64_t) { return false; }
void InputResidency::BeforeReading(const MappedFile&, const uint8_t*, uint64_t, const Ranges&) {}

bool ReadFileAt(const MappedFile& file, uint64_t offset, void* buffer, size_t length) {
  if (file.handle == -1 || offset > file.size || length > file.size - offset) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(file.handle);
  uint8_t* to = static_cast<uint8_t*>(buffer);
  while (length != 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(handle, to, chunk, &got, &at) || got == 0) return false;
    to += got;
    offset += got;
    length -= got;
  }
  return true;
}

void RetainMappedFile(MappedFile* file) { file->reference_count.fetch_add(1); }

int32_t ReleaseMappedFile(MappedFile* file) {
  int32_t remaining = file->reference_count.fetch_sub(1) - 1;
  if (remaining != 0) return remaining;
  TearDown(file);
  if (Mappings* owner = file->owner) {
    auto it = std::find(owner->live.begin(), owner->live.end(), file);
    if (it != owner->live.end()) owner->live.erase(it);
  }
  delete file;
  return 0;
}

bool IsMappedByThisRun(const Mappings& mappings, const std::string& path) {
  HANDLE handle = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  uint64_t volume = 0, index = 0;
  const bool known = HandleIdentity(handle, &volume, &index);
  CloseHandle(handle);
  if (!known) return false;
  for (const MappedFile* file : mappings.live)
    if (file->file_backed && MappedFileHasIdentity(*file, volume, index)) return true;
  return false;
}

bool MappedFileHasIdentity(const MappedFile& file, uint64_t volume, uint64_t index) {
  uint64_t mapped_volume = 0, mapped_index = 0;
  return index != 0 && file.inode == index &&
         HandleIdentity(reinterpret_cast<HANDLE>(file.handle), &mapped_volume, &mapped_index) &&
         mapped_volume == volume;
}

FILE* OpenForWrite(const Mappings& mappings, const std::string& path, const char* mode) {
  // The system would refuse it too (a sharing violation); EBUSY says why.
  if (IsMappedByThisRun(mappings, path)) {
    errno = EBUSY;
    return nullptr;
  }
  return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
}

}  // namespace prepqdm
