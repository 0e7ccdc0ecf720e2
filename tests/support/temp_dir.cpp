#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  // A new directory of a random name, as mkdtemp makes, on any host.
  std::random_device seed;
  std::mt19937_64 random(seed());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = "prepqdm-test-";
    for (int i = 0; i < 8; ++i) name += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
    std::error_code ec;
    if (std::filesystem::create_directory(base / name, ec)) {
      path_ = (base / name).string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

std::string TempDir::File(const std::string& name) const {
  return (std::filesystem::path(path_) / name).make_preferred().string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace testsupport
