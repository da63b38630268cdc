// Start-up, quit and memory of the whole container app (the end-to-end test
// host: the shipping entry with a test camera and test folders), against the
// reference upload service on loopback. Run it under a display of its own:
//
//   tests/support/run-with-display.sh build/bench/App/app_bench [--runs 10] [--record-seconds 300]
//       [--camera 1280x720] [--sample-seconds 60]
//
// Prints, for `runs` fresh launches, the median and range of
//   process start -> the entry page's load event,
//   process start -> the first focus event the app sends to the page (and how
//     many the page itself received: one sent while it loads is lost),
//   quit request (SIGTERM) -> process exit, with a page whose flush resolves at once;
// then the proportional set size (PSS) of the app and every process under it
// (the web and network processes), its file descriptors and threads: idle,
// then every `sample-seconds` while one answer records (60 s clips).

#include "AppDriver.hpp"
#include "support/TempDir.hpp"

#include <dirent.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace veltrano::testing;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Usage {
  long long pssKiB = 0;
  long long appPssKiB = 0;  // the app process alone
  int processes = 0;
  int fds = 0;      // of the app process
  int threads = 0;  // of the app process
};

std::map<int, int> parentsOfAll() {
  std::map<int, int> parents;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...: comm may hold spaces, so read after ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string state;
    int ppid = 0;
    rest >> state >> ppid;
    parents[std::stoi(name)] = ppid;
  }
  return parents;
}

long long pssKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string key; in >> key;) {
    long long value = 0;
    if (key == "Pss:" && in >> value) return value;
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

Usage usageOf(int app) {
  Usage usage;
  const auto parents = parentsOfAll();
  std::vector<int> tree{app};
  for (std::size_t i = 0; i < tree.size(); ++i)
    for (const auto& [pid, ppid] : parents)
      if (ppid == tree[i]) tree.push_back(pid);
  for (int pid : tree) usage.pssKiB += pssKiB(pid);
  usage.appPssKiB = pssKiB(app);
  usage.processes = static_cast<int>(tree.size());
  std::error_code ignored;
  for (fs::directory_iterator it("/proc/" + std::to_string(app) + "/fd", ignored), end; it != end;
       it.increment(ignored))
    ++usage.fds;
  std::ifstream status("/proc/" + std::to_string(app) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) usage.threads = std::stoi(line.substr(8));
  return usage;
}

void print(const char* label, const Usage& u) {
  std::printf("%-22s PSS %6.1f MiB over %d processes (app %6.1f MiB), app fds %3d, app threads %3d\n", label,
              u.pssKiB / 1024.0, u.processes, u.appPssKiB / 1024.0, u.fds, u.threads);
  std::fflush(stdout);
}

struct Figures {
  std::vector<long long> load, focus, quit;
};

long long median(std::vector<long long> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

void summary(const char* label, const std::vector<long long>& v) {
  if (v.empty()) return;
  std::printf("%-40s median %5lld ms  (min %lld, max %lld, n=%zu)\n", label, median(v),
              *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), v.size());
}

void makeBundle(const fs::path& bundle, const std::string& endpoint) {
  writeFile(bundle / "share/VeltranoMac/Info.json", json{{"CFBundleIdentifier", "com.brackwood.VeltranoMac"},
                                                         {"VeltranoAnswerVideoSignedURLRequestURL", endpoint}}
                                                        .dump());
  fs::create_directories(bundle / "share/VeltranoMac/WebApp");
  fs::copy_file(fs::path(VELTRANO_E2E_PAGE_DIR) / "index.html", bundle / "share/VeltranoMac/WebApp/index.html",
                fs::copy_options::overwrite_existing);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 10, recordSeconds = 300, sampleSeconds = 60;
  std::string camera = "1280x720";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--runs")
      runs = std::atoi(argv[i + 1]);
    else if (arg == "--record-seconds")
      recordSeconds = std::atoi(argv[i + 1]);
    else if (arg == "--sample-seconds")
      sampleSeconds = std::max(1, std::atoi(argv[i + 1]));
    else if (arg == "--camera")
      camera = argv[i + 1];
  }

  TempDir dir;
  UploadServiceProcess service(VELTRANO_UPLOAD_SERVICE, dir / "objects", {"bench-token"}, dir / "service.err");
  if (service.endpoint.empty()) {
    std::fprintf(stderr, "the upload service did not start\n");
    return 1;
  }
  makeBundle(dir / "bundle", service.endpoint);

  Figures figures;
  int pageGotFocus = 0;
  for (int run = 0; run < runs; ++run) {
    const fs::path data = dir / ("data-" + std::to_string(run));
    const fs::path log = dir / ("run-" + std::to_string(run) + ".log");
    AppDriver::Options options{dir / "bundle", data, log, dir / "bench.err", camera};
    const long long startWall = wallMs();
    AppDriver app(VELTRANO_E2E_HOST, options);
    if (!app.waitUntil("document.readyState === 'complete' && window.__events.some(e => e.kind === 'load')",
                       std::chrono::seconds(60))) {
      std::fprintf(stderr, "run %d: the page never loaded\n", run);
      return 1;
    }
    const auto events = app.run("return window.__events;");
    for (const auto& e : events.value_or(json::array())) {
      if (e["kind"] == "load") figures.load.push_back(e["at"].get<long long>() - startWall);
      if (e["kind"] == "focus") ++pageGotFocus;
    }
    // The first focus event as the app sends it (the host notes the moment).
    const long long focusUntil = monotonicMs() + 10000;
    for (bool found = false; !found && monotonicMs() < focusUntil;) {
      std::ifstream in(log);
      for (std::string line; std::getline(in, line);) {
        if (line.find(" first focus event ") == std::string::npos) continue;
        figures.focus.push_back(std::stoll(line.substr(0, line.find(' '))) - app.startedMs());
        found = true;
      }
      if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Settled, then the quit: the test page's flush resolves at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long long requested = monotonicMs();
    app.signal(SIGTERM);
    if (app.waitForExit(std::chrono::seconds(30)) != 0) {
      std::fprintf(stderr, "run %d: the app did not exit 0\n", run);
      return 1;
    }
    figures.quit.push_back(app.exitMs() - requested);
  }
  summary("process start -> page load event", figures.load);
  summary("process start -> first focus event sent", figures.focus);
  std::printf("focus events the page itself received in %d runs: %d\n", runs, pageGotFocus);
  summary("quit request -> exit (flush at once)", figures.quit);
  std::fflush(stdout);
  if (recordSeconds <= 0) return 0;

  AppDriver app(VELTRANO_E2E_HOST, AppDriver::Options{dir / "bundle", dir / "data-memory", dir / "memory.log",
                                                      dir / "memory.err", camera});
  if (!app.waitUntil("document.readyState === 'complete' && window.veltranoNative", std::chrono::seconds(60))) {
    std::fprintf(stderr, "the page never loaded\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(5));
  print("idle", usageOf(app.pid()));
  const json payload{{"userId", "bench"}, {"sessionId", "memory"}, {"answerId", "a"}, {"idToken", "bench-token"}};
  const auto entered = app.call("enterAnswer", payload);
  if (!entered.value("ok", false)) {
    std::fprintf(stderr, "enterAnswer failed: %s\n", entered.dump().c_str());
    return 1;
  }
  const long long recordingSince = monotonicMs();
  print("recording, 0 s", usageOf(app.pid()));
  // Sampled half-way between rotations, when no clip is being handed off.
  for (int at = sampleSeconds / 2; at <= recordSeconds; at += sampleSeconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(recordingSince + at * 1000LL - monotonicMs()));
    const std::string label = "recording, " + std::to_string(at) + " s";
    print(label.c_str(), usageOf(app.pid()));
  }
  const auto left =
      app.call("enterAnswer",
               json{{"userId", "bench"}, {"sessionId", "memory"}, {"answerId", nullptr}, {"idToken", "bench-token"}});
  std::this_thread::sleep_for(std::chrono::seconds(5));
  print("left the answer", usageOf(app.pid()));
  std::size_t clips = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir / "objects")) clips += entry.is_regular_file();
  std::printf("leave: %s; clips in storage: %zu\n", left.dump().c_str(), clips);
  app.signal(SIGTERM);
  app.waitForExit(std::chrono::seconds(30));
  return 0;
}
