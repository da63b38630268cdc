#include "App/AppLifecycle.hpp"

#include "Recording/RecordingError.hpp"
#include "Runtime/ErrorDescription.hpp"

#include <boost/asio/experimental/channel.hpp>
#include <boost/system/error_code.hpp>

#include <exception>
#include <utility>

namespace veltrano {

namespace {

using FlushResult = std::optional<nlohmann::json>;

// Whichever settles first of the page's flush and the bound.
struct FlushOutcome {
  bool timedOut = false;
  FlushResult result;
};
using FlushChannel = asio::experimental::channel<void(boost::system::error_code, FlushOutcome)>;

Awaitable<void> runFlush(std::function<Awaitable<FlushResult>()> flush, std::shared_ptr<FlushChannel> channel) {
  FlushOutcome outcome;
  try {
    outcome.result = co_await flush();
  } catch (...) {
    // A flush that fails is an absent result, exactly like a missing page.
  }
  channel->try_send(boost::system::error_code{}, std::move(outcome));
}

Awaitable<void> runBound(SleepFunction sleep, Duration bound, std::shared_ptr<FlushChannel> channel) {
  bool elapsed = true;
  try {
    co_await sleep(bound);
  } catch (...) {
    elapsed = false;  // cancelled: the flush settled first
  }
  if (elapsed) channel->try_send(boost::system::error_code{}, FlushOutcome{true, std::nullopt});
}

long long toMilliseconds(Duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

}  // namespace

std::shared_ptr<AppLifecycle> AppLifecycle::create(asio::any_io_executor mainExecutor, Seams seams) {
  return std::shared_ptr<AppLifecycle>(new AppLifecycle(std::move(mainExecutor), std::move(seams)));
}

AppLifecycle::AppLifecycle(asio::any_io_executor mainExecutor, Seams seams)
    : main_(std::move(mainExecutor)), seams_(std::move(seams)) {}

void AppLifecycle::didFinishLaunching(ActivationSource activation) {
  if (launched_) return;
  launched_ = true;

  if (seams_.activateExtension) seams_.activateExtension();

  if (seams_.removeOrphanedRecordings) orphanCleanup_ = Task::spawn(main_, cleanUpOrphans(shared_from_this()));

  std::weak_ptr<AppLifecycle> weak = weak_from_this();
  if (activation.observe) {
    activation.observe([weak](bool active) {
      auto self = weak.lock();
      if (!self) return;
      asio::post(self->main_, [weak, active] {
        if (auto alive = weak.lock()) alive->sendFocus(active);
      });
    });
  }

  // Read when the task runs, not now: the window may become active between.
  asio::post(main_, [weak, isActive = std::move(activation.isActive)] {
    if (auto self = weak.lock()) self->sendFocus(isActive ? isActive() : false);
  });
}

void AppLifecycle::sendFocus(bool focused) {
  if (seams_.page.dispatchFocusEvent) seams_.page.dispatchFocusEvent(focused);
}

Awaitable<void> AppLifecycle::cleanUpOrphans(std::shared_ptr<AppLifecycle> self) {
  try {
    co_await self->seams_.removeOrphanedRecordings();
  } catch (...) {
    // The store reports its own failures; the shell does not look at them.
  }
}

void AppLifecycle::openURLs(const std::vector<std::string>& urls) {
  for (const auto& url : urls) {
    log_.debug("Opening URL of " + std::to_string(url.size()) + " bytes");
    if (seams_.page.deliverDeepLink) seams_.page.deliverDeepLink(url);
  }
}

void AppLifecycle::requestQuit(std::string reason) {
  if (terminated_) return;
  ++quitRequests_;
  ++runningSequences_;
  Task::spawn(main_, quitSequence(shared_from_this(), std::move(reason)));
}

Awaitable<FlushResult> AppLifecycle::boundedFlush() {
  if (!seams_.page.flushAnswerSave) co_return std::nullopt;
  auto channel = std::make_shared<FlushChannel>(main_, 2);
  Task flush = Task::spawn(main_, runFlush(seams_.page.flushAnswerSave, channel));
  Task bound = Task::spawn(main_, runBound(seams_.sleep, flushBound, channel));
  FlushOutcome outcome;
  try {
    outcome = co_await channel->async_receive(asio::use_awaitable);
  } catch (...) {
    outcome = FlushOutcome{};
  }
  bound.cancel();
  if (outcome.timedOut) {
    flush.cancel();
    log_.error("Answer save flush did not settle within " + std::to_string(toMilliseconds(flushBound)) +
               " ms; quitting without it");
  }
  co_return std::move(outcome.result);
}

Awaitable<void> AppLifecycle::quitSequence(std::shared_ptr<AppLifecycle> self, std::string reason) {
  // Nothing is meant to cancel a quit; should anything try, the sequence
  // still goes on to the end instead of leaving the process up for good.
  co_await asio::this_coro::throw_if_cancelled(false);
  self->log_.info("Quit requested (" + reason + ")");

  // The page's answer is not examined: a failed save must not block quitting.
  (void)co_await self->boundedFlush();

  bool interrupted = false;
  try {
    co_await self->seams_.sleep(quitPause);
  } catch (...) {
    interrupted = true;
  }
  if (interrupted) self->log_.info("Quit pause interrupted; finalising now");

  if (self->seams_.coordinator) {
    std::exception_ptr failure;
    try {
      co_await self->seams_.coordinator().finalizeForTermination(true);
    } catch (...) {
      failure = std::current_exception();
    }
    // The coordinator logs its own failures and is not meant to throw; if it
    // does anyway the quit still goes on.
    if (failure) self->log_.error("Finalize at quit threw: " + describe(failure));
  } else {
    self->log_.error("No recording coordinator to finalise at quit");
  }

  // Ending the process while another sequence is still finalising could cut
  // its clip short, so only the last running sequence ends it.
  if (--self->runningSequences_ == 0 && !self->terminated_) {
    self->terminated_ = true;
    self->log_.info("Quit sequence finished (" + reason + "); exiting");
    if (self->seams_.terminate) self->seams_.terminate();
  }
}

}  // namespace veltrano
