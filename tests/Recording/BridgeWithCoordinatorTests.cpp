#include "CoordinatorFixture.hpp"

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Upload/UploadError.hpp"

#include <glib.h>

using namespace veltrano;
using namespace veltrano::testing;
using nlohmann::json;

namespace {

// The bridge on a GLib main context of its own (the test thread iterates
// it) in front of a coordinator built with the fixture's fakes.
class BridgeWithCoordinatorTest : public CoordinatorTest {
 protected:
  BridgeWithCoordinatorTest() { g_main_context_push_thread_default(glib_); }
  ~BridgeWithCoordinatorTest() override {
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
  }

  std::shared_ptr<std::vector<json>> post(json body) {
    if (!handler_) handler_ = std::make_shared<VeltranoBridgeMessageHandler>(coordinatorPointer());
    auto replies = std::make_shared<std::vector<json>>();
    VeltranoBridgeMessageHandler::receive(handler_, bridgeMain_.get_executor(), std::move(body),
                                          [replies](std::string text) { replies->push_back(json::parse(text)); });
    return replies;
  }

  // Runs both loops and virtual time until every reply is in.
  void settle(const std::vector<std::shared_ptr<std::vector<json>>>& waiting) {
    auto allIn = [&] { return std::all_of(waiting.begin(), waiting.end(), [](const auto& r) { return !r->empty(); }); };
    for (int round = 0; round < 10000 && !allIn(); ++round) {
      bool progressed = false;
      while (g_main_context_iteration(glib_, FALSE)) progressed = true;
      progressed = ex.runUntilIdle() > 0 || progressed;
      if (!progressed) clock.advanceToNext();
    }
    ASSERT_TRUE(allIn());
  }

  json roundTrip(json body) {
    auto replies = post(std::move(body));
    settle({replies});
    EXPECT_EQ(replies->size(), 1u);
    return replies->front();
  }

  static json enterBody(std::optional<std::string> answerId, std::string token = "t") {
    json payload = {{"userId", "user"}, {"sessionId", "session"}, {"idToken", token}};
    if (answerId) payload["answerId"] = *answerId;
    return {{"method", "enterAnswer"}, {"payload", payload}};
  }
  static json retryBody(json payload) { return {{"method", "retryPendingUploads"}, {"payload", std::move(payload)}}; }
  static json ok(json data) { return {{"ok", true}, {"data", std::move(data)}}; }
  static json failure(const std::string& code, const std::string& message) {
    return {{"ok", false}, {"code", code}, {"message", message}};
  }

  GMainContext* glib_ = g_main_context_new();
  MainContext bridgeMain_{glib_};
  std::shared_ptr<VeltranoBridgeMessageHandler> handler_;
};

}  // namespace

TEST_F(BridgeWithCoordinatorTest, EveryStatusAndErrorReachesThePageAsItsEnvelope) {
  EXPECT_EQ(roundTrip(enterBody("a")), ok({{"status", "recording"}, {"answerId", "a"}}));
  EXPECT_EQ(roundTrip(enterBody("a")), ok({{"status", "already_recording"}, {"answerId", "a"}}));
  EXPECT_EQ(roundTrip(enterBody(std::nullopt)), ok({{"status", "idle"}}));

  // Two enters back to back: the first is overtaken.
  scripts = {RecorderScript{.startTime = 2s}, RecorderScript{}};
  auto first = post(enterBody("b")), second = post(enterBody("c"));
  settle({first, second});
  EXPECT_EQ(first->front(), ok({{"status", "aborted"}}));
  EXPECT_EQ(second->front(), ok({{"status", "recording"}, {"answerId", "c"}}));

  // The leave's upload fails: upload_failed with the upload error's text.
  uploads.outcome = [](const FakeUploadClient::Call&) {
    return std::make_exception_ptr(UploadError::badHTTPStatus(503));
  };
  EXPECT_EQ(roundTrip(enterBody(std::nullopt)), failure("upload_failed", "UploadError.badHTTPStatus(503)"));
  uploads.outcome = nullptr;

  scripts = {RecorderScript{.failStart = true}};
  EXPECT_EQ(roundTrip(enterBody("d")), failure("camera_unavailable", "camera 4 failed"));
  scripts = {RecorderScript{.failStop = true}};
  EXPECT_EQ(roundTrip(enterBody("e")), ok({{"status", "recording"}, {"answerId", "e"}}));
  EXPECT_EQ(roundTrip(enterBody(std::nullopt)), failure("recording_stop_failed", "stop 5 failed"));
  scripts = {RecorderScript{.cannotCreate = true}};
  EXPECT_EQ(roundTrip(enterBody("f")), failure("enter_answer_failed", "no recorder available"));

  // The retry replies once the drain has started; the clip of the failed
  // upload is then delivered with the new token.
  for (const json& bad : {json(nullptr), json::object(), json{{"idToken", ""}}})
    EXPECT_EQ(roundTrip(retryBody(bad)), failure("invalid_payload", "Missing or empty \"idToken\""));
  ASSERT_EQ(storedRecords().size(), 1u);
  const std::size_t callsBefore = uploads.calls.size();
  EXPECT_EQ(roundTrip(retryBody({{"idToken", "fresh"}})), ok(nullptr));
  EXPECT_EQ(uploads.calls.size(), callsBefore + 1) << "the first attempt is under way, not finished";
  clock.advance(5s);
  EXPECT_EQ(uploads.calls.back().idToken, "fresh");
  EXPECT_TRUE(storedRecords().empty());
  EXPECT_TRUE(clipsOnDisk().empty());
}
