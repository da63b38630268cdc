#pragma once

#include "support/TempDir.hpp"

#include <dirent.h>
#include <glib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace veltrano::testing {

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
  writeFile(bundle / "Info.json",
            "{\"CFBundleIdentifier\": \"" + identifier + "\", \"CFBundleShortVersionString\": \"" + version + "\"}");
  return bundle;
}

// An executable shell script running `body`; returns its path.
inline std::string writeScript(const std::filesystem::path& path, const std::string& body) {
  writeFile(path, "#!/bin/sh\n" + body + "\n");
  chmod(path.c_str(), 0755);
  return path.string();
}

// Iterates the default main context until `done` holds or `limit` has
// passed; a wake-up timer keeps the deadline honoured while all is quiet.
inline bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const guint wake = g_timeout_add(
      10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(wake);
  return done();
}

inline void runFor(std::chrono::milliseconds duration) {
  runUntil([] { return false; }, duration);
}

}  // namespace veltrano::testing
