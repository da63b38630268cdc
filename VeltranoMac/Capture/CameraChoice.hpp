// Which camera the recorder opens: the connected cameras, the person's
// choice among them (kept across runs) and hot-plug notice.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {

struct CameraDescription {
  std::string id;           // stable across runs and re-plugging
  std::string name;         // what a person reads
  bool isDefault = false;   // the camera recorded when nothing is selected (chooseCamera's pick)
  bool isSelected = false;  // the user's choice (none is selected when the choice is the default)
};

// The camera the last makeSource() opened.
struct CameraOpened {
  std::string id, name;
  bool fellBack = false;  // a camera was selected but is not connected: the default was opened instead
};

// [{"id","name","isDefault","isSelected"}, ...]
nlohmann::json camerasJson(const std::vector<CameraDescription>& cameras);

class CameraChoice {
 public:
  using CamerasChanged = std::function<void(std::vector<CameraDescription>)>;
  virtual ~CameraChoice() = default;
  // The connected cameras, never the app's own virtual camera. Any thread.
  virtual std::vector<CameraDescription> cameras() = 0;
  // Selects a connected camera by id, or the system default (nullopt), and keeps the
  // choice in the settings file. False, and nothing changes, for an id that is not connected now.
  virtual bool selectCamera(const std::optional<std::string>& id) = 0;
  virtual std::optional<std::string> selectedCamera() const = 0;
  // Called (on any thread, e.g. the device monitor's) whenever cameras appear or disappear,
  // with the new list. One listener; an empty function removes it.
  virtual void setCamerasChanged(CamerasChanged listener) = 0;
  virtual std::optional<CameraOpened> lastOpened() const = 0;
};

}  // namespace veltrano
