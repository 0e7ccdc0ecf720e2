// A temporary directory removed with its contents at the end of a test, and
// small file helpers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // With the host's separator, as the program's full paths have it.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteFile(const std::string& path, const std::string& text);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace testsupport
