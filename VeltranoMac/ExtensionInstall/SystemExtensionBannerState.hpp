// What the camera extension's banner shows: a failure, a pending approval,
// or an update that takes effect after a restart.
#pragma once

#include <string>
#include <utility>

namespace veltrano {

// What the window's banner shows. Two `failed` values are equal when their
// messages are.
class SystemExtensionBannerState {
 public:
  enum class Kind { failed, needsUserApproval, willCompleteAfterReboot };

  static SystemExtensionBannerState failed(std::string message) {
    return SystemExtensionBannerState(Kind::failed, std::move(message));
  }
  static SystemExtensionBannerState needsUserApproval() {
    return SystemExtensionBannerState(Kind::needsUserApproval, {});
  }
  static SystemExtensionBannerState willCompleteAfterReboot() {
    return SystemExtensionBannerState(Kind::willCompleteAfterReboot, {});
  }

  Kind kind() const noexcept { return kind_; }
  // The full status line of a `failed` banner; empty for the other kinds.
  const std::string& message() const noexcept { return message_; }

  friend bool operator==(const SystemExtensionBannerState&, const SystemExtensionBannerState&) = default;

 private:
  SystemExtensionBannerState(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

}  // namespace veltrano
