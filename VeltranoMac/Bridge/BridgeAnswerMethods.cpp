#include "Bridge/BridgeAnswerMethods.hpp"

#include "Bridge/BridgeEnvelope.hpp"
#include "Bridge/EnterAnswerPayload.hpp"
#include "Recording/RecordingError.hpp"
#include "Runtime/ErrorDescription.hpp"

#include <optional>
#include <string>

namespace veltrano {

namespace {

std::string_view codeFor(RecordingError::Case which) {
  switch (which) {
    case RecordingError::Case::cameraSetupFailed: return bridge_code::cameraUnavailable;
    case RecordingError::Case::recordingStopFailed: return bridge_code::recordingStopFailed;
    case RecordingError::Case::uploadFailed: return bridge_code::uploadFailed;
  }
  return bridge_code::enterAnswerFailed;
}

}  // namespace

nlohmann::json enterAnswerFailureEnvelope(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const EnterAnswerPayload::ParseError& e) {
    return makeFailureEnvelope(bridge_code::invalidPayload, e.what());
  } catch (const RecordingError& e) {
    return makeFailureEnvelope(codeFor(e.kind()), describe(e.underlying()));
  } catch (...) {
  }
  return makeFailureEnvelope(bridge_code::enterAnswerFailed, describe(error));
}

Awaitable<nlohmann::json> handleEnterAnswer(AnswerRecordingCoordinatorProtocol& coordinator,
                                            const nlohmann::json& body) {
  std::exception_ptr failure;
  try {
    EnterAnswerPayload payload = EnterAnswerPayload::fromMessageBody(body);
    nlohmann::json reply = co_await coordinator.enterAnswer(std::move(payload));
    co_return makeSuccessEnvelope(std::move(reply));
  } catch (...) {
    failure = std::current_exception();
  }
  co_return enterAnswerFailureEnvelope(failure);
}

Awaitable<nlohmann::json> handleRetryPendingUploads(AnswerRecordingCoordinatorProtocol& coordinator,
                                                    const nlohmann::json& body) {
  std::optional<std::string> idToken;
  if (auto payload = body.find("payload"); payload != body.end() && payload->is_object()) {
    if (auto token = payload->find("idToken"); token != payload->end() && token->is_string()) {
      const auto& text = token->get_ref<const std::string&>();
      if (!text.empty()) idToken = text;
    }
  }
  if (!idToken) co_return makeFailureEnvelope(bridge_code::invalidPayload, bridge_message::missingIdToken);
  co_await coordinator.retryPendingUploads(std::move(*idToken));
  co_return makeSuccessEnvelope(nullptr);
}

}  // namespace veltrano
