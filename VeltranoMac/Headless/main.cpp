// The headless front end and its composition root: records one answer end
// to end from the command line, through the bridge's dispatch into the
// coordinator, with no window: enter, wait, leave. Every reply envelope is
// printed with the time it took.
//
//   veltrano-record-answer --endpoint http://127.0.0.1:8787/upload-url --token dev-token
//       --data /tmp/veltrano-data [--seconds 5] [--camera test|system] [--size 1280x720]

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Capture/CameraSourceFactory.hpp"
#include "Capture/GStreamer.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Recording/CoordinatorAssembly.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/WorkerThread.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/CurlMultiDriver.hpp"

#include <glib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

using namespace veltrano;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// A live moving test pattern in place of a camera.
class TestPatternCamera final : public CameraSourceFactory {
 public:
  TestPatternCamera(int width, int height) : width_(width), height_(height) { ensureGStreamer(); }
  CameraAccess cameraAccess() override { return CameraAccess::authorized; }
  ElementPtr makeSource() override {
    const std::string description =
        "videotestsrc is-live=true pattern=ball ! capsfilter caps=\"video/x-raw,format=NV12,width=" +
        std::to_string(width_) + ",height=" + std::to_string(height_) + ",framerate=30/1\"";
    ElementPtr bin = adoptElement(gst_parse_bin_from_description(description.c_str(), TRUE, nullptr));
    if (!bin) throw std::runtime_error("cannot build the test pattern");
    return bin;
  }

 private:
  int width_, height_;
};

struct Options {
  std::string endpoint, token = "dev-token", camera = "test";
  fs::path data;
  double seconds = 5;
  int width = 1280, height = 720;
  std::string userId = "user", sessionId = "session", answerId = "answer";
};

[[noreturn]] void usage() {
  std::cerr << "usage: veltrano-record-answer --endpoint URL --data DIR [--token T] [--seconds N]\n"
               "       [--camera test|system] [--size WxH] [--user U] [--session S] [--answer A]\n";
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) usage();
    const std::string value = argv[++i];
    if (arg == "--endpoint")
      o.endpoint = value;
    else if (arg == "--token")
      o.token = value;
    else if (arg == "--data")
      o.data = value;
    else if (arg == "--seconds")
      o.seconds = std::stod(value);
    else if (arg == "--camera")
      o.camera = value;
    else if (arg == "--size") {
      if (std::sscanf(value.c_str(), "%dx%d", &o.width, &o.height) != 2) usage();
    } else if (arg == "--user")
      o.userId = value;
    else if (arg == "--session")
      o.sessionId = value;
    else if (arg == "--answer")
      o.answerId = value;
    else
      usage();
  }
  if (o.endpoint.empty() || o.data.empty() || (o.camera != "test" && o.camera != "system")) usage();
  return o;
}

// Sends one body through the dispatch and iterates the main loop until its
// envelope is in.
json send(const std::shared_ptr<VeltranoBridgeMessageHandler>& handler, json body) {
  MainContext& main = MainContext::shared();
  std::optional<json> reply;
  const auto start = std::chrono::steady_clock::now();
  VeltranoBridgeMessageHandler::receive(
      handler, main.get_executor(), body, [&](std::string text) { reply = json::parse(text); });
  while (!reply) g_main_context_iteration(main.native(), TRUE);
  const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::cout << body.at("method").get<std::string>() << " -> " << reply->dump() << " (" << ms << " ms)" << std::endl;
  return *reply;
}

// Threads that may still run when exit does; never destroyed.
WorkerThread* worker = nullptr;
CurlMultiDriver* curl = nullptr;

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  fs::create_directories(o.data);
  // A bundle of our own whose Info.json names the endpoint.
  const fs::path bundle = o.data / "bundle";
  fs::create_directories(bundle / "share/VeltranoMac");
  std::ofstream(bundle / "share/VeltranoMac/Info.json") << json{
      {"CFBundleIdentifier", "com.brackwood.VeltranoMac"},
      {"VeltranoAnswerVideoSignedURLRequestURL", o.endpoint}}.dump();

  // The parts, as the app builds them, over this program's folders and
  // camera. Kept to the end of the process, as in the app.
  MainContext& main = MainContext::shared();
  worker = new WorkerThread;
  curl = new CurlMultiDriver;
  const fs::path recordings = recordingsDirectoryURL(o.data);
  auto uploads = std::make_shared<AnswerVideoUploadClient>(bundle / "share/VeltranoMac/Info.json", *curl);
  auto store = std::make_shared<PendingUploadsStore>(worker->makeStrand(), o.data, recordings);
  std::shared_ptr<CameraSourceFactory> cameras;
  if (o.camera == "test")
    cameras = std::make_shared<TestPatternCamera>(o.width, o.height);
  else
    cameras = std::make_shared<SystemCameraSourceFactory>();
  auto coordinator =
      assembleAnswerRecordingCoordinator({*worker, main.get_executor(), cameras, uploads, store, recordings});
  PendingUploadsStore::install(store);
  AnswerRecordingCoordinator::install(coordinator);

  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(coordinator);
  json payload = {{"userId", o.userId}, {"sessionId", o.sessionId}, {"answerId", o.answerId}, {"idToken", o.token}};
  const json entered = send(handler, {{"method", "enterAnswer"}, {"payload", payload}});
  if (!entered.value("ok", false)) return 1;

  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (!g_main_context_iteration(main.native(), FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  payload.erase("answerId");
  const json left = send(handler, {{"method", "enterAnswer"}, {"payload", payload}});
  // Intermediate clips upload in tasks of their own; give them a moment.
  const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < settle && !fs::is_empty(o.data / "recordings"))
    if (!g_main_context_iteration(main.native(), FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return left.value("ok", false) ? 0 : 1;
}
