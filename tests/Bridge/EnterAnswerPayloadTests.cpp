#include "Bridge/EnterAnswerPayload.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

using namespace veltrano;
using nlohmann::json;
using Case = EnterAnswerPayload::ParseError::Case;

namespace {

std::optional<Case> parseFailure(const json& body) {
  try {
    EnterAnswerPayload::fromMessageBody(body);
  } catch (const EnterAnswerPayload::ParseError& e) {
    return e.which();
  }
  return std::nullopt;
}

}  // namespace

TEST(EnterAnswerPayload, TheFirstCheckThatFailsDecidesTheError) {
  const std::vector<std::pair<const char*, Case>> cases{
      {R"({})", Case::missingPayload},
      {R"({"payload":null})", Case::missingPayload},
      {R"({"payload":[{"userId":"u","sessionId":"s","idToken":"t"}]})", Case::missingPayload},
      {R"([{"payload":{"userId":"u","sessionId":"s","idToken":"t"}}])", Case::missingPayload},
      {R"({"payload":{}})", Case::invalidUserId},
      {R"({"payload":{"idToken":"t"}})", Case::invalidUserId},
      {R"({"payload":{"userId":7,"sessionId":"s","idToken":"t"}})", Case::invalidUserId},
      {R"({"payload":{"userId":"u","sessionId":"","answerId":42}})", Case::invalidSessionId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":42}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":false,"idToken":"t"}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":["a"],"idToken":"t"}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","idToken":""}})", Case::invalidIdToken},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":null,"idToken":1}})", Case::invalidIdToken},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseFailure(json::parse(text)), expected) << text;

  const std::vector<std::pair<Case, std::string>> texts{{Case::missingPayload, "Missing \"payload\" object"},
                                                        {Case::invalidUserId, "Invalid or missing \"userId\""},
                                                        {Case::invalidSessionId, "Invalid or missing \"sessionId\""},
                                                        {Case::invalidAnswerId, "Invalid \"answerId\""},
                                                        {Case::invalidIdToken, "Invalid or missing \"idToken\""}};
  for (const auto& [which, text] : texts) EXPECT_EQ(EnterAnswerPayload::ParseError(which).what(), text);
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
  EXPECT_EQ(parseFailure(body), Case::invalidIdToken);
  const auto records = capture->records();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    EXPECT_EQ(record.level, LogLevel::error);
    EXPECT_EQ(record.subsystem, "com.brackwood.VeltranoMac");
    EXPECT_EQ(record.category, "EnterAnswerPayload");
    EXPECT_EQ(record.message, "answerId was an empty string — treating as nil (leave). JS side may have a bug.");
  }
}

TEST(EnterAnswerPayload, StringsAreTakenAsTheyAreAndOtherKeysIgnored) {
  const json body = json::parse(R"({"method": "enterAnswer", "extra": [1],
    "payload": {"userId": " ", "sessionId": " s\t", "answerId": "Ä/😀", "idToken": "e.x.y", "role": "admin"}})");
  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(body), (EnterAnswerPayload{" ", " s\t", "Ä/😀", "e.x.y"}));
}

TEST(EnterAnswerPayload, EqualityComparesEveryFieldAndTellsAbsentFromPresentAnswerIds) {
  const EnterAnswerPayload base{"u", "s", "a", "t"}, leave{"u", "s", std::nullopt, "t"};
  EXPECT_TRUE(base == (EnterAnswerPayload{"u", "s", "a", "t"}) && leave == (EnterAnswerPayload{"u", "s", std::nullopt, "t"}));
  for (const EnterAnswerPayload& other : {EnterAnswerPayload{"U", "s", "a", "t"}, EnterAnswerPayload{"u", "S", "a", "t"},
                                          EnterAnswerPayload{"u", "s", "A", "t"}, EnterAnswerPayload{"u", "s", "a", "T"}, leave})
    EXPECT_NE(base, other);
}
