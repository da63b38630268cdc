// The delegate's launch, deep-link and quit logic on a virtual clock and a
// manual executor: every interleaving is chosen by the test.

#include "App/AppLifecycle.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ManualExecutor.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <boost/asio/experimental/channel.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::LogCapture;
using veltrano::testing::ManualExecutor;
using veltrano::testing::VirtualClock;

namespace {

long long ms(Duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// Every observable step with its virtual time, "what@ms".
struct Trace {
  const VirtualClock* clock = nullptr;
  std::vector<std::string> events;
  void add(const std::string& what) { events.push_back(what + "@" + std::to_string(ms(clock->now()))); }
};

class FakeCoordinator final : public AnswerRecordingCoordinatorProtocol {
 public:
  FakeCoordinator(Trace& trace, SleepFunction sleep) : trace_(trace), sleep_(std::move(sleep)) {}

  Duration finalizeTakes = 500ms;
  bool finalizeThrows = false;
  int retries = 0;

  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload) override { co_return nlohmann::json::object(); }
  Awaitable<void> retryPendingUploads(std::string) override {
    ++retries;
    co_return;
  }
  Awaitable<void> finalizeForTermination(bool deferUpload) override {
    trace_.add(std::string("finalize-start defer=") + (deferUpload ? "1" : "0"));
    co_await sleep_(finalizeTakes);
    trace_.add("finalize-end");
    if (finalizeThrows) throw std::runtime_error("stop failed");
  }

 private:
  Trace& trace_;
  SleepFunction sleep_;
};

// The page sides a quit meets.
enum class Page { settlesAtOnce, noFlushFunction, flushFails, settlesAfter3s, neverSettles, ignoresBoundSettles20s };

Awaitable<std::optional<nlohmann::json>> pageFlush(Page page, Trace* trace, SleepFunction sleep) {
  trace->add("flush-start");
  switch (page) {
    case Page::settlesAtOnce: break;
    case Page::flushFails: throw std::runtime_error("TypeError: thrown in page");
    case Page::settlesAfter3s: co_await sleep(3s); break;
    case Page::neverSettles: {
      asio::experimental::channel<void(boost::system::error_code)> never(co_await asio::this_coro::executor, 1);
      co_await never.async_receive(asio::use_awaitable);
      break;
    }
    case Page::ignoresBoundSettles20s:
      // A page that does not let itself be cancelled.
      co_await asio::this_coro::reset_cancellation_state(
          [](asio::cancellation_type) { return asio::cancellation_type::none; });
      co_await sleep(20s);
      break;
    case Page::noFlushFunction: break;
  }
  trace->add("flush-end");
  co_return nlohmann::json{{"ok", true}};
}

struct Harness {
  ManualExecutor executor;
  Strand main = executor.makeStrand();
  VirtualClock clock{[this] { executor.runUntilIdle(); }};
  Trace trace{&clock, {}};
  FakeCoordinator coordinator{trace, clock.sleepFunction()};
  int terminations = 0;
  std::shared_ptr<AppLifecycle> lifecycle;

  explicit Harness(Page page = Page::settlesAtOnce, SleepFunction pause = {}) {
    AppLifecycle::Seams seams;
    if (page != Page::noFlushFunction) {
      seams.page.flushAnswerSave = [this, page] { return pageFlush(page, &trace, clock.sleepFunction()); };
    }
    seams.page.dispatchFocusEvent = [this](bool focused) { trace.add(std::string("focus ") + (focused ? "1" : "0")); };
    seams.page.deliverDeepLink = [this](const std::string& url) { trace.add("link " + url); };
    seams.coordinator = [this]() -> AnswerRecordingCoordinatorProtocol& { return coordinator; };
    seams.sleep = pause ? pause : clock.sleepFunction();
    seams.terminate = [this] {
      ++terminations;
      trace.add("terminate");
    };
    lifecycle = AppLifecycle::create(main, std::move(seams));
  }

  // Runs virtual time until nothing is left to wake.
  void settle() {
    executor.runUntilIdle();
    while (clock.advanceToNext()) {
    }
  }
};

struct QuitCase {
  const char* name;
  Page page;
  std::vector<std::string> expected;
  bool boundHit;
  friend void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.name; }
};

class QuitSequence : public ::testing::TestWithParam<QuitCase> {};

TEST_P(QuitSequence, FlushesPausesFinalizesThenExits) {
  LogCapture logs;
  Harness h(GetParam().page);
  h.lifecycle->requestQuit("SIGTERM");
  EXPECT_TRUE(h.lifecycle->isTerminating());
  h.settle();
  EXPECT_EQ(h.trace.events, GetParam().expected);
  EXPECT_EQ(h.terminations, 1);
  const auto errors = logs->messages("App", LogLevel::error);
  ASSERT_EQ(errors.size(), GetParam().boundHit ? 1U : 0U);
  if (GetParam().boundHit) {
    EXPECT_EQ(errors.front(), "Answer save flush did not settle within 10000 ms; quitting without it");
  }
  EXPECT_EQ(h.coordinator.retries, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPage, QuitSequence,
    ::testing::Values(
        QuitCase{"settlesAtOnce",
                 Page::settlesAtOnce,
                 {"flush-start@0", "flush-end@0", "finalize-start defer=1@1500", "finalize-end@2000", "terminate@2000"},
                 false},
        QuitCase{"noFlushFunction",
                 Page::noFlushFunction,
                 {"finalize-start defer=1@1500", "finalize-end@2000", "terminate@2000"},
                 false},
        QuitCase{"flushFails",
                 Page::flushFails,
                 {"flush-start@0", "finalize-start defer=1@1500", "finalize-end@2000", "terminate@2000"},
                 false},
        QuitCase{
            "settlesAfter3s",
            Page::settlesAfter3s,
            {"flush-start@0", "flush-end@3000", "finalize-start defer=1@4500", "finalize-end@5000", "terminate@5000"},
            false},
        QuitCase{"neverSettles",
                 Page::neverSettles,
                 {"flush-start@0", "finalize-start defer=1@11500", "finalize-end@12000", "terminate@12000"},
                 true},
        // Settling after the bound changes nothing: one finalize, one exit.
        QuitCase{"ignoresBoundSettles20s",
                 Page::ignoresBoundSettles20s,
                 {"flush-start@0", "finalize-start defer=1@11500", "finalize-end@12000", "terminate@12000",
                  "flush-end@20000"},
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuitSequence, EachRequestRunsItsOwnSequenceAndOnlyTheLastEndsTheProcess) {
  Harness h;
  h.lifecycle->requestQuit("SIGTERM");
  h.executor.runUntilIdle();
  h.clock.advance(1s);
  h.lifecycle->requestQuit("SIGINT");
  h.executor.runUntilIdle();
  EXPECT_EQ(h.lifecycle->runningQuitSequences(), 2U);
  h.clock.advance(1s);  // t = 2 s: the first has finalised, the second is pausing
  EXPECT_EQ(h.terminations, 0);
  EXPECT_EQ(h.lifecycle->runningQuitSequences(), 1U);
  h.settle();
  EXPECT_EQ(
      h.trace.events, (std::vector<std::string>{"flush-start@0", "flush-end@0", "flush-start@1000", "flush-end@1000",
                                                "finalize-start defer=1@1500", "finalize-end@2000",
                                                "finalize-start defer=1@2500", "finalize-end@3000", "terminate@3000"}));
  EXPECT_EQ(h.terminations, 1);

  // Once the process is ending, a late request starts nothing.
  h.lifecycle->requestQuit("window close");
  h.settle();
  EXPECT_EQ(h.trace.events.size(), 9U);
  EXPECT_EQ(h.terminations, 1);
}

// A pause that ends early goes straight on; a finalize that throws, against
// its contract, still ends the process.
TEST(QuitSequence, InterruptedPauseAndThrowingFinalizeStillExit) {
  LogCapture logs;
  SleepFunction interrupted = [](Duration) -> Awaitable<void> {
    throw boost::system::system_error(asio::error::operation_aborted);
    co_return;
  };
  Harness h(Page::settlesAtOnce, interrupted);
  h.coordinator.finalizeThrows = true;
  h.lifecycle->requestQuit("SIGHUP");
  h.settle();
  EXPECT_EQ(h.trace.events, (std::vector<std::string>{"flush-start@0", "flush-end@0", "finalize-start defer=1@0",
                                                      "finalize-end@500", "terminate@500"}));
  EXPECT_TRUE(logs->contains("App", LogLevel::error, "Finalize at quit threw: stop failed"));
}

TEST(Launch, RunsItsStepsInOrderOnceAndForwardsFocusAndLinks) {
  Harness h;
  std::vector<std::string> order;
  bool windowActive = false;
  std::function<void(bool)> observer;
  int orphanRuns = 0;

  AppLifecycle::Seams seams;
  seams.page.dispatchFocusEvent = [&](bool focused) { order.push_back(std::string("focus ") + (focused ? "1" : "0")); };
  seams.page.deliverDeepLink = [&](const std::string& url) { order.push_back("link " + url); };
  seams.activateExtension = [&] { order.emplace_back("activateExtension"); };
  seams.removeOrphanedRecordings = [&]() -> Awaitable<void> {
    order.emplace_back("removeOrphanedRecordings");
    ++orphanRuns;
    throw std::runtime_error("disk gone");  // the store's own business
    co_return;
  };
  seams.sleep = h.clock.sleepFunction();
  auto lifecycle = AppLifecycle::create(h.main, std::move(seams));

  ActivationSource activation;
  activation.isActive = [&] { return windowActive; };
  activation.observe = [&](std::function<void(bool)> o) {
    order.emplace_back("observe");
    observer = std::move(o);
  };
  lifecycle->didFinishLaunching(activation);
  // Activation is synchronous; the clean-up and the focus event are tasks.
  EXPECT_EQ(order, (std::vector<std::string>{"activateExtension", "observe"}));
  windowActive = true;  // the window became active before the focus task ran
  h.executor.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"activateExtension", "observe", "removeOrphanedRecordings", "focus 1"}));

  lifecycle->didFinishLaunching(activation);  // a second activation relaunches nothing
  observer(false);
  observer(true);
  EXPECT_EQ(order.size(), 4U);  // each change is a task of its own
  h.executor.runUntilIdle();
  lifecycle->openURLs({"veltrano://auth/callback?emailLink=a", "not a url", "veltrano://auth/callback?emailLink=a"});
  EXPECT_EQ(order, (std::vector<std::string>{"activateExtension", "observe", "removeOrphanedRecordings", "focus 1",
                                             "focus 0", "focus 1", "link veltrano://auth/callback?emailLink=a",
                                             "link not a url", "link veltrano://auth/callback?emailLink=a"}));
  EXPECT_EQ(orphanRuns, 1);

  // An observer that outlives the lifecycle does nothing.
  lifecycle.reset();
  observer(false);
  h.executor.runUntilIdle();
  EXPECT_EQ(order.size(), 9U);
}

}  // namespace
