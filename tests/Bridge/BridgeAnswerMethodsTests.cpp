#include "Bridge/BridgeAnswerMethods.hpp"
#include "BridgeTestSupport.hpp"
#include "Recording/RecordingError.hpp"

#include <stdexcept>
#include <system_error>

using namespace veltrano;
using nlohmann::json;
using veltrano::testing::BridgeTest;

namespace {

json enterBody(json payload) { return json{{"method", "enterAnswer"}, {"payload", std::move(payload)}}; }
json validPayload(json answerId = "a1") {
  return json{{"userId", "u1"}, {"sessionId", "s1"}, {"answerId", std::move(answerId)}, {"idToken", "tok"}};
}

}  // namespace

TEST_F(BridgeTest, RetryWithoutANonEmptyStringTokenIsRejectedAndNeverReachesTheCoordinator) {
  for (const char* text : {R"({"method":"retryPendingUploads"})", R"({"method":"retryPendingUploads","payload":null})",
                           R"({"method":"retryPendingUploads","payload":"tok"})",
                           R"({"method":"retryPendingUploads","payload":["tok"]})",
                           R"({"method":"retryPendingUploads","payload":{}})",
                           R"({"method":"retryPendingUploads","payload":{"idToken":""}})",
                           R"({"method":"retryPendingUploads","payload":{"idToken":null}})",
                           R"({"method":"retryPendingUploads","payload":{"idToken":42}})",
                           R"({"method":"retryPendingUploads","payload":{"idToken":{"v":"t"}}})",
                           R"({"method":"retryPendingUploads","idToken":"tok"})"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(roundTrip(json::parse(text)), failure("invalid_payload", "Missing or empty \"idToken\""));
  }
  EXPECT_TRUE(coordinator_->retryCalls.empty());
}

TEST_F(BridgeTest, RetryHandsTheTokenOverUnchangedAndRepliesOnceTheCoordinatorReturns) {
  coordinator_->gates[" tok en "];
  auto handler = makeHandler();
  auto replies = post(handler, json{{"method", "retryPendingUploads"}, {"payload", {{"idToken", " tok en "}, {"x", 1}}}});
  runMain();
  ASSERT_EQ(coordinator_->retryCalls, std::vector<std::string>{" tok en "});
  EXPECT_EQ(replies->count(), 0u) << "replied before the coordinator was done";
  coordinator_->gates[" tok en "].open();
  runMain();
  ASSERT_EQ(replies->count(), 1u);
  EXPECT_EQ(replies->envelopes.front(), success(nullptr));
  EXPECT_TRUE(replies->envelopes.front().contains("data"));
}

TEST_F(BridgeTest, EnterAnswerPayloadsTheParserRejectsNeverReachTheCoordinator) {
  EXPECT_EQ(roundTrip(json{{"method", "enterAnswer"}}), failure("invalid_payload", "Missing \"payload\" object"));
  EXPECT_EQ(roundTrip(enterBody(nullptr)), failure("invalid_payload", "Missing \"payload\" object"));
  EXPECT_EQ(roundTrip(enterBody(json::object())), failure("invalid_payload", "Invalid or missing \"userId\""));
  EXPECT_EQ(roundTrip(enterBody(validPayload(42))), failure("invalid_payload", "Invalid \"answerId\""));
  json noToken = validPayload();
  noToken["idToken"] = "";
  EXPECT_EQ(roundTrip(enterBody(noToken)), failure("invalid_payload", "Invalid or missing \"idToken\""));
  EXPECT_TRUE(coordinator_->enterCalls.empty());
}

TEST_F(BridgeTest, EnterAnswerHandsTheParsedPayloadOverAndRepliesWithTheCoordinatorsData) {
  coordinator_->enterResult = [](const EnterAnswerPayload& p) -> json {
    if (!p.answerId) return json{{"status", "idle"}};
    return json{{"status", "already_recording"}, {"answerId", *p.answerId}};
  };
  EXPECT_EQ(roundTrip(enterBody(validPayload())), success(json{{"status", "already_recording"}, {"answerId", "a1"}}));
  EXPECT_EQ(roundTrip(enterBody(validPayload(""))), success(json{{"status", "idle"}}));
  ASSERT_EQ(coordinator_->enterCalls.size(), 2u);
  EXPECT_EQ(coordinator_->enterCalls[0], (EnterAnswerPayload{"u1", "s1", "a1", "tok"}));
  EXPECT_EQ(coordinator_->enterCalls[1], (EnterAnswerPayload{"u1", "s1", std::nullopt, "tok"}));
}

TEST_F(BridgeTest, EnterAnswerFailuresAreMappedToTheirCodeWithTheUnderlyingDescription) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    json expected;
  };
  auto cause = [](const char* text) { return std::make_exception_ptr(std::runtime_error(text)); };
  const std::vector<Case> cases{
      {"camera", [&] { throw RecordingError::cameraSetupFailed(cause("No camera was found.")); },
       failure("camera_unavailable", "No camera was found.")},
      {"stop", [&] { throw RecordingError::recordingStopFailed(cause("Writer failed")); },
       failure("recording_stop_failed", "Writer failed")},
      {"upload", [&] { throw RecordingError::uploadFailed(cause("HTTP 503")); }, failure("upload_failed", "HTTP 503")},
      {"nested", [&] {
         throw RecordingError::uploadFailed(std::make_exception_ptr(RecordingError::cameraSetupFailed(cause("inner"))));
       },
       failure("upload_failed", "inner")},
      {"system error",
       [] { throw std::system_error(std::make_error_code(std::errc::timed_out), "signed URL request"); },
       failure("enter_answer_failed",
               std::system_error(std::make_error_code(std::errc::timed_out), "signed URL request").what())},
      {"parse error from the coordinator",
       [] { throw EnterAnswerPayload::ParseError(EnterAnswerPayload::ParseError::Case::invalidSessionId); },
       failure("invalid_payload", "Invalid or missing \"sessionId\"")},
      {"not an exception class", [] { throw 7; }, failure("enter_answer_failed", "unknown error")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    coordinator_->enterResult = [&](const EnterAnswerPayload&) -> json {
      c.raise();
      return json();
    };
    EXPECT_EQ(roundTrip(enterBody(validPayload())), c.expected);
  }
  EXPECT_EQ(coordinator_->enterCalls.size(), cases.size());
}

TEST_F(BridgeTest, ACoordinatorThatBreaksItsNeverFailsPromiseStillLeavesThePageOneReply) {
  coordinator_->retryResult = [](const std::string&) { throw std::logic_error("store exploded"); };
  EXPECT_EQ(roundTrip(json{{"method", "retryPendingUploads"}, {"payload", {{"idToken", "t"}}}}),
            failure("internal", "store exploded"));
}

TEST(RecordingError, DescribesItselfWithTheUnderlyingError) {
  auto error = RecordingError::recordingStopFailed(std::make_exception_ptr(std::runtime_error("disk full")));
  EXPECT_EQ(error.which(), RecordingError::Case::recordingStopFailed);
  EXPECT_STREQ(error.what(), "disk full");
  ASSERT_TRUE(error.underlying());
  EXPECT_THROW(std::rethrow_exception(error.underlying()), std::runtime_error);
  EXPECT_STREQ(RecordingError::uploadFailed(nullptr).what(), "unknown error");
}
