// The bridge methods that reach the recording coordinator, "enterAnswer" and
// "retryPendingUploads", and how their failures become envelopes.
#pragma once

#include "Recording/AnswerRecordingCoordinatorProtocol.hpp"
#include "Runtime/Asio.hpp"

#include <nlohmann/json.hpp>

#include <exception>

namespace veltrano {

// The two bridge methods that act on answers. Each takes the whole message
// body (already known to be an object with its method) and returns the reply
// envelope; nothing is thrown to the caller except what the coordinator
// throws from retryPendingUploads, which is documented never to fail.

// "enterAnswer": parses the payload, awaits the coordinator and maps any
// failure with enterAnswerFailureEnvelope.
Awaitable<nlohmann::json> handleEnterAnswer(AnswerRecordingCoordinatorProtocol& coordinator,
                                            const nlohmann::json& body);

// "retryPendingUploads": needs {"payload": {"idToken": non-empty string}};
// the coordinator is not called otherwise.
Awaitable<nlohmann::json> handleRetryPendingUploads(AnswerRecordingCoordinatorProtocol& coordinator,
                                                    const nlohmann::json& body);

// Parse errors give "invalid_payload" with their text; RecordingError gives
// the code of its case with the underlying error's description; anything
// else gives "enter_answer_failed" with its own description.
nlohmann::json enterAnswerFailureEnvelope(const std::exception_ptr& error);

}  // namespace veltrano
