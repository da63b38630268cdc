#include "App/AppDelegate.hpp"

#include "Runtime/Linux/MainExecutor.hpp"

#include <gio/gio.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <utility>

namespace veltrano {

namespace {

Logger& shellLog() {
  static Logger log("App");
  return log;
}

void onStartup(GApplication*, gpointer self) {
  static_cast<AppDelegate*>(self)->startup();
}
void onActivate(GApplication*, gpointer self) {
  static_cast<AppDelegate*>(self)->activate();
}
void onQueryEnd(GtkApplication*, gpointer self) {
  static_cast<AppDelegate*>(self)->queryEnd();
}

void onOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer self) {
  std::vector<std::string> urls;
  urls.reserve(static_cast<std::size_t>(count));
  for (gint i = 0; i < count; ++i) {
    // The link exactly as given: a deep link's query must reach the page unchanged.
    char* uri = g_file_get_uri(files[i]);
    if (uri) urls.emplace_back(uri);
    g_free(uri);
  }
  static_cast<AppDelegate*>(self)->open(urls);
}

void onQuitAction(GSimpleAction*, GVariant*, gpointer self) {
  static_cast<AppDelegate*>(self)->quit("Ctrl+Q");
}

gboolean onCloseRequest(GtkWindow*, gpointer self) {
  static_cast<AppDelegate*>(self)->quit("window close");
  return TRUE;  // the window stays, serving the page, until the sequence ends
}

void onIsActive(GObject*, GParamSpec*, gpointer self) {
  static_cast<AppDelegate*>(self)->windowActivationChanged();
}

struct SignalQuit {
  AppDelegate* delegate;
  const char* name;
};

gboolean onUnixSignal(gpointer data) {
  auto* signal = static_cast<SignalQuit*>(data);
  signal->delegate->quit(signal->name);
  return G_SOURCE_CONTINUE;  // a second signal starts a sequence of its own
}

void freeSignalQuit(gpointer data) {
  delete static_cast<SignalQuit*>(data);
}

}  // namespace

AppDelegate::AppDelegate(GtkApplication* application, Seams seams)
    : application_(application), makeWindow_(std::move(seams.makeWindow)) {
  seams.lifecycle.terminate = [this] { terminate(); };
  lifecycle_ = AppLifecycle::create(MainContext::shared().get_executor(), std::move(seams.lifecycle));

  if (seams.registerSession) g_object_set(application_, "register-session", TRUE, nullptr);
  g_signal_connect(application_, "startup", G_CALLBACK(onStartup), this);
  g_signal_connect(application_, "activate", G_CALLBACK(onActivate), this);
  g_signal_connect(application_, "open", G_CALLBACK(onOpen), this);
  g_signal_connect(application_, "query-end", G_CALLBACK(onQueryEnd), this);

  // From here on a signal no longer ends the process outright: GLib's handler
  // notes it, and the main loop, once running, starts a quit sequence (the
  // window exists by then; a second launch hands over and exits as usual).
  // Installed at construction, not at "startup": registering on the bus and
  // opening the display take long enough for a service manager's early
  // SIGTERM to land before "startup" and kill the process mid-launch.
  const std::pair<int, const char*> signals[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};
  for (const auto& [number, name] : signals) {
    signalSources_.push_back(
        g_unix_signal_add_full(G_PRIORITY_DEFAULT, number, onUnixSignal, new SignalQuit{this, name}, freeSignalQuit));
  }
}

AppDelegate::~AppDelegate() {
  for (unsigned id : signalSources_) g_source_remove(id);
  if (window_) {
    g_signal_handlers_disconnect_by_data(window_, this);
    g_object_remove_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
  }
  g_signal_handlers_disconnect_by_data(application_, this);
}

void AppDelegate::startup() {
  // Only the primary instance gets here: a second launch hands its URLs over
  // and exits without installing anything.
  GSimpleAction* quitAction = g_simple_action_new("quit", nullptr);
  g_signal_connect(quitAction, "activate", G_CALLBACK(onQuitAction), this);
  g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(quitAction));
  g_object_unref(quitAction);
  const char* quitAccels[] = {"<Control>q", nullptr};
  gtk_application_set_accels_for_action(application_, "app.quit", quitAccels);
}

void AppDelegate::activate() {
  ensureWindow();
  shellLog().debug("Main window presented (activate)");
}

void AppDelegate::open(const std::vector<std::string>& urls) {
  // An open does not come with an activate: the window appears here too.
  ensureWindow();
  shellLog().debug("Main window presented (open)");
  lifecycle_->openURLs(urls);
}

void AppDelegate::ensureWindow() {
  if (!window_ && makeWindow_) {
    GtkWindow* window = makeWindow_(application_);
    if (window) {
      window_ = window;
      g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
      gtk_window_set_application(window_, application_);
      gtk_window_set_title(window_, "Veltrano");
      gtk_widget_set_name(GTK_WIDGET(window_), "main");
      g_signal_connect(window_, "close-request", G_CALLBACK(onCloseRequest), this);
      g_signal_connect(window_, "notify::is-active", G_CALLBACK(onIsActive), this);
    }
  }
  if (window_) gtk_window_present(window_);
  if (!lifecycle_->hasLaunched()) {
    ActivationSource activation;
    activation.isActive = [this] { return window_ != nullptr && gtk_window_is_active(window_); };
    activation.observe = [this](std::function<void(bool)> observer) {
      activationObservers_.push_back(std::move(observer));
    };
    lifecycle_->didFinishLaunching(std::move(activation));
  }
}

void AppDelegate::windowActivationChanged() {
  const bool active = window_ != nullptr && gtk_window_is_active(window_);
  for (const auto& observer : activationObservers_) observer(active);
}

void AppDelegate::quit(const char* reason) {
  if (!held_) {
    // Keeps the application alive whatever happens to its window meanwhile.
    g_application_hold(G_APPLICATION(application_));
    held_ = true;
  }
  lifecycle_->requestQuit(reason);
}

void AppDelegate::queryEnd() {
  if (logoutInhibitor_ == 0) {
    logoutInhibitor_ =
        gtk_application_inhibit(application_, window_, GTK_APPLICATION_INHIBIT_LOGOUT, "Saving the open answer");
  }
  quit("session end");
}

void AppDelegate::terminate() {
  if (logoutInhibitor_ != 0) {
    gtk_application_uninhibit(application_, logoutInhibitor_);
    logoutInhibitor_ = 0;
  }
  if (held_) {
    g_application_release(G_APPLICATION(application_));
    held_ = false;
  }
  g_application_quit(G_APPLICATION(application_));
}

}  // namespace veltrano
