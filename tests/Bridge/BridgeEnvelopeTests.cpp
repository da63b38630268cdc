#include "Bridge/BridgeEnvelope.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace veltrano;
using nlohmann::json;

TEST(BridgeBodyRepair, LoneSurrogatesAndInvalidUtf8BecomeReplacementCharactersAndTheRestStays) {
  const std::string r = "\uFFFD", smile = "\U0001F600";
  const std::vector<std::pair<std::string, std::string>> cases{
      {R"(["\ud83d\ude00"])", smile},       {R"(["\uD83D\uDE00"])", smile},
      {R"(["a\ud83d"])", "a" + r},          {R"(["\ude00b"])", r + "b"},
      {R"(["\ud83d\ud83d\ude00"])", r + smile}, {R"(["\ud800\u0041"])", r + "A"},
      {R"(["\\ud800"])", "\\ud800"},        {R"(["\"\ud800"])", "\"" + r},  // escapes keep the string open
      {"[\"\xFF\"]", r},                    {"[\"\xC0\xAF\"]", r + r},     // overlong
      {"[\"\xED\xA0\x80\"]", r + r + r},    {"[\"x\xE2\x82\"]", "x" + r + r},  // UTF-8 surrogate; cut short
      {"[\"\xC3\xA9\xE2\x82\xAC\"]", "\xC3\xA9\xE2\x82\xAC"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseMessageBody(text), json::array({expected})) << text;
  EXPECT_TRUE(parseMessageBody(R"({"\udfff":1})").contains(r));  // keys too
}

TEST(BridgeEnvelope, TimestampsAreUtcWholeSecondsWithZ) {
  using namespace std::chrono;
  EXPECT_EQ(formatInternetDateTime(sys_days{February / 29 / 2024} + 23h + 59min + 59s + 999ms), "2024-02-29T23:59:59Z");
  EXPECT_EQ(formatInternetDateTime(system_clock::time_point{} - 500ms), "1969-12-31T23:59:59Z");
}

TEST(BridgeReply, SendsOnlyTheFirstEnvelopeAndKeepsAThrowingGlueCallbackToItself) {
  std::vector<json> sent;
  BridgeReply reply([&](std::string text) { sent.push_back(json::parse(text)); });
  reply.send(makeSuccessEnvelope(1));
  reply.send(makeSuccessEnvelope(2));
  EXPECT_EQ(sent, std::vector<json>{makeSuccessEnvelope(1)});

  BridgeReply throwing([](std::string) { throw std::runtime_error("glue failed"); });
  EXPECT_NO_THROW(throwing.send(makeSuccessEnvelope(nullptr)));
  EXPECT_FALSE(throwing.isPending());
}
