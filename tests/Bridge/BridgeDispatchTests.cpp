#include "BridgeTestSupport.hpp"

#include <regex>

using namespace veltrano;
using namespace std::chrono_literals;
using nlohmann::json;
using veltrano::testing::BridgeTest;

TEST_F(BridgeTest, BodiesAndMethodsTheDispatchRejects) {
  // Bodies arrive as JSON text; text that is no JSON at all counts as no object.
  for (const char* text : {R"("ping")", "42", "null", R"([{"method":"ping"}])", "", "{"})
    EXPECT_EQ(roundTrip(parseMessageBody(text)), failure("invalid_body", "Expected a JSON object body")) << text;
  for (const char* text : {"{}", R"({"method":""})", R"({"method":5})", R"({"method":null})", R"({"Method":"ping"})"})
    EXPECT_EQ(roundTrip(json::parse(text)), failure("missing_method", "Missing or empty \"method\"")) << text;
  for (const char* method : {"Ping", "PING", " ping", "enteranswer", "retrypendinguploads", "pïng ✓"})
    EXPECT_EQ(roundTrip(json{{"method", method}}), failure("unknown_method", std::string("Unknown method: ") + method));
  EXPECT_TRUE(coordinator_->enterCalls.empty() && coordinator_->retryCalls.empty());
}

TEST_F(BridgeTest, PingAnswersPongWithTheUtcSecondWhateverThePayload) {
  handler_ = makeHandler([] { return std::chrono::sys_days{std::chrono::January / 31 / 2026} + 9h + 5min + 999ms; });
  const json expected = success({{"pong", true}, {"timestamp", "2026-01-31T09:05:00Z"}});
  EXPECT_EQ(roundTrip(json{{"method", "ping"}}), expected);
  for (const json& payload : {json(nullptr), json::array({1}), json("x")})
    EXPECT_EQ(roundTrip(json{{"method", "ping"}, {"payload", payload}, {"extra", 1}}), expected);
}

TEST_F(BridgeTest, PingWithTheSystemClockIsStampedWithTheCurrentSecond) {
  handler_ = makeHandler([] { return std::chrono::system_clock::now(); });
  const auto before = std::chrono::system_clock::now();
  const std::string stamp = roundTrip(json{{"method", "ping"}}).at("data").at("timestamp");
  const auto after = std::chrono::system_clock::now();
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << stamp;
  EXPECT_TRUE(stamp == formatInternetDateTime(before) || stamp == formatInternetDateTime(after)) << stamp;
}

TEST_F(BridgeTest, RepliesComeOnceOnTheMainThreadAfterTheQueueHopAndInternalWhenTheHandlerIsGone) {
  auto handler = makeHandler();
  auto kept = post(handler, json{{"method", "ping"}});
  runMain();
  auto orphaned = post(handler, enter("a"));
  EXPECT_EQ(orphaned->envelopes.size(), 0u) << "no reply before the main loop runs";
  handler.reset();
  runMain();
  ASSERT_EQ(kept->envelopes.size(), 1u);
  EXPECT_TRUE(kept->allOnMainThread);
  EXPECT_EQ(orphaned->envelopes, std::vector<json>{failure("internal", "Bridge handler unavailable")});
  EXPECT_TRUE(coordinator_->enterCalls.empty());
}

TEST_F(BridgeTest, RepliesMayOvertakeEachOtherAndAMessageInFlightOutlivesItsHandler) {
  coordinator_->gates["A"];
  auto handler = makeHandler();
  auto a = post(handler, enter("A"));
  auto ping = post(handler, json{{"method", "ping"}});
  auto b = post(handler, enter("B"));
  runMain();
  ASSERT_EQ(coordinator_->enterCalls.size(), 2u);  // tasks start in arrival order
  EXPECT_EQ(coordinator_->enterCalls[0].answerId, "A");
  EXPECT_EQ(coordinator_->enterCalls[1].answerId, "B");
  EXPECT_EQ(a->envelopes.size(), 0u);
  EXPECT_EQ(ping->envelopes.size(), 1u);
  EXPECT_EQ(b->envelopes, std::vector<json>{success({{"status", "recording"}, {"answerId", "B"}})});

  handler.reset();
  coordinator_->gates["A"].open();
  runMain();
  EXPECT_EQ(a->envelopes, std::vector<json>{success({{"status", "recording"}, {"answerId", "A"}})});
  EXPECT_TRUE(a->allOnMainThread);
}

TEST(BridgeMainLoop, AMessageStillQueuedWhenTheMainLoopGoesAwayIsAnsweredInternal) {
  std::vector<std::string> replies;
  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(std::make_shared<veltrano::testing::FakeCoordinator>());
  GMainContext* glib = g_main_context_new();
  auto main = std::make_unique<MainContext>(glib);
  VeltranoBridgeMessageHandler::receive(handler, main->get_executor(), json{{"method", "ping"}},
                                        [&](std::string text) { replies.push_back(std::move(text)); });
  main.reset();
  g_main_context_unref(glib);  // the last reference: queued work is dropped here
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(json::parse(replies[0]), json({{"ok", false}, {"code", "internal"}, {"message", "Bridge handler unavailable"}}));
}

TEST_F(BridgeTest, TextThatIsNotValidUnicodeReachesThePageAsReplacementCharacters) {
  EXPECT_EQ(roundTrip(parseMessageBody(R"({"method":"ping\ud800"})")),
            failure("unknown_method", "Unknown method: ping\uFFFD"));
  EXPECT_EQ(roundTrip(json{{"method", "p\xFFing"}}), failure("unknown_method", "Unknown method: p\uFFFDing"));
  coordinator_->enterResult = [](const EnterAnswerPayload& p) -> json {
    if (p.answerId == "data") return {{"answerId", "id\xC0"}};
    throw std::runtime_error("camera \xFF said no");
  };
  EXPECT_EQ(roundTrip(enter("data")), success({{"answerId", "id\uFFFD"}}));
  EXPECT_EQ(roundTrip(enter("error")), failure("enter_answer_failed", "camera \uFFFD said no"));
}

TEST_F(BridgeTest, HostileBodiesStillGetExactlyOneEnvelope) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_EQ(roundTrip(parseMessageBody(deep)).at("code"), "invalid_body");
  EXPECT_EQ(roundTrip(parseMessageBody(R"({"method":"ping","payload":)" + deep + "}")).at("ok"), true);
  const json huge = roundTrip(parseMessageBody(R"({"method":")" + std::string(8 << 20, 'x') + R"("})"));
  EXPECT_EQ(huge.at("message").get<std::string>().size(), (8u << 20) + 16u);
}
