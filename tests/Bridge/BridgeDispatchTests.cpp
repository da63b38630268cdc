#include "Bridge/BridgeEnvelope.hpp"
#include "BridgeTestSupport.hpp"

#include <gmock/gmock.h>

#include <regex>

using namespace veltrano;
using namespace std::chrono_literals;
using nlohmann::json;
using veltrano::testing::BridgeTest;

namespace {

std::chrono::system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
  using namespace std::chrono;
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

}  // namespace

TEST_F(BridgeTest, BodiesThatAreNotObjectsAreRejectedAsInvalidBody) {
  // As text, the way the web view hands bodies over, including text that is
  // no JSON at all (an undefined body has no JSON form).
  for (const char* text : {R"("ping")", "42", "-0.5", "true", "null", R"([{"method":"ping"}])", "[]", "", "{", "nope"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(roundTrip(parseMessageBody(text)), failure("invalid_body", "Expected a JSON object body"));
  }
  EXPECT_TRUE(coordinator_->enterCalls.empty());
}

TEST_F(BridgeTest, AnEmptyObjectOrAMethodThatIsNoNonEmptyStringIsMissingMethod) {
  for (const char* text : {"{}", R"({"method":""})", R"({"method":5})", R"({"method":null})", R"({"method":["ping"]})",
                           R"({"method":{"name":"ping"}})", R"({"payload":{"idToken":"t"}})", R"({"Method":"ping"})"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(roundTrip(json::parse(text)), failure("missing_method", "Missing or empty \"method\""));
  }
}

TEST_F(BridgeTest, MethodNamesAreMatchedExactlyAndUnknownOnesAreEchoedUnchanged) {
  for (const char* method : {"Ping", "PING", "ping ", " ping", "enteranswer", "EnterAnswer", "retrypendinguploads",
                             "pïng ✓", "x"}) {
    SCOPED_TRACE(method);
    EXPECT_EQ(roundTrip(json{{"method", method}, {"payload", nullptr}}),
              failure("unknown_method", std::string("Unknown method: ") + method));
  }
  EXPECT_TRUE(coordinator_->enterCalls.empty());
  EXPECT_TRUE(coordinator_->retryCalls.empty());
}

TEST_F(BridgeTest, PingAnswersPongWithTheUtcTimeInWholeSecondsWhateverThePayload) {
  handler_ = makeHandler([] { return utc(2026, 1, 31, 9, 5, 0, 999); });
  const json expected = success(json{{"pong", true}, {"timestamp", "2026-01-31T09:05:00Z"}});
  EXPECT_EQ(roundTrip(json{{"method", "ping"}}), expected);
  for (json payload : {json(nullptr), json::object(), json::array({1, 2}), json("x"), json{{"idToken", ""}}}) {
    SCOPED_TRACE(payload.dump());
    EXPECT_EQ(roundTrip(json{{"method", "ping"}, {"payload", payload}, {"extra", true}}), expected);
  }
}

TEST_F(BridgeTest, PingWithTheSystemClockIsStampedWithTheCurrentSecond) {
  handler_ = makeHandler([] { return std::chrono::system_clock::now(); });
  const auto before = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  const json reply = roundTrip(json{{"method", "ping"}});
  const auto after = std::chrono::system_clock::now();
  const std::string stamp = reply.at("data").at("timestamp").get<std::string>();
  ASSERT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << stamp;
  // Formatting every second in the window must produce the stamp.
  bool matched = false;
  for (auto t = before; t <= after; t += 1s) matched = matched || formatInternetDateTime(t) == stamp;
  EXPECT_TRUE(matched) << stamp;
}

TEST_F(BridgeTest, EachMessageIsAnsweredOnceOnTheMainThreadAfterItsQueueHop) {
  auto handler = makeHandler();
  auto replies = post(handler, json{{"method", "ping"}});
  EXPECT_EQ(replies->count(), 0u) << "the reply must wait for the main loop";
  runMain();
  ASSERT_EQ(replies->count(), 1u);
  EXPECT_TRUE(replies->onMainThread.front());
  runMain();
  EXPECT_EQ(replies->count(), 1u);
}

TEST_F(BridgeTest, AHandlerGoneBeforeItsQueuedWorkRunsAnswersInternal) {
  auto handler = makeHandler();
  auto first = post(handler, json{{"method", "enterAnswer"},
                                  {"payload", {{"userId", "u"}, {"sessionId", "s"}, {"answerId", "a"}, {"idToken", "t"}}}});
  auto second = post(handler, json{{"method", "ping"}});
  handler.reset();
  runMain();
  for (const auto& replies : {first, second}) {
    ASSERT_EQ(replies->count(), 1u);
    EXPECT_EQ(replies->envelopes.front(), failure("internal", "Bridge handler unavailable"));
  }
  EXPECT_TRUE(coordinator_->enterCalls.empty());
}

TEST_F(BridgeTest, AHandlerReleasedWhileAMessageIsInFlightStillAnswersIt) {
  coordinator_->gates["a"];
  auto handler = makeHandler();
  auto replies = post(handler, json{{"method", "enterAnswer"},
                                    {"payload", {{"userId", "u"}, {"sessionId", "s"}, {"answerId", "a"}, {"idToken", "t"}}}});
  runMain();
  ASSERT_EQ(coordinator_->gates["a"].waiting(), 1u);
  handler.reset();
  coordinator_->gates["a"].open();
  runMain();
  ASSERT_EQ(replies->count(), 1u);
  EXPECT_EQ(replies->envelopes.front(), success(json{{"status", "recording"}, {"answerId", "a"}}));
}

TEST_F(BridgeTest, RepliesMayOvertakeEachOtherButTasksStartInArrivalOrder) {
  coordinator_->gates["A"];
  auto handler = makeHandler();
  auto enter = [](const char* answerId) {
    return json{{"method", "enterAnswer"},
                {"payload", {{"userId", "u"}, {"sessionId", "s"}, {"answerId", answerId}, {"idToken", "t"}}}};
  };
  auto a = post(handler, enter("A"));
  auto ping = post(handler, json{{"method", "ping"}});
  auto b = post(handler, enter("B"));
  runMain();
  ASSERT_EQ(coordinator_->enterCalls.size(), 2u);
  EXPECT_EQ(coordinator_->enterCalls[0].answerId, "A");
  EXPECT_EQ(coordinator_->enterCalls[1].answerId, "B");
  EXPECT_EQ(a->count(), 0u);
  EXPECT_EQ(ping->count(), 1u);
  ASSERT_EQ(b->count(), 1u);
  EXPECT_EQ(b->envelopes.front().at("data").at("answerId"), "B");

  coordinator_->gates["A"].open();
  runMain();
  ASSERT_EQ(a->count(), 1u);
  EXPECT_EQ(a->envelopes.front().at("data").at("answerId"), "A");
  EXPECT_TRUE(a->onMainThread.front());
  EXPECT_EQ(b->count(), 1u);
}

TEST(BridgeMainLoop, AMessageStillQueuedWhenTheMainLoopGoesAwayIsAnsweredInternal) {
  std::vector<std::string> replies;
  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(std::make_shared<veltrano::testing::FakeCoordinator>());
  {
    GMainContext* glib = g_main_context_new();
    auto main = std::make_unique<MainContext>(glib);
    VeltranoBridgeMessageHandler::receive(handler, main->get_executor(), json{{"method", "ping"}},
                                          [&](std::string text) { replies.push_back(std::move(text)); });
    EXPECT_TRUE(replies.empty());
    main.reset();
    g_main_context_unref(glib);  // the last reference: queued work is dropped here
  }
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(json::parse(replies.front()),
            json({{"ok", false}, {"code", "internal"}, {"message", "Bridge handler unavailable"}}));
}

TEST_F(BridgeTest, TextThatIsNotValidUnicodeReachesThePageAsReplacementCharacters) {
  // A lone surrogate in the method, as JSON text from the page.
  EXPECT_EQ(roundTrip(parseMessageBody(R"({"method":"ping\ud800"})")),
            failure("unknown_method", "Unknown method: ping\xEF\xBF\xBD"));
  // Invalid UTF-8 in a method that did not come through a parser.
  EXPECT_EQ(roundTrip(json{{"method", "p\xFFing\xC3"}}),
            failure("unknown_method", "Unknown method: p\xEF\xBF\xBDing\xEF\xBF\xBD"));
  // Invalid UTF-8 in the coordinator's reply and in an error description.
  coordinator_->enterResult = [](const EnterAnswerPayload& p) -> json {
    if (p.answerId == "bad-data") return json{{"status", "recording"}, {"answerId", "id\xC0\xAF"}};
    throw std::runtime_error("camera \xFF said no");
  };
  auto enter = [](const char* answerId) {
    return json{{"method", "enterAnswer"},
                {"payload", {{"userId", "u"}, {"sessionId", "s"}, {"answerId", answerId}, {"idToken", "t"}}}};
  };
  EXPECT_EQ(roundTrip(enter("bad-data")),
            success(json{{"status", "recording"}, {"answerId", "id\xEF\xBF\xBD\xEF\xBF\xBD"}}));
  EXPECT_EQ(roundTrip(enter("bad-error")), failure("enter_answer_failed", "camera \xEF\xBF\xBD said no"));
}

TEST_F(BridgeTest, HostileBodiesStillGetExactlyOneEnvelope) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const std::string deepInPayload = R"({"method":"ping","payload":)" + deep + "}";
  const std::string huge = R"({"method":")" + std::string(8 << 20, 'x') + R"("})";
  EXPECT_EQ(roundTrip(parseMessageBody(deep)), failure("invalid_body", "Expected a JSON object body"));
  EXPECT_EQ(roundTrip(parseMessageBody(deepInPayload)).at("ok"), true);
  const json hugeReply = roundTrip(parseMessageBody(huge));
  EXPECT_EQ(hugeReply.at("code"), "unknown_method");
  EXPECT_EQ(hugeReply.at("message").get<std::string>().size(), (8u << 20) + 16u);
}
