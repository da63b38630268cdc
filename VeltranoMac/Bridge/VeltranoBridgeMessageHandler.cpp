#include "Bridge/VeltranoBridgeMessageHandler.hpp"

#include "Bridge/BridgeAnswerMethods.hpp"
#include "Recording/RecordingError.hpp"
#include "Runtime/ErrorDescription.hpp"
#include "Runtime/Task.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace veltrano {

namespace {

// One message's task: holds the handler for as long as the message is being
// answered (the queue hop is where it is held weakly).
Awaitable<void> answerMessage(std::shared_ptr<VeltranoBridgeMessageHandler> handler, nlohmann::json body,
                              BridgeReply reply) {
  nlohmann::json envelope;
  try {
    envelope = co_await handler->dispatchMessage(body);
  } catch (...) {
    // Only a coordinator breaking its own contract (or memory running out)
    // gets here; the page still gets its one envelope.
    envelope = makeFailureEnvelope(bridge_code::internal, describe(std::current_exception()));
  }
  reply.send(envelope);
}

}  // namespace

VeltranoBridgeMessageHandler::VeltranoBridgeMessageHandler(
    std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator, Clock now, UploadStatus uploadStatus,
    std::shared_ptr<CameraControls> cameras)
    : coordinator_(std::move(coordinator)),
      now_(std::move(now)),
      uploadStatus_(std::move(uploadStatus)),
      cameras_(std::move(cameras)) {
  if (!coordinator_) throw std::invalid_argument("VeltranoBridgeMessageHandler needs a coordinator");
  if (!now_) throw std::invalid_argument("VeltranoBridgeMessageHandler needs a clock");
}

void VeltranoBridgeMessageHandler::receive(std::weak_ptr<VeltranoBridgeMessageHandler> handler, MainExecutor main,
                                           nlohmann::json body, BridgeReply::Callback reply) {
  auto workItem = [handler = std::move(handler), main, body = std::move(body),
                   reply = BridgeReply(std::move(reply))]() mutable {
    auto self = handler.lock();
    if (!self) {
      reply.send(makeFailureEnvelope(bridge_code::internal, bridge_message::handlerUnavailable));
      return;
    }
    // A body the coordinator plays no part in is answered in this work item:
    // a task would cost the page another main-loop turn per message.
    std::optional<nlohmann::json> envelope;
    try {
      envelope = self->immediateEnvelope(body);
    } catch (...) {
      envelope = makeFailureEnvelope(bridge_code::internal, describe(std::current_exception()));
    }
    if (envelope) {
      reply.send(*envelope);
      return;
    }
    Task::spawn(main, answerMessage(std::move(self), std::move(body), std::move(reply)));
  };
  asio::post(main, std::move(workItem));
}

std::optional<nlohmann::json> VeltranoBridgeMessageHandler::immediateEnvelope(const nlohmann::json& body) const {
  if (!body.is_object()) return makeFailureEnvelope(bridge_code::invalidBody, bridge_message::invalidBody);

  auto methodIt = body.find("method");
  if (methodIt == body.end() || !methodIt->is_string() || methodIt->get_ref<const std::string&>().empty())
    return makeFailureEnvelope(bridge_code::missingMethod, bridge_message::missingMethod);
  const std::string& method = methodIt->get_ref<const std::string&>();

  if (method == "ping")
    return makeSuccessEnvelope(nlohmann::json{{"pong", true}, {"timestamp", formatInternetDateTime(now_())}});
  if (method == "uploadStatus") {
    if (uploadStatus_) return makeSuccessEnvelope(uploadStatus_());
    return makeSuccessEnvelope(nlohmann::json{{"clips", nlohmann::json::array()}, {"pending", 0}});
  }
  if (method == "enterAnswer" || method == "retryPendingUploads") return std::nullopt;
  if (cameras_) {
    if (method == "startPreview") return std::nullopt;
    if (method == "stopPreview") return handleStopPreview(*cameras_);
    if (method == "listCameras") return handleListCameras(*cameras_);
    if (method == "selectCamera") return handleSelectCamera(*cameras_, body);
  }

  std::string message(bridge_message::unknownMethodPrefix);
  message += method;
  return makeFailureEnvelope(bridge_code::unknownMethod, message);
}

Awaitable<nlohmann::json> VeltranoBridgeMessageHandler::dispatchMessage(const nlohmann::json& body) {
  if (auto envelope = immediateEnvelope(body)) co_return std::move(*envelope);
  const std::string& method = body.at("method").get_ref<const std::string&>();
  if (method == "enterAnswer") co_return co_await handleEnterAnswer(*coordinator_, body);
  if (method == "startPreview") co_return co_await handleStartPreview(*cameras_, body);
  co_return co_await handleRetryPendingUploads(*coordinator_, body);
}

}  // namespace veltrano
