// The application shell's launch, deep-link and quit logic without GTK, and
// what it needs of the page side and of the window's activation.
#pragma once

#include "Recording/AnswerRecordingCoordinatorProtocol.hpp"
#include "Runtime/Asio.hpp"
#include "Runtime/Logger.hpp"
#include "Runtime/Sleep.hpp"
#include "Runtime/Task.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// What the shell asks of the page side (the web host). Any member may be
// empty: an empty flush counts as a page with nothing to save.
struct PageSide {
  // The page's answer-save flush; absent when there is no page or it failed.
  std::function<Awaitable<std::optional<nlohmann::json>>()> flushAnswerSave;
  // Sends the "veltrano:app-focus" event (the host drops repeats itself).
  std::function<void(bool focused)> dispatchFocusEvent;
  // The "veltranoDidReceiveDeepLink" notification: the window content keeps
  // the URL and the web view decides whether it is a sign-in link.
  std::function<void(const std::string& url)> deliverDeepLink;
};

// Where the application's activation comes from: the main window (the
// application counts as active while its window is).
struct ActivationSource {
  std::function<bool()> isActive;
  // Registers an observer for the life of the process.
  std::function<void(std::function<void(bool active)>)> observe;
};

// The launch, deep-link and quit logic of the application delegate, with no
// display in it: the GTK layer (AppDelegate) turns window and application
// events into these calls. Everything here runs on the main actor.
class AppLifecycle : public std::enable_shared_from_this<AppLifecycle> {
 public:
  // The pause before the recording is finalised, so the page's last save
  // requests get out.
  static constexpr Duration quitPause = std::chrono::milliseconds(1500);
  // A hung page must not keep the app from quitting.
  static constexpr Duration flushBound = std::chrono::seconds(10);

  struct Seams {
    PageSide page;
    // The process-wide coordinator, looked up only when a quit needs it.
    std::function<AnswerRecordingCoordinatorProtocol&()> coordinator;
    // Finds and activates the camera extension; synchronous, reports its
    // own outcome.
    std::function<void()> activateExtension;
    // The launch-time clean-up of clip files no pending upload refers to.
    std::function<Awaitable<void>()> removeOrphanedRecordings;
    SleepFunction sleep;
    // Ends the process; called once, after the last running quit sequence.
    std::function<void()> terminate;
  };

  // `mainExecutor` is the main actor (a serial executor).
  static std::shared_ptr<AppLifecycle> create(asio::any_io_executor mainExecutor, Seams seams);

  // The launch sequence, once: extension activation, orphan clean-up task,
  // focus observation, then the current focus state to the page.
  void didFinishLaunching(ActivationSource activation);

  // Each URL the system asks the application to open.
  void openURLs(const std::vector<std::string>& urls);

  // Starts a quit sequence of its own: the page's flush (bounded), the
  // pause, the coordinator's finalize with deferUpload, then the process
  // ends once no other sequence is still running. `reason` goes to the log.
  void requestQuit(std::string reason);

  bool hasLaunched() const noexcept { return launched_; }
  bool isTerminating() const noexcept { return quitRequests_ > 0; }
  std::size_t runningQuitSequences() const noexcept { return runningSequences_; }

 private:
  AppLifecycle(asio::any_io_executor mainExecutor, Seams seams);

  static Awaitable<void> quitSequence(std::shared_ptr<AppLifecycle> self, std::string reason);
  static Awaitable<void> cleanUpOrphans(std::shared_ptr<AppLifecycle> self);
  Awaitable<std::optional<nlohmann::json>> boundedFlush();
  void sendFocus(bool focused);

  asio::any_io_executor main_;
  Seams seams_;
  Logger log_{"App"};
  bool launched_ = false;
  bool terminated_ = false;
  std::size_t quitRequests_ = 0;
  std::size_t runningSequences_ = 0;
  Task orphanCleanup_;
};

}  // namespace veltrano
