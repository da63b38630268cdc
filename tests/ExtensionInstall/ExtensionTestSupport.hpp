#pragma once

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace veltrano::testing {

struct ExtensionTempDir {
  ExtensionTempDir() { std::filesystem::create_directories(path); }
  ~ExtensionTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ExtensionTempDir(const ExtensionTempDir&) = delete;
  ExtensionTempDir& operator=(const ExtensionTempDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path / name; }

  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("veltrano-extension-test-" + std::to_string(std::random_device()()) + std::to_string(std::random_device()()));
};

inline void writeTextFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string readTextFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in the order readdir hands them out, hidden ones skipped.
inline std::vector<std::string> listingOrder(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

inline constexpr const char* kCameraIdentifier = "com.brackwood.VeltranoMac.Camera";
inline constexpr const char* kCameraBundleName = "com.brackwood.VeltranoMac.Camera.systemextension";

// An extension bundle folder with its Info.json.
inline std::filesystem::path makeExtensionBundle(const std::filesystem::path& extensionsDirectory,
                                                 const std::string& name = kCameraBundleName,
                                                 const std::string& version = "1.0",
                                                 const std::string& identifier = kCameraIdentifier) {
  const auto bundle = extensionsDirectory / name;
  writeTextFile(bundle / "Info.json", "{\"CFBundleIdentifier\": \"" + identifier +
                                          "\", \"CFBundleShortVersionString\": \"" + version + "\"}");
  return bundle;
}

}  // namespace veltrano::testing
