// The recording coordinator's error.
#pragma once

#include "Runtime/ErrorDescription.hpp"

#include <exception>
#include <string>
#include <utility>

namespace veltrano {

// The error the recording coordinator raises. Each case wraps the error that
// caused it; the description shown to people is that error's own.
class RecordingError final : public std::exception {
 public:
  enum class Case { cameraSetupFailed, recordingStopFailed, uploadFailed };

  // clang-tidy takes the stored exception_ptr for an exception built and not thrown.
  RecordingError(Case which, std::exception_ptr underlying)
      // NOLINTNEXTLINE(bugprone-throw-keyword-missing)
      : case_(which), underlying_(std::move(underlying)), description_(describe(underlying_)) {}

  static RecordingError cameraSetupFailed(std::exception_ptr e) { return {Case::cameraSetupFailed, std::move(e)}; }
  static RecordingError recordingStopFailed(std::exception_ptr e) { return {Case::recordingStopFailed, std::move(e)}; }
  static RecordingError uploadFailed(std::exception_ptr e) { return {Case::uploadFailed, std::move(e)}; }

  Case kind() const noexcept { return case_; }
  const std::exception_ptr& underlying() const noexcept { return underlying_; }
  // The underlying error's description.
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Case case_;
  std::exception_ptr underlying_;
  std::string description_;
};

}  // namespace veltrano
