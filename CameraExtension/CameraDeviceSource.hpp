// The virtual camera's device source: counts running streams and starts and
// stops the physical camera with them, passing its frames to the stream.
#pragma once

#include "CameraDevice.hpp"
#include "CameraStreamSource.hpp"
#include "Log.hpp"
#include "PhysicalCamera.hpp"
#include "Properties.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace veltranocam {

// Adds one to a running-stream count unless that would wrap; false at the
// limit, leaving the count as it was.
bool incrementWithoutWrap(std::uint32_t& counter);

// The single virtual camera device: counts started streams, starts the
// physical camera on the first start and stops it after the last stop, and
// passes every captured frame to the stream.
//
// Threads: beginStreaming/endStreaming come from the publisher's thread;
// session work and frames run on the capture queue; the counter is guarded by
// its lock, which is never held while calling out.
class CameraDeviceSource final : public ExtensionDeviceSource, public std::enable_shared_from_this<CameraDeviceSource> {
 public:
  // Throws CameraError::streamSetupFailed when the stream cannot be set up.
  static std::shared_ptr<CameraDeviceSource> make(const std::string& localizedName, PublishingBackend& backend,
                                                  CameraSystem& cameras, CaptureQueue& captureQueue, Logger& logger);

  const std::shared_ptr<CameraDevice>& device() const { return device_; }
  const std::shared_ptr<CameraStreamSource>& streamSource() const { return _streamSource; }
  const VideoFormatDescription& videoDescription() const { return _videoDescription; }
  MediaTime nativeFrameDuration() const { return _nativeFrameDuration; }
  std::string description() const override { return "CameraDeviceSource"; }

  std::set<DeviceProperty> availableProperties() const {
    return {DeviceProperty::transportType, DeviceProperty::model};
  }
  DeviceProperties deviceProperties(const std::set<DeviceProperty>& requested) const;
  void setDeviceProperties(const DeviceProperties&) {}

  // Any thread. beginStreaming throws CameraError::streamSetupFailed when
  // 4294967295 streams are already started: the start is refused and the
  // count stays exact, so every later stop still pairs with a start.
  void beginStreaming();
  void endStreaming();

  // A captured frame, on the capture queue.
  void captureOutput(VideoFrame frame);

  std::uint32_t streamingCounter() const;

 private:
  CameraDeviceSource(CameraSystem& cameras, CaptureQueue& captureQueue, Logger& logger);

  void requestCaptureStart();
  void configureAndStartCapture();
  void stopCapture();
  void captureFailed(std::uint64_t generation, const std::string& description);

  std::shared_ptr<CameraDevice> device_;
  std::shared_ptr<CameraStreamSource> _streamSource;
  std::uint32_t _streamingCounter = 0;
  mutable std::mutex _streamingLock;
  VideoFormatDescription _videoDescription;
  MediaTime _nativeFrameDuration = MediaTime::make(1, 30);
  CaptureQueue& _captureQueue;
  // Touched on the capture queue only.
  std::unique_ptr<PhysicalCameraSession> _captureSession;
  std::optional<CameraInfo> _captureDevice;
  bool sizeMismatchLogged_ = false;
  std::uint64_t sessionGeneration_ = 0;

  CameraSystem& cameras_;
  Logger& logger_;
};

}  // namespace veltranocam
