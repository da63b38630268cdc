// Where the recorder's camera comes from: the source factory seam, camera
// choice, the permission probe and the shipping factory.
#pragma once

#include "Capture/GStreamer.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {

class CameraFeed;

enum class CameraAccess { authorized, denied };

// Where the recorder's frames come from. The shipping factory picks the
// machine's camera; tests hand in test patterns and sources that misbehave.
//
// Every recorder made with one factory shares that factory's camera feed,
// so one camera is opened once however many clips follow each other.
class CameraSourceFactory {
 public:
  virtual ~CameraSourceFactory() = default;

  // The feed this factory's recorders share, created on first use. The
  // factory picks the camera each time the feed opens it.
  std::shared_ptr<CameraFeed> feed();

  // Asked before anything else is touched (no file, no pipeline).
  virtual CameraAccess cameraAccess() = 0;

  // A new source for the chosen camera: an element (or bin) with one
  // always src pad that can deliver raw NV12 video. nullptr when there is no
  // camera; throws (e.g. GStreamerError) when the camera cannot be opened.
  virtual ElementPtr makeSource() = 0;

 private:
  std::mutex feedMutex_;
  std::shared_ptr<CameraFeed> feed_;
};

// One camera as the device monitor lists it.
struct CameraCandidate {
  enum class Api { pipewire, v4l2, other };
  Api api = Api::other;
  std::string displayName;
  std::string nodeName;  // PipeWire node.name, empty for other APIs
};

// The camera to record, as an index into `candidates`: never the app's own
// virtual camera ("VeltranoCam"); a PipeWire camera first (PipeWire lets the
// camera program and the recorder share one device, V4L2 does not), then
// V4L2, then anything else. Listing order breaks ties.
std::optional<std::size_t> chooseCamera(const std::vector<CameraCandidate>& candidates);

// The camera permission probe outside a sandbox: denied when camera device
// nodes ("video*" in `deviceDirectory`) exist but none of them can be opened
// for reading because of EACCES or EPERM; authorised otherwise (no camera at
// all is not a permission problem). `openForReading` returns 0 or an errno.
CameraAccess probeCameraAccess(const std::filesystem::path& deviceDirectory,
                               const std::function<int(const std::filesystem::path&)>& openForReading);
CameraAccess probeCameraAccess(const std::filesystem::path& deviceDirectory = "/dev");

// A camera element as the recorder takes it: raw video in any format or
// MJPEG, decoded and converted, behind the one src pad of a bin.
ElementPtr convertCameraOutput(ElementPtr camera);

// The shipping factory: GstDeviceMonitor ("Video/Source") and chooseCamera,
// converted to NV12 (decoding MJPEG where the camera sends it).
class SystemCameraSourceFactory final : public CameraSourceFactory {
 public:
  explicit SystemCameraSourceFactory(std::filesystem::path deviceDirectory = "/dev");
  CameraAccess cameraAccess() override;
  ElementPtr makeSource() override;

 private:
  std::filesystem::path deviceDirectory_;
};

}  // namespace veltrano
