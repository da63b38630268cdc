#include "Bridge/EnterAnswerPayload.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

using namespace veltrano;
using nlohmann::json;

namespace {

// The parse error's text, or "" when the body parses.
std::string parseFailure(const json& body) {
  try {
    EnterAnswerPayload::fromMessageBody(body);
  } catch (const EnterAnswerPayload::ParseError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(EnterAnswerPayload, TheFirstCheckThatFailsDecidesTheErrorAndNothingIsLogged) {
  veltrano::testing::LogCapture capture;
  const std::string payload = "Missing \"payload\" object", user = "Invalid or missing \"userId\"",
                    session = "Invalid or missing \"sessionId\"", answer = "Invalid \"answerId\"",
                    token = "Invalid or missing \"idToken\"";
  const std::vector<std::pair<const char*, std::string>> cases{
      {R"({})", payload},
      {R"({"payload":null})", payload},
      {R"({"payload":"u"})", payload},
      {R"({"payload":[{"userId":"u","sessionId":"s","idToken":"t"}]})", payload},
      {R"([{"payload":{"userId":"u","sessionId":"s","idToken":"t"}}])", payload},
      {R"({"payload":{"idToken":"t"}})", user},
      {R"({"payload":{"userId":7,"sessionId":"s","idToken":"t"}})", user},
      {R"({"payload":{"userId":"u","sessionId":"","answerId":42}})", session},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":42}})", answer},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":false,"idToken":"t"}})", answer},
      {R"({"payload":{"userId":"u","sessionId":"s","idToken":""}})", token},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":null,"idToken":1}})", token},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseFailure(json::parse(text)), expected) << text;
  EXPECT_TRUE(capture->records().empty()) << "only an empty answer id is worth a log line";
}

TEST(EnterAnswerPayload, AnAbsentNullOrEmptyAnswerIdMeansLeaveAndOnlyTheEmptyOneIsLogged) {
  veltrano::testing::LogCapture capture;
  json body = json::parse(R"({"payload":{"userId":"u","sessionId":"s","idToken":"t"}})");
  const EnterAnswerPayload leave{"u", "s", std::nullopt, "t"};
  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(body), leave);
  body["payload"]["answerId"] = nullptr;
  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(body), leave);
  EXPECT_TRUE(capture->records().empty());

  body["payload"]["answerId"] = "";
  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(body), leave);
  body["payload"].erase("idToken");  // logged even though the token then fails
  EXPECT_EQ(parseFailure(body), "Invalid or missing \"idToken\"");
  const std::string line = "answerId was an empty string — treating as nil (leave). JS side may have a bug.";
  EXPECT_EQ(capture->messages("EnterAnswerPayload", LogLevel::error), (std::vector<std::string>{line, line}));
  EXPECT_EQ(capture->records().size(), 2u);
}

TEST(EnterAnswerPayload, StringsAreTakenAsTheyAreOtherKeysIgnoredAndEqualityWeighsEveryField) {
  const json body = json::parse(R"({"method": "enterAnswer", "extra": [1],
    "payload": {"userId": " ", "sessionId": " s\t", "answerId": "Ä/😀", "idToken": "e.x.y", "role": "admin"}})");
  const EnterAnswerPayload parsed = EnterAnswerPayload::fromMessageBody(body);
  EXPECT_EQ(parsed, (EnterAnswerPayload{" ", " s\t", "Ä/😀", "e.x.y"}));
  for (const EnterAnswerPayload& other : std::initializer_list<EnterAnswerPayload>{{"", " s\t", "Ä/😀", "e.x.y"},
                                                                                   {" ", "", "Ä/😀", "e.x.y"},
                                                                                   {" ", " s\t", "", "e.x.y"},
                                                                                   {" ", " s\t", std::nullopt, "e.x.y"},
                                                                                   {" ", " s\t", "Ä/😀", ""}})
    EXPECT_NE(parsed, other);
}
