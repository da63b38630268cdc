// The process-wide coordinator and the one configuration of the shared
// parts. A program of its own: configureProcess holds for the process.

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Recording/AnswerRecordingCoordinator.hpp"
#include "Runtime/MainExecutor.hpp"
#include "Runtime/ProcessConfiguration.hpp"
#include "TestCameraSources.hpp"
#include "Upload/UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using nlohmann::json;
namespace fs = std::filesystem;

TEST(SharedCoordinator, OneConfigurationReachesEverySharedPartAndIsFixedAtFirstUse) {
  TempDir dir;
  const fs::path data = dir / "data", bundle = dir / "bundle";
  // An Info.json without an endpoint: the client drops clips instead of uploading.
  writeFile(bundle / "share/VeltranoMac/Info.json", R"({"CFBundleIdentifier": "com.brackwood.VeltranoMac"})");
  auto camera = std::make_shared<PipelineSourceFactory>(testPattern(320, 240));
  ProcessConfiguration configuration;
  configuration.dataFolder = data;
  configuration.bundleRoot = bundle;
  configuration.cameraSources = camera;
  configureProcess(configuration);

  // Created once, whichever thread comes first.
  std::set<AnswerRecordingCoordinator*> seen;
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      auto* c = AnswerRecordingCoordinator::shared().get();
      std::lock_guard lock(mutex);
      seen.insert(c);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_THROW(configureProcess(configuration), std::logic_error);
  EXPECT_EQ(PendingUploadsStore::shared().storeURL(), data / "pending-uploads.json");
  EXPECT_EQ(recordingsDirectoryURL(), data / "recordings");

  // The bridge answers with `shared`: the configured camera records, the
  // configured bundle's Info.json decides the upload, the configured folder
  // holds the clip and the table.
  LogCapture logs;
  MainContext& main = MainContext::shared();
  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(AnswerRecordingCoordinator::shared());
  auto send = [&](json body) {
    std::optional<json> reply;
    VeltranoBridgeMessageHandler::receive(
        handler, main.get_executor(), std::move(body), [&](std::string text) { reply = json::parse(text); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!reply && std::chrono::steady_clock::now() < deadline)
      if (!g_main_context_iteration(main.native(), FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return reply.value_or(json("no reply"));
  };
  const json payload = {{"userId", "u"}, {"sessionId", "s"}, {"answerId", "a"}, {"idToken", "t"}};
  EXPECT_EQ(send({{"method", "enterAnswer"}, {"payload", payload}}),
            json({{"ok", true}, {"data", {{"status", "recording"}, {"answerId", "a"}}}}));
  EXPECT_EQ(camera->sourcesMade(), 1);
  EXPECT_EQ(filesUnder(data / "recordings").size(), 1u);
  json leave = payload;
  leave.erase("answerId");
  EXPECT_EQ(
      send({{"method", "enterAnswer"}, {"payload", leave}}), json({{"ok", true}, {"data", {{"status", "idle"}}}}));
  EXPECT_TRUE(
      logs->contains("AnswerVideoUpload", LogLevel::error,
                     "VeltranoAnswerVideoSignedURLRequestURL not set; removing temp file and skipping upload."));
  EXPECT_TRUE(filesUnder(data / "recordings").empty());
  EXPECT_EQ(json::parse(readFile(data / "pending-uploads.json")), json::array());
}
