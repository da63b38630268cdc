#include "Bridge/EnterAnswerPayload.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

using namespace veltrano;
using nlohmann::json;
using veltrano::testing::LogCapture;
using Case = EnterAnswerPayload::ParseError::Case;

namespace {

const char* const kEmptyAnswerIdLine =
    "answerId was an empty string — treating as nil (leave). JS side may have a bug.";

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
      {R"({"method":"enterAnswer"})", Case::missingPayload},
      {R"({"payload":null})", Case::missingPayload},
      {R"({"payload":[{"userId":"u"}]})", Case::missingPayload},
      {R"({"payload":"u"})", Case::missingPayload},
      {R"({"Payload":{"userId":"u","sessionId":"s","idToken":"t"}})", Case::missingPayload},
      {R"([{"payload":{"userId":"u","sessionId":"s","idToken":"t"}}])", Case::missingPayload},
      {R"("payload")", Case::missingPayload},
      {R"({"payload":{}})", Case::invalidUserId},
      {R"({"payload":{"idToken":"t"}})", Case::invalidUserId},
      {R"({"payload":{"userId":"","sessionId":"s","idToken":"t"}})", Case::invalidUserId},
      {R"({"payload":{"userId":7,"sessionId":"s","idToken":"t"}})", Case::invalidUserId},
      {R"({"payload":{"userId":null,"sessionId":"s","idToken":"t"}})", Case::invalidUserId},
      {R"({"payload":{"userId":"u","idToken":"t"}})", Case::invalidSessionId},
      {R"({"payload":{"userId":"u","sessionId":"","answerId":42}})", Case::invalidSessionId},
      {R"({"payload":{"userId":"u","sessionId":["s"],"idToken":"t"}})", Case::invalidSessionId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":42,"idToken":"t"}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":42}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":false,"idToken":"t"}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":{},"idToken":"t"}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":["a"],"idToken":"t"}})", Case::invalidAnswerId},
      {R"({"payload":{"userId":"u","sessionId":"s","idToken":""}})", Case::invalidIdToken},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":"a"}})", Case::invalidIdToken},
      {R"({"payload":{"userId":"u","sessionId":"s","answerId":null,"idToken":1}})", Case::invalidIdToken},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parseFailure(json::parse(text)), expected);
  }
}

TEST(EnterAnswerPayload, EachParseErrorHasItsFixedText) {
  const std::vector<std::pair<Case, const char*>> texts{
      {Case::missingPayload, "Missing \"payload\" object"},
      {Case::invalidUserId, "Invalid or missing \"userId\""},
      {Case::invalidSessionId, "Invalid or missing \"sessionId\""},
      {Case::invalidAnswerId, "Invalid \"answerId\""},
      {Case::invalidIdToken, "Invalid or missing \"idToken\""},
  };
  for (const auto& [which, text] : texts) EXPECT_STREQ(EnterAnswerPayload::ParseError(which).what(), text);
}

TEST(EnterAnswerPayload, AnAbsentNullOrEmptyAnswerIdMeansLeaveAndOnlyTheEmptyOneIsLogged) {
  LogCapture capture;
  const json absent = json::parse(R"({"payload":{"userId":"u","sessionId":"s","idToken":"t"}})");
  json null = absent, empty = absent;
  null["payload"]["answerId"] = nullptr;
  empty["payload"]["answerId"] = "";
  const EnterAnswerPayload leave{"u", "s", std::nullopt, "t"};

  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(absent), leave);
  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(null), leave);
  EXPECT_TRUE(capture->records().empty());

  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(empty), leave);
  const auto records = capture->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, LogLevel::error);
  EXPECT_EQ(records[0].subsystem, "com.brackwood.VeltranoMac");
  EXPECT_EQ(records[0].category, "EnterAnswerPayload");
  EXPECT_EQ(records[0].message, kEmptyAnswerIdLine);
}

TEST(EnterAnswerPayload, AnEmptyAnswerIdIsLoggedEvenWhenTheTokenThenFails) {
  LogCapture capture;
  EXPECT_EQ(parseFailure(json::parse(R"({"payload":{"userId":"u","sessionId":"s","answerId":""}})")),
            Case::invalidIdToken);
  EXPECT_EQ(capture->messages("EnterAnswerPayload", LogLevel::error), std::vector<std::string>{kEmptyAnswerIdLine});
}

TEST(EnterAnswerPayload, StringsAreTakenAsTheyAreAndOtherKeysIgnored) {
  const json body = json::parse(R"({
    "method": "enterAnswer", "extra": [1, 2],
    "payload": {"userId": " ", "sessionId": "  s\t", "answerId": "Ä/😀", "idToken": "eyJ.x.y", "role": "admin"}
  })");
  EXPECT_EQ(EnterAnswerPayload::fromMessageBody(body), (EnterAnswerPayload{" ", "  s\t", "Ä/😀", "eyJ.x.y"}));
}

TEST(EnterAnswerPayload, EqualityComparesEveryFieldAndTellsAbsentFromPresentAnswerIds) {
  const EnterAnswerPayload base{"u", "s", "a", "t"};
  EXPECT_EQ(base, (EnterAnswerPayload{"u", "s", "a", "t"}));
  EXPECT_EQ((EnterAnswerPayload{"u", "s", std::nullopt, "t"}), (EnterAnswerPayload{"u", "s", std::nullopt, "t"}));
  for (const EnterAnswerPayload& other :
       {EnterAnswerPayload{"U", "s", "a", "t"}, EnterAnswerPayload{"u", "S", "a", "t"},
        EnterAnswerPayload{"u", "s", "A", "t"}, EnterAnswerPayload{"u", "s", "a", "T"},
        EnterAnswerPayload{"u", "s", std::nullopt, "t"}, EnterAnswerPayload{"u", "s", "", "t"}}) {
    EXPECT_NE(base, other);
  }
  EXPECT_NE((EnterAnswerPayload{"u", "s", std::nullopt, "t"}), (EnterAnswerPayload{"u", "s", "", "t"}));
}
