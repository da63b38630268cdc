// One answer end to end with the real parts: the webcam recorder on a live
// test pattern, the upload client against the reference service program on
// a free loopback port, the real store in a temporary data folder, and the
// rotation delay cut down to 2 s. What the page would be told (recording
// states, the upload status board) is checked along the way.

#include "Bridge/VeltranoBridgeMessageHandler.hpp"
#include "Capture/WebcamRecorder.hpp"
#include "Mp4Inspector.hpp"
#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "Recording/AnswerRecordingCoordinator.hpp"
#include "Recording/RecordingError.hpp"
#include "Recording/UploadStatusBoard.hpp"
#include "Runtime/WorkerThread.hpp"
#include "TestCameraSources.hpp"
#include "Upload/AnswerVideoUploadClient.hpp"
#include "Upload/UploadTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <httplib.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

// The reference service as a program of its own: its first line is its endpoint.
class UploadServiceProgram {
 public:
  explicit UploadServiceProgram(const fs::path& storage) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::execl(VELTRANO_UPLOAD_SERVICE_PROGRAM, VELTRANO_UPLOAD_SERVICE_PROGRAM, "--listen", "127.0.0.1:0", "--storage",
              storage.c_str(), "--token", "tok", "--test-controls", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    output_ = ::fdopen(out[0], "r");
    char line[512] = {};
    if (std::fgets(line, sizeof line, output_)) std::sscanf(line, "http://127.0.0.1:%d/", &port_);
    endpoint_ = line;
    while (!endpoint_.empty() && endpoint_.back() == '\n') endpoint_.pop_back();
  }
  ~UploadServiceProgram() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::fclose(output_);
  }

  const std::string& endpoint() const { return endpoint_; }
  httplib::Client control() const { return httplib::Client("127.0.0.1", port_); }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  int port_ = 0;
  std::string endpoint_;
};

Awaitable<void> callEnter(std::shared_ptr<AnswerRecordingCoordinator> c, std::optional<std::string> answerId,
                          json* reply) {
  EnterAnswerPayload payload;
  payload.userId = "user";
  payload.sessionId = "session";
  payload.answerId = std::move(answerId);
  payload.idToken = "tok";
  *reply = co_await c->enterAnswer(std::move(payload));
}

Awaitable<void> callRetry(std::shared_ptr<AnswerRecordingCoordinator> c) {
  co_await c->retryPendingUploads("tok");
}

// What the page would be shown, from whichever thread tells it.
struct PageView {
  std::mutex mutex;
  std::vector<std::string> states;  // "first recording 0"
  std::vector<json> snapshots;

  std::vector<std::string> statesNow() {
    std::lock_guard lock(mutex);
    return states;
  }
  // Every clip of an answer with the states it went through, repeats folded.
  std::map<std::string, std::vector<std::string>> historiesOf(const std::string& answerId) {
    std::lock_guard lock(mutex);
    std::map<std::string, std::vector<std::string>> histories;
    for (const auto& snapshot : snapshots)
      for (const auto& clip : snapshot["clips"])
        if (clip["answerId"] == answerId) {
          auto& history = histories[clip["clipId"]];
          if (history.empty() || history.back() != clip["state"]) history.push_back(clip["state"]);
        }
    return histories;
  }
  // An upload seen under way with bytes sent. (All of a small clip is in
  // the socket's buffer at once; the slowed service only answers late.)
  bool sawProgress() {
    std::lock_guard lock(mutex);
    for (const auto& snapshot : snapshots)
      for (const auto& clip : snapshot["clips"])
        if (clip["state"] == "uploading" && clip["bytesSent"].get<std::uint64_t>() > 0 &&
            clip["bytesSent"] == clip["bytesTotal"])
          return true;
    return false;
  }
};

using History = std::vector<std::string>;

}  // namespace

TEST(RecordingEndToEnd, AnAnswerBecomesThreePlayableClipsAndAnOutageIsDeliveredByOneRetry) {
  TempDir dir;
  const fs::path data = dir / "data", storage = dir / "objects", bundle = dir / "bundle";
  fs::create_directories(data / "recordings");
  UploadServiceProgram service(storage);
  ASSERT_FALSE(service.endpoint().empty());
  writeFile(bundle / "share/VeltranoMac/Info.json",
            json{{"VeltranoAnswerVideoSignedURLRequestURL", service.endpoint()}}.dump());

  LogCapture logs;
  // The worker outlives the main thread: work still queued on the main
  // context at the end (the camera's linger, resumed from a worker timer)
  // is destroyed with it, and destroys that timer.
  WorkerThread worker;
  MainThread main;
  const SleepFunction sleep = makeTimerSleep(worker.context());
  auto store = std::make_shared<PendingUploadsStore>(worker.makeStrand(), data, data / "recordings");
  CurlMultiDriver driver;
  auto client = std::make_shared<const AnswerVideoUploadClient>(bundle / "share/VeltranoMac/Info.json", driver);
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240, "pattern=ball"));
  auto paths = std::make_shared<AnswerObjectPathIssuer>();
  const asio::any_io_executor mainExecutor(main.context().get_executor());
  const WallClock now = [] { return std::chrono::system_clock::now(); };
  PageView page;
  auto board = std::make_shared<UploadStatusBoard>([&page](json snapshot) {
    std::lock_guard lock(page.mutex);
    page.snapshots.push_back(std::move(snapshot));
  });
  store->observeRecords([board](const std::vector<PendingUploadRecord>& records) { board->storeChanged(records); });

  AnswerRecordingCoordinator::Parts parts(worker.makeStrand(), mainExecutor, worker.context().get_executor());
  parts.makeRecorder = [sources, sleep]() -> std::shared_ptr<AnswerRecordingVideoRecorder> {
    return WebcamRecorder::create(sources, sleep);
  };
  parts.uploadRecordedVideo = [=](FinishedClip clip, std::string token, RecordStored stored) {
    return writeAheadUpload(
        client, store, mainExecutor, paths, now, std::move(clip), std::move(token), std::move(stored), board);
  };
  parts.chunkRotationDelay = AnswerRecordingCoordinator::rotationDelayOf(sleep, 2s);
  parts.makeTempRecordingURL = [data] { return makeClipFileURL(data / "recordings"); };
  parts.store = store;
  parts.retryUpload = [=](PendingUploadRecord record) {
    return directUpload(client, mainExecutor, std::move(record), board);
  };
  parts.retryUploadSleep = AnswerRecordingCoordinator::nanosecondSleepOf(sleep);
  parts.chunkRestartSleep = AnswerRecordingCoordinator::nanosecondSleepOf(sleep);
  parts.objectPaths = paths;
  parts.now = now;
  parts.clipStatus = board;
  parts.recordingStateChanged = [&page](const RecordingState& state) {
    std::lock_guard lock(page.mutex);
    page.states.push_back(state.answerId + " " + std::string(phaseName(state.state)) + " " +
                          std::to_string(state.clipIndex));
  };
  auto coordinator = AnswerRecordingCoordinator::create(std::move(parts));

  std::string answerIdOfRotations;
  auto recordings = [&] { return filesUnder(data / "recordings"); };
  auto table = [&] { return decodePendingUploads(readFile(data / "pending-uploads.json")).records; };
  auto rotations = [&] {
    const auto info = logs->messages("AnswerRecording", LogLevel::info);
    return std::count(info.begin(), info.end(), "Recording chunk rotated for answer " + answerIdOfRotations);
  };

  // Records one answer for two cuts and a little more, then leaves.
  auto recordAnswer = [&](const std::string& answerId) -> std::exception_ptr {
    answerIdOfRotations = answerId;
    json reply;
    auto entered = main.run(callEnter(coordinator, answerId, &reply));
    EXPECT_FALSE(entered) << describe(entered);
    EXPECT_EQ(reply, json({{"status", "recording"}, {"answerId", answerId}}));
    const auto before = rotations();
    EXPECT_TRUE(main.iterateUntil([&] { return rotations() >= before + 2; }, 30s)) << "two cuts";
    const auto lastCut = std::chrono::steady_clock::now();
    main.iterateUntil([&] { return std::chrono::steady_clock::now() - lastCut > 800ms; });
    json left;
    auto error = main.run(callEnter(coordinator, std::nullopt, &left));
    if (!error) {
      EXPECT_EQ(left, json({{"status", "idle"}}));
    }
    return error;
  };

  // Finished objects of an answer (the service commits each once complete).
  auto objectsOf = [&](const std::string& answerId) {
    std::set<fs::path> objects;
    for (const auto& file : filesUnder(storage / "user/session" / answerId))
      if (file.extension() == ".mp4") objects.insert(file);
    return objects;
  };
  auto expectPlayable = [&](const std::set<fs::path>& objects) {
    for (const auto& file : objects) {
      std::string error;
      auto clip = inspectMp4(file, &error);
      EXPECT_TRUE(clip && clip->sampleCount > 0 && clip->width == 320) << file << ": " << error;
    }
  };

  // Healthy service: three clips under three object paths of the answer.
  // The first PUT is slowed enough for its progress to show.
  auto control = service.control();
  ASSERT_TRUE(control.Post(
      "/control/faults", R"({"endpoint": "put", "count": 1, "bytesPerSecond": 40000})", "application/json"));
  EXPECT_FALSE(recordAnswer("first"));
  EXPECT_TRUE(main.iterateUntil([&] { return objectsOf("first").size() == 3 && recordings().empty(); }, 30s))
      << objectsOf("first").size() << " objects, " << recordings().size() << " clips left";
  expectPlayable(objectsOf("first"));
  EXPECT_TRUE(table().empty());
  EXPECT_EQ(json::parse(readFile(data / "pending-uploads.json")), json::array());
  EXPECT_EQ(page.statesNow(), (std::vector<std::string>{
                                  "first recording 0", "first recording 1", "first recording 2", "first stopped 2"}));
  EXPECT_TRUE(main.iterateUntil([&] { return page.historiesOf("first").size() == 3; }, 5s));
  for (const auto& [clip, history] : page.historiesOf("first"))
    EXPECT_EQ(history, (History{"recording", "queued", "uploading", "uploaded"})) << clip;
  EXPECT_TRUE(page.sawProgress());

  // The service refuses every PUT: the clips stay with their records.
  ASSERT_TRUE(
      control.Post("/control/faults", R"({"endpoint": "put", "count": 1000, "status": 503})", "application/json"));
  auto failure = recordAnswer("second");
  try {
    if (failure) std::rethrow_exception(failure);
    ADD_FAILURE() << "the leave's upload should have failed";
  } catch (const RecordingError& e) {
    EXPECT_EQ(e.kind(), RecordingError::Case::uploadFailed);
    EXPECT_STREQ(e.what(), "UploadError.badHTTPStatus(503)");
  }
  EXPECT_TRUE(main.iterateUntil([&] { return table().size() == 3 && driver.transfersInFlight() == 0; }, 30s));
  EXPECT_EQ(recordings().size(), 3u);
  EXPECT_TRUE(objectsOf("second").empty());

  // A relaunch over the same data folder shows what waits, through the
  // bridge, before anything is retried; no token in it.
  {
    auto relaunchedStore = std::make_shared<PendingUploadsStore>(worker.makeStrand(), data, data / "recordings");
    auto relaunchedBoard = std::make_shared<UploadStatusBoard>(nullptr);
    relaunchedStore->observeRecords(
        [relaunchedBoard](const std::vector<PendingUploadRecord>& records) { relaunchedBoard->storeChanged(records); });
    auto handler = std::make_shared<VeltranoBridgeMessageHandler>(
        coordinator, [] { return std::chrono::system_clock::now(); },
        [relaunchedBoard] { return relaunchedBoard->snapshot(); });
    const auto envelope = handler->immediateEnvelope(json{{"method", "uploadStatus"}});
    ASSERT_TRUE(envelope);
    EXPECT_EQ((*envelope)["ok"], true);
    const json& status = (*envelope)["data"];
    EXPECT_EQ(status["pending"], 3);
    ASSERT_EQ(status["clips"].size(), 3u);
    std::set<std::string> storedPaths;
    for (const auto& record : table()) storedPaths.insert(record.objectPath);
    for (const auto& clip : status["clips"]) {
      EXPECT_EQ(clip["state"], "queued");
      EXPECT_EQ(clip["answerId"], "second");
      EXPECT_TRUE(storedPaths.count(clip["objectPath"].get<std::string>())) << clip.dump();
      EXPECT_GT(clip["bytesTotal"].get<std::uint64_t>(), 0u);
    }
    EXPECT_EQ(status.dump().find("\"tok\""), std::string::npos);
  }

  // Healthy again: one retry delivers them all.
  ASSERT_TRUE(control.Delete("/control/faults"));
  EXPECT_FALSE(main.run(callRetry(coordinator)));
  EXPECT_TRUE(main.iterateUntil([&] { return objectsOf("second").size() == 3 && table().empty(); }, 30s));
  expectPlayable(objectsOf("second"));
  EXPECT_TRUE(recordings().empty());
  EXPECT_EQ(json::parse(readFile(data / "pending-uploads.json")), json::array());
  EXPECT_TRUE(main.iterateUntil(
      [&] {
        const auto histories = page.historiesOf("second");
        return histories.size() == 3 && std::all_of(histories.begin(), histories.end(), [](const auto& entry) {
                 return entry.second.back() == "uploaded";
               });
      },
      5s));
  for (const auto& [clip, history] : page.historiesOf("second"))
    EXPECT_EQ(history, (History{"recording", "queued", "uploading", "failed", "queued", "uploading", "uploaded"}))
        << clip;

  // A clip the service refuses for good (404 for its upload URL) is given
  // up after three attempts and shows so.
  const fs::path refused = data / "recordings" / "refused.mp4";
  writeFile(refused, "not a clip");
  auto upsert = [](std::shared_ptr<PendingUploadsStore> s, PendingUploadRecord r) -> Awaitable<void> {
    co_await s->upsert(std::move(r));
  };
  EXPECT_FALSE(main.run(
      upsert(store, makePendingUploadRecord({refused, {"user", "session", "third"}, "user/session/third/x.mp4", "tok"},
                                            std::chrono::system_clock::now()))));
  ASSERT_TRUE(
      control.Post("/control/faults", R"({"endpoint": "signedUrl", "count": 3, "status": 404})", "application/json"));
  EXPECT_FALSE(main.run(callRetry(coordinator)));
  EXPECT_TRUE(main.iterateUntil([&] { return table().empty(); }, 30s));
  EXPECT_TRUE(main.iterateUntil(
      [&] {
        return !page.historiesOf("third").empty() && page.historiesOf("third").begin()->second.back() == "gaveUp";
      },
      5s));
  EXPECT_EQ(page.historiesOf("third").begin()->second,
            (History{"queued", "uploading", "failed", "uploading", "failed", "uploading", "gaveUp"}));
  EXPECT_EQ(board->snapshot()["clips"].back()["error"], "UploadError.badHTTPStatus(404)");
  EXPECT_EQ(board->snapshot()["pending"], 0);

  worker.stop();
}
