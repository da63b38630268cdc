// The virtual camera's single output stream: its format, its properties, and
// client start and stop forwarded to the device source.
#pragma once

#include "CameraDevice.hpp"
#include "Log.hpp"
#include "Properties.hpp"
#include "Publishing.hpp"

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace veltranocam {

// The camera's single output stream: offers one format, answers property
// requests, and forwards client start and stop to the device source, which
// counts running streams and drives the physical camera.
class CameraStreamSource final : public StreamEvents, public std::enable_shared_from_this<CameraStreamSource> {
 public:
  // Creates the source and its `stream` (made by the device's backend).
  static std::shared_ptr<CameraStreamSource> make(std::string localizedName, std::string streamIdentifier,
                                                  StreamFormat streamFormat, std::shared_ptr<CameraDevice> device,
                                                  MediaTime advertisedFrameDuration, Logger& logger);

  const std::shared_ptr<PublishedStream>& stream() const { return stream_; }
  const std::shared_ptr<CameraDevice>& device() const { return device_; }
  const std::string& localizedName() const { return localizedName_; }
  const std::string& streamIdentifier() const { return streamIdentifier_; }

  std::vector<StreamFormat> formats() const { return {_streamFormat}; }
  std::set<StreamProperty> availableProperties() const {
    return {StreamProperty::activeFormatIndex, StreamProperty::frameDuration};
  }
  StreamProperties streamProperties(const std::set<StreamProperty>& requested) const;
  // Never fails.
  void setStreamProperties(const StreamProperties& properties);
  bool authorizedToStartStream(const std::string& client) const;

  // Throw CameraError when the device's source is not a CameraDeviceSource
  // (and what beginStreaming throws).
  void startStream() override;
  void stopStream() override;

  std::int64_t activeFormatIndex() const { return activeFormatIndex_.load(); }

 private:
  CameraStreamSource(std::string localizedName, std::string streamIdentifier, StreamFormat streamFormat,
                     std::shared_ptr<CameraDevice> device, MediaTime advertisedFrameDuration, Logger& logger);

  std::string localizedName_;
  std::string streamIdentifier_;
  std::shared_ptr<PublishedStream> stream_;
  std::shared_ptr<CameraDevice> device_;
  const StreamFormat _streamFormat;
  const MediaTime _advertisedFrameDuration;
  std::atomic<std::int64_t> activeFormatIndex_{0};
  Logger& logger_;
};

}  // namespace veltranocam
