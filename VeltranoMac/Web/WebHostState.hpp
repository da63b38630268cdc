// The process's web host state: the current web view, the last focus value,
// and the calls the application shell makes into the page.
#pragma once

#include "Runtime/Asio.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrano {

// One web view as the native side calls into its page: runs a fixed script
// (the body of an async function taking the JSON text `args`) in the page's
// world and main frame.
class PageScriptTarget {
 public:
  // The page's value as JSON, or absent when the call failed (a script
  // error, a value JSON cannot carry, the page gone).
  using Completion = std::function<void(std::optional<nlohmann::json>)>;

  virtual ~PageScriptTarget() = default;

  // `done` may be empty (no completion wanted); otherwise it is called
  // exactly once, on the main thread, never before this returns.
  virtual void runPageScript(std::string_view body, std::string argsJson, Completion done) = 0;
};

// Web host state shared by the whole process (main actor only): the most
// recent web view, the last focus value, the latest recording and upload
// states, and the operations the application shell calls into the page.
class WebHostState {
 public:
  // The process's state, as its program's entry built and installed it
  // (once, before the first web view); main actor only.
  static void install(std::shared_ptr<WebHostState> state);
  static WebHostState& shared();

  // Held weakly: a dismantled web view is simply gone.
  void setCurrentWebView(std::weak_ptr<PageScriptTarget> webView) { currentWebView_ = std::move(webView); }
  // Clears the current web view only if it is `webView`.
  void clearCurrentWebView(const PageScriptTarget* webView);
  std::shared_ptr<PageScriptTarget> currentWebView() const { return currentWebView_.lock(); }

  const std::optional<bool>& lastFocusState() const noexcept { return lastFocusState_; }

  // Sends "veltrano:app-focus" when `focused` differs from the last value
  // recorded. The value is recorded even with no web view, and not sent to
  // one created later.
  void dispatchFocusEvent(bool focused);

  // Sends "veltrano:recording-state" and "veltrano:upload-state" with the
  // given detail, and keeps the latest of each: unlike focus, a page that
  // loads later (a reload after its web process crashed) must learn them.
  void dispatchRecordingState(nlohmann::json detail);
  void dispatchUploadState(nlohmann::json detail);
  // Sends "veltrano:cameras-changed" with the new list. Not kept: a page
  // that loads later asks for the list itself.
  void dispatchCamerasChanged(const nlohmann::json& cameras);
  // The kept events as scripts with their arguments, for a page that has
  // just loaded.
  std::vector<std::pair<std::string_view, std::string>> keptStateScripts() const;

  // Runs the page's answer-save flush and returns its value; absent at once
  // without a web view, and absent when the call fails.
  Awaitable<std::optional<nlohmann::json>> flushAnswerSave();

 private:
  // Keeps the event's arguments and sends them to the current web view.
  void dispatchKept(std::optional<std::string>& kept, std::string_view script, const nlohmann::json& detail);

  std::weak_ptr<PageScriptTarget> currentWebView_;
  std::optional<bool> lastFocusState_;
  std::optional<std::string> recordingState_;  // as script arguments
  std::optional<std::string> uploadState_;
};

}  // namespace veltrano
