// The bridge's camera methods over the program's camera preview and camera
// choice, and what the page learns of the camera beside them.
#pragma once

#include "Bridge/BridgeCameraMethods.hpp"
#include "Capture/CameraChoice.hpp"
#include "Capture/CameraPreview.hpp"
#include "Runtime/Asio.hpp"
#include "Web/WebAppSchemeHandler.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltrano {

// Main actor only, except where said. Without a camera choice (a test
// camera) the list is empty and no camera can be selected.
class AppCameraControls final : public CameraControls, public std::enable_shared_from_this<AppCameraControls> {
 public:
  static constexpr std::string_view fallbackCode = "camera_fallback";
  static constexpr std::string_view fallbackMessage =
      "The selected camera is not connected; recording with the default camera.";

  AppCameraControls(std::shared_ptr<CameraPreview> preview, std::shared_ptr<CameraChoice> choice,
                    std::shared_ptr<CameraFeed> feed, asio::any_io_executor main);

  Awaitable<nlohmann::json> startPreview(int maxWidth) override;
  void stopPreview() override;
  nlohmann::json listCameras() override;
  // A new choice takes effect at once for a preview without a recording
  // (the camera reopens); a recording keeps its camera to the answer's end.
  nlohmann::json selectCamera(const std::optional<std::string>& id) override;

  // The connected cameras changed: the open camera, when it is not among
  // them, is ended rather than left stalling the preview and the recording.
  void camerasChanged(const std::vector<CameraDescription>& cameras);

  // The scheme's preview path: `done` on the main actor.
  void previewFrame(std::uint64_t after, std::function<void(std::optional<PreviewImage>)> done);

  // A recording state's detail with the camera it records: "camera" {id,
  // name}, and for a recording from the default in place of a selected
  // camera that is gone, "camera_fallback" with its message. Any thread.
  nlohmann::json describeRecording(nlohmann::json detail) const;

 private:
  const std::shared_ptr<CameraPreview> preview_;
  const std::shared_ptr<CameraChoice> choice_;
  const std::shared_ptr<CameraFeed> feed_;
  const asio::any_io_executor main_;
};

}  // namespace veltrano
