#pragma once

#include "support/TempDir.hpp"

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace veltrano::testing {

// The suite's names for the shared helpers.
using ExtensionTempDir = TempDir;
inline void writeTextFile(const std::filesystem::path& path, const std::string& content) {
  writeFile(path, content);
}
inline std::string readTextFile(const std::filesystem::path& path) {
  return readFile(path);
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
  auto bundle = extensionsDirectory / name;
  writeTextFile(bundle / "Info.json", "{\"CFBundleIdentifier\": \"" + identifier +
                                          "\", \"CFBundleShortVersionString\": \"" + version + "\"}");
  return bundle;
}

}  // namespace veltrano::testing
