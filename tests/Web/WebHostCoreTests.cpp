#include "Web/PageScripts.hpp"
#include "Web/SignInCallback.hpp"
#include "Web/WebHostState.hpp"
#include "support/ManualExecutor.hpp"

#include <gtest/gtest.h>

using namespace veltrano;
using nlohmann::json;

namespace {

struct LinkCase {
  const char* url;
  std::optional<SignInCallback> expected;
};

void PrintTo(const LinkCase& c, std::ostream* os) {
  *os << c.url;
}

class SignInLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(SignInLinkTest, ParsesExactlyTheSignInLinks) {
  EXPECT_EQ(parseSignInCallback(GetParam().url), GetParam().expected) << GetParam().url;
}

const std::optional<std::string> none;

INSTANTIATE_TEST_SUITE_P(
    Links, SignInLinkTest,
    ::testing::Values(
        LinkCase{"veltrano://auth/callback?emailLink=L&email=E", SignInCallback{"L", "E"}},
        LinkCase{"veltrano://auth/callback?emailLink=L", SignInCallback{"L", none}},
        // Scheme, host and path in any case, also percent-encoded; item names exactly.
        LinkCase{"VELTRANO://AUTH/CALLBACK?emailLink=L", SignInCallback{"L", none}},
        LinkCase{"Veltrano://Auth/%43allback?emailLink=L&Email=X", SignInCallback{"L", none}},
        LinkCase{"veltrano://auth/callback?EmailLink=L&email=E", std::nullopt},
        LinkCase{"veltrano://auth/callback?email=E", std::nullopt}, LinkCase{"veltrano://auth/callback", std::nullopt},
        // Another link of the scheme, or another scheme.
        LinkCase{"veltrano://auth/callback/?emailLink=L", std::nullopt},
        LinkCase{"veltrano://auth/other?emailLink=L", std::nullopt},
        LinkCase{"veltrano://login/callback?emailLink=L", std::nullopt},
        LinkCase{"veltrano:/callback?emailLink=L", std::nullopt},
        LinkCase{"https://auth/callback?emailLink=L", std::nullopt},
        // Values decoded once; escaped separators stay inside their value; "+" is no space.
        LinkCase{"veltrano://auth/callback?emailLink=https%3A%2F%2Fx.example%2Fa%3Fb%3D1%26c%3D2&email=a%40b.c",
                 SignInCallback{"https://x.example/a?b=1&c=2", "a@b.c"}},
        LinkCase{"veltrano://auth/callback?emailLink=a+b%2520", SignInCallback{"a+b%20", none}},
        LinkCase{"veltrano://auth/callback?emailLink=%C3%A9", SignInCallback{"\xC3\xA9", none}},
        // Later items win; an item without "=" makes its field absent again; "=" alone is empty.
        LinkCase{"veltrano://auth/callback?emailLink=A&emailLink=B&email=E&email", SignInCallback{"B", none}},
        LinkCase{"veltrano://auth/callback?emailLink=A&emailLink", std::nullopt},
        LinkCase{"veltrano://auth/callback?emailLink=&email=", SignInCallback{"", ""}},
        LinkCase{"veltrano://auth/callback?&&emailLink=L&", SignInCallback{"L", none}},
        // Not a URL at all, or broken escapes.
        LinkCase{"veltrano://auth/callback?emailLink=%ZZ", std::nullopt},
        LinkCase{"veltrano://auth/callback?emailLink=%00", std::nullopt}, LinkCase{"not a url", std::nullopt},
        LinkCase{"", std::nullopt}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return "Link" + std::to_string(info.index); });

TEST(AuthCallbackTrackerTest, LooksAtEachLinkOnceAndADifferentLinkInBetweenCountsAgain) {
  const std::string a = "veltrano://auth/callback?emailLink=A";
  const std::string b = "veltrano://auth/callback?emailLink=B&email=E";
  const std::string other = "veltrano://elsewhere?emailLink=A";
  AuthCallbackTracker tracker;
  struct Step {
    const std::string& url;
    std::optional<SignInCallback> handed;
  };
  const Step steps[] = {{a, SignInCallback{"A", none}}, {a, std::nullopt},     {b, SignInCallback{"B", "E"}},
                        {a, SignInCallback{"A", none}}, {other, std::nullopt}, {other, std::nullopt},
                        {a, SignInCallback{"A", none}}};
  int index = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(tracker.consider(step.url), step.handed) << "step " << index++;
    EXPECT_EQ(tracker.lastAuthCallback(), step.url);
  }
}

TEST(PageScriptArgumentsTest, CarryTheValuesAsJsonAndLeaveOutAnAbsentEmail) {
  EXPECT_EQ(json::parse(page_script::signInCallbackArguments({"L\"\n", none})), (json{{"emailLink", "L\"\n"}}));
  EXPECT_EQ(json::parse(page_script::signInCallbackArguments({"L", ""})), (json{{"emailLink", "L"}, {"email", ""}}));
  // Decoded bytes that are not UTF-8 (%FF) still make valid JSON.
  EXPECT_EQ(json::parse(page_script::signInCallbackArguments({"a\xFF", none})), (json{{"emailLink", "a\xEF\xBF\xBD"}}));
  EXPECT_EQ(page_script::focusEventArguments(false), R"({"focused":false})");
  EXPECT_EQ(page_script::focusEventArguments(true), R"({"focused":true})");
}

// A web view whose page answers when the test says so.
struct FakeWebView final : PageScriptTarget {
  struct Call {
    std::string body;
    std::string args;
    Completion done;
  };
  std::vector<Call> calls;
  void runPageScript(std::string_view body, std::string argsJson, Completion done) override {
    calls.push_back({std::string(body), std::move(argsJson), std::move(done)});
  }
};

TEST(WebHostStateTest, FocusIsSentOnlyOnChangeAndNotReplayedToALaterWebView) {
  WebHostState state;
  state.dispatchFocusEvent(true);  // no web view yet: recorded only
  EXPECT_EQ(state.lastFocusState(), true);

  auto webView = std::make_shared<FakeWebView>();
  state.setCurrentWebView(webView);
  for (bool focused : {true, true, false, false, true}) state.dispatchFocusEvent(focused);
  ASSERT_EQ(webView->calls.size(), 2u);
  EXPECT_EQ(webView->calls[0].body, page_script::focusEvent);
  EXPECT_EQ(webView->calls[0].args, R"({"focused":false})");
  EXPECT_EQ(webView->calls[1].args, R"({"focused":true})");
  EXPECT_FALSE(webView->calls[0].done) << "no completion is requested for focus events";

  // Another web view's dismantling leaves the current one; its own clears it.
  FakeWebView other;
  state.clearCurrentWebView(&other);
  EXPECT_EQ(state.currentWebView(), webView);
  state.clearCurrentWebView(webView.get());
  EXPECT_EQ(state.currentWebView(), nullptr);
  state.dispatchFocusEvent(false);
  EXPECT_EQ(webView->calls.size(), 2u);
  EXPECT_EQ(state.lastFocusState(), false);
}

class FlushTest : public ::testing::Test {
 protected:
  // Starts a flush; the result lands in `result` once the executor runs.
  std::shared_ptr<std::optional<std::optional<json>>> flush() {
    auto result = std::make_shared<std::optional<std::optional<json>>>();
    asio::co_spawn(
        executor_.executor(), state_.flushAnswerSave(), [result](std::exception_ptr error, std::optional<json> value) {
          ASSERT_FALSE(error);
          result->emplace(std::move(value));
        });
    executor_.runUntilIdle();
    return result;
  }

  veltrano::testing::ManualExecutor executor_;
  WebHostState state_;
};

TEST_F(FlushTest, WithoutAWebViewIsAbsentAtOnce) {
  auto result = flush();
  ASSERT_TRUE(result->has_value());
  EXPECT_FALSE(result->value().has_value());
}

TEST_F(FlushTest, WaitsForThePageAndPassesItsValueOrAbsentOnFailure) {
  auto webView = std::make_shared<FakeWebView>();
  state_.setCurrentWebView(webView);
  auto saved = flush();
  auto failed = flush();
  auto dropped = flush();
  ASSERT_EQ(webView->calls.size(), 3u);
  EXPECT_EQ(webView->calls[0].body, page_script::flushAnswerSave);
  EXPECT_EQ(webView->calls[0].args, "{}");
  EXPECT_FALSE(saved->has_value()) << "must wait for the page";

  webView->calls[0].done(json{{"ok", true}, {"status", "saved"}});
  webView->calls[1].done(std::nullopt);
  webView->calls.clear();  // a web view that drops its completion uncalled
  EXPECT_FALSE(saved->has_value()) << "resumes through the executor, not inside the completion";
  executor_.runUntilIdle();
  EXPECT_EQ(*saved, (json{{"ok", true}, {"status", "saved"}}));
  ASSERT_TRUE(failed->has_value());
  EXPECT_FALSE(failed->value().has_value());
  ASSERT_TRUE(dropped->has_value());
  EXPECT_FALSE(dropped->value().has_value());
}

}  // namespace
