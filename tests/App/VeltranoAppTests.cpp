// The real GtkApplication in the test host (tests/App/AppTestHost.cpp), on
// the session bus and X display this program runs in: single instance, URL
// hand-over, focus at launch and every way to quit, read back from the
// host's events file.

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using veltrano::testing::TempDir;

long long monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Event {
  long long ms;
  std::string text;
};

std::vector<Event> readEvents(const std::filesystem::path& file) {
  std::vector<Event> events;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto space = line.find(' ');
    if (space == std::string::npos) continue;
    events.push_back({std::stoll(line.substr(0, space)), line.substr(space + 1)});
  }
  return events;
}

std::vector<Event> matching(const std::vector<Event>& events, const std::string& prefix) {
  std::vector<Event> out;
  for (const auto& e : events)
    if (e.text.rfind(prefix, 0) == 0) out.push_back(e);
  return out;
}

// One run of the host; killed if a test leaves it behind.
class Host {
 public:
  Host(std::filesystem::path events, std::vector<std::string> args) : events_(std::move(events)) {
    std::vector<std::string> all{VELTRANO_APP_TEST_HOST, "--events", events_.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Under LeakSanitizer the host's leak check stays off: a module GTK loads
    // for the display leaves one block (128 bytes) with no frames to name or
    // suppress. Address and undefined-behaviour checks stay on.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("ASAN_OPTIONS=", 0) == 0) entry += ":detect_leaks=0";
      env.push_back(std::move(entry));
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  }
  ~Host() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  void signal(int number) const { ::kill(pid_, number); }
  std::vector<Event> events() const { return readEvents(events_); }

  bool waitForEvent(const std::string& prefix, std::chrono::milliseconds timeout = 10s) const {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (matching(events(), prefix).empty()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // The exit status, or nothing if the process is still running at the end.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!status_ && std::chrono::steady_clock::now() < until) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        exitMs_ = monotonicMs();
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      } else {
        std::this_thread::sleep_for(5ms);
      }
    }
    return status_;
  }
  long long exitMs() const { return exitMs_; }

 private:
  std::filesystem::path events_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  long long exitMs_ = 0;
};

int runQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

TEST(SingleInstance, SecondLaunchHandsItsURLsToTheFirstAndExitsZero) {
  TempDir dir;
  Host first(dir / "first", {});
  ASSERT_TRUE(first.waitForEvent("focus"));

  const std::string signIn = "veltrano://auth/callback?emailLink=https%3A%2F%2Fx.example%2Fl%3Fa%3D1&email=a%40b.c";
  const std::string longLink = "veltrano://auth/callback?emailLink=" + std::string(100000, 'a');
  {
    Host second(dir / "second", {signIn, "https://other.example/x", "not a url", longLink});
    EXPECT_EQ(second.waitForExit(10s), 0);
    // It never became an instance of its own.
    EXPECT_TRUE(matching(second.events(), "window-created").empty());
  }
  {
    Host third(dir / "third", {});  // no URL: only brings the window forward
    EXPECT_EQ(third.waitForExit(10s), 0);
  }
  ASSERT_TRUE(first.waitForEvent("log debug [App] Main window presented (activate)", 0ms));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (matching(first.events(), "log debug [App] Main window presented").size() < 3 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }

  const auto events = first.events();
  std::vector<std::string> links;
  for (const auto& e : matching(events, "deep-link ")) links.push_back(e.text.substr(10));
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(links, (std::vector<std::string>{
                       signIn, "https://other.example/x", "file://" + cwd + "/not%20a%20url", longLink}));
  // Launch, the open and the plain activation each presented the window; the
  // launch ran once.
  EXPECT_EQ(matching(events, "log debug [App] Main window presented (open)").size(), 1U);
  EXPECT_EQ(matching(events, "log debug [App] Main window presented (activate)").size(), 2U);
  EXPECT_EQ(matching(events, "window-created").size(), 1U);
  EXPECT_EQ(matching(events, "activate-extension").size(), 1U);

  first.signal(SIGTERM);
  EXPECT_EQ(first.waitForExit(10s), 0);
}

// A "veltrano:" link opened through the desktop reaches the running
// instance: the bundle's entry, made visible through XDG_DATA_DIRS, with its
// program swapped for the test host.
TEST(SingleInstance, DesktopLinkReachesTheRunningInstance) {
  const std::filesystem::path entry =
      std::filesystem::path(VELTRANO_BUNDLE_DIR) / "share/applications/com.brackwood.VeltranoMac.desktop";
  ASSERT_EQ(runQuietly("desktop-file-validate '" + entry.string() + "'"), 0);

  TempDir dir;
  std::filesystem::create_directories(dir / "data/applications");
  std::filesystem::create_directories(dir / "config");
  {
    std::ifstream in(entry);
    std::ofstream out(dir / "data/applications/com.brackwood.VeltranoMac.desktop");
    std::string line;
    bool routesScheme = false;
    while (std::getline(in, line)) {
      if (line.rfind("Exec=", 0) == 0) {
        line = "Exec=" + std::string(VELTRANO_APP_TEST_HOST) + " --events " + (dir / "launched").string() + " %u";
      }
      routesScheme = routesScheme || line == "MimeType=x-scheme-handler/veltrano;";
      out << line << "\n";
    }
    ASSERT_TRUE(routesScheme);
  }
  ASSERT_EQ(runQuietly("update-desktop-database '" + (dir / "data/applications").string() + "'"), 0);
  setenv("XDG_DATA_DIRS", (dir / "data").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);

  Host running(dir / "running", {});
  ASSERT_TRUE(running.waitForEvent("focus"));
  const std::string link = "veltrano://auth/callback?emailLink=https%3A%2F%2Fx.example%2Fl";
  EXPECT_EQ(runQuietly("gio open '" + link + "'"), 0);
  EXPECT_TRUE(running.waitForEvent("deep-link " + link));
  // The launched copy handed the link over and ended without a window.
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (matching(readEvents(dir / "launched"), "exit").empty() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(20ms);
  }
  const auto launched = readEvents(dir / "launched");
  EXPECT_EQ(matching(launched, "exit 0").size(), 1U);
  EXPECT_TRUE(matching(launched, "window-created").empty());
  running.signal(SIGTERM);
  EXPECT_EQ(running.waitForExit(10s), 0);
}

TEST(Launch, RunsInOrderAndTheFocusEventCarriesTheWindowsState) {
  TempDir dir;
  Host host(dir / "events", {});
  ASSERT_TRUE(host.waitForEvent("focus 1"));
  std::vector<std::string> order;
  for (const auto& e : host.events()) {
    if (e.text.rfind("log", 0) == 0) continue;
    order.push_back(e.text);
    // Every event the page got says what the window said at that moment.
    if (e.text.rfind("focus ", 0) == 0) {
      EXPECT_EQ(e.text[6], e.text.back()) << e.text;
    }
  }
  ASSERT_GE(order.size(), 6U);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 5),
            (std::vector<std::string>{"process-start", "app-constructed", "window-created",
                                      "activate-extension accels app.quit <Control>q", "remove-orphaned-recordings"}));
  EXPECT_EQ(order[5].rfind("focus ", 0), 0U);
  EXPECT_TRUE(matching(host.events(), "retry-pending-uploads").empty());
  host.signal(SIGTERM);
  EXPECT_EQ(host.waitForExit(10s), 0);
}

class EarlySignal : public ::testing::TestWithParam<int> {};

// A signal that lands while the application is still registering on the bus
// and opening the display (before "startup", long before the window) does
// not kill the process: once the main loop runs, it quits through the
// sequence like any other request and exits 0.
TEST_P(EarlySignal, BeforeTheWindowExistsStillQuitsThroughTheSequence) {
  const int number = GetParam();
  TempDir dir;
  Host host(dir / "events", {"--finalize-ms", "50"});
  const long long until = monotonicMs() + 10000;
  while (matching(host.events(), "app-constructed").empty() && monotonicMs() < until) {
    std::this_thread::sleep_for(1ms);
  }
  host.signal(number);
  const long long sentMs = monotonicMs();
  ASSERT_EQ(host.waitForExit(15s), 0);

  const auto events = host.events();
  const auto windows = matching(events, "window-created");
  ASSERT_EQ(windows.size(), 1U);
  ASSERT_GT(windows[0].ms, sentMs) << "the signal was meant to come before the window";
  const auto quits = matching(events, std::string("log info [App] Quit requested (SIG") + sigabbrev_np(number) + ")");
  ASSERT_EQ(quits.size(), 1U);
  ASSERT_EQ(matching(events, "log info [App] Quit requested").size(), 1U);
  const auto finalizes = matching(events, "finalize-start defer=1");
  ASSERT_EQ(finalizes.size(), 1U);
  EXPECT_GE(finalizes[0].ms - quits[0].ms, 1500);
  EXPECT_EQ(matching(events, "exit 0").size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(EverySignal, EarlySignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

struct QuitPath {
  const char* name;
  std::function<void(Host&)> request;  // asks the running host to quit
  std::string flush;                   // the fake page's flush
  bool twice;                          // a second request while the first runs
  friend void PrintTo(const QuitPath& p, std::ostream* os) { *os << p.name; }
};

// The second signal goes only once the first was taken: two signals that
// arrive before the main loop runs are one signal to any process.
void sendTwice(Host& host, int number) {
  host.signal(number);
  ASSERT_TRUE(host.waitForEvent("log info [App] Quit requested"));
  host.signal(number);
}

class Quit : public ::testing::TestWithParam<QuitPath> {};

// Flush, then at least 1.5 s, then finalize with deferUpload, then exit 0,
// for each request; the process outlives every sequence it started.
TEST_P(Quit, FlushesPausesFinalizesThenExits) {
  const auto& path = GetParam();
  TempDir dir;
  std::vector<std::string> args{"--finalize-ms", "200"};
  if (!path.flush.empty()) args.insert(args.end(), {"--flush", path.flush});
  if (std::string(path.name) == "windowClose") args.insert(args.end(), {"--close-window-after", "1000"});
  Host host(dir / "events", args);
  ASSERT_TRUE(host.waitForEvent("focus"));
  const long long requested = monotonicMs();
  path.request(host);
  ASSERT_EQ(host.waitForExit(25s), 0);

  const auto events = host.events();
  const auto quits = matching(events, "log info [App] Quit requested");
  const auto flushStarts = matching(events, "flush-start");
  const auto flushEnds = matching(events, "flush-end");
  const auto finalizes = matching(events, "finalize-start defer=1");
  const auto finalizeEnds = matching(events, "finalize-end");
  const std::size_t sequences = path.twice ? 2 : 1;
  ASSERT_EQ(quits.size(), sequences);
  ASSERT_EQ(finalizes.size(), sequences);
  ASSERT_EQ(finalizeEnds.size(), sequences);
  EXPECT_TRUE(matching(events, "finalize-start defer=0").empty());
  const bool pageHasFlush = path.flush != "none";
  EXPECT_EQ(flushStarts.size(), pageHasFlush ? sequences : 0U);
  EXPECT_EQ(flushEnds.size(), pageHasFlush && path.flush != "never" ? sequences : 0U);

  for (std::size_t i = 0; i < sequences; ++i) {
    // The pause counts from the flush's end, or its bound, or the request.
    long long settled = quits[i].ms;
    if (path.flush == "never")
      settled = quits[i].ms + 10000;
    else if (pageHasFlush)
      settled = flushEnds[i].ms;
    EXPECT_GE(finalizes[i].ms - settled, 1500) << "sequence " << i;
    EXPECT_LT(finalizes[i].ms - settled, 1800) << "sequence " << i;
  }
  EXPECT_EQ(matching(events, "log error [App] Answer save flush did not settle").size(),
            path.flush == "never" ? sequences : 0U);
  // The window (and with it the page) stays up until the last sequence ended.
  for (const auto& destroyed : matching(events, "window-destroyed")) EXPECT_GE(destroyed.ms, finalizeEnds.back().ms);
  const auto exitLine = matching(events, "exit 0");
  ASSERT_EQ(exitLine.size(), 1U);
  EXPECT_GE(exitLine.front().ms, finalizeEnds.back().ms);
  EXPECT_GE(host.exitMs(), finalizeEnds.back().ms);
  std::printf("[ figures  ] %s: request to exit %lld ms (flush %s)\n", path.name, host.exitMs() - requested,
              path.flush.empty() ? "now" : path.flush.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, Quit,
    ::testing::Values(
        QuitPath{"SIGTERM", [](Host& h) { sendTwice(h, SIGTERM); }, "300", true},
        QuitPath{"SIGINT", [](Host& h) { sendTwice(h, SIGINT); }, "300", true},
        QuitPath{"SIGHUP", [](Host& h) { sendTwice(h, SIGHUP); }, "300", true},
        QuitPath{"SIGTERMWithoutFlushFunction", [](Host& h) { h.signal(SIGTERM); }, "none", false},
        QuitPath{"SIGTERMWithHungFlush", [](Host& h) { h.signal(SIGTERM); }, "never", false},
        QuitPath{"windowClose", [](Host& h) { ASSERT_TRUE(h.waitForEvent("closing-window")); }, "", false},
        // What Ctrl+Q triggers; the accelerator's binding is checked at launch.
        QuitPath{"quitAction",
                 [](Host&) {
                   ASSERT_EQ(runQuietly("gdbus call --session --dest com.brackwood.VeltranoMac --object-path "
                                        "/com/brackwood/VeltranoMac --method org.gtk.Actions.Activate quit [] {}"),
                             0);
                 },
                 "", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
