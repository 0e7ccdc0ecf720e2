// Replays kept inputs through the harnesses without libFuzzer, so any build
// (the GCC sanitizer build included) can check that no regression input or
// seed misbehaves again, and checks the resource bounds on big inputs.
//
//   fuzz_replay <harness> <file or folder>...   each file once
//   fuzz_replay --tree <folder>                 <folder>/<harness>/* for every harness
//   fuzz_replay --bounds <seconds> <factor> <harness> <file or folder>...
//       also fails (exit 1) when a file takes more CPU time than <seconds>,
//       or makes the heap peak more than <factor> times its size (at least
//       64 KiB counted) above where it stood
//
// A finding aborts, as under the fuzzer; the exit status is 0 otherwise.
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "harness_support.h"
#include "harnesses.h"

#if defined(__SANITIZE_ADDRESS__)
#define PREPQDM_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PREPQDM_SANITIZER_HEAP 1
#endif
#endif
#ifdef PREPQDM_SANITIZER_HEAP
// From the sanitizer runtimes' allocator interface (GCC ships no header).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                              void (*free_hook)(const volatile void*));
size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}
#endif

// Live heap bytes and their high-water mark: kept by the sanitizer
// allocator's hooks, or by operator new in a build without a sanitizer (the
// program allocates its containers, strings and records through it). The
// hooks get no context argument, so the one counter is reached through this
// function; it is constant-initialised, so no allocation can precede it.
struct HeapCount {
  size_t live = 0;
  size_t peak = 0;
};
static HeapCount& Heap() {
  static constinit HeapCount count;
  return count;
}

static void Allocated(size_t size) {
  HeapCount& heap = Heap();
  heap.live += size;
  if (heap.live > heap.peak) heap.peak = heap.live;
}

#ifdef PREPQDM_SANITIZER_HEAP
static void OnMalloc(const volatile void*, size_t size) { Allocated(size); }
static void OnFree(const volatile void* pointer) { Heap().live -= __sanitizer_get_allocated_size(pointer); }
static void CountHeap() { __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree); }
#else
static void CountHeap() {}
void* operator new(size_t size) {
  void* block = malloc(size + sizeof(std::max_align_t));
  if (!block) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  Allocated(size);
  return static_cast<char*>(block) + sizeof(std::max_align_t);
}
void operator delete(void* pointer) noexcept {
  if (!pointer) return;
  char* block = static_cast<char*>(pointer) - sizeof(std::max_align_t);
  Heap().live -= *reinterpret_cast<size_t*>(block);
  free(block);
}
void operator delete(void* pointer, size_t) noexcept { operator delete(pointer); }
void* operator new[](size_t size) { return operator new(size); }
void operator delete[](void* pointer) noexcept { operator delete(pointer); }
void operator delete[](void* pointer, size_t) noexcept { operator delete(pointer); }
#endif

namespace {

void CollectFiles(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) CollectFiles(path + "/" + name, files);
}

std::vector<uint8_t> ReadOrExit(const std::string& file) {
  std::vector<uint8_t> bytes;
  if (!fuzzing::ReadWholeFile(file, bytes)) {
    fprintf(stderr, "cannot read %s\n", file.c_str());
    exit(2);
  }
  return bytes;
}

size_t Replay(fuzzing::HarnessFunction harness, const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    fprintf(stderr, "replay %s\n", file.c_str());
    std::vector<uint8_t> bytes = ReadOrExit(file);  // exact size, as libFuzzer hands it over
    harness(bytes.data(), bytes.size());
  }
  return files.size();
}

double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int ReplayWithinBounds(double seconds, double factor, fuzzing::HarnessFunction harness,
                       const std::vector<std::string>& files) {
  CountHeap();
  int failures = 0;
  for (const std::string& file : files) {
    std::vector<uint8_t> bytes = ReadOrExit(file);
    HeapCount& heap = Heap();
    size_t before = heap.live;
    heap.peak = heap.live;
    double start = CpuSeconds();
    harness(bytes.data(), bytes.size());
    double used = CpuSeconds() - start;
    size_t growth = heap.peak - before;
    double allowed = factor * static_cast<double>(std::max<size_t>(bytes.size(), 65536));
    bool ok = used <= seconds && static_cast<double>(growth) <= allowed;
    printf("%s %s: %zu bytes, %.3f s, heap peak +%zu bytes (%.1fx)\n", ok ? "ok  " : "FAIL", file.c_str(),
           bytes.size(), used, growth, static_cast<double>(growth) / static_cast<double>(bytes.size()));
    if (!ok) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc >= 2 ? argv[1] : "";
  if (mode == "--tree" && argc >= 3) {
    size_t total = 0;
    for (const char* name : {"object", "archive", "text", "run"}) {
      std::vector<std::string> files;
      CollectFiles(std::string(argv[2]) + "/" + name, files);
      total += Replay(fuzzing::FindHarness(name), files);
    }
    printf("%zu inputs replayed\n", total);
    // A tree without inputs is a wrong path, not a pass.
    if (total == 0) {
      fprintf(stderr, "fuzz_replay: no inputs under %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (mode == "--bounds" && argc >= 6) {
    fuzzing::HarnessFunction harness = fuzzing::FindHarness(argv[4]);
    std::vector<std::string> files;
    for (int i = 5; i < argc; ++i) CollectFiles(argv[i], files);
    if (harness) return ReplayWithinBounds(atof(argv[2]), atof(argv[3]), harness, files);
  }
  fuzzing::HarnessFunction harness = argc >= 2 ? fuzzing::FindHarness(argv[1]) : nullptr;
  if (!harness) {
    fprintf(stderr,
            "usage: fuzz_replay <object|archive|text|run> <file or folder>...\n"
            "       fuzz_replay --tree <folder>\n"
            "       fuzz_replay --bounds <seconds> <factor> <harness> <file or folder>...\n");
    return 2;
  }
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) CollectFiles(argv[i], files);
  printf("%zu inputs replayed\n", Replay(harness, files));
  return 0;
}
