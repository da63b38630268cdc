#include "Web/Linux/WebViewHost.hpp"

#include "Runtime/Logger.hpp"
#include "Runtime/Task.hpp"
#include "Web/Linux/BridgeScriptMessageGlue.hpp"
#include "Web/PageScripts.hpp"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <stdexcept>
#include <utility>

namespace veltrano {

namespace {

Awaitable<void> finalizeAfterPageLoss(std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator) {
  // The page that started a recording is gone: keep its last clip for a
  // later retry instead of uploading it now, as at quit.
  co_await coordinator->finalizeForTermination(true);
}

void finishPageScript(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PageScriptTarget::Completion> done(static_cast<PageScriptTarget::Completion*>(data));
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
  std::optional<nlohmann::json> answer;
  if (value) {
    if (!jsc_value_is_undefined(value)) answer = parseMessageBody(BridgeScriptMessageGlue::messageText(value));
    if (answer && answer->is_discarded()) answer.reset();
    g_object_unref(value);
  }
  g_clear_error(&error);
  (*done)(std::move(answer));
}

// Hands one file chooser request back to WebKit exactly once: with the chosen
// paths, or cancelled (also when nobody answered).
class FileChooserAnswer {
 public:
  explicit FileChooserAnswer(WebKitFileChooserRequest* request)
      : request_(WEBKIT_FILE_CHOOSER_REQUEST(g_object_ref(request))) {}
  FileChooserAnswer(const FileChooserAnswer&) = delete;
  FileChooserAnswer& operator=(const FileChooserAnswer&) = delete;
  ~FileChooserAnswer() {
    if (request_) webkit_file_chooser_request_cancel(request_);
    g_clear_object(&request_);
  }

  void answer(const std::optional<std::vector<std::string>>& paths) {
    if (!request_) return;
    if (paths && !paths->empty()) {
      std::vector<const char*> list;
      for (const auto& path : *paths) list.push_back(path.c_str());
      list.push_back(nullptr);
      webkit_file_chooser_request_select_files(request_, list.data());
    } else {
      webkit_file_chooser_request_cancel(request_);
    }
    g_clear_object(&request_);
  }

 private:
  WebKitFileChooserRequest* request_;
};

}  // namespace

std::shared_ptr<WebViewHost> WebViewHost::create(Configuration configuration) {
  std::shared_ptr<WebViewHost> host(new WebViewHost(std::move(configuration)));
  host->configuration_.state->setCurrentWebView(host);
  return host;
}

WebViewHost::WebViewHost(Configuration configuration) : configuration_(std::move(configuration)) {
  if (!configuration_.registerAppScheme) throw std::invalid_argument("WebViewHost needs the app scheme");
  if (!configuration_.coordinator) throw std::invalid_argument("WebViewHost needs a coordinator");
  if (!configuration_.state) throw std::invalid_argument("WebViewHost needs the web host state");

  // A context of its own: a scheme can be registered only once per context.
  WebKitWebContext* context = webkit_web_context_new();
  configuration_.registerAppScheme(context);

  bridgeMessageHandler_ = std::make_shared<VeltranoBridgeMessageHandler>(
      configuration_.coordinator, [] { return std::chrono::system_clock::now(); }, configuration_.uploadStatus,
      configuration_.cameras);
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  BridgeScriptMessageGlue::install(content, bridgeMessageHandler_, configuration_.main);

  webView_ = WEBKIT_WEB_VIEW(g_object_ref_sink(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content, nullptr)));
  g_object_unref(content);
  g_object_unref(context);

  g_signal_connect(webView_, "create", G_CALLBACK(onCreate), this);
  g_signal_connect(webView_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
  g_signal_connect(webView_, "run-file-chooser", G_CALLBACK(onRunFileChooser), this);
  g_signal_connect(webView_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(webView_, "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(webView_, "map", G_CALLBACK(onMapChanged), this);
  g_signal_connect(webView_, "unmap", G_CALLBACK(onMapChanged), this);
}

WebViewHost::~WebViewHost() {
  // The widget may outlive the host inside its container; it must not call
  // back into a host that is gone.
  g_signal_handlers_disconnect_by_data(webView_, this);
  if (watchedSurface_) g_signal_handlers_disconnect_by_data(watchedSurface_, this);
  if (hiddenStop_) g_source_remove(hiddenStop_);
  configuration_.state->clearCurrentWebView(this);
  g_object_unref(webView_);
}

GtkWidget* WebViewHost::widget() const noexcept {
  return GTK_WIDGET(webView_);
}

void WebViewHost::update(const std::optional<std::string>& authCallbackURL) {
  // WebKitGTK's requests carry no timeout of their own; the load is left to
  // WebKit's defaults.
  if (!webkit_web_view_get_uri(webView_)) webkit_web_view_load_uri(webView_, configuration_.entryURL.c_str());
  if (!authCallbackURL) return;
  auto callback = authCallbacks_.consider(*authCallbackURL);
  if (!callback) return;
  if (pageLoaded_)
    sendSignInCallback(*callback);
  else
    waitingCallbacks_.push_back(std::move(*callback));
}

void WebViewHost::sendSignInCallback(const SignInCallback& callback) {
  runPageScript(page_script::signInCallback, page_script::signInCallbackArguments(callback), nullptr);
}

void WebViewHost::stopPreview(const char* why) {
  if (!configuration_.cameras) return;
  Logger("WebView").info(std::string("Preview stopped: ") + why);
  configuration_.cameras->stopPreview();
}

// Hidden: unmapped, or its toplevel minimised. A window shown again within
// the grace keeps its preview.
void WebViewHost::onMapChanged(GtkWidget*, void* self) {
  static_cast<WebViewHost*>(self)->watchVisibility();
}

void WebViewHost::watchVisibility() {
  GtkWidget* widget = GTK_WIDGET(webView_);
  GdkSurface* surface = nullptr;
  if (gtk_widget_get_mapped(widget))
    if (GtkNative* native = gtk_widget_get_native(widget)) surface = gtk_native_get_surface(native);
  if (surface != watchedSurface_) {
    if (watchedSurface_) g_signal_handlers_disconnect_by_data(watchedSurface_, this);
    watchedSurface_ = surface;
    if (surface && GDK_IS_TOPLEVEL(surface))
      g_signal_connect_swapped(
          surface, "notify::state", G_CALLBACK(+[](WebViewHost* host) { host->watchVisibility(); }), this);
  }
  const bool minimised = surface && GDK_IS_TOPLEVEL(surface) &&
                         (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & GDK_TOPLEVEL_STATE_MINIMIZED);
  const bool hidden = !gtk_widget_get_mapped(widget) || minimised;
  if (!hidden) {
    if (hiddenStop_) g_source_remove(std::exchange(hiddenStop_, 0));
    return;
  }
  if (hiddenStop_ || !configuration_.cameras) return;
  hiddenStop_ = g_timeout_add(
      kPreviewHiddenGraceMs,
      [](gpointer self) {
        auto* host = static_cast<WebViewHost*>(self);
        host->hiddenStop_ = 0;
        host->stopPreview("the window was hidden");
        return G_SOURCE_REMOVE;
      },
      this);
}

void WebViewHost::onLoadChanged(WebKitWebView*, int event, void* self) {
  auto* host = static_cast<WebViewHost*>(self);
  if (event == WEBKIT_LOAD_STARTED) {
    host->pageLoaded_ = false;
    // The page that asked for the preview is going; a new one asks anew.
    host->stopPreview("the page went away");
  }
  if (event != WEBKIT_LOAD_FINISHED) return;
  host->pageLoaded_ = true;
  const char* uri = webkit_web_view_get_uri(host->webView_);
  Logger("WebView").info(std::string("Page loaded: ") + (uri ? uri : ""));
  if (auto firstLoad = std::exchange(host->configuration_.firstLoadFinished, {})) firstLoad();
  // The kept states reach every page that loads, once each: in place of
  // the same events sent while it loaded.
  for (auto& [body, args] : host->configuration_.state->keptStateScripts()) {
    std::erase_if(host->waitingScripts_, [body = body](const auto& waiting) { return waiting.first == body; });
    host->waitingScripts_.emplace_back(body, std::move(args));
  }
  for (auto& [body, args] : std::exchange(host->waitingScripts_, {})) host->runPageScript(body, std::move(args), {});
  for (const auto& callback : std::exchange(host->waitingCallbacks_, {})) host->sendSignInCallback(callback);
}

int WebViewHost::onLoadFailed(WebKitWebView*, int, const char* uri, GError* error, void*) {
  // Otherwise a page that cannot load leaves a blank window and no trace.
  Logger("WebView").error(std::string("Page failed to load: ") + (uri ? uri : "") + ": " +
                          (error ? error->message : "unknown error"));
  return FALSE;  // WebKit then shows its own error page
}

void WebViewHost::runPageScript(std::string_view body, std::string argsJson, Completion done) {
  if (!pageLoaded_ && !done) {
    // Run now, it would reach the blank or half-loaded document and be lost.
    std::erase_if(waitingScripts_, [body](const auto& waiting) { return waiting.first == body; });
    waitingScripts_.emplace_back(body, std::move(argsJson));
    return;
  }
  GVariantBuilder args;
  g_variant_builder_init(&args, G_VARIANT_TYPE_VARDICT);
  const std::string name(page_script::argumentName);
  g_variant_builder_add(&args, "{sv}", name.c_str(), g_variant_new_string(argsJson.c_str()));
  // Page world (no world name), main frame. The callback is chosen before
  // `done` is moved: argument evaluation order is unspecified.
  GAsyncReadyCallback callback = done ? finishPageScript : nullptr;
  auto* completion = done ? new Completion(std::move(done)) : nullptr;
  webkit_web_view_call_async_javascript_function(webView_, body.data(), static_cast<gssize>(body.size()),
                                                 g_variant_builder_end(&args), nullptr, nullptr, nullptr, callback,
                                                 completion);
}

GtkWidget* WebViewHost::onCreate(WebKitWebView*, WebKitNavigationAction* action, void* self) {
  auto* host = static_cast<WebViewHost*>(self);
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  if (uri && *uri) host->configuration_.openExternalURL(uri);
  // Never a second web view in the app.
  return nullptr;
}

void WebViewHost::onWebProcessTerminated(WebKitWebView* webView, int, void* self) {
  auto* host = static_cast<WebViewHost*>(self);
  host->pageLoaded_ = false;
  host->stopPreview("the page's process ended");
  Task::spawn(host->configuration_.main, finalizeAfterPageLoss(host->configuration_.coordinator));
  // Not waiting for the finalize: the same web view keeps its bridge script
  // and handler, so the reloaded page can use them at once.
  webkit_web_view_load_uri(webView, host->configuration_.entryURL.c_str());
}

int WebViewHost::onRunFileChooser(WebKitWebView* webView, WebKitFileChooserRequest* request, void* self) {
  auto* host = static_cast<WebViewHost*>(self);
  auto answer = std::make_shared<FileChooserAnswer>(request);
  GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(webView));
  GtkWindow* parent = root && GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr;
  host->configuration_.chooseFiles(parent, webkit_file_chooser_request_get_select_multiple(request),
                                   webkit_file_chooser_request_get_mime_types_filter(request),
                                   [answer](std::optional<std::vector<std::string>> paths) { answer->answer(paths); });
  return TRUE;
}

void WebViewHost::openInDefaultBrowser(const std::string& url) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
    Logger("WebView").error("Could not open " + url +
                            " in the default browser: " + (error ? error->message : "unknown error"));
    g_clear_error(&error);
  }
}

void WebViewHost::chooseFilesWithNativeDialog(GtkWindow* parent, bool selectMultiple, GtkFileFilter* filter,
                                              FilesChosen done) {
  GtkFileChooserNative* dialog =
      gtk_file_chooser_native_new("Open", parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", "_Cancel");
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(dialog), TRUE);
  gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), selectMultiple);
  if (filter) gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);

  // The dialog keeps itself alive until its response, which owns `done`.
  auto* pending = new FilesChosen(std::move(done));
  g_object_set_data_full(G_OBJECT(dialog), "veltrano-files-chosen", pending,
                         [](gpointer data) { delete static_cast<FilesChosen*>(data); });
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkNativeDialog* native, int response, gpointer) {
                     auto* chosen =
                         static_cast<FilesChosen*>(g_object_get_data(G_OBJECT(native), "veltrano-files-chosen"));
                     std::optional<std::vector<std::string>> paths;
                     if (response == GTK_RESPONSE_ACCEPT) {
                       paths.emplace();
                       GListModel* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(native));
                       for (guint i = 0; i < g_list_model_get_n_items(files); ++i) {
                         auto* file = G_FILE(g_list_model_get_item(files, i));
                         if (char* path = g_file_get_path(file)) {
                           paths->emplace_back(path);
                           g_free(path);
                         }
                         g_object_unref(file);
                       }
                       g_object_unref(files);
                     }
                     if (chosen && *chosen) std::exchange(*chosen, nullptr)(std::move(paths));
                     g_object_unref(native);
                   }),
                   nullptr);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
}

}  // namespace veltrano
