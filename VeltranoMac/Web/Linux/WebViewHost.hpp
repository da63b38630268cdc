// The main window's web view (WebKitGTK) and what it is wired to.
#pragma once

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Recording/AnswerRecordingCoordinatorProtocol.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Web/SignInCallback.hpp"
#include "Web/WebHostState.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// NOLINTBEGIN(bugprone-reserved-identifier): the toolkit's own struct tags, declared without its headers
typedef struct _GError GError;
typedef struct _GtkFileFilter GtkFileFilter;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitFileChooserRequest WebKitFileChooserRequest;
typedef struct _WebKitNavigationAction WebKitNavigationAction;
typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitWebView WebKitWebView;
// NOLINTEND(bugprone-reserved-identifier)

namespace veltrano {

inline constexpr std::string_view kEntryURL = "app://local/index.html";

// The one web view of the main window and what it is wired to: the "app"
// scheme, the page-side bridge script and handler, new windows sent to the
// default browser, file inputs answered with a file chooser, and recovery
// from a crashed web process (the recording is finalised, the entry page
// reloaded). Main thread only.
class WebViewHost final : public PageScriptTarget, public std::enable_shared_from_this<WebViewHost> {
 public:
  // Installs the handler of the "app" scheme on the host's own web context.
  using RegisterAppScheme = std::function<void(WebKitWebContext*)>;
  // Opens a URL outside the app.
  using OpenExternalURL = std::function<void(const std::string& url)>;
  // Asks the user for files; `done` gets the chosen paths, or absent when the
  // user cancelled. Called at most once; dropping it uncalled cancels.
  using FilesChosen = std::function<void(std::optional<std::vector<std::string>>)>;
  using ChooseFiles =
      std::function<void(GtkWindow* parent, bool selectMultiple, GtkFileFilter* filter, FilesChosen done)>;

  struct Configuration {
    RegisterAppScheme registerAppScheme;
    std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator;
    std::string entryURL{kEntryURL};
    OpenExternalURL openExternalURL = openInDefaultBrowser;
    ChooseFiles chooseFiles = chooseFilesWithNativeDialog;
    WebHostState* state = nullptr;  // required: the program's one
    MainExecutor main = MainContext::shared().get_executor();
    // Called once, when the first page has finished loading; may be empty.
    std::function<void()> firstLoadFinished;
    // Answers the bridge's "uploadStatus"; may be empty (no clips).
    VeltranoBridgeMessageHandler::UploadStatus uploadStatus;
    // The camera preview and choice; may be empty (no camera methods). The
    // preview stops when the page goes away, its process crashes, or the
    // window has been hidden for kPreviewHiddenGrace.
    std::shared_ptr<CameraControls> cameras;
  };

  static constexpr unsigned kPreviewHiddenGraceMs = 1000;

  // Builds the configured web view and makes it the process's current one.
  // Nothing is loaded until the first update().
  static std::shared_ptr<WebViewHost> create(Configuration configuration);
  // Dismantles: the current web view is cleared if it is this one.
  ~WebViewHost() override;
  WebViewHost(const WebViewHost&) = delete;
  WebViewHost& operator=(const WebViewHost&) = delete;

  GtkWidget* widget() const noexcept;
  WebKitWebView* webView() const noexcept { return webView_; }

  // Loads the entry page if the web view has no URL yet, then hands a new
  // sign-in link (if `authCallbackURL` is one) to the page, once per link.
  // A link that comes while a page is loading (the app opened by the link)
  // is handed over once that page has finished loading; sent at once it
  // would reach the blank page before it, and be lost.
  void update(const std::optional<std::string>& authCallbackURL);

  void runPageScript(std::string_view body, std::string argsJson, Completion done) override;

  // g_app_info_launch_default_for_uri; failures go to the log.
  static void openInDefaultBrowser(const std::string& url);
  // A GtkFileChooserNative for opening files.
  static void chooseFilesWithNativeDialog(GtkWindow* parent, bool selectMultiple, GtkFileFilter* filter,
                                          FilesChosen done);

 private:
  explicit WebViewHost(Configuration configuration);

  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, void* self);
  static void onWebProcessTerminated(WebKitWebView*, int reason, void* self);
  static int onRunFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, void* self);
  static void onLoadChanged(WebKitWebView*, int event, void* self);
  static int onLoadFailed(WebKitWebView*, int event, const char* uri, GError* error, void* self);
  void sendSignInCallback(const SignInCallback& callback);
  static void onMapChanged(GtkWidget*, void* self);
  void watchVisibility();
  void stopPreview(const char* why);

  Configuration configuration_;
  std::shared_ptr<VeltranoBridgeMessageHandler> bridgeMessageHandler_;
  WebKitWebView* webView_ = nullptr;  // a strong reference
  AuthCallbackTracker authCallbacks_;
  bool pageLoaded_ = false;
  std::vector<SignInCallback> waitingCallbacks_;
  // Scripts that want no answer (the focus event), sent while no page had
  // loaded: run once one has, the latest of each kind only.
  std::vector<std::pair<std::string, std::string>> waitingScripts_;
  // The toplevel surface watched for minimising, and the pending stop of
  // a hidden window's preview (a GLib source id, 0 when none).
  void* watchedSurface_ = nullptr;
  unsigned hiddenStop_ = 0;
};

}  // namespace veltrano
