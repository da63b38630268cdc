#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Recording/RecordingError.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <set>
#include <stdexcept>

using namespace veltrano;
using namespace std::chrono;
using nlohmann::json;

namespace {

// Records the calls; a call whose answer id (or retry token) is held waits
// until the test advances the clock; the results may throw.
struct FakeCoordinator final : AnswerRecordingCoordinatorProtocol {
  std::vector<EnterAnswerPayload> enterCalls;
  std::vector<std::string> retryCalls;
  std::function<json(const EnterAnswerPayload&)> enterResult = [](const EnterAnswerPayload& p) -> json {
    return {{"status", "recording"}, {"answerId", p.answerId.value_or("")}};
  };
  std::function<void()> retryResult = [] {};
  std::set<std::string> held;
  veltrano::testing::VirtualClock clock{nullptr};
  SleepFunction sleep = clock.sleepFunction();

  Awaitable<json> enterAnswer(EnterAnswerPayload payload) override {
    enterCalls.push_back(payload);
    if (held.count(payload.answerId.value_or(""))) co_await sleep(1s);
    co_return enterResult(payload);
  }
  Awaitable<void> finalizeForTermination(bool) override { co_return; }
  Awaitable<void> retryPendingUploads(std::string idToken) override {
    retryCalls.push_back(idToken);
    if (held.count(idToken)) co_await sleep(1s);
    retryResult();
  }
};

json failure(std::string_view code, std::string_view message) {
  return {{"ok", false}, {"code", code}, {"message", message}};
}
json success(json data) {
  return {{"ok", true}, {"data", std::move(data)}};
}
json enter(json answerId) {
  return {{"method", "enterAnswer"},
          {"payload", {{"userId", "u"}, {"sessionId", "s"}, {"answerId", std::move(answerId)}, {"idToken", "t"}}}};
}
json retry(json payload) {
  return {{"method", "retryPendingUploads"}, {"payload", std::move(payload)}};
}

// The test thread is the main thread: a private GLib context that runs only
// when the test iterates it.
class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() : glib_(g_main_context_new()), main_(glib_) { g_main_context_push_thread_default(glib_); }
  ~BridgeTest() override {
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
  }

  // Posts a body as the web view glue does. Every reply must come on the main
  // thread, and is parsed strictly, so one that is not valid UTF-8 JSON is lost.
  std::shared_ptr<std::vector<json>> post(json body) {
    auto replies = std::make_shared<std::vector<json>>();
    VeltranoBridgeMessageHandler::receive(
        handler_, main_.get_executor(), std::move(body), [this, replies](std::string t) {
          EXPECT_TRUE(main_.isCurrentThread());
          replies->push_back(json::parse(t));
        });
    return replies;
  }

  void runMain() {
    while (g_main_context_iteration(glib_, FALSE)) {
    }
  }

  // One body in, the main loop run dry, its single reply out.
  json roundTrip(json body) {
    auto replies = post(std::move(body));
    runMain();
    EXPECT_EQ(replies->size(), 1u);
    return replies->empty() ? json() : replies->front();
  }

  GMainContext* glib_;
  MainContext main_;
  std::shared_ptr<FakeCoordinator> coordinator_ = std::make_shared<FakeCoordinator>();
  std::shared_ptr<VeltranoBridgeMessageHandler> handler_ = std::make_shared<VeltranoBridgeMessageHandler>(coordinator_);
};

}  // namespace

TEST_F(BridgeTest, BodiesAndMethodsTheDispatchRejects) {
  // Bodies arrive as JSON text; text that is no JSON at all counts as no object.
  for (const char* text : {R"("ping")", "42", "null", R"([{"method":"ping"}])", "", "{"})
    EXPECT_EQ(roundTrip(parseMessageBody(text)), failure("invalid_body", "Expected a JSON object body")) << text;
  for (const char* text : {"{}", R"({"method":""})", R"({"method":5})", R"({"method":null})", R"({"Method":"ping"})"})
    EXPECT_EQ(roundTrip(json::parse(text)), failure("missing_method", "Missing or empty \"method\"")) << text;
  for (const char* method : {"Ping", "PING", " ping", "enteranswer", "retrypendinguploads", "pïng ✓"})
    EXPECT_EQ(roundTrip(json{{"method", method}}), failure("unknown_method", std::string("Unknown method: ") + method));
  EXPECT_TRUE(coordinator_->enterCalls.empty() && coordinator_->retryCalls.empty());

  // Hostile text still gets one envelope, and reaches the page as valid UTF-8.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_EQ(roundTrip(parseMessageBody(deep)).at("code"), "invalid_body");
  EXPECT_EQ(roundTrip(json{{"method", "p\xFFing"}}), failure("unknown_method", "Unknown method: p\uFFFDing"));
  EXPECT_EQ(roundTrip(parseMessageBody(R"({"method":"ping","payload":)" + deep + "}")).at("ok"), true);
  const json huge = roundTrip(parseMessageBody(R"({"method":")" + std::string(8 << 20, 'x') + R"("})"));
  EXPECT_EQ(huge.at("message").get<std::string>().size(), (8u << 20) + 16u);
}

TEST_F(BridgeTest, PingAnswersPongWithTheUtcSecondWhateverThePayload) {
  const auto before = system_clock::now();  // the default clock is the system's
  const std::string stamp = roundTrip(json{{"method", "ping"}}).at("data").at("timestamp");
  EXPECT_TRUE(stamp == formatInternetDateTime(before) || stamp == formatInternetDateTime(system_clock::now())) << stamp;

  handler_ = std::make_shared<VeltranoBridgeMessageHandler>(
      coordinator_, [] { return sys_days{February / 29 / 2024} + 23h + 59min + 59s + 999ms; });
  for (const json& body : {json{{"method", "ping"}}, json{{"method", "ping"}, {"payload", nullptr}, {"extra", 1}},
                           json{{"method", "ping"}, {"payload", {1}}}, json{{"method", "ping"}, {"payload", "x"}}})
    EXPECT_EQ(roundTrip(body), success({{"pong", true}, {"timestamp", "2024-02-29T23:59:59Z"}})) << body;
  EXPECT_EQ(formatInternetDateTime(system_clock::time_point{} - 500ms), "1969-12-31T23:59:59Z");
}

// "uploadStatus" answers the board's snapshot as it is at that moment,
// whatever the payload, without the coordinator; a file name that is not
// UTF-8 reaches the page repaired. Without a board: no clips.
TEST_F(BridgeTest, UploadStatusAnswersTheSnapshotOfTheMoment) {
  EXPECT_EQ(roundTrip(json{{"method", "uploadStatus"}}), success({{"clips", json::array()}, {"pending", 0}}));
  int asked = 0;
  json snapshot = {{"clips", {{{"clipId", "a.mp4"}, {"state", "queued"}}}}, {"pending", 1}};
  handler_ = std::make_shared<VeltranoBridgeMessageHandler>(
      coordinator_, [] { return system_clock::now(); },
      [&] {
        ++asked;
        return snapshot;
      });
  for (const json& body : {json{{"method", "uploadStatus"}}, json{{"method", "uploadStatus"}, {"payload", {1, 2}}}})
    EXPECT_EQ(roundTrip(body), success(snapshot)) << body;
  snapshot["clips"][0]["clipId"] = "b\xFF.mp4";
  snapshot["pending"] = 0;
  EXPECT_EQ(roundTrip(json{{"method", "uploadStatus"}}).at("data").at("clips")[0]["clipId"], "b\uFFFD.mp4");
  EXPECT_EQ(roundTrip(json{{"method", "UploadStatus"}}), failure("unknown_method", "Unknown method: UploadStatus"));
  EXPECT_EQ(asked, 3);
  EXPECT_TRUE(coordinator_->enterCalls.empty() && coordinator_->retryCalls.empty());
}

TEST_F(BridgeTest, RepliesMayOvertakeEachOtherComeOnceAndInternalWhenTheHandlerIsGone) {
  coordinator_->held = {"A"};
  auto a = post(enter("A")), ping = post(json{{"method", "ping"}}), b = post(enter("B"));
  EXPECT_TRUE(ping->empty()) << "no reply before the main loop runs";
  runMain();
  ASSERT_EQ(coordinator_->enterCalls.size(), 2u);  // tasks start in arrival order
  EXPECT_EQ(coordinator_->enterCalls[0].answerId, "A");
  EXPECT_EQ(coordinator_->enterCalls[1].answerId, "B");
  EXPECT_TRUE(a->empty());
  EXPECT_EQ(ping->size(), 1u);
  EXPECT_EQ(*b, std::vector<json>{success({{"status", "recording"}, {"answerId", "B"}})});

  // A message in flight outlives its handler; one still queued does not.
  handler_.reset();
  coordinator_->clock.advance(1s);
  runMain();
  EXPECT_EQ(*a, std::vector<json>{success({{"status", "recording"}, {"answerId", "A"}})});
  handler_ = std::make_shared<VeltranoBridgeMessageHandler>(coordinator_);
  auto orphaned = post(enter("C"));
  handler_.reset();
  runMain();
  EXPECT_EQ(*orphaned, std::vector<json>{failure("internal", "Bridge handler unavailable")});
  EXPECT_EQ(coordinator_->enterCalls.size(), 2u);
  EXPECT_EQ(ping->size() + b->size(), 2u) << "each message is answered once";
}

TEST_F(BridgeTest, BodiesWithoutTheCoordinatorAreAnsweredInTheirOwnMainLoopTurn) {
  // One turn per message keeps the page's round trip close to a bare reply
  // handler's; the coordinator's methods need a task of their own.
  for (const json& body : {json{{"method", "ping"}}, json("text"), json::object(), json{{"method", "nope"}}}) {
    auto replies = post(body);
    EXPECT_TRUE(replies->empty()) << body;
    g_main_context_iteration(glib_, FALSE);
    EXPECT_EQ(replies->size(), 1u) << body;
  }
  auto entered = post(enter("A"));
  g_main_context_iteration(glib_, FALSE);
  EXPECT_TRUE(entered->empty());
  runMain();
  EXPECT_EQ(*entered, std::vector<json>{success({{"status", "recording"}, {"answerId", "A"}})});
}

TEST(BridgeMainLoop, AMessageStillQueuedWhenTheMainLoopGoesAwayIsAnsweredInternal) {
  std::vector<std::string> replies;
  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(std::make_shared<FakeCoordinator>());
  GMainContext* glib = g_main_context_new();
  auto main = std::make_unique<MainContext>(glib);
  VeltranoBridgeMessageHandler::receive(handler, main->get_executor(), json{{"method", "ping"}},
                                        [&](std::string text) { replies.push_back(std::move(text)); });
  main.reset();
  g_main_context_unref(glib);  // the last reference: queued work is dropped here
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(json::parse(replies[0]), failure("internal", "Bridge handler unavailable"));
}

TEST_F(BridgeTest, RetryChecksTheTokenAndRepliesNullOnceTheCoordinatorReturns) {
  for (const char* payload : {"null", R"("tok")", "{}", R"({"idToken":""})", R"({"idToken":42})", R"({"token":"t"})"})
    EXPECT_EQ(roundTrip(retry(json::parse(payload))), failure("invalid_payload", "Missing or empty \"idToken\""))
        << payload;
  EXPECT_EQ(roundTrip(json{{"method", "retryPendingUploads"}}).at("code"), "invalid_payload");
  EXPECT_TRUE(coordinator_->retryCalls.empty());

  coordinator_->held = {" tok "};
  auto replies = post(retry({{"idToken", " tok "}}));
  runMain();
  EXPECT_EQ(coordinator_->retryCalls, std::vector<std::string>{" tok "});  // handed over unchanged
  EXPECT_TRUE(replies->empty());
  coordinator_->clock.advance(1s);
  runMain();
  EXPECT_EQ(*replies, std::vector<json>{success(nullptr)});

  // A coordinator breaking its never-fails promise still leaves the page one reply.
  coordinator_->retryResult = [] { throw std::logic_error("store exploded"); };
  EXPECT_EQ(roundTrip(retry({{"idToken", "t"}})), failure("internal", "store exploded"));
}

TEST_F(BridgeTest, EnterAnswerParsesTheWholeBodyAndMapsFailuresToTheirCodeWithTheUnderlyingDescription) {
  EXPECT_EQ(roundTrip(json{{"method", "enterAnswer"}}), failure("invalid_payload", "Missing \"payload\" object"));
  EXPECT_TRUE(coordinator_->enterCalls.empty());
  EXPECT_EQ(roundTrip(enter("")), success({{"status", "recording"}, {"answerId", ""}}));
  EXPECT_EQ(coordinator_->enterCalls, (std::vector<EnterAnswerPayload>{{"u", "s", std::nullopt, "t"}}));

  auto cause = [](const char* text) { return std::make_exception_ptr(std::runtime_error(text)); };
  const std::vector<std::pair<std::exception_ptr, json>> cases{
      {std::make_exception_ptr(RecordingError::cameraSetupFailed(cause("D"))), failure("camera_unavailable", "D")},
      {std::make_exception_ptr(RecordingError::recordingStopFailed(cause("E"))), failure("recording_stop_failed", "E")},
      {std::make_exception_ptr(RecordingError::uploadFailed(cause("HTTP 503"))), failure("upload_failed", "HTTP 503")},
      {std::make_exception_ptr(RecordingError::uploadFailed(nullptr)), failure("upload_failed", "unknown error")},
      {cause("disk full"), failure("enter_answer_failed", "disk full")},
      {std::make_exception_ptr(7), failure("enter_answer_failed", "unknown error")},
  };
  for (const auto& [error, expected] : cases) {
    coordinator_->enterResult = [&error = error](const EnterAnswerPayload&) -> json { std::rethrow_exception(error); };
    EXPECT_EQ(roundTrip(enter("a")), expected);
  }
}

TEST(BridgeBodyRepair, LoneSurrogatesAndInvalidUtf8BecomeReplacementCharactersAndTheRestStays) {
  const std::string r = "\uFFFD", smile = "\U0001F600";
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"(["a\ud83d"])", "a" + r},
      {R"(["\ude00b"])", r + "b"},
      {R"(["\ud83d\ud83d\uDE00"])", r + smile},
      {R"(["\ud800\u0041"])", r + "A"},
      {R"(["\\ud800"])", "\\ud800"},
      {R"(["\"\ud800"])", "\"" + r},  // escapes keep the string open
      {"[\"\xFF\"]", r},
      {"[\"\xC0\xAF\"]", r + r},  // overlong
      {"[\"\xED\xA0\x80\"]", r + r + r},
      {"[\"x\xE2\x82\"]", "x" + r + r},  // UTF-8 surrogate; cut short
      {"[\"\xC3\xA9\xE2\x82\xAC\"]", "\xC3\xA9\xE2\x82\xAC"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseMessageBody(text), json::array({expected})) << text;
  EXPECT_TRUE(parseMessageBody(R"({"\udfff":1})").contains(r));  // keys too
}

TEST(BridgeReply, KeepsAThrowingGlueCallbackToItself) {
  BridgeReply throwing([](std::string) { throw std::runtime_error("glue failed"); });
  EXPECT_NO_THROW(throwing.send(makeSuccessEnvelope(nullptr)));
  EXPECT_FALSE(throwing.isPending());
}

namespace {

// The camera methods' other side: records what the bridge asked for.
struct FakeCameras final : CameraControls {
  std::vector<int> starts;
  int stops = 0;
  std::vector<std::optional<std::string>> selections;
  std::exception_ptr startFailure;
  json list = json::array({{{"id", "pipewire:a"}, {"name", "A"}, {"isDefault", true}, {"isSelected", false}}});

  Awaitable<json> startPreview(int maxWidth) override {
    starts.push_back(maxWidth);
    if (startFailure) std::rethrow_exception(startFailure);
    co_return json{{"url", "app://local/__veltrano/preview"}, {"width", maxWidth}, {"height", maxWidth * 9 / 16}};
  }
  void stopPreview() override { ++stops; }
  json listCameras() override { return list; }
  json selectCamera(const std::optional<std::string>& id) override {
    selections.push_back(id);
    if (id == "gone") throw BridgeFailure("camera_unavailable", "No camera with the id \"gone\" is connected.");
    return list;
  }
};

}  // namespace

// The preview and camera methods: each payload rule, each answer, nothing
// done for a payload that does not fit, failures with their own code; on a
// side without cameras they are unknown methods.
TEST_F(BridgeTest, CameraMethodsCheckTheirPayloadsAndAnswerFromTheCameras) {
  for (const char* method : {"startPreview", "stopPreview", "listCameras", "selectCamera"})
    EXPECT_EQ(roundTrip(json{{"method", method}}), failure("unknown_method", std::string("Unknown method: ") + method));

  auto cameras = std::make_shared<FakeCameras>();
  handler_ = std::make_shared<VeltranoBridgeMessageHandler>(
      coordinator_, [] { return system_clock::now(); }, VeltranoBridgeMessageHandler::UploadStatus{}, cameras);
  const std::string widthRule = "\"maxWidth\" must be a whole number from 16 to 3840";
  const std::string idRule = "\"selectCamera\" needs {\"id\": a camera id, or null for the system default}";
  struct Row {
    json body;
    json reply;
  };
  const Row rows[] = {
      {{{"method", "startPreview"}},
       success({{"url", "app://local/__veltrano/preview"}, {"width", 640}, {"height", 360}})},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", nullptr}}}},
       success({{"url", "app://local/__veltrano/preview"}, {"width", 640}, {"height", 360}})},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", 16}}}},
       success({{"url", "app://local/__veltrano/preview"}, {"width", 16}, {"height", 9}})},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", 3840}}}},
       success({{"url", "app://local/__veltrano/preview"}, {"width", 3840}, {"height", 2160}})},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", 15}}}}, failure("invalid_payload", widthRule)},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", 3841}}}}, failure("invalid_payload", widthRule)},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", 640.5}}}}, failure("invalid_payload", widthRule)},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", "640"}}}}, failure("invalid_payload", widthRule)},
      {{{"method", "startPreview"}, {"payload", {{"maxWidth", -1}}}}, failure("invalid_payload", widthRule)},
      {{{"method", "startPreview"}, {"payload", {640}}},
       failure("invalid_payload", "The \"startPreview\" payload must be an object")},
      {{{"method", "stopPreview"}, {"payload", 1}}, success(json::object())},
      {{{"method", "listCameras"}}, success(cameras->list)},
      {{{"method", "selectCamera"}, {"payload", {{"id", "pipewire:a"}}}}, success(cameras->list)},
      {{{"method", "selectCamera"}, {"payload", {{"id", nullptr}}}}, success(cameras->list)},
      {{{"method", "selectCamera"}, {"payload", {{"id", "gone"}}}},
       failure("camera_unavailable", "No camera with the id \"gone\" is connected.")},
      {{{"method", "selectCamera"}}, failure("invalid_payload", idRule)},
      {{{"method", "selectCamera"}, {"payload", json::object()}}, failure("invalid_payload", idRule)},
      {{{"method", "selectCamera"}, {"payload", {{"id", ""}}}}, failure("invalid_payload", idRule)},
      {{{"method", "selectCamera"}, {"payload", {{"id", 7}}}}, failure("invalid_payload", idRule)},
      {{{"method", "selectCamera"}, {"payload", "pipewire:a"}}, failure("invalid_payload", idRule)},
  };
  for (const auto& row : rows) EXPECT_EQ(roundTrip(row.body), row.reply) << row.body;
  EXPECT_EQ(cameras->starts, (std::vector<int>{640, 640, 16, 3840}));
  EXPECT_EQ(cameras->stops, 1);
  EXPECT_EQ(cameras->selections, (std::vector<std::optional<std::string>>{"pipewire:a", std::nullopt, "gone"}));

  // A camera that cannot be shown, and a fault of the cameras' own.
  cameras->startFailure = std::make_exception_ptr(BridgeFailure("camera_unavailable", "Device busy."));
  EXPECT_EQ(roundTrip(json{{"method", "startPreview"}}), failure("camera_unavailable", "Device busy."));
  cameras->startFailure = std::make_exception_ptr(std::runtime_error("broken"));
  EXPECT_EQ(roundTrip(json{{"method", "startPreview"}}), failure("internal", "broken"));
  EXPECT_TRUE(coordinator_->enterCalls.empty() && coordinator_->retryCalls.empty());
}
