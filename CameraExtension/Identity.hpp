// The fixed names, identifiers and codes of the published virtual camera.
#pragma once

#include <cstdint>

namespace veltranocam {

// The fixed identities of the published camera.
inline constexpr const char* kDeviceName = "VeltranoCam";
inline constexpr const char* kDeviceIdentifier = "26e0620a-de42-4252-9115-d2a08fd46bbf";
inline constexpr const char* kProviderManufacturer = "VeltranoCam Manufacturer";
inline constexpr const char* kDeviceModel = "VeltranoCam Model";
// The four-character code 'virt'.
inline constexpr std::uint32_t kDeviceTransportTypeVirtual = 0x76697274;
inline constexpr const char* kStreamName = "VeltranoCam.Video";
inline constexpr const char* kStreamIdentifier = "3dea8587-a518-446c-b337-9290a4f3ac9a";
// The four-character code 'BGRA': 32-bit BGRA pixels.
inline constexpr std::uint32_t kPixelFormat32BGRA = 0x42475241;
inline constexpr const char* kCaptureQueueLabel = "com.brackwood.veltranoMac.camera.capture";

}  // namespace veltranocam
