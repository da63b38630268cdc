#include "CameraDevice.hpp"

#include "Identity.hpp"

namespace veltranocam {

void CameraDevice::addStream(const std::shared_ptr<PublishedStream>& stream) {
  backend_.addStream(DeviceDescription{localizedName_, deviceIdentifier_, kProviderManufacturer, kDeviceModel,
                                       kDeviceTransportTypeVirtual},
                     stream);
  streams_.push_back(stream);
}

}  // namespace veltranocam
