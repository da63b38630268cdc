// The recording coordinator's interface, as the bridge, the web view host and
// the application shell call it.
#pragma once

#include "Bridge/EnterAnswerPayload.hpp"
#include "Recording/RecordingError.hpp"
#include "Runtime/Asio.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace veltrano {

// What the bridge needs of the recording coordinator. The coordinator is an
// actor of its own: an implementation hops to its own executor inside each
// operation, so callers simply co_await and resume on their own executor.
class AnswerRecordingCoordinatorProtocol {
 public:
  virtual ~AnswerRecordingCoordinatorProtocol() = default;

  // Enters the payload's answer, or leaves the current one when it carries no
  // answer id. Returns the reply object: {"status": "recording" |
  // "already_recording" | "aborted" | "idle"} plus "answerId" with some
  // statuses. Throws RecordingError when the camera, the stop or the last
  // clip's upload failed, and may pass on other errors unchanged.
  virtual Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload payload) = 0;

  // Stops a recording in progress before the process (or the page that
  // started it) goes away; with deferUpload the last clip is stored for a
  // later retry instead of being uploaded now. Logs its failures, never fails.
  virtual Awaitable<void> finalizeForTermination(bool deferUpload) = 0;

  // Refreshes the ID token of every pending upload and starts draining them;
  // returns without waiting for any upload. Never fails.
  virtual Awaitable<void> retryPendingUploads(std::string idToken) = 0;
};

}  // namespace veltrano
