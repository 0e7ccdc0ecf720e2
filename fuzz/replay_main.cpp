// Replays kept inputs through the harnesses without libFuzzer, so any build
// (the GCC sanitizer build included) can check that no regression input or
// seed misbehaves again.
//
//   fuzz_replay <harness> <file or folder>...   each file once
//   fuzz_replay --tree <folder>                 <folder>/<harness>/* for every harness
//
// A finding aborts, as under the fuzzer; the exit status is 0 otherwise.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness_support.h"
#include "harnesses.h"

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

size_t Replay(fuzzing::HarnessFunction harness, const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    std::vector<uint8_t> bytes;
    if (!fuzzing::ReadWholeFile(file, bytes)) {
      fprintf(stderr, "cannot read %s\n", file.c_str());
      exit(2);
    }
    fprintf(stderr, "replay %s\n", file.c_str());
    // An exact-size copy, as libFuzzer hands it over.
    std::vector<uint8_t> exact(bytes);
    harness(exact.data(), exact.size());
  }
  return files.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--tree") {
    size_t total = 0;
    for (const char* name : {"object", "archive", "text", "run"}) {
      std::vector<std::string> files;
      CollectFiles(std::string(argv[2]) + "/" + name, files);
      total += Replay(fuzzing::FindHarness(name), files);
    }
    printf("%zu inputs replayed\n", total);
    return 0;
  }
  fuzzing::HarnessFunction harness = argc >= 2 ? fuzzing::FindHarness(argv[1]) : nullptr;
  if (!harness) {
    fprintf(stderr, "usage: fuzz_replay <object|archive|text|run> <file or folder>...\n"
                    "       fuzz_replay --tree <folder>\n");
    return 2;
  }
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) CollectFiles(argv[i], files);
  printf("%zu inputs replayed\n", Replay(harness, files));
  return 0;
}
