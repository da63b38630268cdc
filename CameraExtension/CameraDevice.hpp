// The published virtual camera device and the interface of the object it was
// created from.
#pragma once

#include "Publishing.hpp"

#include <memory>
#include <string>
#include <vector>

namespace veltranocam {

// Whatever object a device was created with as its source.
class ExtensionDeviceSource {
 public:
  virtual ~ExtensionDeviceSource() = default;
  // Its textual description, for log lines.
  virtual std::string description() const = 0;
};

// The published device: its identity, its source (held weakly: the source
// owns the device) and its streams.
class CameraDevice {
 public:
  CameraDevice(std::string localizedName, std::string deviceIdentifier, std::weak_ptr<ExtensionDeviceSource> source,
               PublishingBackend& backend)
      : localizedName_(std::move(localizedName)),
        deviceIdentifier_(std::move(deviceIdentifier)),
        source_(std::move(source)),
        backend_(backend) {}

  const std::string& localizedName() const { return localizedName_; }
  const std::string& deviceIdentifier() const { return deviceIdentifier_; }
  std::shared_ptr<ExtensionDeviceSource> source() const { return source_.lock(); }
  PublishingBackend& backend() const { return backend_; }

  // Publishes the stream with this device's identity; throws on failure.
  void addStream(const std::shared_ptr<PublishedStream>& stream);
  const std::vector<std::shared_ptr<PublishedStream>>& streams() const { return streams_; }

 private:
  std::string localizedName_;
  std::string deviceIdentifier_;
  std::weak_ptr<ExtensionDeviceSource> source_;
  PublishingBackend& backend_;
  std::vector<std::shared_ptr<PublishedStream>> streams_;
};

}  // namespace veltranocam
