#include "Bridge/BridgeEnvelope.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace veltrano;
using nlohmann::json;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::chrono::system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
  using namespace std::chrono;
  return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

}  // namespace

TEST(BridgeBodyRepair, LoneSurrogateEscapesBecomeReplacementCharactersAndPairsStay) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"(["\ud83d\ude00"])", "\xF0\x9F\x98\x80"},
      {R"(["\uD83D\uDE00"])", "\xF0\x9F\x98\x80"},
      {R"(["a\ud83d"])", "a" + kFffd},
      {R"(["\ude00b"])", kFffd + "b"},
      {R"(["\ud83d\ud83d\ude00"])", kFffd + "\xF0\x9F\x98\x80"},
      {R"(["\ud800\u0041"])", kFffd + "A"},
      {R"(["\udc00\ud800"])", kFffd + kFffd},
      {R"(["\\ud800"])", "\\ud800"},             // an escaped backslash, then plain text
      {R"(["\"\ud800"])", "\"" + kFffd},         // an escaped quote does not end the string
      {R"(["\u00e9\n\t\/"])", "\xC3\xA9\n\t/"},  // other escapes untouched
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const json parsed = parseMessageBody(text);
    ASSERT_TRUE(parsed.is_array());
    EXPECT_EQ(parsed.at(0), expected);
  }
  // Keys are strings too.
  const json keyed = parseMessageBody(R"({"method":"ping","\udfff":1})");
  EXPECT_EQ(keyed.at("method"), "ping");
  EXPECT_TRUE(keyed.contains(kFffd));
}

TEST(BridgeBodyRepair, InvalidUtf8BecomesReplacementCharactersAndValidTextStays) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"[\"\xFF\"]", kFffd},
      {"[\"\xC0\xAF\"]", kFffd + kFffd},                // overlong slash
      {"[\"\xED\xA0\x80\"]", kFffd + kFffd + kFffd},    // a surrogate written as UTF-8
      {"[\"\xF4\x90\x80\x80\"]", kFffd + kFffd + kFffd + kFffd},  // past U+10FFFF
      {"[\"x\xE2\x82\"]", "x" + kFffd + kFffd},        // cut short
      {"[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"]", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const json parsed = parseMessageBody(text);
    ASSERT_TRUE(parsed.is_array());
    EXPECT_EQ(parsed.at(0), expected);
  }
}

TEST(BridgeBodyRepair, ValidJsonIsLeftByteForByte) {
  for (const char* text : {R"({"method":"ping","payload":{"a":[1,2.5,-3e2,true,null],"b":"\u00e9\ud83d\ude00"}})",
                           "  [ \"\\\\\\\"\" , {} ]  ", "\"\xE2\x9C\x93\""}) {
    EXPECT_EQ(repairJsonText(text), text);
  }
}

TEST(BridgeBodyRepair, TextThatIsNoJsonGivesADiscardedBodyWithoutThrowing) {
  for (const char* text : {"", "{", "{\"method\":\"ping\"", "\"\\u12\"", "\"\\ud800\\u12\"", "nan", "{'a':1}"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(parseMessageBody(text).is_discarded());
  }
}

TEST(BridgeEnvelope, SerialisationNeverThrowsAndAlwaysGivesStrictUtf8Json) {
  json envelope = makeFailureEnvelope("unknown_method", "Unknown method: \xFF\xC3");
  const json back = json::parse(serializeEnvelope(envelope));
  EXPECT_EQ(back, json({{"ok", false}, {"code", "unknown_method"}, {"message", "Unknown method: " + kFffd + kFffd}}));

  json data{{"status", "recording"}, {"answerId", std::string("a\0b", 3)}, {"nested", {{"k\x80", {1, "\xFE"}}}}};
  const json success = json::parse(serializeEnvelope(makeSuccessEnvelope(data)));
  EXPECT_EQ(success.at("data").at("answerId"), std::string("a\0b", 3));
  EXPECT_EQ(success.at("data").at("nested").at("k" + kFffd).at(1), kFffd);
  EXPECT_EQ(success.size(), 2u);
}

TEST(BridgeEnvelope, TimestampsAreUtcWholeSecondsWithZ) {
  EXPECT_EQ(formatInternetDateTime(utc(2026, 1, 31, 9, 5, 0)), "2026-01-31T09:05:00Z");
  EXPECT_EQ(formatInternetDateTime(utc(2026, 1, 31, 9, 5, 0, 999)), "2026-01-31T09:05:00Z");
  EXPECT_EQ(formatInternetDateTime(utc(2024, 2, 29, 23, 59, 59, 500)), "2024-02-29T23:59:59Z");
  EXPECT_EQ(formatInternetDateTime(std::chrono::system_clock::time_point{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(formatInternetDateTime(utc(1969, 12, 31, 23, 59, 59, 500)), "1969-12-31T23:59:59Z");
}

TEST(BridgeReply, SendsExactlyOnceAndADroppedReplyStillSettlesThePage) {
  std::vector<json> sent;
  auto record = [&](std::string text) { sent.push_back(json::parse(text)); };
  const json internal = makeFailureEnvelope("internal", "Bridge handler unavailable");
  {
    BridgeReply reply(record);
    EXPECT_TRUE(reply.isPending());
    reply.send(makeSuccessEnvelope(1));
    reply.send(makeSuccessEnvelope(2));
    EXPECT_FALSE(reply.isPending());
  }
  ASSERT_EQ(sent, (std::vector<json>{makeSuccessEnvelope(1)}));

  sent.clear();
  { BridgeReply dropped(record); }
  EXPECT_EQ(sent, (std::vector<json>{internal}));

  sent.clear();
  {
    BridgeReply first(record);
    BridgeReply moved(std::move(first));  // the moved-from reply owes nothing
    BridgeReply other(record);
    other = std::move(moved);  // the reply other owed goes out now
    EXPECT_EQ(sent, (std::vector<json>{internal}));
    other.send(makeSuccessEnvelope(nullptr));
  }
  EXPECT_EQ(sent, (std::vector<json>{internal, makeSuccessEnvelope(nullptr)}));

  BridgeReply throwing([](std::string) { throw std::runtime_error("glue failed"); });
  EXPECT_NO_THROW(throwing.send(makeSuccessEnvelope(nullptr)));
  EXPECT_FALSE(throwing.isPending());
}
