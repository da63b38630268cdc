#include "CameraProviderSource.hpp"

#include "Identity.hpp"

namespace veltranocam {

CameraProviderSource::CameraProviderSource(PublishingBackend& backend, CameraSystem& cameras,
                                           CaptureQueue& captureQueue, Logger& logger) {
  try {
    auto deviceSource = CameraDeviceSource::make(kDeviceName, backend, cameras, captureQueue, logger);
    provider_.devices.push_back(deviceSource->device());
    deviceSource_ = std::move(deviceSource);
  } catch (const std::exception& error) {
    logger.error(std::string("Failed to initialize virtual camera device: ") + error.what());
  }
}

ProviderProperties CameraProviderSource::providerProperties(const std::set<ProviderProperty>& requested) const {
  ProviderProperties properties;
  if (requested.contains(ProviderProperty::manufacturer)) properties.manufacturer = kProviderManufacturer;
  return properties;
}

}  // namespace veltranocam
