// A test host for the application shell: the real VeltranoApp and
// AppDelegate on a plain window, with a fake page and a fake coordinator
// that write what happens to an events file, one "<monotonic ms> <event>"
// line each, so a test in another process can check order and timing.
//
//   app_test_host --events FILE [--flush now|none|never|<ms>] [--finalize-ms N]
//                 [--close-window-after MS] [URL ...]

#include "App/VeltranoApp.hpp"
#include "Runtime/Sleep.hpp"
#include "Runtime/WorkerThread.hpp"

#include <boost/asio/experimental/channel.hpp>
#include <boost/system/error_code.hpp>

#include <fcntl.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace veltrano;

namespace {

int eventsFd = -1;

long long monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One write per line with O_APPEND, so a reader never sees half a line.
void event(const std::string& text) {
  const std::string line = std::to_string(monotonicMs()) + " " + text + "\n";
  if (eventsFd >= 0 && ::write(eventsFd, line.data(), line.size()) < 0) std::perror("events");
}

class EventsLogSink final : public LogSink {
 public:
  void write(const LogRecord& record) override {
    event("log " + std::string(toString(record.level)) + " [" + record.category + "] " + record.message);
  }
};

struct Options {
  std::string flush = "now";
  int finalizeMs = 200;
  int closeWindowAfterMs = -1;
};

class FakeCoordinator final : public AnswerRecordingCoordinatorProtocol {
 public:
  FakeCoordinator(SleepFunction sleep, int finalizeMs) : sleep_(std::move(sleep)), finalizeMs_(finalizeMs) {}
  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload) override { co_return nlohmann::json::object(); }
  Awaitable<void> retryPendingUploads(std::string) override {
    event("retry-pending-uploads");
    co_return;
  }
  Awaitable<void> finalizeForTermination(bool deferUpload) override {
    event(std::string("finalize-start defer=") + (deferUpload ? "1" : "0"));
    co_await sleep_(std::chrono::milliseconds(finalizeMs_));
    event("finalize-end");
  }

 private:
  SleepFunction sleep_;
  int finalizeMs_;
};

Awaitable<std::optional<nlohmann::json>> fakeFlush(std::string mode, SleepFunction sleep) {
  event("flush-start");
  if (mode == "never") {
    asio::experimental::channel<void(boost::system::error_code)> never(co_await asio::this_coro::executor, 1);
    co_await never.async_receive(asio::use_awaitable);
  } else if (mode != "now") {
    co_await sleep(std::chrono::milliseconds(std::stoi(mode)));
  }
  event("flush-end");
  co_return nlohmann::json{{"ok", true}, {"status", "saved"}};
}

gboolean closeWindow(gpointer window) {
  event("closing-window");
  gtk_window_close(GTK_WINDOW(window));
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string eventsPath;
  std::vector<char*> passOn{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "app_test_host: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--events") {
      eventsPath = value();
    } else if (arg == "--flush") {
      options.flush = value();
    } else if (arg == "--finalize-ms") {
      options.finalizeMs = std::stoi(value());
    } else if (arg == "--close-window-after") {
      options.closeWindowAfterMs = std::stoi(value());
    } else {
      passOn.push_back(argv[i]);
    }
  }
  if (!eventsPath.empty()) eventsFd = ::open(eventsPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  Logger::setSink(std::make_shared<EventsLogSink>());
  event("process-start");

  static WorkerThread* const worker = new WorkerThread;  // runs until the process ends
  SleepFunction sleep = makeTimerSleep(worker->context());
  FakeCoordinator coordinator(sleep, options.finalizeMs);
  GtkApplication* application = nullptr;

  AppDelegate::Seams seams;
  seams.lifecycle.sleep = sleep;
  if (options.flush != "none") {
    seams.lifecycle.page.flushAnswerSave = [mode = options.flush, sleep] { return fakeFlush(mode, sleep); };
  }
  seams.lifecycle.page.dispatchFocusEvent = [&application](bool focused) {
    GtkWindow* window = application ? gtk_application_get_active_window(application) : nullptr;
    const bool windowActive = window != nullptr && gtk_window_is_active(window);
    event(std::string("focus ") + (focused ? "1" : "0") + " window-active " + (windowActive ? "1" : "0"));
  };
  seams.lifecycle.page.deliverDeepLink = [](const std::string& url) { event("deep-link " + url); };
  seams.lifecycle.coordinator = [&coordinator]() -> AnswerRecordingCoordinatorProtocol& { return coordinator; };
  seams.lifecycle.activateExtension = [&application] {
    char** accels = gtk_application_get_accels_for_action(application, "app.quit");
    std::string joined;
    for (char** a = accels; a && *a; ++a) joined += std::string(" ") + *a;
    g_strfreev(accels);
    event("activate-extension accels app.quit" + joined);
  };
  seams.lifecycle.removeOrphanedRecordings = []() -> Awaitable<void> {
    event("remove-orphaned-recordings");
    co_return;
  };
  seams.makeWindow = [&options, &application](GtkApplication* app) {
    application = app;
    GtkWidget* window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
    if (options.closeWindowAfterMs >= 0) {
      g_timeout_add(static_cast<unsigned>(options.closeWindowAfterMs), closeWindow, window);
    }
    g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer) { event("window-destroyed"); }), nullptr);
    event("window-created");
    return GTK_WINDOW(window);
  };

  int status = 0;
  {
    VeltranoApp app(std::move(seams));
    event("app-constructed");
    status = app.run(static_cast<int>(passOn.size()), passOn.data());
  }
  event("exit " + std::to_string(status));
  if (eventsFd >= 0) ::close(eventsFd);
  return status;
}

// Under LeakSanitizer: fontconfig keeps its configuration cache for the life
// of the process (GTK asks it for fonts once the window maps).
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks this name up
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
