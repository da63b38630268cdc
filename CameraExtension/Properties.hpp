// The provider, device and stream properties the virtual camera answers.
#pragma once

#include "MediaTime.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace veltranocam {

enum class ProviderProperty { manufacturer };
struct ProviderProperties {
  std::optional<std::string> manufacturer;
};

enum class DeviceProperty { transportType, model };
struct DeviceProperties {
  std::optional<std::uint32_t> transportType;
  std::optional<std::string> model;
};

enum class StreamProperty { activeFormatIndex, frameDuration };
struct StreamProperties {
  std::optional<std::int64_t> activeFormatIndex;
  std::optional<MediaTime> frameDuration;
};

}  // namespace veltranocam
