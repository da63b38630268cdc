// The camera extension's request manager: finds the extension in the bundle,
// submits its activation and reports outcomes as status line and banner.
#pragma once

#include "ExtensionInstall/SystemExtensionActivator.hpp"
#include "ExtensionInstall/SystemExtensionBannerState.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace veltrano {

// Finds the camera extension inside the application's bundle, asks the
// activator to activate it, and turns every outcome into a status line
// (`logText`) and an optional banner (`extensionBanner`) the window
// observes. Lives on the main thread.
class SystemExtensionRequestManager final : public SystemExtensionRequestDelegate,
                                            public std::enable_shared_from_this<SystemExtensionRequestManager> {
 public:
  enum class Property { logText, extensionBanner };
  enum class Phase { willChange, didChange };
  // Hears every change twice: before it takes effect and after.
  using Observer = std::function<void(Property, Phase)>;

  struct FoundExtension {
    std::filesystem::path bundle;
    std::string identifier;
  };

  // `extensionsDirectory` is the bundle's lib/VeltranoMac/SystemExtensions.
  // Held by shared_ptr: the activator keeps the manager only weakly.
  static std::shared_ptr<SystemExtensionRequestManager> create(std::string logText,
                                                               std::filesystem::path extensionsDirectory,
                                                               std::shared_ptr<SystemExtensionActivator> activator);

  const std::string& logText() const noexcept { return logText_; }
  const std::optional<SystemExtensionBannerState>& extensionBanner() const noexcept { return extensionBanner_; }
  // The window clears the banner through this when the user dismisses it.
  void setExtensionBanner(std::optional<SystemExtensionBannerState> banner);

  std::size_t addObserver(Observer observer);
  void removeObserver(std::size_t token);

  void activateExtension();
  // Reports its own failures (status line and banner) and returns nothing
  // then.
  std::optional<FoundExtension> findExtensionBundle();
  // The banner's approval button.
  void approveExtension();

  SystemExtensionReplacementAction actionForReplacingExtension(const SystemExtensionRequest& request,
                                                               const SystemExtensionProperties& existing,
                                                               const SystemExtensionProperties& extension) override;
  void requestNeedsUserApproval(const SystemExtensionRequest& request) override;
  void requestDidFinishWithResult(const SystemExtensionRequest& request, long result) override;
  void requestDidFailWithError(const SystemExtensionRequest& request, long code) override;

  SystemExtensionRequestManager(std::string logText, std::filesystem::path extensionsDirectory,
                                std::shared_ptr<SystemExtensionActivator> activator);

 private:
  void setLogText(std::string text);
  void report(const std::string& message);
  void announce(Property property, Phase phase);

  std::string logText_ = "Installation results here";
  std::optional<SystemExtensionBannerState> extensionBanner_;
  std::filesystem::path extensionsDirectory_;
  std::shared_ptr<SystemExtensionActivator> activator_;
  std::map<std::size_t, Observer> observers_;
  std::size_t nextObserver_ = 1;
};

}  // namespace veltrano
