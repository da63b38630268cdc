// The web view host and the main window against the real WebKitGTK, under
// Xvfb and a bus of their own (tests/support/run-with-display.sh). A small
// "app" scheme of the test's own serves test pages from a temporary folder
// and counts the requests.

#include "App/ContentView.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Web/Linux/WebViewHost.hpp"

#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <webkit/webkit.h>
#include <boost/asio/any_completion_handler.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

using namespace veltrano;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Serves a folder under "app", as the real scheme handler does for the web
// app, and counts the requests per path.
class TestSite {
 public:
  explicit TestSite(fs::path root) : root_(std::move(root)) {}

  void registerOn(WebKitWebContext* context) {
    webkit_web_context_register_uri_scheme(context, "app", serve, this, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, "app");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "app");
  }

  int requests(const std::string& path) const {
    auto it = requests_.find(path);
    return it == requests_.end() ? 0 : it->second;
  }

 private:
  static void serve(WebKitURISchemeRequest* request, gpointer data) {
    auto* site = static_cast<TestSite*>(data);
    std::string path = webkit_uri_scheme_request_get_path(request);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    ++site->requests_[path];
    std::ifstream file(site->root_ / path, std::ios::binary);
    if (path.find("..") != std::string::npos || !file) {
      GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not found");
      webkit_uri_scheme_request_finish_error(request, error);
      g_error_free(error);
      return;
    }
    std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const std::string ext = fs::path(path).extension();
    const char* type = ext == ".html" ? "text/html" : ext == ".css" ? "text/css" : "application/javascript";
    GBytes* body = g_bytes_new(bytes.data(), bytes.size());
    GInputStream* stream = g_memory_input_stream_new_from_bytes(body);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(bytes.size()), type);
    g_object_unref(stream);
    g_bytes_unref(body);
  }

  fs::path root_;
  std::map<std::string, int> requests_;
};

// Records the calls; "enterAnswer" for the answer id "hold" waits until the
// test releases it.
struct FakeCoordinator final : AnswerRecordingCoordinatorProtocol {
  std::vector<EnterAnswerPayload> enterCalls;
  std::vector<bool> finalizeCalls;
  std::vector<std::string> retryCalls;
  std::vector<asio::any_completion_handler<void()>> held;

  Awaitable<json> enterAnswer(EnterAnswerPayload payload) override {
    enterCalls.push_back(payload);
    if (payload.answerId == "hold") {
      auto wait = [this](auto handler) { held.emplace_back(std::move(handler)); };
      co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(wait, asio::use_awaitable);
    }
    co_return json{{"status", "recording"}, {"answerId", payload.answerId.value_or("")}};
  }
  Awaitable<void> finalizeForTermination(bool deferUpload) override {
    finalizeCalls.push_back(deferUpload);
    co_return;
  }
  Awaitable<void> retryPendingUploads(std::string idToken) override {
    retryCalls.push_back(std::move(idToken));
    co_return;
  }
  void release() {
    for (auto& handler : std::exchange(held, {})) {
      // The bridge's tasks, and so these waits, run on the main executor.
      asio::post(MainContext::shared().get_executor(), [h = std::move(handler)]() mutable { std::move(h)(); });
    }
  }
};

const char* kTestPage = R"HTML(<!doctype html>
<html><body>
<input id="one" type="file"><input id="many" type="file" multiple>
<a id="out" href="https://example.com/link" target="_blank">out</a>
<script>
window.callbacks = [];
window.focusEvents = [];
window.__veltranoReceiveAuthCallback = (v) =>
  callbacks.push({ emailLink: v.emailLink, email: v.email === undefined ? '(undefined)' : v.email });
window.addEventListener('veltrano:app-focus', (e) => focusEvents.push(e.detail));
window.states = [];
window.addEventListener('veltrano:recording-state', (e) => states.push(e.detail));
window.addEventListener('veltrano:upload-state', (e) => states.push(e.detail));
window.__veltranoFlushAnswerSave = () => new Promise((resolve) => setTimeout(() => resolve({ ok: true, status: 'saved' }), 30));
</script>
</body></html>
)HTML";

fs::path screenshotDirectory() {
  const char* dir = std::getenv("VELTRANO_SCREENSHOT_DIR");
  fs::path path = dir ? dir : fs::temp_directory_path() / "veltrano-screenshots";
  fs::create_directories(path);
  return path;
}

graphene_rect_t boundsIn(GtkWidget* widget, GtkWindow* window) {
  graphene_rect_t bounds{};
  EXPECT_TRUE(gtk_widget_compute_bounds(widget, GTK_WIDGET(window), &bounds));
  return bounds;
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gtk_init(); }

  WindowTest() : site_(folder_) {
    fs::create_directories(folder_);
    std::ofstream(folder_ / "index.html") << kTestPage;
  }

  ~WindowTest() override {
    contentView_.reset();
    host_.reset();
    if (window_) gtk_window_destroy(window_);
    // Let WebKit finish tearing down before the site it calls goes away.
    spinFor(50);
    fs::remove_all(folder_);
  }

  WebViewHost::Configuration configuration(TestSite& site) {
    WebViewHost::Configuration config;
    config.registerAppScheme = [&site](WebKitWebContext* context) { site.registerOn(context); };
    config.coordinator = coordinator_;
    config.openExternalURL = [this](const std::string& url) { opened_.push_back(url); };
    config.chooseFiles = [this](GtkWindow* parent, bool multiple, GtkFileFilter*, WebViewHost::FilesChosen done) {
      chooserParents_.push_back(parent);
      chooserMultiple_.push_back(multiple);
      chosen_.push_back(std::move(done));
    };
    config.state = &state_;
    config.main = MainContext::shared().get_executor();
    config.uploadStatus = [this] { return uploadStatus_; };
    return config;
  }

  // A host in a window of its own, like the content view's.
  WebViewHost& showHost(bool nativeChooser = false) {
    WebViewHost::Configuration config = configuration(site_);
    if (nativeChooser) config.chooseFiles = WebViewHost::chooseFilesWithNativeDialog;
    host_ = WebViewHost::create(std::move(config));
    window_ = GTK_WINDOW(gtk_window_new());
    gtk_window_set_default_size(window_, 800, 600);
    gtk_window_set_child(window_, host_->widget());
    gtk_window_present(window_);
    countLoads(host_->webView());
    return *host_;
  }

  void countLoads(WebKitWebView* webView) {
    g_signal_connect(webView, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
                       if (event == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(data);
                     }),
                     &loads_);
  }

  // Iterates the main loop until `done` holds; fails the test after `seconds`.
  bool spinUntil(const std::function<bool()>& done, double seconds = 30) {
    const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    guint tick = g_timeout_add(
        10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool ok = done();
    while (!ok && g_get_monotonic_time() < deadline) {
      g_main_context_iteration(nullptr, TRUE);
      ok = done();
    }
    g_source_remove(tick);
    EXPECT_TRUE(ok) << "timed out";
    return ok;
  }
  void spinFor(int milliseconds) {
    const gint64 end = g_get_monotonic_time() + gint64{milliseconds} * 1000;
    spinUntil([end] { return g_get_monotonic_time() >= end; });
  }

  // Runs `body` as an async function in the page and returns its value.
  json eval(WebKitWebView* webView, const std::string& body) {
    struct Result {
      bool done = false;
      json value;
      std::string error;
    } result;
    webkit_web_view_call_async_javascript_function(
        webView, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
          auto* r = static_cast<Result*>(data);
          GError* error = nullptr;
          JSCValue* value = webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), res, &error);
          if (value) {
            char* text = jsc_value_to_json(value, 0);
            r->value = text ? json::parse(text) : json();
            g_free(text);
            g_object_unref(value);
          } else {
            r->error = error->message;
            g_error_free(error);
          }
          r->done = true;
        },
        &result);
    spinUntil([&] { return result.done; });
    EXPECT_EQ(result.error, "") << body;
    return result.value;
  }

  void waitForLoads(int count) {
    spinUntil([&] { return loads_ >= count; });
  }

  // Renders the window into a PNG. The web view draws through its own
  // compositor, which the window's render node does not carry, so its
  // content comes from WebKit's snapshot and is laid over its place.
  void saveScreenshot(GtkWindow* window, const std::string& name, WebKitWebView* webView = nullptr) {
    GtkWidget* widget = GTK_WIDGET(window);
    const int width = gtk_widget_get_width(widget), height = gtk_widget_get_height(widget);
    GdkTexture* page = nullptr;
    if (webView) {
      bool done = false;
      struct Wait {
        bool* done;
        GdkTexture** page;
      } wait{&done, &page};
      webkit_web_view_get_snapshot(
          webView, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
          [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* w = static_cast<Wait*>(data);
            *w->page = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
            *w->done = true;
          },
          &wait);
      spinUntil([&] { return done; });
      ASSERT_NE(page, nullptr);
    }
    GdkPaintable* paintable = gtk_widget_paintable_new(widget);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    if (page) {
      graphene_rect_t place = boundsIn(GTK_WIDGET(webView), window);
      gtk_snapshot_append_texture(snapshot, page, &place);
    }
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    ASSERT_NE(node, nullptr);
    GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(window));
    graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
    const fs::path file = screenshotDirectory() / (name + ".png");
    EXPECT_TRUE(gdk_texture_save_to_png(texture, file.c_str())) << file;
    g_object_unref(texture);
    gsk_render_node_unref(node);
    g_object_unref(paintable);
    if (page) g_object_unref(page);
  }

  fs::path folder_ = fs::temp_directory_path() / ("veltrano-window-" + std::to_string(getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
  TestSite site_;
  std::unique_ptr<TestSite> webAppSite_;
  WebHostState state_;
  json uploadStatus_ = {{"clips", json::array()}, {"pending", 0}};
  std::shared_ptr<FakeCoordinator> coordinator_ = std::make_shared<FakeCoordinator>();
  std::shared_ptr<WebViewHost> host_;
  std::unique_ptr<ContentView> contentView_;
  GtkWindow* window_ = nullptr;
  int loads_ = 0;
  std::vector<std::string> opened_;
  std::vector<GtkWindow*> chooserParents_;
  std::vector<bool> chooserMultiple_;
  std::vector<WebViewHost::FilesChosen> chosen_;
};

TEST_F(WindowTest, BridgeAnswersThePageThroughTheRealWebView) {
  auto& host = showHost();
  host.update(std::nullopt);
  waitForLoads(1);
  const json result = eval(host.webView(), R"JS(
    const post = (body) => window.webkit.messageHandlers.veltranoBridge.postMessage(body);
    const bodies = ['text', 7, [1], null, undefined, {}, { method: '' }, { method: 5 }, { method: 'PING' },
                    { method: 'x\ud800y' }];
    const replies = [];
    for (const body of bodies) replies.push(await post(body));
    const pings = await Promise.all(Array.from({ length: 300 }, () => window.veltranoNative.call('ping')));
    let enterError = null;
    try { await window.veltranoNative.call('enterAnswer', { userId: 'u' }); } catch (e) { enterError = e.code; }
    return {
      available: window.veltranoNative.isAvailable(),
      ping: await window.veltranoNative.call('ping'),
      allPong: pings.every((p) => p.pong === true),
      entered: await window.veltranoNative.call('enterAnswer',
          { userId: 'u', sessionId: 's', answerId: 'a1', idToken: 't' }),
      retried: await window.veltranoNative.call('retryPendingUploads', { idToken: 'fresh' }),
      enterError, replies };
  )JS");
  EXPECT_EQ(result["available"], true);
  EXPECT_EQ(result["ping"]["pong"], true);
  EXPECT_TRUE(std::regex_match(
      result["ping"]["timestamp"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(result["allPong"], true);
  EXPECT_EQ(result["entered"], (json{{"status", "recording"}, {"answerId", "a1"}}));
  EXPECT_EQ(result["retried"], nullptr);
  EXPECT_EQ(result["enterError"], "invalid_payload");
  ASSERT_EQ(coordinator_->enterCalls.size(), 1u);
  EXPECT_EQ(coordinator_->enterCalls[0].answerId, "a1");
  EXPECT_EQ(coordinator_->retryCalls, std::vector<std::string>{"fresh"});

  auto failure = [](const char* code, const std::string& message) {
    return json{{"ok", false}, {"code", code}, {"message", message}};
  };
  const json invalidBody = failure("invalid_body", "Expected a JSON object body");
  const json missingMethod = failure("missing_method", "Missing or empty \"method\"");
  EXPECT_EQ(result["replies"], (json{invalidBody, invalidBody, invalidBody, invalidBody, invalidBody, missingMethod,
                                     missingMethod, missingMethod, failure("unknown_method", "Unknown method: PING"),
                                     failure("unknown_method", "Unknown method: x\xEF\xBF\xBDy")}));
}

TEST_F(WindowTest, EntryPageOnceAndEachSignInLinkOnce) {
  auto& host = showHost();
  const std::string a = "veltrano://auth/callback?emailLink=https%3A%2F%2Fx.example%2Fa%3Fb%3D1&email=a%40b.c";
  const std::string b = "veltrano://auth/callback?emailLink=B";
  // The app opened by a link: it waits for the page instead of reaching the blank one.
  host.update(a);
  host.update(a);
  host.update(std::nullopt);
  waitForLoads(1);
  for (const auto& link :
       {a, b, a, std::string("VELTRANO://AUTH/CALLBACK?emailLink=C&email=c"),
        std::string("veltrano://auth/callback?EmailLink=D"), std::string("veltrano://auth/callback?email=E")})
    host.update(link);
  // The scripts run in order, so once this one has run the earlier ones have.
  const json callbacks = eval(host.webView(), "return window.callbacks;");
  EXPECT_EQ(callbacks, (json{{{"emailLink", "https://x.example/a?b=1"}, {"email", "a@b.c"}},
                             {{"emailLink", "B"}, {"email", "(undefined)"}},
                             {{"emailLink", "https://x.example/a?b=1"}, {"email", "a@b.c"}},
                             {{"emailLink", "C"}, {"email", "c"}}}));
  EXPECT_EQ(site_.requests("index.html"), 1);
  EXPECT_EQ(loads_, 1);
}

TEST_F(WindowTest, FocusEventsOnlyOnChangeAndNotReplayed) {
  state_.dispatchFocusEvent(false);  // before any web view: recorded only
  auto& host = showHost();
  host.update(std::nullopt);
  state_.dispatchFocusEvent(true);  // the page is loading: sent once it has
  waitForLoads(1);
  for (bool focused : {true, false, false, true}) state_.dispatchFocusEvent(focused);
  EXPECT_EQ(eval(host.webView(), "return window.focusEvents;"), (json{{{"focused", true}, {"source", "native"}},
                                                                      {{"focused", false}, {"source", "native"}},
                                                                      {{"focused", true}, {"source", "native"}}}));
}

// Unlike focus, the latest recording and upload states reach every page
// that loads, once each, also a reload; "uploadStatus" answers what the
// native side holds at the moment it is asked.
TEST_F(WindowTest, RecordingAndUploadStatesReachEveryPageThatLoadsOnce) {
  const json recording0 = {{"answerId", "a"}, {"state", "recording"}, {"clipIndex", 0}};
  const json recording1 = {{"answerId", "a"}, {"state", "recording"}, {"clipIndex", 1}};
  const json stopped = {{"answerId", "a"}, {"state", "stopped"}, {"clipIndex", 1}};
  const json uploads = {{"clips", {{{"clipId", "c\xFF.mp4"}, {"state", "queued"}}}}, {"pending", 1}};
  state_.dispatchRecordingState(recording0);  // before any web view: kept
  state_.dispatchUploadState(uploads);
  auto& host = showHost();
  host.update(std::nullopt);
  state_.dispatchRecordingState(recording1);  // while loading: replaces the kept one
  waitForLoads(1);
  json repaired = uploads;
  repaired["clips"][0]["clipId"] = "c\uFFFD.mp4";
  EXPECT_EQ(eval(host.webView(), "return window.states;"), (json{recording1, repaired}));
  state_.dispatchRecordingState(stopped);
  EXPECT_EQ(eval(host.webView(), "return window.states.slice(2);"), (json{stopped}));

  webkit_web_view_reload(host.webView());
  waitForLoads(2);
  EXPECT_EQ(eval(host.webView(), "return window.states;"), (json{stopped, repaired}));

  uploadStatus_ = {{"clips", json::array()}, {"pending", 3}};
  EXPECT_EQ(eval(host.webView(), "return await window.veltranoNative.call('uploadStatus');"), uploadStatus_);
}

TEST_F(WindowTest, FlushAnswerSaveAwaitsThePage) {
  auto& host = showHost();
  host.update(std::nullopt);
  waitForLoads(1);
  auto flush = [this] {
    auto result = std::make_shared<std::optional<std::optional<json>>>();
    asio::co_spawn(MainContext::shared().get_executor(), state_.flushAnswerSave(),
                   [result](std::exception_ptr error, std::optional<json> value) {
                     if (error) {
                       try {
                         std::rethrow_exception(error);
                       } catch (const std::exception& e) {
                         ADD_FAILURE() << e.what();
                       }
                     }
                     result->emplace(std::move(value));
                   });
    spinUntil([&] { return result->has_value(); });
    return result->value_or(json("not finished"));
  };
  EXPECT_EQ(flush(), (json{{"ok", true}, {"status", "saved"}}));
  eval(host.webView(), "window.__veltranoFlushAnswerSave = async () => { throw new Error('no'); };");
  EXPECT_EQ(flush(), std::nullopt);
  eval(host.webView(), "delete window.__veltranoFlushAnswerSave;");
  EXPECT_EQ(flush(), (json{{"ok", true}, {"status", "noop"}}));
  host_.reset();
  EXPECT_EQ(state_.currentWebView(), nullptr);
  EXPECT_EQ(flush(), std::nullopt);
}

std::vector<pid_t> webProcessesUnder(pid_t ancestor) {
  std::map<pid_t, pid_t> parents;
  std::map<pid_t, std::string> names;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const auto open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    pid_t parent;
    rest >> state >> parent;
    const pid_t pid = std::stoi(name);
    parents[pid] = parent;
    names[pid] = line.substr(open + 1, close - open - 1);
  }
  std::vector<pid_t> found;
  for (const auto& [pid, comm] : names) {
    if (comm != "WebKitWebProces") continue;
    for (pid_t p = parents[pid]; p > 1; p = parents.count(p) ? parents[p] : 0)
      if (p == ancestor) {
        found.push_back(pid);
        break;
      }
  }
  return found;
}

TEST_F(WindowTest, KilledWebProcessReloadsTheEntryPageAndFinalizesOnce) {
  auto& host = showHost();
  host.update(std::nullopt);
  waitForLoads(1);
  // A call still being answered when the page dies gets its reply later,
  // into a page that is gone.
  eval(host.webView(), R"JS(
    window.veltranoNative.call('enterAnswer', { userId: 'u', sessionId: 's', answerId: 'hold', idToken: 't' });
  )JS");
  spinUntil([&] { return coordinator_->held.size() == 1; });

  const auto processes = webProcessesUnder(getpid());
  ASSERT_FALSE(processes.empty());
  for (pid_t pid : processes) kill(pid, SIGKILL);
  waitForLoads(2);
  coordinator_->release();
  EXPECT_EQ(eval(host.webView(), "return (await window.veltranoNative.call('ping')).pong;"), true);
  spinFor(200);
  EXPECT_EQ(coordinator_->finalizeCalls, std::vector<bool>{true});
  EXPECT_EQ(site_.requests("index.html"), 2);
  EXPECT_EQ(std::string(webkit_web_view_get_uri(host.webView())), "app://local/index.html");
}

TEST_F(WindowTest, ReplyToAPageWhoseWebViewIsGoneIsStillSentOnce) {
  auto& host = showHost();
  host.update(std::nullopt);
  waitForLoads(1);
  eval(host.webView(), R"JS(
    window.veltranoNative.call('enterAnswer', { userId: 'u', sessionId: 's', answerId: 'hold', idToken: 't' });
  )JS");
  spinUntil([&] { return coordinator_->held.size() == 1; });
  gtk_window_destroy(std::exchange(window_, nullptr));
  host_.reset();
  coordinator_->release();
  spinFor(100);
  EXPECT_TRUE(coordinator_->held.empty());
}

TEST_F(WindowTest, NewWindowRequestsLeaveTheViewAndGoToTheLauncher) {
  auto& host = showHost();
  host.update(std::nullopt);
  waitForLoads(1);
  eval(host.webView(), R"JS(
    window.open('https://example.com/opened?x=1');
    document.getElementById('out').click();
  )JS");
  spinUntil([&] { return opened_.size() == 2; });
  EXPECT_EQ(opened_, (std::vector<std::string>{"https://example.com/opened?x=1", "https://example.com/link"}));
  spinFor(100);
  EXPECT_EQ(std::string(webkit_web_view_get_uri(host.webView())), "app://local/index.html");
  EXPECT_EQ(loads_, 1);
}

TEST_F(WindowTest, FileInputsGetTheChooserWithTheirMultipleSetting) {
  auto& host = showHost();
  host.update(std::nullopt);
  waitForLoads(1);
  const fs::path first = folder_ / "first.txt", second = folder_ / "second.txt";
  std::ofstream(first) << "1";
  std::ofstream(second) << "2";

  // WebKit opens one chooser at a time and ignores clicks until the last one
  // was answered: a click that opens one proves the one before was settled.
  auto click = [&](const char* id) {
    const std::size_t before = chosen_.size();
    for (int attempt = 0; attempt < 30 && chosen_.size() == before; ++attempt) {
      eval(host.webView(), std::string("document.getElementById('") + id + "').click();");
      spinFor(100);
    }
    return chosen_.size() == before + 1;
  };
  ASSERT_TRUE(click("many"));
  chosen_[0](std::vector<std::string>{first, second});
  ASSERT_TRUE(click("one"));
  chosen_[1](std::nullopt);
  ASSERT_TRUE(click("one"));
  chosen_.pop_back();  // dropped unanswered: cancelled, the input is left as it was
  ASSERT_TRUE(click("one"));
  EXPECT_EQ(chooserMultiple_, (std::vector<bool>{true, false, false, false}));
  EXPECT_EQ(chooserParents_[0], window_);
  EXPECT_EQ(eval(host.webView(), R"JS(
    const names = (id) => Array.from(document.getElementById(id).files).map((f) => f.name);
    return [names('many'), names('one')];
  )JS"),
            (json{{"first.txt", "second.txt"}, json::array()}));
}

// The real GtkFileChooserNative: without a portal it shows GTK's own dialog
// in this process, which the test answers as a user would.
TEST_F(WindowTest, NativeChooserAnswersTheFileInput) {
  auto& host = showHost(/*nativeChooser=*/true);
  host.update(std::nullopt);
  waitForLoads(1);
  const fs::path picked = folder_ / "picked.txt";
  std::ofstream(picked) << "x";

  auto openDialog = [&](const char* id) -> GtkFileChooser* {
    GtkWindow* found = nullptr;
    auto findDialog = [&] {
      GListModel* toplevels = gtk_window_get_toplevels();
      for (guint i = 0; i < g_list_model_get_n_items(toplevels) && !found; ++i) {
        auto* window = GTK_WINDOW(g_list_model_get_item(toplevels, i));
        if (GTK_IS_FILE_CHOOSER(window) && gtk_widget_get_visible(GTK_WIDGET(window))) found = window;
        g_object_unref(window);
      }
      return found != nullptr;
    };
    for (int attempt = 0; attempt < 30 && !findDialog(); ++attempt) {
      eval(host.webView(), std::string("document.getElementById('") + id + "').click();");
      spinFor(100);
    }
    if (!found) return nullptr;
    EXPECT_EQ(gtk_window_get_transient_for(found), window_);
    EXPECT_TRUE(gtk_window_get_modal(found));
    return GTK_FILE_CHOOSER(found);
  };
  auto fileNames = [&] {
    return eval(host.webView(), R"JS(
      const names = (id) => Array.from(document.getElementById(id).files).map((f) => f.name);
      return [names('many'), names('one')];
    )JS");
  };

  GtkFileChooser* dialog = openDialog("many");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(gtk_file_chooser_get_select_multiple(dialog));
  GFile* file = g_file_new_for_path(picked.c_str());
  EXPECT_TRUE(gtk_file_chooser_set_file(dialog, file, nullptr));
  g_object_unref(file);
  // The dialog selects the file once its folder has loaded.
  spinUntil([&] {
    GListModel* files = gtk_file_chooser_get_files(dialog);
    const bool selected = g_list_model_get_n_items(files) == 1;
    g_object_unref(files);
    return selected;
  });
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  spinUntil([&] { return fileNames()[0].size() == 1; }, 10);
  EXPECT_EQ(fileNames(), (json{{"picked.txt"}, json::array()}));

  // Cancelled: the input stays empty, and the next click opens a new dialog.
  dialog = openDialog("one");
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(gtk_file_chooser_get_select_multiple(dialog));
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  spinFor(200);
  dialog = openDialog("one");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(fileNames(), (json{{"picked.txt"}, json::array()}));
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
  spinFor(100);
}

TEST_F(WindowTest, MissingWebAppShowsTheNoticeAtTheMinimumSize) {
  bool made = false;
  contentView_ = std::make_unique<ContentView>(nullptr, std::nullopt, [&](const fs::path&) {
    made = true;
    return std::shared_ptr<WebViewHost>();
  });
  gtk_window_set_default_size(contentView_->window(), 300, 200);
  contentView_->present();
  spinUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(contentView_->window())); });
  spinFor(200);

  EXPECT_FALSE(made);
  EXPECT_EQ(contentView_->webView(), nullptr);
  EXPECT_STREQ(gtk_window_get_title(contentView_->window()), "Veltrano");
  std::vector<std::string> texts;
  bool anyWebView = false;
  std::function<void(GtkWidget*)> walk = [&](GtkWidget* w) {
    if (GTK_IS_LABEL(w) && gtk_widget_get_visible(w)) texts.emplace_back(gtk_label_get_text(GTK_LABEL(w)));
    anyWebView |= WEBKIT_IS_WEB_VIEW(w);
    for (GtkWidget* c = gtk_widget_get_first_child(w); c; c = gtk_widget_get_next_sibling(c)) walk(c);
  };
  walk(GTK_WIDGET(contentView_->window()));
  EXPECT_EQ(
      texts, (std::vector<std::string>{"Bundled web app not found", "Expected WebApp/index.html in app resources."}));
  EXPECT_FALSE(anyWebView);

  // Asked for 300 × 200, the content still gets 800 × 600.
  GtkWidget* content = gtk_window_get_child(contentView_->window());
  EXPECT_GE(gtk_widget_get_width(content), 800);
  EXPECT_GE(gtk_widget_get_height(content), 600);
  int minimum = 0;
  gtk_widget_measure(content, GTK_ORIENTATION_HORIZONTAL, -1, &minimum, nullptr, nullptr, nullptr);
  EXPECT_EQ(minimum, 800);
  gtk_widget_measure(content, GTK_ORIENTATION_VERTICAL, -1, &minimum, nullptr, nullptr, nullptr);
  EXPECT_EQ(minimum, 600);
  saveScreenshot(contentView_->window(), "window-notice");
}

// The installed web app's settings for this test: nothing answers on the
// emulator's port, and showing sign-in and checking links need nothing.
const char* kWebAppConfig = R"({"apiKey": "fake-api-key", "projectId": "demo-veltrano",
  "signInContinueURL": "http://127.0.0.1:9/", "endpointBaseURL": "http://127.0.0.1:9",
  "authEmulatorHost": "127.0.0.1:9"})";

TEST_F(WindowTest, WindowWithTheWebAppBannerAndDeepLinks) {
  const char* webApp = std::getenv("VELTRANO_WEBAPP_DIR");
  ASSERT_NE(webApp, nullptr);
  const fs::path copy = folder_ / "WebApp";
  fs::copy(webApp, copy, fs::copy_options::recursive);
  std::ofstream(copy / "config.json", std::ios::trunc) << kWebAppConfig;
  webAppSite_ = std::make_unique<TestSite>(copy);
  TestSite& site = *webAppSite_;
  fs::path madeFor;
  contentView_ = std::make_unique<ContentView>(nullptr, copy, [&](const fs::path& root) {
    madeFor = root;
    return WebViewHost::create(configuration(site));
  });
  ASSERT_NE(contentView_->webView(), nullptr);
  EXPECT_EQ(madeFor, copy);
  WebKitWebView* webView = contentView_->webView()->webView();
  countLoads(webView);
  contentView_->present();
  waitForLoads(1);
  // Up to date once the page has pinged the bridge and shows sign-in.
  spinUntil([&] {
    return eval(webView, "return document.body.dataset.bridge + ' ' + document.body.dataset.screen;") == "ready email";
  });
  // What reaches the page, seen beside the page's own handling.
  eval(webView, R"JS(
    window.seen = { links: [], focus: [] };
    const receive = window.__veltranoReceiveAuthCallback;
    window.__veltranoReceiveAuthCallback = (link) => { seen.links.push(link); receive(link); };
    window.addEventListener('veltrano:app-focus', (e) => seen.focus.push(e.detail.focused));
  )JS");

  contentView_->receiveDeepLink("veltrano://auth/callback?emailLink=first");
  contentView_->receiveDeepLink("veltrano://auth/callback?emailLink=second&email=u%40example.com");
  EXPECT_EQ(contentView_->authCallbackURL(), "veltrano://auth/callback?emailLink=second&email=u%40example.com");
  contentView_->update();
  state_.dispatchFocusEvent(true);
  spinUntil([&] { return eval(webView, "return seen.links.length + seen.focus.length;").get<int>() >= 3; });
  EXPECT_EQ(eval(webView, "return seen;"),
            (json{{"links", {{{"emailLink", "first"}}, {{"emailLink", "second"}, {"email", "u@example.com"}}}},
                  {"focus", {true}}}));
  // Neither is a sign-in link, and the page says so in words.
  EXPECT_EQ(eval(webView, "return document.getElementById('email-message').textContent;"),
            "That isn't a sign-in link from Veltrano. Copy the whole link from the email.");
  spinFor(300);
  saveScreenshot(contentView_->window(), "window-web-app", webView);
  GtkWindow* window = contentView_->window();
  EXPECT_FLOAT_EQ(boundsIn(GTK_WIDGET(webView), window).origin.y, 0);

  // A banner goes on top and the web view moves below it; cleared, the web
  // view is back at the top; a later state shows one again.
  for (int round = 0; round < 2; ++round) {
    GtkWidget* banner = gtk_label_new("Approval needed: allow the camera service to finish installing.");
    gtk_widget_set_size_request(banner, -1, 48);
    contentView_->setBanner(banner);
    spinFor(100);
    EXPECT_FLOAT_EQ(boundsIn(banner, window).origin.y, 0);
    EXPECT_FLOAT_EQ(boundsIn(GTK_WIDGET(webView), window).origin.y, boundsIn(banner, window).size.height);
    if (round == 0) saveScreenshot(window, "window-banner", webView);
    contentView_->setBanner(nullptr);
    spinFor(100);
    EXPECT_FLOAT_EQ(boundsIn(GTK_WIDGET(webView), window).origin.y, 0);
  }
  EXPECT_EQ(site.requests("index.html"), 1);
}

}  // namespace
