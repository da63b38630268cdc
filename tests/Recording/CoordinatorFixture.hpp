#pragma once

// Fakes behind the coordinator's real interfaces and one fixture that runs
// the coordinator, the main actor and the real pending uploads store on one
// manual executor with a virtual clock, so every test decides the
// interleaving: a recorder's start or stop, an upload, a backoff or the
// rotation delay each take virtual time until the test advances it.

#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "Recording/AnswerRecordingCoordinator.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ManualExecutor.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace veltrano::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct TempFolder {
  TempFolder() { fs::create_directories(path); }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  const fs::path path =
      fs::temp_directory_path() /
      ("veltrano-recording-test-" + std::to_string(std::random_device()()) + std::to_string(std::random_device()()));
};

// What happens to one recorder: how long its start and stop take and
// whether they fail.
struct RecorderScript {
  bool cannotCreate = false;  // makeRecorder itself throws
  bool failStart = false;
  bool failStop = false;
  Duration startTime = 100ms;
  Duration stopTime = 100ms;
};

// One trace of everything the fakes saw, in order ("start 1", "stopped 1",
// "upload <file> <token>", ...).
using Trace = std::vector<std::string>;

class FakeRecorder final : public AnswerRecordingVideoRecorder {
 public:
  FakeRecorder(int number, RecorderScript script, SleepFunction sleep, Strand main, Trace* trace)
      : number_(number), script_(script), sleep_(std::move(sleep)), main_(std::move(main)), trace_(trace) {}

  void setFailureHandler(FailureHandler handler) override { failureHandler_ = std::move(handler); }
  // The camera fails mid-clip: tells the owner on the main actor, as the
  // real recorder does.
  void failMidClip(std::string reason) {
    asio::post(main_, [handler = failureHandler_, reason = std::move(reason)] {
      if (handler) handler(reason);
    });
  }

  Awaitable<void> startRecording(fs::path file) override {
    EXPECT_TRUE(main_.running_in_this_thread()) << "recorder calls belong on the main actor";
    trace_->push_back("start " + std::to_string(number_));
    std::ofstream(file) << "clip " << number_;  // the camera has touched the file
    co_await sleep_(script_.startTime);
    if (script_.failStart) throw std::runtime_error("camera " + std::to_string(number_) + " failed");
    file_ = file;
    trace_->push_back("started " + std::to_string(number_));
  }

  Awaitable<fs::path> stopRecording() override {
    EXPECT_TRUE(main_.running_in_this_thread()) << "recorder calls belong on the main actor";
    trace_->push_back("stop " + std::to_string(number_));
    co_await sleep_(script_.stopTime);
    if (script_.failStop) throw std::runtime_error("stop " + std::to_string(number_) + " failed");
    trace_->push_back("stopped " + std::to_string(number_));
    co_return file_;
  }

 private:
  int number_;
  RecorderScript script_;
  SleepFunction sleep_;
  Strand main_;
  Trace* trace_;
  fs::path file_;
  FailureHandler failureHandler_;
};

// An upload client that takes virtual time, counts uploads in flight,
// deletes the clip on success like the real one, and fails as told.
class FakeUploadClient final : public AnswerVideoUploadClientProtocol {
 public:
  struct Call {
    fs::path file;
    std::string answerId, objectPath, idToken;
    std::string storedToken;  // the token "pending-uploads.json" held for it when the call began
    std::string content;      // what the file held when the call began
  };

  FakeUploadClient(SleepFunction sleep, Strand main, Trace* trace, fs::path storeFile)
      : sleep_(std::move(sleep)), main_(std::move(main)), trace_(trace), storeFile_(std::move(storeFile)) {}

  // nullptr succeeds; called when the upload's time is up.
  std::function<std::exception_ptr(const Call&)> outcome;
  Duration duration = 1s;
  // How long each upload waits for its signed URL before it opens the clip
  // as the real client does (a missing clip then fails with ENOENT), one
  // entry per upload in call order; none left: no wait and no open.
  mutable std::deque<Duration> signedURLWaits;
  mutable std::vector<Call> calls;
  mutable int inFlight = 0;
  mutable int peakInFlight = 0;

  using AnswerVideoUploadClientProtocol::upload;
  Awaitable<void> upload(ClipUpload clip, Progress progress) const override {
    EXPECT_TRUE(main_.running_in_this_thread()) << "the upload client runs on the main actor";
    if (!signedURLWaits.empty()) {
      const Duration wait = signedURLWaits.front();
      signedURLWaits.pop_front();
      co_await sleep_(wait);
      if (!fs::exists(clip.fileURL))
        throw std::system_error(ENOENT, std::generic_category(), "open " + clip.fileURL.string());
    }
    Call call{
        clip.fileURL,          clip.answer.answerId, clip.objectPath, clip.idToken, storedTokenFor(clip.objectPath),
        readText(clip.fileURL)};
    calls.push_back(call);
    trace_->push_back("upload " + clip.fileURL.filename().string() + " " + clip.idToken);
    peakInFlight = std::max(peakInFlight, ++inFlight);
    std::exception_ptr failure;
    try {
      // Half the clip goes up in the first half of the time.
      const auto size = static_cast<std::uint64_t>(call.content.size());
      if (progress) progress(0, size);
      co_await sleep_(duration / 2);
      if (progress) progress(size / 2, size);
      co_await sleep_(duration - duration / 2);
    } catch (...) {
      failure = std::current_exception();
    }
    --inFlight;
    if (!failure && outcome) failure = outcome(call);
    if (failure) std::rethrow_exception(failure);
    fs::remove(clip.fileURL);
    trace_->push_back("uploaded " + clip.fileURL.filename().string());
  }

 private:
  std::string storedTokenFor(const std::string& objectPath) const {
    for (const auto& record : decodePendingUploads(readText(storeFile_)).records)
      if (record.objectPath == objectPath) return record.idToken;
    return "<no record>";
  }

  SleepFunction sleep_;
  Strand main_;
  Trace* trace_;
  fs::path storeFile_;
};

template <typename T>
struct Pending {
  bool done = false;
  T value{};
  std::exception_ptr error;
  // Runs the moment the operation returns, before anything else queued
  // meanwhile: what the caller would see next.
  std::function<void()> atReturn;
  void finish() {
    done = true;
    if (atReturn) atReturn();
  }
};

class CoordinatorTest : public ::testing::Test {
 protected:
  CoordinatorTest() { fs::create_directories(recordings()); }

  ~CoordinatorTest() override {
    // Let detached uploads and drains end inside the test.
    for (int i = 0; i < 100 && clock.advanceToNext(); ++i) {
    }
  }

  fs::path recordings() const { return folder.path / "recordings"; }

  // Built on first use so a test can adjust the parts first.
  AnswerRecordingCoordinator& coordinator() {
    if (!coordinator_) coordinator_ = AnswerRecordingCoordinator::create(parts());
    return *coordinator_;
  }
  std::shared_ptr<AnswerRecordingCoordinator> coordinatorPointer() {
    coordinator();
    return coordinator_;
  }

  AnswerRecordingCoordinator::Parts parts() {
    AnswerRecordingCoordinator::Parts p(ex.makeStrand(), main, ex.executor());
    p.makeRecorder = [this]() -> std::shared_ptr<AnswerRecordingVideoRecorder> {
      RecorderScript script;
      if (!scripts.empty()) {
        script = scripts.front();
        scripts.pop_front();
      }
      if (script.cannotCreate) throw std::runtime_error("no recorder available");
      auto recorder = std::make_shared<FakeRecorder>(++recordersMade, script, clock.sleepFunction(), main, &trace);
      recorders.push_back(recorder);
      return recorder;
    };
    auto client = std::shared_ptr<const AnswerVideoUploadClientProtocol>(&uploads, [](auto*) {});
    auto storePointer = std::shared_ptr<PendingUploadsStoreProtocol>(&store, [](auto*) {});
    auto wallClock = [this] { return wallTime; };
    p.uploadRecordedVideo = [client, storePointer, this, wallClock](
                                FinishedClip clip, std::string token, RecordStored stored) {
      return writeAheadUpload(client, storePointer, main, paths, wallClock, std::move(clip), std::move(token),
                              std::move(stored), clipStatus);
    };
    p.chunkRotationDelay = AnswerRecordingCoordinator::rotationDelayOf(clock.sleepFunction(), 60s);
    p.makeTempRecordingURL = [this] { return makeClipFileURL(recordings()); };
    p.store = storePointer;
    p.retryUpload = [client, this](PendingUploadRecord record) {
      return directUpload(client, main, std::move(record), clipStatus);
    };
    p.retryUploadSleep = AnswerRecordingCoordinator::nanosecondSleepOf(clock.sleepFunction());
    p.chunkRestartSleep = AnswerRecordingCoordinator::nanosecondSleepOf(clock.sleepFunction());
    p.objectPaths = paths;
    p.now = wallClock;
    p.recordingStateChanged = [this](const RecordingState& state) { recordingStates.push_back(state); };
    p.clipStatus = clipStatus;
    return p;
  }

  static Awaitable<void> callEnter(std::shared_ptr<AnswerRecordingCoordinator> c, EnterAnswerPayload payload,
                                   std::shared_ptr<Pending<nlohmann::json>> out) {
    try {
      out->value = co_await c->enterAnswer(std::move(payload));
    } catch (...) {
      out->error = std::current_exception();
    }
    out->finish();
  }

  static Awaitable<void> callVoid(std::shared_ptr<AnswerRecordingCoordinator> c, bool finalize, std::string token,
                                  std::shared_ptr<Pending<bool>> out) {
    if (finalize)
      co_await c->finalizeForTermination(true);
    else
      co_await c->retryPendingUploads(token);
    out->finish();
  }

  // Starts an enter (a leave without an answer id) and runs what is ready.
  std::shared_ptr<Pending<nlohmann::json>> enter(std::optional<std::string> answerId, std::string token = "token-1") {
    EnterAnswerPayload payload;
    payload.userId = "user";
    payload.sessionId = "session";
    payload.answerId = std::move(answerId);
    payload.idToken = std::move(token);
    auto out = std::make_shared<Pending<nlohmann::json>>();
    Task::spawn(ex.makeStrand(), callEnter(coordinatorPointer(), std::move(payload), out));
    ex.runUntilIdle();
    return out;
  }
  std::shared_ptr<Pending<nlohmann::json>> leave(std::string token = "token-1") { return enter(std::nullopt, token); }

  std::shared_ptr<Pending<bool>> finalize(std::function<void()> atReturn = {}) {
    auto out = std::make_shared<Pending<bool>>();
    out->atReturn = std::move(atReturn);
    Task::spawn(ex.makeStrand(), callVoid(coordinatorPointer(), true, "", out));
    ex.runUntilIdle();
    return out;
  }
  std::shared_ptr<Pending<bool>> retry(std::string token) {
    auto out = std::make_shared<Pending<bool>>();
    Task::spawn(ex.makeStrand(), callVoid(coordinatorPointer(), false, std::move(token), out));
    ex.runUntilIdle();
    return out;
  }

  // Advances virtual time until `done` holds (at most `limit`).
  template <typename T>
  void runUntil(const std::shared_ptr<Pending<T>>& pending, Duration limit = 30s) {
    const Duration end = clock.now() + limit;
    while (!pending->done && clock.now() < end) {
      if (!clock.advanceToNext()) break;
    }
    ASSERT_TRUE(pending->done) << "the operation did not end";
  }

  static Awaitable<void> readState(std::shared_ptr<AnswerRecordingCoordinator> c,
                                   std::shared_ptr<AnswerRecordingCoordinator::State> out) {
    *out = co_await c->state();
  }
  AnswerRecordingCoordinator::State state() {
    auto out = std::make_shared<AnswerRecordingCoordinator::State>();
    Task::spawn(ex.makeStrand(), readState(coordinatorPointer(), out));
    ex.runUntilIdle();
    return *out;
  }

  std::vector<PendingUploadRecord> storedRecords() const {
    return decodePendingUploads(readText(folder.path / "pending-uploads.json")).records;
  }
  // A clip on disk with a record for it, as a prior session leaves them.
  PendingUploadRecord storeClip(const std::string& name, const std::string& token = "old") {
    const fs::path file = recordings() / name;
    std::ofstream(file) << name;
    auto record = makePendingUploadRecord(
        {file, {"user", "session", "answer-" + name}, "user/session/" + name + ".mp4", token}, wallTime);
    auto stored = [](PendingUploadsStore* s, PendingUploadRecord r) -> Awaitable<void> { co_await s->upsert(r); };
    Task::spawn(ex.makeStrand(), stored(&store, record));
    ex.runUntilIdle();
    return record;
  }

  std::vector<std::string> clipsOnDisk() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(recordings())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::vector<std::string> logs(LogLevel level) { return logCapture->messages("AnswerRecording", level); }

  ManualExecutor ex;
  VirtualClock clock{[this] { ex.runUntilIdle(); }};
  Strand main = ex.makeStrand();
  TempFolder folder;
  LogCapture logCapture;
  Trace trace;
  std::deque<RecorderScript> scripts;
  int recordersMade = 0;
  std::vector<std::shared_ptr<FakeRecorder>> recorders;  // in the order made
  std::vector<RecordingState> recordingStates;           // every state told, in order
  std::shared_ptr<ClipStatusObserver> clipStatus;        // set before the coordinator is built
  PendingUploadsStore store{ex.makeStrand(), folder.path, folder.path / "recordings"};
  FakeUploadClient uploads{clock.sleepFunction(), main, &trace, folder.path / "pending-uploads.json"};
  std::shared_ptr<AnswerObjectPathIssuer> paths = std::make_shared<AnswerObjectPathIssuer>();
  std::chrono::system_clock::time_point wallTime =
      std::chrono::sys_days{std::chrono::December / 5 / 2026} + 16h + 7min + 47s;

 private:
  std::shared_ptr<AnswerRecordingCoordinator> coordinator_;
};

}  // namespace veltrano::testing
