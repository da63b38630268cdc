// The installed tree a program runs from, and where its parts lie in it.
#pragma once

#include <filesystem>

namespace veltrano {

// The installed tree that holds the program: <root>/bin/VeltranoMac and
// <root>/share/VeltranoMac/... Components take the paths they need at
// construction; only program entries and shared instances ask for the
// running program's bundle.
struct Bundle {
  std::filesystem::path root;

  std::filesystem::path executableDirectory() const { return root / "bin"; }
  std::filesystem::path resourceDirectory() const { return root / "share" / "VeltranoMac"; }
  std::filesystem::path infoJson() const { return resourceDirectory() / "Info.json"; }
  std::filesystem::path webAppDirectory() const { return resourceDirectory() / "WebApp"; }
  std::filesystem::path systemExtensionsDirectory() const { return root / "lib" / "VeltranoMac" / "SystemExtensions"; }

  // The parent of the folder that holds /proc/self/exe.
  static Bundle ofRunningProgram();
};

}  // namespace veltrano
