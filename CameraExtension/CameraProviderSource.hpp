// The camera provider: builds the one virtual camera device and answers
// provider properties.
#pragma once

#include "CameraDeviceSource.hpp"
#include "Properties.hpp"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace veltranocam {

// The provider: accepts every client and publishes the one device.
struct CameraProvider {
  std::vector<std::shared_ptr<CameraDevice>> devices;
};

class CameraProviderSource {
 public:
  // Builds the device; when that fails, logs why and publishes no device.
  CameraProviderSource(PublishingBackend& backend, CameraSystem& cameras, CaptureQueue& captureQueue, Logger& logger);

  const CameraProvider& provider() const { return provider_; }
  const std::shared_ptr<CameraDeviceSource>& deviceSource() const { return deviceSource_; }

  bool connectClient(const std::string&) { return true; }
  void disconnectClient(const std::string&) {}
  std::set<ProviderProperty> availableProperties() const { return {ProviderProperty::manufacturer}; }
  ProviderProperties providerProperties(const std::set<ProviderProperty>& requested) const;
  void setProviderProperties(const ProviderProperties&) {}

 private:
  CameraProvider provider_;
  std::shared_ptr<CameraDeviceSource> deviceSource_;
};

}  // namespace veltranocam
