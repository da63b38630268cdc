// The bridge's native side: dispatches each script message from the page to
// its method and answers it with one envelope.
#pragma once

#include "Bridge/BridgeCameraMethods.hpp"
#include "Bridge/BridgeEnvelope.hpp"
#include "Recording/AnswerRecordingCoordinatorProtocol.hpp"
#include "Runtime/Asio.hpp"
#include "Runtime/Linux/MainExecutor.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace veltrano {

// Answers the page's script messages to "veltranoBridge" on the main actor,
// with exactly one reply envelope per message: in one work item when no
// coordinator is needed, otherwise in a task of the message's own. It knows
// no WebKit: Web/Linux/BridgeScriptMessageGlue.cpp turns each message into
// JSON text for parseMessageBody and calls receive() with a callback that
// returns the envelope as the WebKit reply, holding that reply and its
// JavaScript context until then.
//
// The callback runs exactly once, so it may release the WebKit reply itself;
// it runs on the main thread, or where the main loop is torn down if that
// happens first.
class VeltranoBridgeMessageHandler : public std::enable_shared_from_this<VeltranoBridgeMessageHandler> {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  // The clips' upload state, {clips, pending}; called on the main thread.
  using UploadStatus = std::function<nlohmann::json()>;

  // `now` stamps "ping" replies; `uploadStatus` answers "uploadStatus"
  // (without one: no clips, none pending); `cameras` answers the preview and
  // camera methods (without: they are unknown methods, as on a side that
  // has no camera to offer).
  explicit VeltranoBridgeMessageHandler(
      std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator,
      Clock now = [] { return std::chrono::system_clock::now(); }, UploadStatus uploadStatus = {},
      std::shared_ptr<CameraControls> cameras = {});

  // Entry for one script message, called on the main thread. Queues one work
  // item on `main`; when it runs and the handler is gone the reply is
  // "internal" / "Bridge handler unavailable"; a body that needs no
  // coordinator (immediateEnvelope) is answered right there, any other is
  // dispatched by a main-actor task that sends its envelope. `reply` gets
  // exactly one envelope on every path and is never called before this
  // returns.
  static void receive(std::weak_ptr<VeltranoBridgeMessageHandler> handler, MainExecutor main, nlohmann::json body,
                      BridgeReply::Callback reply);

  // The reply envelope for one body; never throws for any body. The body
  // must stay alive until the result is in.
  Awaitable<nlohmann::json> dispatchMessage(const nlohmann::json& body);

  // The envelope of a body the coordinator plays no part in ("ping",
  // "uploadStatus", an unknown method, a malformed body), as dispatchMessage
  // would answer it;
  // absent for "enterAnswer", "retryPendingUploads" and "startPreview".
  std::optional<nlohmann::json> immediateEnvelope(const nlohmann::json& body) const;

 private:
  std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator_;
  Clock now_;
  UploadStatus uploadStatus_;
  std::shared_ptr<CameraControls> cameras_;
};

}  // namespace veltrano
