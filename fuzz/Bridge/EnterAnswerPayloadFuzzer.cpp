// The payload parser and the body repair in front of it: any input gives a
// payload that keeps the rules or one ParseError, never anything else; the
// repair leaves valid JSON alone, is idempotent and always yields valid UTF-8.
#include "Bridge/EnterAnswerPayload.hpp"
#include "FuzzBodies.hpp"

#include <memory>

using namespace veltrano;

namespace {

void checkRepair(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string repaired = repairJsonText(input);
  if (repairJsonText(repaired) != repaired) fuzzing::fail("repair is not idempotent");
  try {
    (void)nlohmann::json(repaired).dump();  // strict: throws on invalid UTF-8
  } catch (const nlohmann::json::type_error&) {
    fuzzing::fail("repaired text is not valid UTF-8");
  }
  const auto strict = nlohmann::json::parse(input, nullptr, false);
  if (!strict.is_discarded() && strict != parseMessageBody(input)) fuzzing::fail("repair changed valid JSON");
}

void checkPayload(const nlohmann::json& body) {
  EnterAnswerPayload payload;
  try {
    payload = EnterAnswerPayload::fromMessageBody(body);
  } catch (const EnterAnswerPayload::ParseError& e) {
    if (std::string_view(e.what()).empty()) fuzzing::fail("parse error without text");
    return;
  }
  const auto& fields = body.at("payload");
  if (payload.userId.empty() || payload.userId != fields.at("userId").get<std::string>()) fuzzing::fail("userId");
  if (payload.sessionId.empty() || payload.sessionId != fields.at("sessionId").get<std::string>())
    fuzzing::fail("sessionId");
  if (payload.idToken.empty() || payload.idToken != fields.at("idToken").get<std::string>()) fuzzing::fail("idToken");
  if (payload.answerId && (payload.answerId->empty() || *payload.answerId != fields.at("answerId").get<std::string>()))
    fuzzing::fail("answerId");
  if (!(EnterAnswerPayload::fromMessageBody(body) == payload)) fuzzing::fail("parsing is not repeatable");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Logger::setSink(std::make_shared<fuzzing::DiscardingLogSink>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkRepair(data, size);
  checkPayload(fuzzing::bodyFromBytes(data, size));
  return 0;
}
