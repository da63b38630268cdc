#pragma once

#include "Bridge/EnterAnswerPayload.hpp"
#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Recording/AnswerRecordingCoordinatorProtocol.hpp"
#include "Runtime/Asio.hpp"
#include "Runtime/MainExecutor.hpp"

#include <gtest/gtest.h>

#include <glib.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veltrano::testing {

// An await that finishes only when the test opens it, so the test decides
// when a coordinator call returns.
class Gate {
 public:
  Awaitable<void> wait() {
    auto initiate = [this](auto handler) {
      auto executor = asio::get_associated_executor(handler);
      auto shared = std::make_shared<decltype(handler)>(std::move(handler));
      waiters_.push_back([executor, shared] { asio::post(executor, [shared] { std::move (*shared)(); }); });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiate), asio::use_awaitable);
  }

  void open() {
    auto waiting = std::exchange(waiters_, {});
    for (auto& wake : waiting) wake();
  }

  std::size_t waiting() const { return waiters_.size(); }

 private:
  std::vector<std::function<void()>> waiters_;
};

// Records what the bridge asked for and answers as the test says. A call
// whose answer id (or, for retries, token) has a gate waits for it first.
class FakeCoordinator final : public AnswerRecordingCoordinatorProtocol {
 public:
  std::vector<EnterAnswerPayload> enterCalls;
  std::vector<std::string> retryCalls;
  std::function<nlohmann::json(const EnterAnswerPayload&)> enterResult;  // may throw
  std::function<void(const std::string&)> retryResult;                   // may throw
  std::map<std::string, Gate> gates;

  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload payload) override {
    enterCalls.push_back(payload);
    if (auto gate = gates.find(payload.answerId.value_or("")); gate != gates.end()) co_await gate->second.wait();
    if (enterResult) co_return enterResult(payload);
    if (!payload.answerId) co_return nlohmann::json{{"status", "idle"}};
    co_return nlohmann::json{{"status", "recording"}, {"answerId", *payload.answerId}};
  }

  Awaitable<void> retryPendingUploads(std::string idToken) override {
    retryCalls.push_back(idToken);
    if (auto gate = gates.find(idToken); gate != gates.end()) co_await gate->second.wait();
    if (retryResult) retryResult(idToken);
  }
};

// The test thread is the main thread: a private GLib context per test that
// runs only when the test iterates it.
class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() : glib_(g_main_context_new()), main_(glib_) { g_main_context_push_thread_default(glib_); }
  ~BridgeTest() override {
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
  }

  // One message's replies, in the order they came.
  struct Replies {
    std::vector<nlohmann::json> envelopes;
    std::vector<bool> onMainThread;
    std::size_t count() const { return envelopes.size(); }
  };

  std::shared_ptr<VeltranoBridgeMessageHandler> makeHandler(
      VeltranoBridgeMessageHandler::Clock now = [] { return std::chrono::system_clock::time_point{}; }) {
    return std::make_shared<VeltranoBridgeMessageHandler>(coordinator_, std::move(now));
  }

  // Posts a body as the web view glue would; replies are collected (and
  // parsed strictly, so a reply that is not valid UTF-8 JSON fails here).
  std::shared_ptr<Replies> post(const std::shared_ptr<VeltranoBridgeMessageHandler>& handler,
                                nlohmann::json body) {
    auto replies = std::make_shared<Replies>();
    VeltranoBridgeMessageHandler::receive(handler, main_.get_executor(), std::move(body),
                                          [this, replies](std::string text) {
                                            replies->envelopes.push_back(nlohmann::json::parse(text));
                                            replies->onMainThread.push_back(main_.isCurrentThread());
                                          });
    return replies;
  }

  void runMain() {
    while (g_main_context_iteration(glib_, FALSE)) {
    }
  }

  // Posts one body, runs the main loop dry and returns the single reply.
  nlohmann::json roundTrip(nlohmann::json body) {
    auto handler = handler_ ? handler_ : (handler_ = makeHandler());
    auto replies = post(handler, std::move(body));
    runMain();
    EXPECT_EQ(replies->count(), 1u);
    return replies->count() ? replies->envelopes.front() : nlohmann::json();
  }

  static nlohmann::json failure(std::string_view code, std::string_view message) {
    return nlohmann::json{{"ok", false}, {"code", code}, {"message", message}};
  }
  static nlohmann::json success(nlohmann::json data) { return nlohmann::json{{"ok", true}, {"data", data}}; }

  GMainContext* glib_;
  MainContext main_;
  std::shared_ptr<FakeCoordinator> coordinator_ = std::make_shared<FakeCoordinator>();
  std::shared_ptr<VeltranoBridgeMessageHandler> handler_;
};

}  // namespace veltrano::testing
