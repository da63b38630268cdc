#include "App/AppCameraControls.hpp"

#include "Bridge/BridgeEnvelope.hpp"
#include "Runtime/ErrorDescription.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace veltrano {

namespace {

// The outcome of a preview start, carried to the main actor.
struct PreviewStart {
  std::exception_ptr error;
  CameraPreview::Size size;
};

}  // namespace

AppCameraControls::AppCameraControls(std::shared_ptr<CameraPreview> preview, std::shared_ptr<CameraChoice> choice,
                                     std::shared_ptr<CameraFeed> feed, asio::any_io_executor main)
    : preview_(std::move(preview)), choice_(std::move(choice)), feed_(std::move(feed)), main_(std::move(main)) {
  if (!preview_) throw std::invalid_argument("AppCameraControls needs a preview");
}

Awaitable<nlohmann::json> AppCameraControls::startPreview(int maxWidth) {
  auto started = co_await asio::async_initiate<const asio::use_awaitable_t<>, void(PreviewStart)>(
      [this, maxWidth](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        preview_->start(maxWidth, [shared, main = main_](std::exception_ptr error, CameraPreview::Size size) {
          asio::post(main, [shared, start = PreviewStart{error, size}]() mutable { std::move (*shared)(start); });
        });
      },
      asio::use_awaitable);
  if (started.error) throw BridgeFailure(std::string(bridge_code::cameraUnavailable), describe(started.error));
  co_return nlohmann::json{
      {"url", std::string(previewURL)}, {"width", started.size.width}, {"height", started.size.height}};
}

void AppCameraControls::stopPreview() {
  preview_->stop();
}

nlohmann::json AppCameraControls::listCameras() {
  return choice_ ? camerasJson(choice_->cameras()) : nlohmann::json::array();
}

nlohmann::json AppCameraControls::selectCamera(const std::optional<std::string>& id) {
  const auto before = choice_ ? choice_->selectedCamera() : std::nullopt;
  if (!choice_ || !choice_->selectCamera(id))
    throw BridgeFailure(
        std::string(bridge_code::cameraUnavailable), "No camera with the id \"" + id.value_or("") + "\" is connected.");
  if (choice_->selectedCamera() != before && preview_->isRunning()) {
    // The camera reopens on the new choice unless a recording holds it; the
    // page's start brings the preview back.
    preview_->restartCamera();
  }
  return camerasJson(choice_->cameras());
}

void AppCameraControls::camerasChanged(const std::vector<CameraDescription>& cameras) {
  if (!choice_ || !feed_ || !feed_->isOpen()) return;
  const auto opened = choice_->lastOpened();
  if (!opened) return;
  const bool connected =
      std::any_of(cameras.begin(), cameras.end(), [&](const auto& camera) { return camera.id == opened->id; });
  if (!connected) feed_->cameraLost();
}

void AppCameraControls::previewFrame(std::uint64_t after, std::function<void(std::optional<PreviewImage>)> done) {
  preview_->nextFrame(after, [done = std::move(done), main = main_](std::optional<CameraPreview::Frame> frame) mutable {
    std::optional<PreviewImage> image;
    if (frame) image = PreviewImage{frame->number, frame->capturedAtMs, frame->jpeg};
    asio::post(main, [done = std::move(done), image = std::move(image)]() mutable { done(std::move(image)); });
  });
}

nlohmann::json AppCameraControls::describeRecording(nlohmann::json detail) const {
  if (!choice_ || detail.value("state", "") != "recording") return detail;
  const auto opened = choice_->lastOpened();
  if (!opened) return detail;
  detail["camera"] = {{"id", opened->id}, {"name", opened->name}};
  if (opened->fellBack && detail.value("code", nlohmann::json()).is_null()) {
    detail["code"] = fallbackCode;
    detail["message"] = fallbackMessage;
  }
  return detail;
}

}  // namespace veltrano
