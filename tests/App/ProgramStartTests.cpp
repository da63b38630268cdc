// The shipped program itself, started from a copy of its bundle on a bus and
// display of its own (tests/support/run-with-display.sh): with no deep link
// it must clean up the user's data folder and load the bundled web app, whose live ping through the bridge must
// succeed, its identity set-up must reach the sign-in screen, and SIGTERM
// must end it cleanly. The copy's web app gets a config.json of the test's
// own and one more script in its index.html, which reports what the page
// sees to a loopback listener here.

#include "support/TempDir.hpp"

#include <httplib.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;
using namespace veltrano::testing;

namespace {

const char* kReporter = R"JS(
const report = () => {
  const deadline = Date.now() + 20000;
  const send = () => {
    const { bridge, screen } = document.body.dataset;
    if ((bridge === 'checking' || screen === 'starting') && Date.now() < deadline) return setTimeout(send, 50);
    const query = new URLSearchParams({ title: document.title, bridge, screen,
                                        available: String(window.veltranoNative.isAvailable()) });
    fetch('http://127.0.0.1:PORT/page?' + query, { mode: 'no-cors' });
  };
  send();
};
if (document.readyState === 'complete') report();
else window.addEventListener('load', report);
)JS";

// Nothing answers on the emulator's port: reaching the sign-in screen needs
// no request.
const char* kConfig = R"({"apiKey": "fake-api-key", "projectId": "demo-veltrano",
  "signInContinueURL": "http://127.0.0.1:9/", "endpointBaseURL": "http://127.0.0.1:9",
  "authEmulatorHost": "127.0.0.1:9"})";

class PageListener {
 public:
  PageListener() {
    server_.Get("/page", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      report_ = request.params;
      changed_.notify_all();
      response.set_content("ok", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~PageListener() {
    server_.stop();
    thread_.join();
  }
  PageListener(const PageListener&) = delete;
  PageListener& operator=(const PageListener&) = delete;

  int port() const { return port_; }
  std::optional<httplib::Params> wait(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return report_.has_value(); });
    return report_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<httplib::Params> report_;
};

std::optional<int> waitForExit(pid_t pid, std::chrono::seconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

std::string param(const httplib::Params& params, const std::string& key) {
  auto it = params.find(key);
  return it == params.end() ? "(absent)" : it->second;
}

}  // namespace

TEST(ProgramStart, ShowsTheBundledWebAppWithALiveBridgeAndQuitsOnSigterm) {
  TempDir dir;
  const fs::path program = VELTRANO_APP_PROGRAM;
  const fs::path bundle = dir / "bundle";
  fs::copy(program.parent_path().parent_path(), bundle, fs::copy_options::recursive);
  PageListener listener;
  std::string reporter = kReporter;
  reporter.replace(reporter.find("PORT"), 4, std::to_string(listener.port()));
  const fs::path webApp = bundle / "share/VeltranoMac/WebApp";
  writeFile(webApp / "reporter.js", reporter);
  writeFile(webApp / "config.json", kConfig);
  std::string index = readFile(webApp / "index.html");
  ASSERT_NE(index.find("</head>"), std::string::npos);
  index.replace(index.find("</head>"), 7, R"(<script type="module" src="reporter.js"></script></head>)");
  writeFile(webApp / "index.html", index);

  // The user's data folder, where the launch clean-up finds a stray clip.
  const fs::path recordings = dir / "share/com.brackwood.VeltranoMac/recordings";
  writeFile(recordings / "veltrano-answer-0F2E7C8A-1B3D-4E5F-8A9B-0C1D2E3F4A5B.mp4", "stray clip");
  writeFile(recordings / "notes.txt", "not a clip");
  std::vector<std::string> environment{"XDG_DATA_HOME=" + (dir / "share").string()};
  for (char** e = environ; *e; ++e)
    if (!std::string_view(*e).starts_with("XDG_DATA_HOME=")) environment.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::string path = (bundle / "bin" / program.filename()).string();
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  const auto report = listener.wait(std::chrono::seconds(60));
  ::kill(pid, SIGTERM);
  const auto status = waitForExit(pid, std::chrono::seconds(30));
  if (!status) {
    ::kill(pid, SIGKILL);
    waitForExit(pid, std::chrono::seconds(10));
  }

  ASSERT_TRUE(report) << "the entry page never loaded";
  EXPECT_EQ(param(*report, "title"), "Veltrano");
  EXPECT_EQ(param(*report, "available"), "true");
  EXPECT_EQ(param(*report, "bridge"), "ready");
  EXPECT_EQ(param(*report, "screen"), "email");
  ASSERT_TRUE(status) << "still running 30 s after SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
  EXPECT_FALSE(fs::exists(recordings / "veltrano-answer-0F2E7C8A-1B3D-4E5F-8A9B-0C1D2E3F4A5B.mp4"));
  EXPECT_TRUE(fs::exists(recordings / "notes.txt"));
}
