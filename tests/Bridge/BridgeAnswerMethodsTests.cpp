#include "BridgeTestSupport.hpp"
#include "Recording/RecordingError.hpp"

#include <stdexcept>

using namespace veltrano;
using nlohmann::json;
using veltrano::testing::BridgeTest;

TEST_F(BridgeTest, RetryWithoutANonEmptyStringTokenIsRejectedBeforeTheCoordinator) {
  for (const char* payload : {"null", R"("tok")", "{}", R"({"idToken":""})", R"({"idToken":42})", R"({"token":"t"})"})
    EXPECT_EQ(roundTrip(json{{"method", "retryPendingUploads"}, {"payload", json::parse(payload)}}),
              failure("invalid_payload", "Missing or empty \"idToken\""))
        << payload;
  EXPECT_EQ(roundTrip(json{{"method", "retryPendingUploads"}}).at("code"), "invalid_payload");
  EXPECT_TRUE(coordinator_->retryCalls.empty());
}

TEST_F(BridgeTest, RetryHandsTheTokenOverUnchangedAndRepliesNullOnceTheCoordinatorReturns) {
  coordinator_->gates[" tok "];
  auto handler = makeHandler();
  auto replies = post(handler, json{{"method", "retryPendingUploads"}, {"payload", {{"idToken", " tok "}}}});
  runMain();
  EXPECT_EQ(coordinator_->retryCalls, std::vector<std::string>{" tok "});
  EXPECT_TRUE(replies->envelopes.empty());
  coordinator_->gates[" tok "].open();
  runMain();
  EXPECT_EQ(replies->envelopes, std::vector<json>{success(nullptr)});
}

TEST_F(BridgeTest, EnterAnswerParsesTheWholeBodyAndPassesTheCoordinatorsReplyThrough) {
  EXPECT_EQ(roundTrip(json{{"method", "enterAnswer"}}), failure("invalid_payload", "Missing \"payload\" object"));
  EXPECT_EQ(roundTrip(enter(42)), failure("invalid_payload", "Invalid \"answerId\""));
  EXPECT_TRUE(coordinator_->enterCalls.empty());

  coordinator_->enterResult = [](const EnterAnswerPayload& p) -> json {
    return p.answerId ? json{{"status", "already_recording"}, {"answerId", *p.answerId}} : json{{"status", "idle"}};
  };
  EXPECT_EQ(roundTrip(enter("a1")), success({{"status", "already_recording"}, {"answerId", "a1"}}));
  EXPECT_EQ(roundTrip(enter("")), success({{"status", "idle"}}));
  EXPECT_EQ(coordinator_->enterCalls,
            (std::vector<EnterAnswerPayload>{{"u", "s", "a1", "t"}, {"u", "s", std::nullopt, "t"}}));
}

TEST_F(BridgeTest, EnterAnswerFailuresAreMappedToTheirCodeWithTheUnderlyingDescription) {
  auto cause = [](const char* text) { return std::make_exception_ptr(std::runtime_error(text)); };
  const std::vector<std::pair<std::exception_ptr, json>> cases{
      {std::make_exception_ptr(RecordingError::cameraSetupFailed(cause("D"))), failure("camera_unavailable", "D")},
      {std::make_exception_ptr(RecordingError::recordingStopFailed(cause("E"))), failure("recording_stop_failed", "E")},
      {std::make_exception_ptr(RecordingError::uploadFailed(cause("HTTP 503"))), failure("upload_failed", "HTTP 503")},
      {std::make_exception_ptr(RecordingError::uploadFailed(nullptr)), failure("upload_failed", "unknown error")},
      {cause("disk full"), failure("enter_answer_failed", "disk full")},
      {std::make_exception_ptr(7), failure("enter_answer_failed", "unknown error")},
      {std::make_exception_ptr(EnterAnswerPayload::ParseError(EnterAnswerPayload::ParseError::Case::invalidIdToken)),
       failure("invalid_payload", "Invalid or missing \"idToken\"")},
  };
  for (const auto& [error, expected] : cases) {
    coordinator_->enterResult = [&error = error](const EnterAnswerPayload&) -> json { std::rethrow_exception(error); };
    EXPECT_EQ(roundTrip(enter("a")), expected);
  }
}

TEST_F(BridgeTest, ACoordinatorBreakingItsNeverFailsPromiseStillLeavesThePageOneReply) {
  coordinator_->retryResult = [] { throw std::logic_error("store exploded"); };
  EXPECT_EQ(roundTrip(json{{"method", "retryPendingUploads"}, {"payload", {{"idToken", "t"}}}}),
            failure("internal", "store exploded"));
}
