#include "Bridge/EnterAnswerPayload.hpp"

#include "Runtime/Logger.hpp"

namespace veltrano {

namespace {

// A string of at least one character under `key`, or nothing.
const std::string* nonEmptyString(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  const auto& text = it->get_ref<const std::string&>();
  return text.empty() ? nullptr : &text;
}

}  // namespace

const char* EnterAnswerPayload::ParseError::what() const noexcept {
  switch (case_) {
    case Case::missingPayload: return "Missing \"payload\" object";
    case Case::invalidUserId: return "Invalid or missing \"userId\"";
    case Case::invalidSessionId: return "Invalid or missing \"sessionId\"";
    case Case::invalidAnswerId: return "Invalid \"answerId\"";
    case Case::invalidIdToken: return "Invalid or missing \"idToken\"";
  }
  return "Invalid payload";
}

EnterAnswerPayload EnterAnswerPayload::fromMessageBody(const nlohmann::json& body) {
  using Case = ParseError::Case;
  if (!body.is_object()) throw ParseError(Case::missingPayload);
  auto payloadIt = body.find("payload");
  if (payloadIt == body.end() || !payloadIt->is_object()) throw ParseError(Case::missingPayload);
  const nlohmann::json& payload = *payloadIt;

  const std::string* userId = nonEmptyString(payload, "userId");
  if (!userId) throw ParseError(Case::invalidUserId);
  const std::string* sessionId = nonEmptyString(payload, "sessionId");
  if (!sessionId) throw ParseError(Case::invalidSessionId);

  std::optional<std::string> answerId;
  if (auto it = payload.find("answerId"); it != payload.end() && !it->is_null()) {
    if (!it->is_string()) throw ParseError(Case::invalidAnswerId);
    const auto& text = it->get_ref<const std::string&>();
    if (text.empty())
      Logger("EnterAnswerPayload")
          .error("answerId was an empty string — treating as nil (leave). JS side may have a bug.");
    else
      answerId = text;
  }

  const std::string* idToken = nonEmptyString(payload, "idToken");
  if (!idToken) throw ParseError(Case::invalidIdToken);

  return EnterAnswerPayload{*userId, *sessionId, std::move(answerId), *idToken};
}

}  // namespace veltrano
