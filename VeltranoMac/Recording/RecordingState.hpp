// What the page is told about the open answer's recording: recording
// (with the clip under way), stopped, or failed with a code and a reason.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

struct RecordingState {
  enum class Phase { recording, stopped, failed };

  std::string answerId;
  Phase state = Phase::recording;
  std::int64_t clipIndex = 0;  // counts from 0 within the answer
  std::chrono::system_clock::time_point clipStartedAt;
  std::optional<std::string> code;  // failed only
  std::optional<std::string> message;

  friend bool operator==(const RecordingState&, const RecordingState&) = default;
};

// The codes of a failed state.
namespace recording_code {
inline constexpr std::string_view cameraUnavailable = "camera_unavailable";
inline constexpr std::string_view recordingFailed = "recording_failed";
}  // namespace recording_code

std::string_view phaseName(RecordingState::Phase phase);

// {answerId, state, clipIndex, clipStartedAt, code, message}: the time as
// UTC with milliseconds (2026-12-08T12:00:05.250Z), code and message null
// unless the state failed.
nlohmann::json recordingStateJson(const RecordingState& state);

// Told of every state the coordinator enters, on the coordinator's strand;
// must not block.
using RecordingStateObserver = std::function<void(const RecordingState&)>;

}  // namespace veltrano
