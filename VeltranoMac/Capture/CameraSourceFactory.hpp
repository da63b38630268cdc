// Where the recorder's camera comes from: the source factory seam, camera
// choice, the permission probe and the shipping factory.
#pragma once

#include "Capture/CameraChoice.hpp"
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
  // V4L2: where the camera is plugged in, udev's ID_PATH ("device.bus_path")
  // or else the driver's bus info ("v4l2.device.bus_info"); empty for other
  // APIs. Not the serial number (many cameras have none, or share one) and
  // not /dev/videoN (numbered in plugging order).
  std::string busPath;
};

// A device monitor's device as a candidate.
CameraCandidate describeCamera(GstDevice* device);

// The app's own virtual camera, known by its node name or display name.
bool isOwnVirtualCamera(const CameraCandidate& candidate);

// The id of each candidate, stable across runs and re-plugging:
// "pipewire:<node.name>", "v4l2:<bus path>", "other:<display name>". A
// repeated id (two capture nodes of one device without udev) gets "#2",
// "#3", ... in listing order.
std::vector<std::string> cameraIds(const std::vector<CameraCandidate>& candidates);

// The camera to record, as an index into `candidates`: never the app's own
// virtual camera ("VeltranoCam"); a PipeWire camera first (PipeWire lets the
// camera program and the recorder share one device, V4L2 does not), then
// V4L2, then anything else. Listing order breaks ties.
std::optional<std::size_t> chooseCamera(const std::vector<CameraCandidate>& candidates);

// The cameras a person chooses from: the candidates but the app's own, in
// listing order, with chooseCamera's pick as the default and `selected`
// marked where it is listed.
std::vector<CameraDescription> describeCameras(const std::vector<CameraCandidate>& candidates,
                                               const std::optional<std::string>& selected);

// The camera to open: the selected one when it is listed, otherwise
// chooseCamera's pick, with `fellBack` set when a selected camera is missing.
struct CameraPick {
  std::size_t index = 0;
  bool fellBack = false;
};
std::optional<CameraPick> pickCamera(const std::vector<CameraCandidate>& candidates,
                                     const std::optional<std::string>& selected);

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

// The shipping factory: GstDeviceMonitor ("Video/Source"), the person's
// choice or else chooseCamera, converted to NV12 (decoding MJPEG where the
// camera sends it).
//
// The choice is kept in `settingsFile` (settings.json, see CameraSettings)
// when there is one, in memory only otherwise. A selected camera that is
// unplugged stays selected: the default records meanwhile, and the selected
// one again once it is back.
//
// The device monitor is process-wide and never stopped, so factories share
// it; each factory's listener hears every hot-plug.
class SystemCameraSourceFactory final : public CameraSourceFactory, public CameraChoice {
 public:
  explicit SystemCameraSourceFactory(std::optional<std::filesystem::path> settingsFile = std::nullopt,
                                     std::filesystem::path deviceDirectory = "/dev");
  ~SystemCameraSourceFactory() override;
  SystemCameraSourceFactory(const SystemCameraSourceFactory&) = delete;
  SystemCameraSourceFactory& operator=(const SystemCameraSourceFactory&) = delete;

  CameraAccess cameraAccess() override;
  ElementPtr makeSource() override;

  std::vector<CameraDescription> cameras() override;
  // A settings file that cannot be written is logged; the choice then holds
  // until the program ends.
  bool selectCamera(const std::optional<std::string>& id) override;
  std::optional<std::string> selectedCamera() const override;
  // The listener runs on the device monitor's thread (PipeWire's or udev's)
  // while that thread delivers the hot-plug: it must only post work, never
  // block or call back into GStreamer. Once setCamerasChanged returns, the
  // previous listener is not running and is never called again; the
  // listener itself may replace or remove itself.
  void setCamerasChanged(CamerasChanged listener) override;
  std::optional<CameraOpened> lastOpened() const override;

 private:
  struct State;
  std::filesystem::path deviceDirectory_;
  std::shared_ptr<State> state_;
};

}  // namespace veltrano
