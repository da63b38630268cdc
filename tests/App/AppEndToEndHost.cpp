// The whole container app as it ships (runApplicationMain: window, web view,
// bridge, process-wide coordinator, recorder, upload client and store), with
// a test camera and test folders in its places, and a driver:
// each line on stdin is a JSON object {"id": N, "script": "..."} whose script
// runs in the current page as the body of an async function (the page's own
// world, so `window.veltranoNative` is the page's bridge); its value comes
// back on stdout as one line "reply {"id": N, "value": ...}" (value null
// when the call failed or there is no page yet).
//
// A line {"id": N, "window": "hide"|"show"} hides or shows the main window
// instead, and replies true once done.
//
//   app_e2e_host --bundle DIR --data DIR [--camera WxH|system] [--log FILE] [URL ...]
//
// --camera system records the machine's camera (a stand-in on a private
// PipeWire graph, in tests) with the camera choice kept in DIR.
//
// --log writes every log line with its CLOCK_MONOTONIC milliseconds, so a
// test can check the order and timing of a quit.

#include "App/ApplicationMain.hpp"
#include "Runtime/Logger.hpp"
#include "TestCameraSources.hpp"

#include <gtk/gtk.h>
#include "Web/WebHostState.hpp"

#include <glib-unix.h>
#include <glib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace veltrano;
using nlohmann::json;

namespace {

long long monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One write per line with O_APPEND, so a reader never sees half a line.
class TimedLogSink final : public LogSink {
 public:
  explicit TimedLogSink(int fd) : fd_(fd) {}
  void write(const LogRecord& record) override {
    const std::string line = std::to_string(monotonicMs()) + " " + std::string(toString(record.level)) + " [" +
                             record.category + "] " + record.message + "\n";
    if (::write(fd_, line.data(), line.size()) < 0) std::perror("log");
    std::fputs(line.c_str() + line.find(' ') + 1, stderr);
  }

 private:
  int fd_;
};

void reply(long long id, const json& value) {
  const std::string line = "reply " + json{{"id", id}, {"value", value}}.dump() + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

void runCommand(const std::string& line) {
  json command = json::parse(line, nullptr, false);
  if (!command.is_object() || !command.contains("id") || !(command.contains("script") || command.contains("window"))) {
    std::fprintf(stderr, "app_e2e_host: bad command: %s\n", line.c_str());
    return;
  }
  const long long id = command["id"].get<long long>();
  if (command.contains("window")) {
    GListModel* windows = gtk_window_get_toplevels();
    for (guint i = 0; i < g_list_model_get_n_items(windows); ++i) {
      auto* window = GTK_WIDGET(g_list_model_get_item(windows, i));
      gtk_widget_set_visible(window, command["window"] == "show");
      g_object_unref(window);
    }
    reply(id, true);
    return;
  }
  auto page = WebHostState::shared().currentWebView();
  if (!page) {
    reply(id, nullptr);
    return;
  }
  page->runPageScript(command["script"].get<std::string>(), "{}",
                      [id](std::optional<json> value) { reply(id, value ? *value : json(nullptr)); });
}

std::string pending;

gboolean onStdin(gint fd, GIOCondition, gpointer) {
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return G_SOURCE_CONTINUE;
  if (n <= 0) return G_SOURCE_REMOVE;  // the driver closed its end
  pending.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
    const std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (!line.empty()) runCommand(line);
  }
  return G_SOURCE_CONTINUE;
}

// When the first focus event went to the page side (the dispatch itself
// logs nothing), for the start-up benchmark.
gboolean watchFirstFocus(gpointer logFd) {
  const auto& focus = WebHostState::shared().lastFocusState();
  if (!focus) return G_SOURCE_CONTINUE;
  const std::string line = std::to_string(monotonicMs()) + " first focus event " + (*focus ? "true" : "false") + "\n";
  if (::write(GPOINTER_TO_INT(logFd), line.data(), line.size()) < 0) std::perror("log");
  return G_SOURCE_REMOVE;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: app_e2e_host --bundle DIR --data DIR [--camera WxH|system] [--log FILE] [URL ...]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string bundle, data, logPath;
  int width = 320, height = 240;
  bool systemCamera = false;
  std::vector<char*> passOn{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takesValue = arg == "--bundle" || arg == "--data" || arg == "--camera" || arg == "--log";
    if (takesValue && i + 1 >= argc) usage();
    if (arg == "--bundle") {
      bundle = argv[++i];
    } else if (arg == "--data") {
      data = argv[++i];
    } else if (arg == "--log") {
      logPath = argv[++i];
    } else if (arg == "--camera") {
      const std::string camera = argv[++i];
      systemCamera = camera == "system";
      if (!systemCamera && std::sscanf(camera.c_str(), "%dx%d", &width, &height) != 2) usage();
    } else {
      passOn.push_back(argv[i]);
    }
  }
  if (bundle.empty() || data.empty()) usage();
  if (!logPath.empty()) {
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) usage();
    Logger::setSink(std::make_shared<TimedLogSink>(fd));
    g_timeout_add(2, watchFirstFocus, GINT_TO_POINTER(fd));
  }

  std::shared_ptr<CameraSourceFactory> cameras;
  if (systemCamera)
    cameras = std::make_shared<SystemCameraSourceFactory>(std::filesystem::path(data) / "settings.json");
  else
    cameras = std::make_shared<testing::PipelineSourceFactory>(testing::testPattern(width, height, "pattern=ball"));
  ApplicationPlaces places{Bundle{bundle}, data, std::move(cameras)};

  g_unix_set_fd_nonblocking(STDIN_FILENO, TRUE, nullptr);
  g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onStdin, nullptr);

  return runApplicationMain(static_cast<int>(passOn.size()), passOn.data(), std::move(places));
}
