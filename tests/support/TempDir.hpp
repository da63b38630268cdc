#pragma once

// A fresh temporary folder per test and the two file helpers every suite
// needs.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace veltrano::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
struct TempDir {
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }

  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("veltrano-test-" + std::to_string(std::random_device()()) + std::to_string(std::random_device()()));
};

// Writes `content` to `path`, creating the folders on the way.
inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The whole file, or "" when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace veltrano::testing
