#include "StreamFormat.hpp"

#include "Identity.hpp"

#include <stdexcept>

namespace veltranocam {

std::optional<VideoFormatDescription> makeBGRAFormatDescription(std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  if (static_cast<std::int64_t>(width) * height * 4 > INT32_MAX) return std::nullopt;
  return VideoFormatDescription{kPixelFormat32BGRA, width, height};
}

ChosenStreamFormat makeStreamFormat(const std::optional<CameraInfo>& camera) {
  if (!camera) return {*makeBGRAFormatDescription(1920, 1080), kDefaultFrameDuration};
  MediaTime duration = kDefaultFrameDuration;
  if (camera->activeMinFrameDuration.isValidPositive())
    duration = camera->activeMinFrameDuration;
  else if (camera->activeMaxFrameDuration.isValidPositive())
    duration = camera->activeMaxFrameDuration;
  auto description = makeBGRAFormatDescription(camera->width, camera->height);
  if (!description)
    throw std::invalid_argument("no BGRA format description for " + std::to_string(camera->width) + "x" +
                                std::to_string(camera->height));
  return {*description, duration};
}

}  // namespace veltranocam
