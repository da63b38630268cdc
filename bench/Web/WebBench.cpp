// The window's speed, under Xvfb on a bus of its own:
//
//   tests/support/run-with-display.sh build/bench/Web/web_bench [--starts N] [--calls N] [--rounds N]
//
// 1. Start-up: the application program started from a copy of its bundle
//    whose web app gets one more script in its index.html that reports the
//    entry page's load event time to a loopback listener here, beside a bare
//    host (this program with --bare-host: a GtkApplication with one window
//    and web view, the same "app" scheme handler over the same copied web
//    app and the same page-side script). Process start (just before spawn)
//    -> the load event, for each start, the two programs alternating; each
//    is then asked to quit (SIGTERM) and awaited before the next start.
// 2. The bridge's ping round trip page -> native -> page: our WebViewHost
//    (the real glue and dispatch) beside a bare WebKitGTK host in the same
//    window and process, with the same page-side script, that answers from
//    its reply handler with a fixed envelope. Per host: N calls one after
//    another and N calls in flight at once, timed as batches in the page
//    (performance.now() is coarse), each reply checked; through the page's
//    veltranoNative.call and through the raw postMessage. Hosts alternate
//    round by round; the median round counts.

#include "Bridge/PageBridgeScript.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Web/Linux/WebAppSchemeWebKit.hpp"
#include "Web/Linux/WebViewHost.hpp"
#include "Web/WebAppSchemeHandler.hpp"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <httplib.h>
#include <webkit/webkit.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace veltrano;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Options {
  int starts = 10;
  int calls = 10000;
  int rounds = 5;
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double epochMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Iterates the default main context until `done`; false after `seconds`.
bool spinUntil(const std::function<bool()>& done, double seconds = 60) {
  const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
  const guint tick = g_timeout_add(
      50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool ok = done();
  while (!ok && g_get_monotonic_time() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    ok = done();
  }
  g_source_remove(tick);
  return ok;
}

// ---- 1. Start-up ------------------------------------------------------------

// Posted by the copied web app once its load event has fired: the event's
// time on the page's clock (epoch ms).
const char* kLoadReporter = R"JS(// Written by web_bench: reports the load event.
const report = () => {
  const nav = performance.getEntriesByType('navigation')[0];
  const at = performance.timeOrigin + (nav ? nav.loadEventStart : performance.now());
  fetch('http://127.0.0.1:PORT/loaded?at=' + at + '&origin=' + performance.timeOrigin, { mode: 'no-cors' });
};
if (document.readyState === 'complete') setTimeout(report, 0);
else window.addEventListener('load', () => setTimeout(report, 0));
)JS";

class LoadListener {
 public:
  LoadListener() {
    server_.Get("/loaded", [this](const httplib::Request& request, httplib::Response& response) {
      const double arrived = epochMs();
      std::lock_guard lock(mutex_);
      loadEventAt_ = std::stod(request.get_param_value("at"));
      navigationAt_ = std::stod(request.get_param_value("origin"));
      arrivedAt_ = arrived;
      changed_.notify_all();
      response.set_content("ok", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~LoadListener() {
    server_.stop();
    thread_.join();
  }
  LoadListener(const LoadListener&) = delete;
  LoadListener& operator=(const LoadListener&) = delete;

  int port() const { return port_; }
  void reset() {
    std::lock_guard lock(mutex_);
    loadEventAt_.reset();
  }
  struct Report {
    double navigationAt, loadEventAt, arrivedAt;  // epoch ms
  };
  // What the page reported, or absent after the timeout.
  std::optional<Report> wait(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return loadEventAt_.has_value(); })) return std::nullopt;
    return Report{navigationAt_, *loadEventAt_, arrivedAt_};
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<double> loadEventAt_;
  double arrivedAt_ = 0, navigationAt_ = 0;
};

bool waitForExit(pid_t pid, std::chrono::seconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct StartReport {
  double load, navigation, arrived;  // ms after spawn
};

// One start of `argv[0]` to the copied web app's load event, then SIGTERM;
// absent when no load event came.
std::optional<StartReport> startOnce(LoadListener& listener, std::vector<std::string> args) {
  listener.reset();
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const double spawnedAt = epochMs();
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + args[0]);
  const auto loaded = listener.wait(std::chrono::seconds(60));
  ::kill(pid, SIGTERM);
  if (!waitForExit(pid, std::chrono::seconds(30))) {
    std::printf("%s did not quit within 30 s of SIGTERM; killed\n", args[0].c_str());
    ::kill(pid, SIGKILL);
    waitForExit(pid, std::chrono::seconds(10));
  }
  if (!loaded) return std::nullopt;
  return StartReport{loaded->loadEventAt - spawnedAt, loaded->navigationAt - spawnedAt, loaded->arrivedAt - spawnedAt};
}

// Median of process start -> load event of ours, or absent when a start failed.
std::optional<double> measureStartUp(const Options& options, const fs::path& scratch) {
  const fs::path program = VELTRANO_APP_PROGRAM;
  const fs::path bundle = scratch / "bundle";
  fs::copy(program.parent_path().parent_path(), bundle, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const fs::path copied = bundle / "bin" / program.filename();
  const fs::path webApp = bundle / "share/VeltranoMac/WebApp";
  if (!fs::exists(webApp / "index.html")) throw std::runtime_error("no web app in " + webApp.string());

  LoadListener listener;
  std::string reporter = kLoadReporter;
  reporter.replace(reporter.find("PORT"), 4, std::to_string(listener.port()));
  std::ofstream(webApp / "load-reporter.js") << reporter;
  std::ifstream indexFile(webApp / "index.html");
  std::string index((std::istreambuf_iterator<char>(indexFile)), {});
  const auto head = index.find("</head>");
  if (head == std::string::npos) throw std::runtime_error("no </head> in the web app's index.html");
  index.insert(head, R"(<script type="module" src="load-reporter.js"></script>)");
  std::ofstream(webApp / "index.html", std::ios::trunc) << index;

  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<double> oursLoad, oursNavigation, bareLoad;
  for (int i = 0; i < options.starts; ++i) {
    // Alternating, bare host first in odd rounds, so neither always runs on
    // caches the other just warmed.
    for (int turn = 0; turn < 2; ++turn) {
      const bool bare = (turn == 0) == (i % 2 == 1);
      const auto report =
          bare ? startOnce(listener, {self, "--bare-host", webApp.string()}) : startOnce(listener, {copied.string()});
      if (!report) {
        std::printf("start %d: no load event within 60 s from %s\n", i, bare ? "the bare host" : "the app");
        return std::nullopt;
      }
      if (bare) {
        bareLoad.push_back(report->load);
        std::printf("start %2d: bare host: process start -> load event %7.1f ms\n", i, report->load);
      } else {
        oursLoad.push_back(report->load);
        oursNavigation.push_back(report->navigation);
        std::printf(
            "start %2d: the app:   process start -> load event %7.1f ms (navigation began at %7.1f ms; report "
            "arrived at %7.1f ms)\n",
            i, report->load, report->navigation, report->arrived);
      }
      std::fflush(stdout);
    }
  }
  std::printf(
      "start-up: process start -> load event median %.1f ms, first %.1f ms, worst %.1f ms over %d starts; "
      "process start -> navigation start median %.1f ms\n",
      median(oursLoad), oursLoad.front(), *std::max_element(oursLoad.begin(), oursLoad.end()), options.starts,
      median(oursNavigation));
  std::printf("start-up summary: app_ms=%.1f bare_ms=%.1f ratio=%.3f\n", median(oursLoad), median(bareLoad),
              median(oursLoad) / median(bareLoad));
  return median(oursLoad);
}

// ---- 2. Ping round trips ----------------------------------------------------

// Only "ping" is sent; anything else would be a fault of this program.
struct NoCoordinator final : AnswerRecordingCoordinatorProtocol {
  Awaitable<json> enterAnswer(EnterAnswerPayload) override { throw std::logic_error("not in this benchmark"); }
  Awaitable<void> finalizeForTermination(bool) override { co_return; }
  Awaitable<void> retryPendingUploads(std::string) override { co_return; }
};

// The bare host: WebKitGTK, the same scheme and page-side script, and a
// reply handler that returns a fixed envelope at once.
class BareHost {
 public:
  explicit BareHost(std::shared_ptr<const WebAppSchemeHandler> site) {
    WebKitWebContext* context = webkit_web_context_new();
    registerWebAppScheme(context, std::move(site));
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    WebKitUserScript* script = webkit_user_script_new(pageBridgeScript().c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);
    const std::string signal = "script-message-with-reply-received::" + std::string(kBridgeHandlerName);
    g_signal_connect(content, signal.c_str(), G_CALLBACK(onMessage), this);
    const std::string name(kBridgeHandlerName);
    webkit_user_content_manager_register_script_message_handler_with_reply(content, name.c_str(), nullptr);
    webView_ = WEBKIT_WEB_VIEW(g_object_ref_sink(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content, nullptr)));
    g_object_unref(content);
    g_object_unref(context);
  }
  ~BareHost() {
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(webView_), this);
    g_object_unref(webView_);
  }
  BareHost(const BareHost&) = delete;
  BareHost& operator=(const BareHost&) = delete;

  WebKitWebView* webView() const { return webView_; }
  long replies = 0;

 private:
  static gboolean onMessage(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                            gpointer self) {
    ++static_cast<BareHost*>(self)->replies;
    JSCValue* envelope = jsc_value_new_from_json(
        jsc_value_get_context(value), R"({"ok":true,"data":{"pong":true,"timestamp":"2026-01-01T00:00:00Z"}})");
    webkit_script_message_reply_return_value(reply, envelope);
    g_object_unref(envelope);
    return TRUE;
  }

  WebKitWebView* webView_ = nullptr;
};

// Runs `body` as an async function in the page; its value as JSON.
json evaluate(WebKitWebView* webView, const std::string& body) {
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
          r->error = error ? error->message : "unknown error";
          g_clear_error(&error);
        }
        r->done = true;
      },
      &result);
  if (!spinUntil([&] { return result.done; }, 300)) throw std::runtime_error("the page did not answer");
  if (!result.error.empty()) throw std::runtime_error(result.error);
  return result.value;
}

// One batch in the page: N calls in sequence or all in flight, through the
// page's call() or the raw postMessage. Every reply must be the pong.
std::string batchScript(bool inFlight, bool raw, int calls) {
  const std::string call = raw ? "() => window.webkit.messageHandlers.veltranoBridge.postMessage("
                                 "{ method: 'ping', payload: null }).then((e) => e && e.ok === true && e.data)"
                               : "() => window.veltranoNative.call('ping')";
  const std::string n = std::to_string(calls);
  const std::string loop = inFlight ? "const replies = await Promise.all(Array.from({ length: " + n + " }, call));\n"
                                    : "const replies = [];\n"
                                      "for (let i = 0; i < " +
                                          n + "; ++i) replies.push(await call());\n";
  return "const call = " + call + ";\nconst t0 = performance.now();\n" + loop +
         "const ms = performance.now() - t0;\n"
         "return { ms, count: replies.length, pongs: replies.filter((r) => r && r.pong === true).length };\n";
}

struct Figure {
  const char* name;
  bool inFlight, raw;
  std::vector<double> ours, bare;  // µs per call, one per round
};

bool measurePings(const Options& options, const fs::path& scratch, bool* allAnswered) {
  const fs::path site = scratch / "site";
  fs::create_directories(site);
  std::ofstream(site / "index.html") << "<!doctype html><html><body><p>bridge benchmark</p></body></html>";
  auto handler = std::make_shared<const WebAppSchemeHandler>(site);

  WebViewHost::Configuration configuration;
  configuration.registerAppScheme = [handler](WebKitWebContext* context) { registerWebAppScheme(context, handler); };
  configuration.coordinator = std::make_shared<NoCoordinator>();
  configuration.openExternalURL = [](const std::string&) {};
  auto ours = WebViewHost::create(std::move(configuration));
  BareHost bare(handler);

  // Both views visible side by side in one window, so neither is throttled
  // as hidden.
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  gtk_window_set_default_size(window, 1200, 600);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_box_set_homogeneous(GTK_BOX(box), TRUE);
  gtk_box_append(GTK_BOX(box), ours->widget());
  gtk_box_append(GTK_BOX(box), GTK_WIDGET(bare.webView()));
  gtk_widget_set_hexpand(ours->widget(), TRUE);
  gtk_widget_set_hexpand(GTK_WIDGET(bare.webView()), TRUE);
  gtk_window_set_child(window, box);
  gtk_window_present(window);

  int loaded = 0;
  auto countLoad = +[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    if (event == WEBKIT_LOAD_FINISHED) ++*static_cast<int*>(data);
  };
  g_signal_connect(ours->webView(), "load-changed", G_CALLBACK(countLoad), &loaded);
  g_signal_connect(bare.webView(), "load-changed", G_CALLBACK(countLoad), &loaded);
  ours->update(std::nullopt);
  webkit_web_view_load_uri(bare.webView(), std::string(webAppEntryURL).c_str());
  if (!spinUntil([&] { return loaded >= 2; })) {
    std::printf("ping: the pages did not load\n");
    return false;
  }

  std::vector<Figure> figures = {{"sequential, veltranoNative.call", false, false, {}, {}},
                                 {"in flight,  veltranoNative.call", true, false, {}, {}},
                                 {"sequential, raw postMessage    ", false, true, {}, {}},
                                 {"in flight,  raw postMessage    ", true, true, {}, {}}};
  // Warm both pages' JIT and the native paths first.
  for (WebKitWebView* view : {ours->webView(), bare.webView()}) {
    evaluate(view, batchScript(false, false, 1000));
    evaluate(view, batchScript(true, true, 1000));
  }
  *allAnswered = true;
  for (int round = 0; round < options.rounds; ++round) {
    for (auto& figure : figures) {
      // Alternate which host goes first, so drift hits both alike.
      for (int side = 0; side < 2; ++side) {
        const bool oursNow = (side == 0) == (round % 2 == 0);
        WebKitWebView* view = oursNow ? ours->webView() : bare.webView();
        const long bareBefore = bare.replies;
        const json result = evaluate(view, batchScript(figure.inFlight, figure.raw, options.calls));
        const bool complete = result.at("count") == options.calls && result.at("pongs") == options.calls &&
                              (oursNow || bare.replies - bareBefore == options.calls);
        if (!complete) {
          std::printf(
              "round %d, %s, %s host: %s\n", round, figure.name, oursNow ? "our" : "bare", result.dump().c_str());
          *allAnswered = false;
        }
        (oursNow ? figure.ours : figure.bare).push_back(result.at("ms").get<double>() * 1000 / options.calls);
      }
    }
  }

  std::printf(
      "\nping round trip, %d calls per batch, median of %d rounds (µs per call):\n", options.calls, options.rounds);
  for (const auto& figure : figures) {
    const double o = median(figure.ours), b = median(figure.bare);
    std::printf("  %s: ours %7.2f  bare %7.2f  ratio %.3f   (ours per round:", figure.name, o, b, o / b);
    for (double v : figure.ours) std::printf(" %.1f", v);
    std::printf("; bare:");
    for (double v : figure.bare) std::printf(" %.1f", v);
    std::printf(")\n");
  }
  std::printf("every call answered with a pong: %s\n", *allAnswered ? "yes" : "NO");
  std::printf(
      "summary: ping_seq_us=%.2f bare_seq_us=%.2f seq_ratio=%.3f ping_inflight_us=%.2f "
      "bare_inflight_us=%.2f inflight_ratio=%.3f\n",
      median(figures[0].ours), median(figures[0].bare), median(figures[0].ours) / median(figures[0].bare),
      median(figures[1].ours), median(figures[1].bare), median(figures[1].ours) / median(figures[1].bare));
  std::fflush(stdout);

  gtk_window_destroy(window);
  ours.reset();
  spinUntil([] { return false; }, 0.2);
  return true;
}

// The bare host program: one GtkApplication window with a BareHost web view
// on the web app in `root`, until SIGTERM.
int runBareHost(const fs::path& root) {
  struct Host {
    fs::path root;
    std::unique_ptr<BareHost> host;
  } state{root, nullptr};
  GtkApplication* application = gtk_application_new("com.brackwood.VeltranoBenchBareHost", G_APPLICATION_DEFAULT_FLAGS);
  g_signal_connect(application, "activate", G_CALLBACK(+[](GtkApplication* app, gpointer data) {
                     auto* s = static_cast<Host*>(data);
                     if (s->host) return;
                     s->host = std::make_unique<BareHost>(std::make_shared<const WebAppSchemeHandler>(s->root));
                     GtkWidget* window = gtk_application_window_new(app);
                     gtk_window_set_default_size(GTK_WINDOW(window), 1024, 720);  // the app's window
                     gtk_window_set_child(GTK_WINDOW(window), GTK_WIDGET(s->host->webView()));
                     webkit_web_view_load_uri(s->host->webView(), "app://local/index.html");
                     gtk_window_present(GTK_WINDOW(window));
                   }),
                   &state);
  g_unix_signal_add(
      SIGTERM,
      +[](gpointer app) {
        g_application_quit(G_APPLICATION(app));
        return G_SOURCE_REMOVE;
      },
      application);
  char name[] = "bare-host";
  char* argv[] = {name, nullptr};
  const int status = g_application_run(G_APPLICATION(application), 1, argv);
  state.host.reset();
  g_object_unref(application);
  return status;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
    const int value = std::stoi(argv[++i]);
    if (arg == "--starts")
      o.starts = value;
    else if (arg == "--calls")
      o.calls = value;
    else if (arg == "--rounds")
      o.rounds = value;
    else
      throw std::invalid_argument("unknown option " + arg);
  }
  if (o.starts < 0 || o.calls < 1 || o.rounds < 1) throw std::invalid_argument("bad options");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::string(argv[1]) == "--bare-host") return runBareHost(argv[2]);
    const Options options = parse(argc, argv);
    const fs::path scratch = fs::temp_directory_path() / ("veltrano-web-bench-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    bool ok = true;
    if (options.starts > 0) ok = measureStartUp(options, scratch).has_value();
    gtk_init();
    bool allAnswered = false;
    ok = measurePings(options, scratch, &allAnswered) && allAnswered && ok;
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "web_bench: %s\n", e.what());
    return 2;
  }
}
