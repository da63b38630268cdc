// The main window: the web view (or a notice when the web app is missing),
// the banner slot above it, and the latest deep link.
#pragma once

#include "Web/Linux/WebViewHost.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

// Resolves the window that hosts a widget, once, after the widget has been
// placed (from an idle callback); later window changes are not reported.
class WindowAccessor {
 public:
  static void resolve(GtkWidget* widget, std::function<void(GtkWindow*)> onResolve);
};

// The single main window, "Veltrano": the web view filling it when the web
// app is present (a notice otherwise), at least 800 × 600, with an optional
// banner on top. Keeps the latest deep link for the web view. Main thread.
class ContentView {
 public:
  // Builds the web view host for the web app found in `webAppRoot`.
  using MakeWebView = std::function<std::shared_ptr<WebViewHost>(const std::filesystem::path& webAppRoot)>;

  static constexpr int minimumWidth = 800;
  static constexpr int minimumHeight = 600;

  // `webAppRoot` is the root folder lookup's result: absent shows the notice
  // and no web view is made. `application` may be null (tests).
  ContentView(GtkApplication* application, std::optional<std::filesystem::path> webAppRoot, MakeWebView makeWebView);
  ~ContentView();
  ContentView(const ContentView&) = delete;
  ContentView& operator=(const ContentView&) = delete;

  GtkWindow* window() const noexcept { return window_; }
  // The web view host, or null while the notice is shown.
  const std::shared_ptr<WebViewHost>& webView() const noexcept { return webView_; }

  void present();

  // A deep link delivered to the application: kept as the latest one and
  // handed to the web view, which acts on each new sign-in link once.
  void receiveDeepLink(std::string url);
  const std::optional<std::string>& authCallbackURL() const noexcept { return authCallbackURL_; }

  // Shows `banner` above the content, replacing any earlier one; null removes
  // it and the content starts at the top again. The window holds its own
  // reference while the banner is shown.
  void setBanner(GtkWidget* banner);
  GtkWidget* banner() const noexcept { return banner_; }

  // Re-examines the state: loads the entry page once, passes a new deep link.
  void update();

 private:
  GtkWindow* window_;  // a strong reference
  GtkWidget* layout_;
  GtkWidget* bannerSlot_;
  GtkWidget* banner_ = nullptr;
  std::shared_ptr<WebViewHost> webView_;
  std::optional<std::string> authCallbackURL_;
};

}  // namespace veltrano
