// The recorder as the recording coordinator sees it. Deliberately free of
// GStreamer so the coordinator's library links no media stack.
#pragma once

#include "Runtime/Asio.hpp"

#include <filesystem>
#include <functional>
#include <string>

namespace veltrano {

// Records one clip: startRecording(to:) once, stopRecording() at most once.
// Both are called on the main actor and resume there.
class AnswerRecordingVideoRecorder {
 public:
  // Told, with a reason for people, that the clip failed after its start
  // had returned (the camera went away, the disk filled, the encoder gave
  // up). Called at most once, on the main actor. The owner still calls
  // stopRecording(), which hands back what was recorded up to the failure
  // when that can still be finished into a file.
  using FailureHandler = std::function<void(std::string reason)>;

  virtual ~AnswerRecordingVideoRecorder() = default;

  // Set before startRecording(to:); may be empty.
  virtual void setFailureHandler(FailureHandler handler) = 0;

  // Returns once recording into `file` has started (the first frame is in
  // the file).
  virtual Awaitable<void> startRecording(std::filesystem::path file) = 0;

  // Finishes the clip and hands back the path of the finished file.
  virtual Awaitable<std::filesystem::path> stopRecording() = 0;
};

}  // namespace veltrano
