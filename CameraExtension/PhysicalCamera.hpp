// The interfaces the core drives the machine's physical cameras through:
// camera system, session and capture queue (Linux/GStreamerCamera.hpp
// implements the first two, CameraWorkQueue.hpp the queue).
#pragma once

#include "Publishing.hpp"
#include "StreamFormat.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace veltranocam {

// Serial queue: tasks run one at a time, in order, on one thread.
class CaptureQueue {
 public:
  virtual ~CaptureQueue() = default;
  virtual void dispatch(std::function<void()> task) = 0;
};

// The numbers of the platform's authorisation statuses, which the log line
// "Camera access not authorized (status N)" shows.
enum class CameraAuthorizationStatus : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

// Why a physical camera session could not be built.
class CaptureSetupError : public std::runtime_error {
 public:
  enum class Stage { createInput, addInput, addOutput };
  CaptureSetupError(Stage stage, const std::string& description) : std::runtime_error(description), stage_(stage) {}
  Stage stage() const { return stage_; }

 private:
  Stage stage_;
};

// A built capture pipeline from one camera to frames.
class PhysicalCameraSession {
 public:
  virtual ~PhysicalCameraSession() = default;
  virtual bool isRunning() const = 0;
  virtual void startRunning() = 0;
  virtual void stopRunning() = 0;
};

// Both run on the capture queue.
struct CaptureCallbacks {
  std::function<void(VideoFrame)> frame;
  std::function<void(const std::string& description)> failure;
};

// The physical cameras of the machine.
class CameraSystem {
 public:
  virtual ~CameraSystem() = default;
  virtual CameraAuthorizationStatus authorizationStatus() = 0;
  // Answers once, on any thread.
  virtual void requestAccess(std::function<void(bool granted)> answer) = 0;
  // The default camera, or nothing when there is none.
  virtual std::optional<CameraInfo> defaultCamera() = 0;
  // A session that captures `camera` as BGRA frames of `format`'s size and
  // delivers them on `queue`; throws CaptureSetupError.
  virtual std::unique_ptr<PhysicalCameraSession> makeSession(const CameraInfo& camera,
                                                             const VideoFormatDescription& format, CaptureQueue& queue,
                                                             CaptureCallbacks callbacks) = 0;
};

}  // namespace veltranocam
