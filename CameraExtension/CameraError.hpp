// The camera program's error type.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace veltranocam {

// The camera program's closed error type, each case with its fixed text.
class CameraError : public std::runtime_error {
 public:
  enum class Case { streamSetupFailed, unexpectedDeviceSourceType };

  // `underlyingDescription` is the wrapped error's own text.
  static CameraError streamSetupFailed(const std::string& underlyingDescription) {
    return CameraError(Case::streamSetupFailed, "Stream setup failed: " + underlyingDescription);
  }
  static CameraError unexpectedDeviceSourceType() {
    return CameraError(Case::unexpectedDeviceSourceType, "Device source is not a CameraDeviceSource");
  }

  Case kind() const noexcept { return case_; }

 private:
  CameraError(Case c, const std::string& message) : std::runtime_error(message), case_(c) {}
  Case case_;
};

}  // namespace veltranocam
