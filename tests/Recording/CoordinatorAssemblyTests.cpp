// The coordinator as the programs' entries assemble it, over real parts:
// the test camera records, the bundle's Info.json decides the upload, the
// data folder holds the clip and the table. And the installed instances:
// asking before the entry installed one is a wiring fault that aborts.

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Recording/CoordinatorAssembly.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "TestCameraSources.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/CurlMultiDriver.hpp"
#include "Upload/UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using nlohmann::json;
namespace fs = std::filesystem;

TEST(CoordinatorAssembly, RecordsWithTheGivenCameraIntoTheGivenFolderAndUploadsAsTheBundleSays) {
  TempDir dir;
  const fs::path data = dir / "data", bundle = dir / "bundle";
  // An Info.json without an endpoint: the client drops clips instead of uploading.
  writeFile(bundle / "share/VeltranoMac/Info.json", R"({"CFBundleIdentifier": "com.brackwood.VeltranoMac"})");
  auto camera = std::make_shared<PipelineSourceFactory>(testPattern(320, 240));
  WorkerThread worker;
  CurlMultiDriver curl;
  const fs::path recordings = recordingsDirectoryURL(data);
  auto uploads = std::make_shared<AnswerVideoUploadClient>(bundle / "share/VeltranoMac/Info.json", curl);
  auto store = std::make_shared<PendingUploadsStore>(worker.makeStrand(), data, recordings);
  auto coordinator = assembleAnswerRecordingCoordinator(
      {worker, MainContext::shared().get_executor(), camera, uploads, store, recordings});

  LogCapture logs;
  MainContext& main = MainContext::shared();
  auto handler = std::make_shared<VeltranoBridgeMessageHandler>(coordinator);
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
  EXPECT_EQ(filesUnder(data).size(), 1u);  // the table; no stray file anywhere
}

// Each names the type, the fault and the cure; the program's name comes first.
TEST(InstalledInstances, AskingBeforeTheEntryInstalledOneOrInstallingTwiceAborts) {
  EXPECT_DEATH(AnswerRecordingCoordinator::shared(),
               "AnswerRecordingCoordinator::shared\\(\\) used before it was installed; the program's entry \\(its "
               "main\\) must build it and call AnswerRecordingCoordinator::install");
  EXPECT_DEATH(PendingUploadsStore::shared(), "PendingUploadsStore::shared\\(\\) used before it was installed");
  EXPECT_DEATH(AnswerRecordingCoordinator::install(nullptr), "installed as null");
  EXPECT_DEATH(
      {
        TempDir dir;
        WorkerThread worker;
        auto store = std::make_shared<PendingUploadsStore>(worker.makeStrand(), dir.path, dir / "recordings");
        PendingUploadsStore::install(store);
        if (&PendingUploadsStore::shared() == store.get()) PendingUploadsStore::install(store);
      },
      "PendingUploadsStore::shared\\(\\) installed twice");
}
