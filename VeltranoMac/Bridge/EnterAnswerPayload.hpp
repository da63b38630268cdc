// The payload of the bridge method "enterAnswer", validated from a message
// body.
#pragma once

#include <nlohmann/json.hpp>

#include <exception>
#include <optional>
#include <string>

namespace veltrano {

// The validated payload of the bridge method "enterAnswer": with an answer id
// it enters that answer, without one it leaves the current answer.
struct EnterAnswerPayload {
  std::string userId;
  std::string sessionId;
  std::optional<std::string> answerId;  // absent: leave the current answer
  std::string idToken;

  // Why a message body was rejected. The text is shown to the page as the
  // message of an "invalid_payload" reply.
  class ParseError final : public std::exception {
   public:
    enum class Case { missingPayload, invalidUserId, invalidSessionId, invalidAnswerId, invalidIdToken };

    explicit ParseError(Case which) noexcept : case_(which) {}
    Case kind() const noexcept { return case_; }
    const char* what() const noexcept override;

    friend bool operator==(const ParseError& a, const ParseError& b) noexcept { return a.case_ == b.case_; }

   private:
    Case case_;
  };

  // Reads the whole message body (not the payload alone: "payload" is looked
  // up here). Checks run in a fixed order and the first failure is thrown as
  // ParseError; any JSON value is accepted as input, so a hostile body never
  // gets further than a ParseError. Strings are taken as they are: only their
  // length is checked.
  static EnterAnswerPayload fromMessageBody(const nlohmann::json& body);

  friend bool operator==(const EnterAnswerPayload&, const EnterAnswerPayload&) = default;
};

}  // namespace veltrano
