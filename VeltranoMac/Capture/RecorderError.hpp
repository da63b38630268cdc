// The webcam recorder's errors: its own cases and the first-frame timeout.
#pragma once

#include <cerrno>
#include <exception>
#include <system_error>

namespace veltrano {

// The recorder's own failures; each case has one fixed message. Errors of
// the media stack are passed on as they are (GStreamerError).
class RecorderError final : public std::exception {
 public:
  enum class Case {
    noVideoDevice,
    cannotAddInput,
    cannotAddOutput,
    notRecording,
    alreadyRecording,
    cameraPermissionDenied,
    writerSetupFailed,
    writerFailed,
    cameraStopped,
  };

  explicit RecorderError(Case value) noexcept : case_(value) {}

  Case kind() const noexcept { return case_; }
  const char* what() const noexcept override { return message(case_); }

  static const char* message(Case value) noexcept {
    switch (value) {
      case Case::noVideoDevice: return "No video capture device is available.";
      case Case::cannotAddInput: return "Could not add camera input to the capture session.";
      case Case::cannotAddOutput: return "Could not add video data output to the capture session.";
      case Case::notRecording: return "Recording is not active.";
      case Case::alreadyRecording: return "Recording is already active.";
      case Case::cameraPermissionDenied: return "Camera access was denied. Enable it in System Settings.";
      case Case::writerSetupFailed: return "Could not start the video encoder.";
      case Case::writerFailed: return "Video encoding failed.";
      case Case::cameraStopped: return "The camera stopped sending video.";
    }
    return "Unknown recorder error.";
  }

  friend bool operator==(const RecorderError& a, const RecorderError& b) noexcept { return a.case_ == b.case_; }

 private:
  Case case_;
};

// The start gave up waiting for the camera's first frame. A system_error
// with ETIMEDOUT so callers can tell it from the recorder's own cases; its
// description is a sentence of its own rather than "…: Connection timed out".
class FirstFrameTimeout final : public std::system_error {
 public:
  FirstFrameTimeout() : std::system_error(ETIMEDOUT, std::generic_category()) {}
  const char* what() const noexcept override { return "No video frame arrived from the camera within 10 seconds."; }
};

}  // namespace veltrano
