#include "Bridge/VeltranoBridgeMessageHandler.hpp"

#include "Bridge/BridgeAnswerMethods.hpp"
#include "Recording/RecordingError.hpp"
#include "Runtime/Task.hpp"

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
    envelope = makeFailureEnvelope(bridge_code::internal, RecordingError::describe(std::current_exception()));
  }
  reply.send(envelope);
}

}  // namespace

VeltranoBridgeMessageHandler::VeltranoBridgeMessageHandler(
    std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator, Clock now)
    : coordinator_(std::move(coordinator)), now_(std::move(now)) {
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
    Task::spawn(main, answerMessage(std::move(self), std::move(body), std::move(reply)));
  };
  asio::post(main, std::move(workItem));
}

Awaitable<nlohmann::json> VeltranoBridgeMessageHandler::dispatchMessage(const nlohmann::json& body) {
  if (!body.is_object()) co_return makeFailureEnvelope(bridge_code::invalidBody, bridge_message::invalidBody);

  auto methodIt = body.find("method");
  if (methodIt == body.end() || !methodIt->is_string() || methodIt->get_ref<const std::string&>().empty())
    co_return makeFailureEnvelope(bridge_code::missingMethod, bridge_message::missingMethod);
  const std::string& method = methodIt->get_ref<const std::string&>();

  if (method == "ping")
    co_return makeSuccessEnvelope(nlohmann::json{{"pong", true}, {"timestamp", formatInternetDateTime(now_())}});
  if (method == "enterAnswer") co_return co_await handleEnterAnswer(*coordinator_, body);
  if (method == "retryPendingUploads") co_return co_await handleRetryPendingUploads(*coordinator_, body);

  std::string message(bridge_message::unknownMethodPrefix);
  message += method;
  co_return makeFailureEnvelope(bridge_code::unknownMethod, message);
}

}  // namespace veltrano
