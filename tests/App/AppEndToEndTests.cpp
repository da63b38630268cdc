// The container app end to end: the shipping entry in a host with a test
// camera and test folders, the reference upload service on loopback, a test
// page that calls the real bridge. Runs on the bus and display of
// tests/support/run-with-display.sh.

#include "AppDriver.hpp"
#include "PendingUploads/FileURL.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace veltrano::testing;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kUser = "user-1", kSession = "session-1";
const std::string kFirstToken = "token-at-launch", kFreshToken = "token-refreshed";

struct Folders {
  TempDir dir;
  fs::path bundle = dir / "bundle";
  fs::path data = dir / "data";
  fs::path storage = dir / "objects";
  fs::path recordings = data / "recordings";
  fs::path store = data / "pending-uploads.json";
};

// A bundle of the test's own: Info.json naming the service, the test page.
void makeBundle(const fs::path& bundle, const std::string& endpoint) {
  writeFile(bundle / "share/VeltranoMac/Info.json", json{{"CFBundleIdentifier", "com.brackwood.VeltranoMac"},
                                                         {"VeltranoAnswerVideoSignedURLRequestURL", endpoint}}
                                                        .dump());
  fs::create_directories(bundle / "share/VeltranoMac/WebApp");
  fs::copy_file(fs::path(VELTRANO_E2E_PAGE_DIR) / "index.html", bundle / "share/VeltranoMac/WebApp/index.html");
}

std::vector<fs::path> filesUnder(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(folder, ignored), end; it != end; it.increment(ignored))
    if (it->is_regular_file()) files.push_back(it->path());
  std::sort(files.begin(), files.end());
  return files;
}

json readStore(const fs::path& store) {
  return json::parse(readFile(store), nullptr, false);
}

// What a user would see of a clip: an MP4 file (an "ftyp" box first) with
// some video in it.
bool looksLikeMp4(const fs::path& file) {
  const std::string bytes = readFile(file);
  return bytes.size() > 4096 && bytes.compare(4, 4, "ftyp") == 0;
}

std::vector<std::string> logLines(const fs::path& log) {
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// CLOCK_MONOTONIC ms of the first log line containing `text`, or -1.
long long loggedAt(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& line : lines)
    if (line.find(text) != std::string::npos) return std::stoll(line.substr(0, line.find(' ')));
  return -1;
}

json enter(const std::string& answerId, const std::string& token) {
  return json{{"userId", kUser}, {"sessionId", kSession}, {"answerId", answerId}, {"idToken", token}};
}
json leave(const std::string& token) {
  return json{{"userId", kUser}, {"sessionId", kSession}, {"answerId", nullptr}, {"idToken", token}};
}

void startPage(AppDriver& app) {
  ASSERT_TRUE(app.waitUntil("document.readyState === 'complete' && window.veltranoNative", 60s))
      << "the page never loaded";
}

// One user's day: an answer entered and left lands in the service and
// leaves no trace on disk; quitting in the middle of a second answer keeps
// its clip, written ahead with the answer's object path and token; the next
// launch's clean-up removes a stray clip but keeps that one and uploads
// nothing by itself; the page's retry, with a fresh token, uploads it.
TEST(EndToEnd, AnswerUploadsQuitKeepsTheOpenClipAndTheNextLaunchRetriesIt) {
  Folders f;
  UploadServiceProcess service(VELTRANO_UPLOAD_SERVICE, f.storage, {kFirstToken, kFreshToken}, f.dir / "service.err");
  ASSERT_EQ(service.endpoint.rfind("http://127.0.0.1:", 0), 0U) << readFile(f.dir / "service.err");
  makeBundle(f.bundle, service.endpoint);
  const fs::path stray = f.recordings / "veltrano-answer-00000000-0000-4000-8000-000000000001.mp4";
  writeFile(stray, "left by an earlier crash");

  AppDriver::Options options{f.bundle, f.data, f.dir / "first.log", f.dir / "first.err"};
  fs::path keptClip;
  std::string keptBytes;
  {
    AppDriver app(VELTRANO_E2E_HOST, options);
    startPage(app);

    // Enter and leave: the clip is uploaded as "user/session/answer/<time>.mp4".
    EXPECT_EQ(app.call("enterAnswer", enter("answer-a", kFirstToken)),
              (json{{"ok", true}, {"data", {{"status", "recording"}, {"answerId", "answer-a"}}}}));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(app.call("enterAnswer", leave(kFirstToken)), (json{{"ok", true}, {"data", {{"status", "idle"}}}}));
    const auto uploaded = filesUnder(f.storage / kUser / kSession / "answer-a");
    ASSERT_EQ(uploaded.size(), 1U);
    EXPECT_TRUE(
        std::regex_match(uploaded[0].filename().string(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ\.mp4)")))
        << uploaded[0];
    EXPECT_TRUE(looksLikeMp4(uploaded[0]));
    EXPECT_EQ(readStore(f.store), json::array());
    EXPECT_TRUE(filesUnder(f.recordings).empty()) << "the uploaded clip and the stray one are gone";

    // Quit while the second answer records.
    EXPECT_EQ(app.call("enterAnswer", enter("answer-b", kFirstToken)),
              (json{{"ok", true}, {"data", {{"status", "recording"}, {"answerId", "answer-b"}}}}));
    std::this_thread::sleep_for(1500ms);
    app.signal(SIGTERM);
    ASSERT_EQ(app.waitForExit(30s), 0) << readFile(options.stderrFile);

    const auto log = logLines(options.log);
    // The camera extension waits for the page: activating it meanwhile
    // delays the first load.
    const long long loaded = loggedAt(log, "Page loaded: app://local/index.html");
    ASSERT_GE(loaded, 0);
    EXPECT_GE(loggedAt(log, "Activating the camera extension after the page's first load"), loaded);
    const long long requested = loggedAt(log, "Quit requested (SIGTERM)");
    const long long finished = loggedAt(log, "Quit sequence finished (SIGTERM)");
    ASSERT_GE(requested, 0);
    EXPECT_GE(finished - requested, 1500) << "the pause before finalising";
    EXPECT_LE(app.exitMs() - requested, 10000);
  }

  // The open answer's clip stayed on disk, recorded with where it goes and
  // the token it was recorded with; nothing of it reached the service.
  json records = readStore(f.store);
  ASSERT_TRUE(records.is_array() && records.size() == 1U) << records.dump();
  const json record = records[0];
  EXPECT_EQ(record.value("userId", ""), kUser);
  EXPECT_EQ(record.value("sessionId", ""), kSession);
  EXPECT_EQ(record.value("answerId", ""), "answer-b");
  EXPECT_EQ(record.value("idToken", ""), kFirstToken);
  EXPECT_TRUE(
      std::regex_match(record.value("objectPath", ""),
                       std::regex(kUser + "/" + kSession + R"(/answer-b/\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ\.mp4)")))
      << record.dump();
  keptClip = veltrano::parseFileURL(record.value("fileURL", "")).value_or("");
  EXPECT_EQ(filesUnder(f.recordings), std::vector<fs::path>{keptClip});
  EXPECT_TRUE(looksLikeMp4(keptClip)) << "the last clip was finished, not cut off";
  keptBytes = readFile(keptClip);
  EXPECT_FALSE(fs::exists(f.storage / kUser / kSession / "answer-b"));

  // The next launch on the same data folder.
  writeFile(stray, "left by an earlier crash");
  options.log = f.dir / "second.log";
  options.stderrFile = f.dir / "second.err";
  AppDriver app(VELTRANO_E2E_HOST, options);
  startPage(app);
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (fs::exists(stray) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(fs::exists(stray)) << "the clean-up removes clips no record names";
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(fs::exists(keptClip)) << "and keeps the one the store records";
  EXPECT_EQ(readStore(f.store), records) << "launch does not retry uploads";
  EXPECT_FALSE(fs::exists(f.storage / kUser / kSession / "answer-b"));

  EXPECT_EQ(app.call("retryPendingUploads", json{{"idToken", kFreshToken}}).value("ok", false), true);
  const fs::path object = f.storage / record.value("objectPath", "");
  const auto uploadedBy = std::chrono::steady_clock::now() + 30s;
  while (fs::exists(keptClip) && std::chrono::steady_clock::now() < uploadedBy) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(readFile(object), keptBytes) << "the kept clip arrived whole";
  EXPECT_EQ(readStore(f.store), json::array());
  EXPECT_TRUE(filesUnder(f.recordings).empty());

  // The retry asked for its upload URL with the page's fresh token.
  httplib::Client control(service.base);
  const auto requests = control.Get("/control/requests");
  ASSERT_TRUE(requests && requests->status == 200);
  std::vector<std::string> bearers;
  for (const auto& request : json::parse(requests->body)) {
    if (request["method"] != "POST") continue;
    for (const auto& header : request["headers"])
      if (header[0] == "Authorization") bearers.push_back(header[1]);
  }
  EXPECT_EQ(bearers, (std::vector<std::string>{"Bearer " + kFirstToken, "Bearer " + kFreshToken}));

  app.signal(SIGINT);
  EXPECT_EQ(app.waitForExit(30s), 0);
}

}  // namespace

// A SIGTERM while the app is still starting (its log has just begun; no
// window, no page yet) ends it through the quit sequence: exit 0 after the
// pause, with the store a previous run left untouched.
TEST(EndToEnd, SignalDuringLaunchQuitsThroughTheSequence) {
  Folders f;
  makeBundle(f.bundle, "http://127.0.0.1:9/upload-url");
  const std::string kept = R"([{"id":"6F1C1E2A-0000-4000-8000-000000000002","fileURL":"file://)" +
                           (f.recordings / "veltrano-answer-6F1C1E2A-0000-4000-8000-000000000002.mp4").string() +
                           R"(","userId":"u","sessionId":"s","answerId":"a","objectPath":"u/s/a/x.mp4",)"
                           R"("idToken":"t","enqueuedAt":0}])";
  writeFile(f.store, kept);
  writeFile(f.recordings / "veltrano-answer-6F1C1E2A-0000-4000-8000-000000000002.mp4", "clip");

  AppDriver app(VELTRANO_E2E_HOST, AppDriver::Options{f.bundle, f.data, f.dir / "log", f.dir / "err"});
  const long long until = monotonicMs() + 20000;
  while (loggedAt(logLines(f.dir / "log"), "VeltranoMac starting from bundle") < 0 && monotonicMs() < until)
    std::this_thread::sleep_for(1ms);
  app.signal(SIGTERM);
  const long long sent = monotonicMs();
  ASSERT_EQ(app.waitForExit(30s), 0) << readFile(f.dir / "err");
  const auto log = logLines(f.dir / "log");
  EXPECT_GE(loggedAt(log, "Quit requested (SIGTERM)"), 0);
  EXPECT_GE(loggedAt(log, "Quit sequence finished (SIGTERM)") - loggedAt(log, "Quit requested (SIGTERM)"), 1500);
  EXPECT_LT(loggedAt(log, "Answer save flush did not settle"), 0) << "a page still loading settles its flush";
  std::printf("[ figures  ] signal during launch: signal to exit %lld ms\n", app.exitMs() - sent);
  EXPECT_EQ(readStore(f.store), json::parse(kept));
  EXPECT_TRUE(fs::exists(f.recordings / "veltrano-answer-6F1C1E2A-0000-4000-8000-000000000002.mp4"));
}
