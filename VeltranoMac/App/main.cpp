// Entry of the container app: one window whose content is the bundled web
// app. Three parts are still placeholders in this file, each marked "Wiring:"
// below, so that connecting the real ones is a line or two each: the "app"
// scheme handler, the recording coordinator and the extension banner.

#include "App/ContentView.hpp"
#include "Runtime/Bundle.hpp"
#include "Runtime/Logger.hpp"
#include "Runtime/MainExecutor.hpp"
#include "Web/WebHostState.hpp"
#include "Web/WebViewHost.hpp"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

namespace {

using namespace veltrano;
namespace fs = std::filesystem;

// Wiring: until the recording coordinator is linked in, the bridge answers
// "enterAnswer" with "enter_answer_failed" and this text.
class UnwiredRecordingCoordinator final : public AnswerRecordingCoordinatorProtocol {
 public:
  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload) override {
    throw std::runtime_error("Recording is not part of this build yet");
    co_return nlohmann::json();
  }
  Awaitable<void> finalizeForTermination(bool) override { co_return; }
  Awaitable<void> retryPendingUploads(std::string) override { co_return; }
};

// Wiring: the web app's own scheme handler replaces this file server. It
// serves files under `root` by path, refuses parent steps and knows only the
// types the first web app uses.
void registerInterimAppScheme(WebKitWebContext* context, const fs::path& root) {
  auto* rootCopy = new fs::path(root);
  webkit_web_context_register_uri_scheme(
      context, "app",
      [](WebKitURISchemeRequest* request, gpointer data) {
        std::string path = webkit_uri_scheme_request_get_path(request);
        while (!path.empty() && path.front() == '/') path.erase(0, 1);
        if (path.empty()) path = "index.html";
        const fs::path file = *static_cast<fs::path*>(data) / path;
        GError* error = nullptr;
        char* bytes = nullptr;
        gsize length = 0;
        if (path.find("..") != std::string::npos) {
          error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "forbidden");
        } else if (g_file_get_contents(file.c_str(), &bytes, &length, &error)) {
          const std::string ext = file.extension();
          const char* type = ext == ".html"  ? "text/html"
                             : ext == ".css" ? "text/css"
                             : ext == ".js"  ? "application/javascript"
                                             : "application/octet-stream";
          GInputStream* stream = g_memory_input_stream_new_from_data(bytes, static_cast<gssize>(length), g_free);
          webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(length), type);
          g_object_unref(stream);
          return;
        }
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
      },
      rootCopy, [](gpointer data) { delete static_cast<fs::path*>(data); });
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, "app");
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "app");
}

// The web app's root when its entry file is there.
std::optional<fs::path> findWebAppRoot(const Bundle& bundle) {
  std::error_code error;
  if (fs::is_regular_file(bundle.webAppDirectory() / "index.html", error)) return bundle.webAppDirectory();
  return std::nullopt;
}

struct App {
  Bundle bundle = Bundle::ofRunningProgram();
  std::shared_ptr<AnswerRecordingCoordinatorProtocol> coordinator = std::make_shared<UnwiredRecordingCoordinator>();
  std::unique_ptr<ContentView> contentView;

  ContentView& window(GtkApplication* application) {
    if (contentView) return *contentView;
    auto makeWebView = [this](const fs::path& root) {
      WebViewHost::Configuration configuration;
      configuration.registerAppScheme = [root](WebKitWebContext* context) { registerInterimAppScheme(context, root); };
      configuration.coordinator = coordinator;
      return WebViewHost::create(std::move(configuration));
    };
    contentView = std::make_unique<ContentView>(application, findWebAppRoot(bundle), makeWebView);
    // Wiring: the extension manager's banner goes in with
    // contentView->setBanner(widget) while it holds a state, and
    // setBanner(nullptr) once dismissed.
    g_signal_connect(contentView->window(), "notify::is-active", G_CALLBACK(+[](GtkWindow* w, GParamSpec*, gpointer) {
                       WebHostState::shared().dispatchFocusEvent(gtk_window_is_active(w));
                     }),
                     nullptr);
    return *contentView;
  }
};

}  // namespace

int main(int argc, char** argv) {
  Logger log("App");
  App app;
  log.info("VeltranoMac starting from bundle " + app.bundle.root.string());

  GtkApplication* application = gtk_application_new("com.brackwood.VeltranoMac", G_APPLICATION_HANDLES_OPEN);
  g_signal_connect(application, "activate",
                   G_CALLBACK(+[](GtkApplication* a, gpointer data) { static_cast<App*>(data)->window(a).present(); }),
                   &app);
  // Deep links (veltrano://…) arrive as files to open.
  g_signal_connect(application, "open",
                   G_CALLBACK(+[](GtkApplication* a, GFile** files, int count, char*, gpointer data) {
                     ContentView& view = static_cast<App*>(data)->window(a);
                     view.present();
                     for (int i = 0; i < count; ++i) {
                       char* uri = g_file_get_uri(files[i]);
                       view.receiveDeepLink(uri);
                       g_free(uri);
                     }
                   }),
                   &app);
  const int status = g_application_run(G_APPLICATION(application), argc, argv);
  app.contentView.reset();
  g_object_unref(application);
  return status;
}
