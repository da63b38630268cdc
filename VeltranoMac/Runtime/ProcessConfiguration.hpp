#pragma once

#include <filesystem>
#include <memory>
#include <optional>

namespace veltrano {

class CameraSourceFactory;

// Where the process-wide parts (the pending uploads store, the recordings
// folder, the upload client and the recording coordinator's `shared`
// instances) find their places and their camera. A program's entry may set
// it once, before any of those is first used (a test host points them at
// its own folders and a test camera); otherwise each part looks its place
// up as the shipping app does. Nothing that ships sets it.
struct ProcessConfiguration {
  // The folder that holds "pending-uploads.json" and the "recordings"
  // folder; by default <XDG data dir>/com.brackwood.VeltranoMac.
  std::optional<std::filesystem::path> dataFolder;
  // The installed tree (Info.json of the upload client); by default the
  // parent of the running program's folder.
  std::optional<std::filesystem::path> bundleRoot;
  // The recorder's camera; by default the machine's camera.
  std::shared_ptr<CameraSourceFactory> cameraSources;
};

// Sets the process's configuration. Throws std::logic_error when it was set
// before or when a process-wide part has already read it: parts created
// before it would keep the defaults, half the process in one place and half
// in another.
void configureProcess(ProcessConfiguration configuration);

// The configuration (all defaults when none was set). The first call fixes
// it for the life of the process. Safe from any thread.
const ProcessConfiguration& processConfiguration();

}  // namespace veltrano
