#include "Recording/RecordingState.hpp"

#include <cstdio>
#include <ctime>

namespace veltrano {

namespace {

std::string isoMilliseconds(std::chrono::system_clock::time_point time) {
  const auto millis = std::chrono::floor<std::chrono::milliseconds>(time);
  const auto seconds = std::chrono::floor<std::chrono::seconds>(millis);
  const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((millis - seconds).count()));
  return text;
}

}  // namespace

std::string_view phaseName(RecordingState::Phase phase) {
  switch (phase) {
    case RecordingState::Phase::recording: return "recording";
    case RecordingState::Phase::stopped: return "stopped";
    case RecordingState::Phase::failed: return "failed";
  }
  return "stopped";
}

nlohmann::json recordingStateJson(const RecordingState& state) {
  auto optional = [](const std::optional<std::string>& text) { return text ? nlohmann::json(*text) : nullptr; };
  return {{"answerId", state.answerId},   {"state", std::string(phaseName(state.state))},
          {"clipIndex", state.clipIndex}, {"clipStartedAt", isoMilliseconds(state.clipStartedAt)},
          {"code", optional(state.code)}, {"message", optional(state.message)}};
}

}  // namespace veltrano
