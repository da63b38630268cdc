#include "Capture/CameraChoice.hpp"

namespace veltrano {

nlohmann::json camerasJson(const std::vector<CameraDescription>& cameras) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& camera : cameras)
    list.push_back(
        {{"id", camera.id}, {"name", camera.name}, {"isDefault", camera.isDefault}, {"isSelected", camera.isSelected}});
  return list;
}

}  // namespace veltrano
