// Video formats: frame descriptions, the stream's offered format, the
// physical camera's mode, and the rule choosing the advertised format.
#pragma once

#include "MediaTime.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace veltranocam {

// What a frame looks like: pixel format and size.
struct VideoFormatDescription {
  std::uint32_t codecType = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const VideoFormatDescription&, const VideoFormatDescription&) = default;
};

// A BGRA description of that size; nothing for sizes no buffer can hold
// (non-positive, or a frame past 2^31 bytes).
std::optional<VideoFormatDescription> makeBGRAFormatDescription(std::int32_t width, std::int32_t height);

// One format a stream offers.
struct StreamFormat {
  VideoFormatDescription formatDescription;
  MediaTime minFrameDuration;
  MediaTime maxFrameDuration;
};

// What the physical camera reports about its active mode.
struct CameraInfo {
  std::string name;
  std::int32_t width = 0;
  std::int32_t height = 0;
  MediaTime activeMinFrameDuration;
  MediaTime activeMaxFrameDuration;
  // The platform's own handle of the camera, for the capture session.
  std::shared_ptr<void> handle;
};

struct ChosenStreamFormat {
  VideoFormatDescription formatDescription;
  MediaTime frameDuration;
};

inline constexpr MediaTime kDefaultFrameDuration = MediaTime::make(1, 30);

// The advertised format: the camera's active size in BGRA at its minimum
// frame duration (falling back to the maximum, then 1/30 s); 1920 x 1080 at
// 1/30 s with no camera. Throws std::invalid_argument when no description can
// be made for the camera's size.
ChosenStreamFormat makeStreamFormat(const std::optional<CameraInfo>& camera);

}  // namespace veltranocam
