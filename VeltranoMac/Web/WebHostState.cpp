#include "Web/WebHostState.hpp"

#include "Runtime/InstalledInstance.hpp"
#include "Web/PageScripts.hpp"

#include <utility>

namespace veltrano {

namespace {

// Awaits one script call. The completion resumes the caller through its own
// executor; a completion the target drops without calling would leave the
// caller suspended forever, so a dropped one answers "absent" on its way out.
template <typename Token>
auto asyncRunPageScript(std::shared_ptr<PageScriptTarget> target, std::string_view body, Token&& token) {
  auto initiation = [target = std::move(target), body](auto handler) mutable {
    using Handler = decltype(handler);
    struct Once {
      explicit Once(Handler h) : handler(std::move(h)) {}
      Once(const Once&) = delete;
      Once& operator=(const Once&) = delete;
      ~Once() { complete(std::nullopt); }
      void complete(std::optional<nlohmann::json> value) {
        if (!handler) return;
        auto h = std::move(*handler);
        handler.reset();
        auto executor = asio::get_associated_executor(h);
        asio::post(
            executor, [h = std::move(h), value = std::move(value)]() mutable { std::move(h)(std::move(value)); });
      }
      std::optional<Handler> handler;
    };
    auto once = std::make_shared<Once>(std::move(handler));
    // The web view is not kept alive by a call waiting for its page.
    auto webView = std::move(target);
    webView->runPageScript(
        body, "{}", [once](std::optional<nlohmann::json> value) { once->complete(std::move(value)); });
  };
  return asio::async_initiate<Token, void(std::optional<nlohmann::json>)>(std::move(initiation), token);
}

}  // namespace

void WebHostState::install(std::shared_ptr<WebHostState> state) {
  InstalledInstance<WebHostState>::of("WebHostState").install(std::move(state));
}

WebHostState& WebHostState::shared() {
  return *InstalledInstance<WebHostState>::of("WebHostState").get();
}

void WebHostState::clearCurrentWebView(const PageScriptTarget* webView) {
  // Only a web view that is still alive can be compared; an expired one is
  // cleared either way.
  auto current = currentWebView_.lock();
  if (!current || current.get() == webView) currentWebView_.reset();
}

void WebHostState::dispatchFocusEvent(bool focused) {
  if (lastFocusState_ == focused) return;
  lastFocusState_ = focused;
  if (auto webView = currentWebView_.lock())
    webView->runPageScript(page_script::focusEvent, page_script::focusEventArguments(focused), nullptr);
}

void WebHostState::dispatchKept(std::optional<std::string>& kept, std::string_view script,
                                const nlohmann::json& detail) {
  kept = page_script::eventDetailArguments(detail);
  if (auto webView = currentWebView_.lock()) webView->runPageScript(script, *kept, nullptr);
}

void WebHostState::dispatchRecordingState(nlohmann::json detail) {
  dispatchKept(recordingState_, page_script::recordingStateEvent, detail);
}

void WebHostState::dispatchUploadState(nlohmann::json detail) {
  dispatchKept(uploadState_, page_script::uploadStateEvent, detail);
}

void WebHostState::dispatchCamerasChanged(const nlohmann::json& cameras) {
  if (auto webView = currentWebView_.lock())
    webView->runPageScript(page_script::camerasChangedEvent, page_script::eventDetailArguments(cameras), {});
}

std::vector<std::pair<std::string_view, std::string>> WebHostState::keptStateScripts() const {
  std::vector<std::pair<std::string_view, std::string>> scripts;
  if (recordingState_) scripts.emplace_back(page_script::recordingStateEvent, *recordingState_);
  if (uploadState_) scripts.emplace_back(page_script::uploadStateEvent, *uploadState_);
  return scripts;
}

Awaitable<std::optional<nlohmann::json>> WebHostState::flushAnswerSave() {
  auto webView = currentWebView_.lock();
  if (!webView) co_return std::nullopt;
  co_return co_await asyncRunPageScript(std::move(webView), page_script::flushAnswerSave, asio::use_awaitable);
}

}  // namespace veltrano
