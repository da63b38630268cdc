// The physical cameras through GStreamer: camera choice, mode from caps,
// access probe, and capture sessions into an appsink.
#pragma once

#include "PhysicalCamera.hpp"

#include <gst/gst.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltranocam {

// One camera as the device monitor lists it.
struct PhysicalCameraCandidate {
  enum class Api { pipewire, v4l2, other };
  std::string displayName;
  std::string nodeName;
  Api api = Api::other;
};

// The default camera: never our own node "VeltranoCam" (the session manager
// may name it the default video source), preferring PipeWire (which lets
// other programs share the camera), then V4L2, then anything else; the
// monitor's order decides among equals.
std::optional<std::size_t> choosePhysicalCamera(const std::vector<PhysicalCameraCandidate>& candidates);

// The camera's best mode: the largest size any of its raw or JPEG formats
// offers, at that size its shortest and longest frame durations. A zero or
// missing frame rate gives invalid durations.
std::optional<CameraInfo> bestCameraMode(const GstCaps* caps);

// Outside a sandbox: denied (2) when a /dev/videoN node exists but cannot be
// opened for reading (EACCES/EPERM); authorized (3) otherwise, including
// when there is no camera at all (that is not a permission problem).
CameraAuthorizationStatus probePhysicalCameraAccess(const std::filesystem::path& deviceDirectory);

// The physical cameras through GStreamer: the device monitor to find them,
// a capture pipeline into an appsink (BGRA, drop=true, max-buffers=1) whose
// frames are pulled on the capture queue.
class GStreamerCameraSystem final : public CameraSystem {
 public:
  explicit GStreamerCameraSystem(std::filesystem::path deviceDirectory = "/dev");
  ~GStreamerCameraSystem() override;
  GStreamerCameraSystem(const GStreamerCameraSystem&) = delete;
  GStreamerCameraSystem& operator=(const GStreamerCameraSystem&) = delete;

  CameraAuthorizationStatus authorizationStatus() override;
  // Nothing to ask outside a sandbox: answers at once with the probe's result.
  void requestAccess(std::function<void(bool)> answer) override;
  std::optional<CameraInfo> defaultCamera() override;
  std::unique_ptr<PhysicalCameraSession> makeSession(const CameraInfo& camera, const VideoFormatDescription& format,
                                                     CaptureQueue& queue, CaptureCallbacks callbacks) override;

 private:
  std::filesystem::path deviceDirectory_;
  // One monitor for the program's life, started at the first lookup: each
  // start and stop of a PipeWire device monitor creates and tears down a
  // PipeWire connection and thread, which pipewiresrc shares.
  std::mutex monitorMutex_;
  GstDeviceMonitor* monitor_ = nullptr;
};

}  // namespace veltranocam
