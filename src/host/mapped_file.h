// Whole-file, copy-on-write mappings. Every file the program reads is mapped
// whole with a private writable view: the ELF reader converts headers in
// place, and those writes never reach the file. Parsed objects point into the
// view, so a MappedFile is reference counted and torn down with its last user.
//
// Windows refuses to open a mapped file for writing; on this host truncating
// a mapped file would crash its readers (SIGBUS), so Mappings remembers the
// identity of every live mapping and OpenForWrite refuses those files. The
// Windows host opens inputs with read sharing only, so there the system
// itself keeps every other process from writing them; the identity check
// stays, so that this run's own refusal reads the same on both hosts.
//
// A page of the private view that was never written is only a cache of the
// file: it can be handed back to the kernel at any time and a later read
// faults the same bytes in again. So inputs that have been read give their
// pages back (ReleaseResidentPages), which keeps a build over thousands of
// objects from holding every byte it ever touched. A view that was written
// (the ELF reader converts big-endian tables in place) holds private copies
// that exist nowhere else, and is never released.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "host/status.h"

namespace prepqdm {

struct Mappings;
struct PageGiveBacks;

struct MappedFile {
  std::atomic<int32_t> reference_count{1};
  std::string path;     // the name the file was opened by
  int64_t handle = -1;  // the open file (a descriptor or a HANDLE)
  int64_t mapping = 0;  // the file-mapping object, where the host has one
  uint64_t size = 0;
  uint8_t* view = nullptr;
  // Identity, taken by the open that mapped the file, for the write-open
  // guard and SameFile. On Windows `inode` is the file index (0: none) and
  // `device` stays 0: the volume serial number costs a query of its own
  // (under Wine a call into another process), so it is asked for only when
  // an index agrees.
  uint64_t device = 0;
  uint64_t inode = 0;
  Mappings* owner = nullptr;
  // Set before the first store into the view; such a view keeps its pages.
  bool written = false;
  // Set by MapFile: the view is a private mapping of the file, so its
  // unwritten pages can be read again from there. A record made over other
  // memory (tests, fuzzing) never gives pages back.
  bool file_backed = false;
  // The queue holding ranges of the view, if any: it is flushed before the
  // view is unmapped, or the advice could reach whatever is mapped there next.
  PageGiveBacks* give_backs = nullptr;
};

// The live mappings of one run. A file that shrinks while it is mapped
// makes a read of its lost pages fault (SIGBUS); the handler looks the
// address up in every live set, names the file and ends the run (after the
// cleanup of fatal_cleanup.h) instead of letting the process die silently.
struct Mappings {
  std::vector<MappedFile*> live;
  Mappings();
  Mappings(const Mappings&) = delete;
  Mappings& operator=(const Mappings&) = delete;
  ~Mappings();

  // Every live set, for the fault handler.
  Mappings* previous_set = nullptr;
  Mappings* next_set = nullptr;
};

// Maps `name` (not resolved further: relative names are taken against the
// working directory; a full path of any length is opened through
// OpenableName, and the record keeps `name`). On failure *out is null and the
// status is an HRESULT: 0x8000FFFF empty name, 0x80070002 missing file,
// 0x80070003 missing directory, 0x80070005 access denied or a directory,
// 0x80004005 empty file or a file of 4 GiB or more, 0x8007000E out of memory.
Status MapFile(Mappings& mappings, const std::string& name, MappedFile** out);

// Drops one reference; at zero the view is unmapped and the record freed.
int32_t ReleaseMappedFile(MappedFile* file);
void RetainMappedFile(MappedFile* file);

// Gives back to the kernel the pages covering [begin, begin + length), and
// the rest of the 64 KiB blocks they lie in (a fault maps a whole block),
// clipped to the view, when the view is a file mapping that was never
// written; otherwise does nothing. Reading them later returns the same
// bytes. Pages beyond the range may hold neighbouring bytes (another archive
// member): they are dropped too, which is harmless for an unwritten view.
void ReleaseResidentPages(MappedFile& file, const uint8_t* begin, uint64_t length);

// Page give-backs collected so that many ranges reach the kernel in one call.
// Every call costs a TLB flush, and a short range is flushed page by page,
// which on a paravirtualised host costs more than reading the object did: one
// call per object made the system time of a big run exceed all the rest.
// Ranges of one file that touch are merged (archive members follow each
// other), and the queue goes to the kernel once it covers kQueuedBytes, so
// that much of the inputs may stay resident a little longer.
struct PageGiveBacks {
  static constexpr uint64_t kQueuedBytes = uint64_t{1} << 20;
  static constexpr size_t kMostRanges = 64;

  struct Range {
    MappedFile* file;
    uintptr_t first;
    uintptr_t last;
  };
  std::vector<Range> queued;
  uint64_t queued_bytes = 0;
  int self = -1;  // pidfd of this process for process_madvise; -1 not opened yet, -2 not available

  PageGiveBacks() = default;
  PageGiveBacks(const PageGiveBacks&) = delete;
  PageGiveBacks& operator=(const PageGiveBacks&) = delete;
  ~PageGiveBacks();

  // Queues what ReleaseResidentPages(file, begin, length) would give back.
  void Add(MappedFile& file, const uint8_t* begin, uint64_t length);
  // Gives back everything queued (but pages of views written since).
  void Flush();
};

// Maps the pages of [begin, begin + length) of a file view in one call
// (MADV_POPULATE_READ, Linux 5.14), for a reader about to go through all of
// them: one call instead of a fault per 64 KiB, each of which costs about as
// much as the call on a paravirtualised host. Ranges above kPrefaultBytes are
// left to fault in as they are read, since they may hold much that is not.
constexpr uint64_t kPrefaultBytes = uint64_t{1} << 20;
void PrefaultPages(const MappedFile& file, const uint8_t* begin, uint64_t length);
// The same for pages about to be written (MADV_POPULATE_WRITE): each gets
// its private copy at once. A page first mapped for reading and then written
// costs a TLB flush of its own besides the copy, which on a paravirtualised
// host costs more than the copy.
void PrefaultPagesForWriting(const MappedFile& file, const uint8_t* begin, uint64_t length);

// The residency policy for input views: when their pages are mapped ahead
// of a reader and when they go back to the file. The layers that read inputs
// only name a few points (an input about to be read through, an input done
// with for the stage at hand, the end of a stage); what happens at each, and
// whether anything does on this host, is decided here.
struct InputResidency {
  // Byte ranges [first, second), as offsets from the start of a range read.
  using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

  // Whether a range of `length` bytes about to be read through is mapped
  // ahead: a reader that would say where it rewrites the range need not
  // look when it is not.
  static bool MapsAhead(uint64_t length);
  // A reader is about to go through [begin, begin + length) of `file`: a
  // range that MapsAhead is mapped in one call, `rewritten` (where a
  // big-endian object is converted in place) for writing first, so that
  // none of those pages is mapped for reading and then copied.
  static void BeforeReading(const MappedFile& file, const uint8_t* begin, uint64_t length,
                            const Ranges& rewritten = {});
  // The reader is done with the range for now (an object entered, an
  // archive walked): its pages go back to the file, queued, to be faulted in
  // again by a later stage that reads them.
  void Done(MappedFile& file, const uint8_t* begin, uint64_t length) { give_backs.Add(file, begin, length); }
  // A stage that read inputs is over: what is queued goes back now, so that
  // the next stage runs without input pages.
  void StageOver() { give_backs.Flush(); }

  PageGiveBacks give_backs;
};

// A long read through one view, item by item (an export object read again
// for its import library, an archive's symbols listed): every
// kItemsPerGiveBack items (Step) and at its End, the view's pages go back,
// so that the view is never resident whole. Without a file, nothing.
class LongRead {
 public:
  static constexpr uint64_t kItemsPerGiveBack = uint64_t{1} << 16;
  explicit LongRead(MappedFile* file) : file_(file) {}
  void Step() {
    if (++items_ % kItemsPerGiveBack == 0) End();
  }
  void End() {
    if (file_ != nullptr) ReleaseResidentPages(*file_, file_->view, file_->size);
  }

 private:
  MappedFile* file_;
  uint64_t items_ = 0;
};

// Reads bytes of the file without touching the view (so none of its pages
// is mapped for reading by it). False unless all of them were read.
bool ReadFileAt(const MappedFile& file, uint64_t offset, void* buffer, size_t length);

// The HRESULT for a failed open/stat/mmap errno.
Status StatusFromErrno(int error);

// Opens `path` for writing (fopen mode such as "wb" or "w"), refusing with
// errno EBUSY a file that is currently mapped. Returns null with errno set.
FILE* OpenForWrite(const Mappings& mappings, const std::string& path, const char* mode);

}  // namespace prepqdm
