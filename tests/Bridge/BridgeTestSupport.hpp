#pragma once

#include "Bridge/VeltranoBridgeMessageHandler.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <map>

namespace veltrano::testing {

// An await that finishes only when the test opens it.
class Gate {
 public:
  Awaitable<void> wait() {
    auto initiate = [this](auto handler) {
      auto shared = std::make_shared<decltype(handler)>(std::move(handler));
      waiters_.push_back([executor = asio::get_associated_executor(*shared), shared] {
        asio::post(executor, [shared] { std::move (*shared)(); });
      });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiate), asio::use_awaitable);
  }
  void open() {
    for (auto& wake : std::exchange(waiters_, {})) wake();
  }
  std::size_t waiting() const { return waiters_.size(); }

 private:
  std::vector<std::function<void()>> waiters_;
};

// Records the calls; a call whose answer id (or retry token) has a gate
// waits for it; `enterResult` and `retryResult` may throw.
class FakeCoordinator final : public AnswerRecordingCoordinatorProtocol {
 public:
  std::vector<EnterAnswerPayload> enterCalls;
  std::vector<std::string> retryCalls;
  std::function<nlohmann::json(const EnterAnswerPayload&)> enterResult;
  std::function<void()> retryResult;
  std::map<std::string, Gate> gates;

  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload payload) override {
    enterCalls.push_back(payload);
    if (auto gate = gates.find(payload.answerId.value_or("")); gate != gates.end()) co_await gate->second.wait();
    if (enterResult) co_return enterResult(payload);
    co_return nlohmann::json{{"status", "recording"}, {"answerId", payload.answerId.value_or("")}};
  }
  Awaitable<void> retryPendingUploads(std::string idToken) override {
    retryCalls.push_back(idToken);
    if (auto gate = gates.find(idToken); gate != gates.end()) co_await gate->second.wait();
    if (retryResult) retryResult();
  }
};

// The test thread is the main thread: a private GLib context that runs only
// when the test iterates it.
class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() : glib_(g_main_context_new()), main_(glib_) { g_main_context_push_thread_default(glib_); }
  ~BridgeTest() override {
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
  }

  struct Replies {
    std::vector<nlohmann::json> envelopes;
    bool allOnMainThread = true;
  };

  std::shared_ptr<VeltranoBridgeMessageHandler> makeHandler(VeltranoBridgeMessageHandler::Clock now = [] {
    return std::chrono::system_clock::time_point{};
  }) {
    return std::make_shared<VeltranoBridgeMessageHandler>(coordinator_, std::move(now));
  }

  // Posts a body as the web view glue does. Replies are parsed strictly, so
  // one that is not valid UTF-8 JSON fails the test.
  std::shared_ptr<Replies> post(const std::shared_ptr<VeltranoBridgeMessageHandler>& handler, nlohmann::json body) {
    auto replies = std::make_shared<Replies>();
    VeltranoBridgeMessageHandler::receive(handler, main_.get_executor(), std::move(body), [this, replies](std::string t) {
      replies->envelopes.push_back(nlohmann::json::parse(t));
      replies->allOnMainThread = replies->allOnMainThread && main_.isCurrentThread();
    });
    return replies;
  }

  void runMain() {
    while (g_main_context_iteration(glib_, FALSE)) {
    }
  }

  // One body in, the main loop run dry, its single reply out.
  nlohmann::json roundTrip(nlohmann::json body) {
    if (!handler_) handler_ = makeHandler();
    auto replies = post(handler_, std::move(body));
    runMain();
    EXPECT_EQ(replies->envelopes.size(), 1u);
    return replies->envelopes.empty() ? nlohmann::json() : replies->envelopes.front();
  }

  static nlohmann::json failure(std::string_view code, std::string_view message) {
    return {{"ok", false}, {"code", code}, {"message", message}};
  }
  static nlohmann::json success(nlohmann::json data) { return {{"ok", true}, {"data", std::move(data)}}; }
  static nlohmann::json enter(nlohmann::json answerId) {
    return {{"method", "enterAnswer"},
            {"payload", {{"userId", "u"}, {"sessionId", "s"}, {"answerId", std::move(answerId)}, {"idToken", "t"}}}};
  }

  GMainContext* glib_;
  MainContext main_;
  std::shared_ptr<FakeCoordinator> coordinator_ = std::make_shared<FakeCoordinator>();
  std::shared_ptr<VeltranoBridgeMessageHandler> handler_;
};

}  // namespace veltrano::testing
