// The bridge methods of the camera: the live preview ("startPreview",
// "stopPreview") and the choice of camera ("listCameras", "selectCamera").
#pragma once

#include "Runtime/Asio.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>

namespace veltrano {

// A camera method's failure as the page reads it: a bridge code and its
// message.
class BridgeFailure final : public std::runtime_error {
 public:
  BridgeFailure(std::string code, const std::string& message) : std::runtime_error(message), code_(std::move(code)) {}
  const std::string& code() const noexcept { return code_; }

 private:
  std::string code_;
};

// What the camera methods act on, implemented by the program over its
// camera preview and camera choice. Main actor only.
class CameraControls {
 public:
  virtual ~CameraControls() = default;
  // {url, width, height} once the first frame is ready; throws
  // BridgeFailure ("camera_unavailable") when the camera cannot be shown.
  virtual Awaitable<nlohmann::json> startPreview(int maxWidth) = 0;
  virtual void stopPreview() = 0;
  // [{id, name, isDefault, isSelected}]
  virtual nlohmann::json listCameras() = 0;
  // The new list; throws BridgeFailure for a camera that is not connected.
  virtual nlohmann::json selectCamera(const std::optional<std::string>& id) = 0;
};

inline constexpr int kPreviewDefaultWidth = 640;
inline constexpr int kPreviewMinWidth = 16;
inline constexpr int kPreviewMaxWidth = 3840;

// The reply envelopes. Payloads: "startPreview" takes an optional object
// with an optional whole-number "maxWidth" in [16, 3840] (640 without);
// "selectCamera" needs {"id": non-empty string or null}; the other two take
// none. A payload that does not fit is "invalid_payload", with nothing done.
Awaitable<nlohmann::json> handleStartPreview(CameraControls& cameras, const nlohmann::json& body);
nlohmann::json handleStopPreview(CameraControls& cameras);
nlohmann::json handleListCameras(CameraControls& cameras);
nlohmann::json handleSelectCamera(CameraControls& cameras, const nlohmann::json& body);

}  // namespace veltrano
