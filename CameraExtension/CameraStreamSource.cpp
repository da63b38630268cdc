#include "CameraStreamSource.hpp"

#include "CameraDeviceSource.hpp"
#include "CameraError.hpp"

namespace veltranocam {

namespace {

std::string describeSource(const std::shared_ptr<ExtensionDeviceSource>& source) {
  return source ? source->description() : "(none)";
}

}  // namespace

CameraStreamSource::CameraStreamSource(std::string localizedName, std::string streamIdentifier,
                                       StreamFormat streamFormat, std::shared_ptr<CameraDevice> device,
                                       MediaTime advertisedFrameDuration, Logger& logger)
    : localizedName_(std::move(localizedName)),
      streamIdentifier_(std::move(streamIdentifier)),
      device_(std::move(device)),
      _streamFormat(streamFormat),
      _advertisedFrameDuration(advertisedFrameDuration),
      logger_(logger) {}

std::shared_ptr<CameraStreamSource> CameraStreamSource::make(std::string localizedName, std::string streamIdentifier,
                                                             StreamFormat streamFormat,
                                                             std::shared_ptr<CameraDevice> device,
                                                             MediaTime advertisedFrameDuration, Logger& logger) {
  std::shared_ptr<CameraStreamSource> source(
      new CameraStreamSource(std::move(localizedName), std::move(streamIdentifier), streamFormat, std::move(device),
                             advertisedFrameDuration, logger));
  source->stream_ = source->device_->backend().makeStream(
      StreamDescription{source->localizedName_, source->streamIdentifier_, streamFormat, advertisedFrameDuration},
      source->weak_from_this());
  return source;
}

StreamProperties CameraStreamSource::streamProperties(const std::set<StreamProperty>& requested) const {
  StreamProperties properties;
  // One format only, so the index read back is always 0 whatever a client set.
  if (requested.contains(StreamProperty::activeFormatIndex)) properties.activeFormatIndex = 0;
  if (requested.contains(StreamProperty::frameDuration)) properties.frameDuration = _advertisedFrameDuration;
  return properties;
}

void CameraStreamSource::setStreamProperties(const StreamProperties& properties) {
  if (properties.activeFormatIndex) {
    activeFormatIndex_.store(*properties.activeFormatIndex);
    if (*properties.activeFormatIndex >= 1) logger_.error("Invalid activeFormatIndex");
  }
}

bool CameraStreamSource::authorizedToStartStream(const std::string&) const {
  return true;
}

void CameraStreamSource::startStream() {
  auto source = device_->source();
  if (auto camera = std::dynamic_pointer_cast<CameraDeviceSource>(source)) {
    camera->beginStreaming();
    return;
  }
  logger_.error("startStream: unexpected device source type " + describeSource(source));
  throw CameraError::unexpectedDeviceSourceType();
}

void CameraStreamSource::stopStream() {
  auto source = device_->source();
  if (auto camera = std::dynamic_pointer_cast<CameraDeviceSource>(source)) {
    camera->endStreaming();
    return;
  }
  logger_.error("stopStream: unexpected device source type " + describeSource(source));
  throw CameraError::unexpectedDeviceSourceType();
}

}  // namespace veltranocam
