#include "CameraDeviceSource.hpp"

#include "CameraError.hpp"
#include "Identity.hpp"

#include <limits>

namespace veltranocam {

bool incrementWithoutWrap(std::uint32_t& counter) {
  if (counter == std::numeric_limits<std::uint32_t>::max()) return false;
  ++counter;
  return true;
}

CameraDeviceSource::CameraDeviceSource(CameraSystem& cameras, CaptureQueue& captureQueue, Logger& logger)
    : _captureQueue(captureQueue), cameras_(cameras), logger_(logger) {}

std::shared_ptr<CameraDeviceSource> CameraDeviceSource::make(const std::string& localizedName,
                                                             PublishingBackend& backend, CameraSystem& cameras,
                                                             CaptureQueue& captureQueue, Logger& logger) {
  std::shared_ptr<CameraDeviceSource> self(new CameraDeviceSource(cameras, captureQueue, logger));
  self->device_ = std::make_shared<CameraDevice>(
      localizedName, kDeviceIdentifier, std::weak_ptr<ExtensionDeviceSource>(self->weak_from_this()), backend);

  ChosenStreamFormat chosen;
  try {
    chosen = makeStreamFormat(cameras.defaultCamera());
  } catch (const std::exception& error) {
    throw CameraError::streamSetupFailed(error.what());
  }
  self->_videoDescription = chosen.formatDescription;
  self->_nativeFrameDuration = chosen.frameDuration;

  const StreamFormat format{self->_videoDescription, self->_nativeFrameDuration, self->_nativeFrameDuration};
  self->_streamSource = CameraStreamSource::make(
      kStreamName, kStreamIdentifier, format, self->device_, self->_nativeFrameDuration, logger);
  try {
    self->device_->addStream(self->_streamSource->stream());
  } catch (const std::exception& error) {
    logger.error(std::string("Failed to add stream: ") + error.what());
    throw CameraError::streamSetupFailed(error.what());
  }
  return self;
}

DeviceProperties CameraDeviceSource::deviceProperties(const std::set<DeviceProperty>& requested) const {
  DeviceProperties properties;
  if (requested.contains(DeviceProperty::transportType)) properties.transportType = kDeviceTransportTypeVirtual;
  if (requested.contains(DeviceProperty::model)) properties.model = kDeviceModel;
  return properties;
}

std::uint32_t CameraDeviceSource::streamingCounter() const {
  std::lock_guard lock(_streamingLock);
  return _streamingCounter;
}

void CameraDeviceSource::beginStreaming() {
  bool counted = false;
  bool first = false;
  {
    std::lock_guard lock(_streamingLock);
    counted = incrementWithoutWrap(_streamingCounter);
    first = counted && _streamingCounter == 1;
  }
  if (!counted) {
    logger_.error("Stream start refused: 4294967295 streams are already started");
    throw CameraError::streamSetupFailed("too many started streams");
  }
  if (first) requestCaptureStart();
}

void CameraDeviceSource::endStreaming() {
  {
    std::lock_guard lock(_streamingLock);
    if (_streamingCounter == 0) return;
    if (--_streamingCounter != 0) return;
  }
  _captureQueue.dispatch([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopCapture();
  });
}

void CameraDeviceSource::requestCaptureStart() {
  const auto status = cameras_.authorizationStatus();
  switch (status) {
    case CameraAuthorizationStatus::notDetermined:
      cameras_.requestAccess([weak = weak_from_this()](bool granted) {
        auto self = weak.lock();
        if (!self) return;
        if (!granted) {
          self->logger_.error("Camera access denied by user");
          return;
        }
        // Holds the device source until the task has run.
        self->_captureQueue.dispatch([self] {
          if (self->streamingCounter() > 0) self->configureAndStartCapture();
        });
      });
      return;
    case CameraAuthorizationStatus::authorized:
      _captureQueue.dispatch([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->configureAndStartCapture();
      });
      return;
    case CameraAuthorizationStatus::restricted:
    case CameraAuthorizationStatus::denied:
      logger_.error("Camera access not authorized (status " + std::to_string(static_cast<int>(status)) + ")");
      return;
  }
}

void CameraDeviceSource::configureAndStartCapture() {
  // A stop that overtook this start leaves nothing to do.
  if (streamingCounter() == 0) return;
  auto camera = cameras_.defaultCamera();
  if (!camera) {
    logger_.error("No default video capture device");
    return;
  }
  _captureDevice = camera;
  if (!_captureSession) {
    const std::uint64_t generation = ++sessionGeneration_;
    CaptureCallbacks callbacks;
    callbacks.frame = [weak = weak_from_this()](VideoFrame frame) {
      if (auto self = weak.lock()) self->captureOutput(std::move(frame));
    };
    callbacks.failure = [weak = weak_from_this(), generation](const std::string& description) {
      if (auto self = weak.lock()) self->captureFailed(generation, description);
    };
    try {
      _captureSession = cameras_.makeSession(*camera, _videoDescription, _captureQueue, std::move(callbacks));
    } catch (const CaptureSetupError& error) {
      switch (error.stage()) {
        case CaptureSetupError::Stage::createInput:
          logger_.error(std::string("Failed to create capture input: ") + error.what());
          break;
        case CaptureSetupError::Stage::addInput: logger_.error("Cannot add capture device input"); break;
        case CaptureSetupError::Stage::addOutput: logger_.error("Cannot add video data output"); break;
      }
      _captureDevice.reset();
      return;
    }
  }
  if (!_captureSession->isRunning()) _captureSession->startRunning();
}

void CameraDeviceSource::stopCapture() {
  // Frames still waiting in the stream may live in the pipeline's buffers.
  if (_captureSession) _streamSource->stream()->releaseFrames();
  if (_captureSession) _captureSession->stopRunning();
  _captureSession.reset();
  _captureDevice.reset();
}

void CameraDeviceSource::captureFailed(std::uint64_t generation, const std::string& description) {
  // A late report from a session already replaced says nothing about this one.
  if (generation != sessionGeneration_ || !_captureSession) return;
  logger_.error("Capture failed: " + description);
  // Released, so the next start from 0 builds a new session.
  stopCapture();
}

void CameraDeviceSource::captureOutput(VideoFrame frame) {
  if (streamingCounter() == 0) return;
  if (!frame.data) return;
  const auto& format = _videoDescription;
  const std::size_t rowBytes = static_cast<std::size_t>(format.width) * 4;
  const bool fits = frame.width == format.width && frame.height == format.height && frame.stride >= rowBytes &&
                    frame.size >= frame.stride * static_cast<std::size_t>(format.height - 1) + rowBytes;
  if (!fits) {
    // Once per run of mismatched frames, not once per frame.
    if (!sizeMismatchLogged_)
      logger_.error("Dropping camera frames of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                    ": the stream advertises " + std::to_string(format.width) + "x" + std::to_string(format.height));
    sizeMismatchLogged_ = true;
    return;
  }
  sizeMismatchLogged_ = false;
  _streamSource->stream()->send(frame, hostTimeNanoseconds(frame.presentationTime));
}

}  // namespace veltranocam
