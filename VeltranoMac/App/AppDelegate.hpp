// The GTK layer of the application shell: makes the main window and turns
// application, window and signal events into AppLifecycle calls.
#pragma once

#include "App/AppLifecycle.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// GTK's own tag names, declared here so this header needs no gtk.h.
typedef struct _GtkApplication GtkApplication;  // NOLINT(bugprone-reserved-identifier)
typedef struct _GtkWindow GtkWindow;            // NOLINT(bugprone-reserved-identifier)

namespace veltrano {

// The application delegate on a GtkApplication: creates the main window on
// the first activation or open, runs the launch sequence once, turns the
// window's activation into focus events, passes opened URLs on as deep
// links, and starts a quit sequence for every way the app is asked to end:
// the window's close button, Ctrl+Q (action "app.quit"), SIGTERM, SIGINT,
// SIGHUP and the session's end ("query-end", with a logout inhibitor). The
// process ends only when a quit sequence finishes.
class AppDelegate {
 public:
  // Creates the main window's widget with its content; the delegate adds it
  // to the application, titles it and wires close and activation.
  using WindowFactory = std::function<GtkWindow*(GtkApplication*)>;

  struct Seams {
    // `terminate` is the delegate's own; leave it empty.
    AppLifecycle::Seams lifecycle;
    WindowFactory makeWindow;
    // Ask the session manager for "query-end" (the application must then be
    // constructed before it registers).
    bool registerSession = true;
  };

  // Connects to `application`'s signals; must outlive its run. The main
  // actor is MainContext::shared(), the context GTK iterates.
  AppDelegate(GtkApplication* application, Seams seams);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  AppLifecycle& lifecycle() noexcept { return *lifecycle_; }
  // The main window, or nullptr before the first activation (and after it
  // was destroyed).
  GtkWindow* window() const noexcept { return window_; }

  // Entry points of the GTK signals, public for the C callbacks.
  void startup();
  void activate();
  void open(const std::vector<std::string>& urls);
  void quit(const char* reason);
  void queryEnd();
  void windowActivationChanged();

 private:
  void ensureWindow();
  void terminate();

  GtkApplication* application_;
  WindowFactory makeWindow_;
  std::shared_ptr<AppLifecycle> lifecycle_;
  GtkWindow* window_ = nullptr;  // weak: GTK owns the toplevel
  std::vector<std::function<void(bool)>> activationObservers_;
  std::vector<unsigned> signalSources_;
  unsigned logoutInhibitor_ = 0;
  bool held_ = false;
};

}  // namespace veltrano
