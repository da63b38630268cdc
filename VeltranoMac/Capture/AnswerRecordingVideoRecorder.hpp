// The recorder as the recording coordinator sees it. Deliberately free of
// GStreamer so the coordinator's library links no media stack.
#pragma once

#include "Runtime/Asio.hpp"

#include <filesystem>

namespace veltrano {

// Records one clip: startRecording(to:) once, stopRecording() at most once.
// Both are called on the main actor and resume there.
class AnswerRecordingVideoRecorder {
 public:
  virtual ~AnswerRecordingVideoRecorder() = default;

  // Returns once recording into `file` has started (the first frame is in
  // the file).
  virtual Awaitable<void> startRecording(std::filesystem::path file) = 0;

  // Finishes the clip and hands back the path of the finished file.
  virtual Awaitable<std::filesystem::path> stopRecording() = 0;
};

}  // namespace veltrano
