// The recording coordinator: the actor that records the open answer in
// clips and sends each clip down the write-ahead upload path, with the
// free functions of that path.
#pragma once

#include "Capture/AnswerRecordingVideoRecorder.hpp"
#include "PendingUploads/PendingUploadRecord.hpp"
#include "PendingUploads/PendingUploadsStoreProtocol.hpp"
#include "Recording/AnswerObjectPath.hpp"
#include "Recording/AnswerRecordingCoordinatorProtocol.hpp"
#include "Recording/ClipStatusObserver.hpp"
#include "Recording/RecordingState.hpp"
#include "Recording/UploadsInFlight.hpp"
#include "Runtime/Asio.hpp"
#include "Runtime/Logger.hpp"
#include "Runtime/Sleep.hpp"
#include "Runtime/Task.hpp"
#include "Runtime/WaitGroup.hpp"
#include "Upload/AnswerVideoUploadClientProtocol.hpp"
#include "Upload/ClipUpload.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {

// Which clock names object paths and stamps pending records.
using WallClock = std::function<std::chrono::system_clock::time_point()>;

// A clip the recorder has finished, and whose answer it is.
struct FinishedClip {
  std::filesystem::path fileURL;
  AnswerIds answer;
};

// Told once a clip's pending record is on disk: from then on the clip
// survives the process, whatever becomes of its upload. May be empty.
using RecordStored = std::function<void()>;

// The write-ahead upload of one finished clip: on the main actor, name its
// object path (time stamp = now); store a pending record for it (then tell
// `recordStored`); upload it on the main actor; remove the record after
// success. A failure is thrown unchanged and leaves the record and the file
// for a later retry. `status` (may be null) hears of the attempt, its
// progress and its outcome.
Awaitable<void> writeAheadUpload(std::shared_ptr<const AnswerVideoUploadClientProtocol> client,
                                 std::shared_ptr<PendingUploadsStoreProtocol> store, asio::any_io_executor main,
                                 std::shared_ptr<AnswerObjectPathIssuer> paths, WallClock now, FinishedClip clip,
                                 std::string idToken, RecordStored recordStored,
                                 std::shared_ptr<ClipStatusObserver> status = nullptr);

// The direct upload of a pending record on the main actor; touches no
// record. `status` (may be null) hears of its progress only: the retry
// around it knows the attempts and their outcome.
Awaitable<void> directUpload(std::shared_ptr<const AnswerVideoUploadClientProtocol> client, asio::any_io_executor main,
                             PendingUploadRecord record, std::shared_ptr<ClipStatusObserver> status = nullptr);

// The pending record of a clip to upload: a new id, the clip's fields,
// enqueued now; and the other way, the upload a record stands for.
PendingUploadRecord makePendingUploadRecord(ClipUpload clip, std::chrono::system_clock::time_point now);
ClipUpload clipUploadOf(const PendingUploadRecord& record);

// "veltrano-answer-<UUID>.mp4" in `directory`.
std::filesystem::path makeClipFileURL(const std::filesystem::path& directory);

// Wait after failed clip start n: 0.25 s doubling to a 2 s cap.
std::uint64_t defaultChunkRestartBackoffNanoseconds(std::int64_t attempt);
// Wait after failed retry attempt n: 1 s doubling to a 16 s cap.
std::uint64_t defaultRetryUploadBackoffNanoseconds(std::int64_t attempt);

// Whether a retry that failed last with `error` can never succeed, so its
// clip may be given up: the clip file is missing or unreadable (an errno
// error of the file system), or the signed-URL request or the PUT was
// refused with a 4xx status other than 401, 403, 408, 425 and 429. Anything
// else (transport errors, timeouts, those statuses, 5xx, unparsable
// replies, cancellation) may heal and keeps the clip.
bool isPermanentUploadFailure(const std::exception_ptr& error, const std::filesystem::path& clip);

// Hands one finished clip to the upload path; tells `recordStored` once
// the clip is safe on disk (the write-ahead record), before its upload.
using UploadRecordedVideo =
    std::function<Awaitable<void>(FinishedClip clip, std::string idToken, RecordStored recordStored)>;

// The hand-off of an intermediate clip, in a task of its own: without a
// token the clip is deleted (logged); otherwise `upload` runs and a failure
// is only logged. Never fails. `kept` is released once the clip is safe
// (its record stored) or gone, `inFlight` once its upload has ended.
// `status` (may be null) hears of a deleted clip.
Awaitable<void> uploadChunk(std::optional<std::string> idToken, FinishedClip clip, UploadRecordedVideo upload,
                            WaitGroup::Ticket kept, WaitGroup::Ticket inFlight,
                            std::shared_ptr<ClipStatusObserver> status = nullptr);

// Owns the webcam while the page has an answer open: records it in clips
// cut at a fixed interval, hands every clip to the upload path and drains
// the pending uploads on request. An actor on its own strand: every public
// operation hops there, so callers simply co_await it from any executor;
// operations interleave only at their awaits and re-check the generation
// counters after each one. Recorder calls hop to the main actor.
class AnswerRecordingCoordinator final : public AnswerRecordingCoordinatorProtocol,
                                         public std::enable_shared_from_this<AnswerRecordingCoordinator> {
 public:
  using MakeRecorder = std::function<std::shared_ptr<AnswerRecordingVideoRecorder>()>;
  using ChunkRotationDelay = std::function<Awaitable<void>()>;
  using MakeTempRecordingURL = std::function<std::filesystem::path()>;
  using RetryUpload = std::function<Awaitable<void>(PendingUploadRecord)>;
  using Backoff = std::function<std::uint64_t(std::int64_t attempt)>;
  using NanosecondSleep = std::function<Awaitable<void>(std::uint64_t nanoseconds)>;

  // Where the coordinator runs and what it calls. The injected functions
  // are in the order of the coordinator's fields;
  // assembleAnswerRecordingCoordinator fills them with the shipping parts.
  struct Parts {
    Parts(Strand strand, asio::any_io_executor main, asio::any_io_executor uploads)
        : strand(std::move(strand)), main(std::move(main)), uploads(std::move(uploads)) {}

    Strand strand;                  // the coordinator's own
    asio::any_io_executor main;     // the main actor (recorder calls)
    asio::any_io_executor uploads;  // where intermediate clip uploads run, each on a strand of its own
    MakeRecorder makeRecorder;
    UploadRecordedVideo uploadRecordedVideo;
    ChunkRotationDelay chunkRotationDelay;
    MakeTempRecordingURL makeTempRecordingURL;
    std::shared_ptr<PendingUploadsStoreProtocol> store;
    RetryUpload retryUpload;
    std::int64_t retryUploadMaxConcurrent = 2;
    std::int64_t retryUploadMaxAttempts = 3;
    Backoff retryUploadBackoffNanoseconds = defaultRetryUploadBackoffNanoseconds;
    NanosecondSleep retryUploadSleep;
    std::int64_t chunkRestartMaxAttempts = 3;
    Backoff chunkRestartBackoffNanoseconds = defaultChunkRestartBackoffNanoseconds;
    NanosecondSleep chunkRestartSleep;
    // Names the object paths of last clips stored without an upload.
    std::shared_ptr<AnswerObjectPathIssuer> objectPaths;
    WallClock now = [] { return std::chrono::system_clock::now(); };
    // Told of every recording state (may be empty) and of every clip's
    // steps (may be null).
    RecordingStateObserver recordingStateChanged;
    std::shared_ptr<ClipStatusObserver> clipStatus;
  };

  // The time-based members of Parts over one sleep function: a 60 s
  // rotation delay, and sleeps of the given nanoseconds for the backoffs.
  static ChunkRotationDelay rotationDelayOf(SleepFunction sleep, Duration delay = std::chrono::seconds(60));
  static NanosecondSleep nanosecondSleepOf(SleepFunction sleep);

  static std::shared_ptr<AnswerRecordingCoordinator> create(Parts parts);

  // The process's coordinator, as its program's entry built and installed
  // it (once, before anything asks); never destroyed. Safe from any thread.
  static void install(std::shared_ptr<AnswerRecordingCoordinator> coordinator);
  static std::shared_ptr<AnswerRecordingCoordinator> shared();

  Awaitable<nlohmann::json> enterAnswer(EnterAnswerPayload payload) override;
  Awaitable<void> finalizeForTermination(bool deferUpload) override;
  Awaitable<void> retryPendingUploads(std::string idToken) override;

  // Snapshot of the recording state for tests and diagnostics; hops to the
  // coordinator's strand.
  struct State {
    bool recording = false;  // a recorder is set
    std::optional<std::string> activeAnswerId;
    std::optional<std::string> lastIdToken;
    std::uint64_t rotationGeneration = 0;
    std::uint64_t enterGeneration = 0;
    bool rotationArmed = false;  // a rotation task exists and has not finished
    std::optional<std::filesystem::path> recordingFileURL;
    Task pendingRetryDrainTask;              // the latest drain (empty before the first)
    std::optional<RecordingState> reported;  // the latest state told
  };
  Awaitable<State> state();

 private:
  struct StartedClip {
    std::shared_ptr<AnswerRecordingVideoRecorder> recorder;
    std::filesystem::path fileURL;
  };

  explicit AnswerRecordingCoordinator(Parts parts);

  // The bodies, on the strand.
  Awaitable<nlohmann::json> enterAnswerHere(EnterAnswerPayload payload);
  Awaitable<void> finalizeForTerminationHere(bool deferUpload);
  Awaitable<void> retryPendingUploadsHere(std::string idToken);
  Awaitable<State> stateHere();

  void scheduleChunkRotation(bool cancelExisting);
  Awaitable<std::optional<StartedClip>> startNextChunk(std::uint64_t generation, AnswerIds answer);
  Awaitable<void> rotateChunk(std::uint64_t generation);
  Awaitable<void> cancelChunkRotation();
  Awaitable<void> discardStaleRecording(std::shared_ptr<AnswerRecordingVideoRecorder> recorder,
                                        std::filesystem::path fileURL);
  Awaitable<void> stopCurrentRecording(std::optional<std::string> idToken, bool deferUpload);
  Awaitable<void> drainPendingUploads(std::vector<PendingUploadRecord> records);
  Awaitable<void> retryPendingUpload(PendingUploadRecord record);
  // Whether the record and its clip are both still there.
  Awaitable<bool> stillPending(const PendingUploadRecord& record);

  static Awaitable<void> rotationTask(std::shared_ptr<AnswerRecordingCoordinator> self, std::uint64_t generation);
  static Awaitable<void> drainTask(std::shared_ptr<AnswerRecordingCoordinator> self,
                                   std::vector<PendingUploadRecord> records);

  Awaitable<void> startOnMain(std::shared_ptr<AnswerRecordingVideoRecorder> recorder, std::filesystem::path url);
  Awaitable<std::filesystem::path> stopOnMain(std::shared_ptr<AnswerRecordingVideoRecorder> recorder);
  Awaitable<std::string> objectPathOnMain(AnswerIds answer);
  Awaitable<void> storeLastClip(FinishedClip clip, std::string idToken);
  void spawnChunkUpload(FinishedClip clip, WaitGroup::Ticket kept);
  // Stops a clip started for a rotation that was overtaken, and uploads it.
  Awaitable<void> finishOvertakenClip(std::shared_ptr<AnswerRecordingVideoRecorder> recorder, AnswerIds answer);

  // A recorder failing mid-clip ends its answer; a recorder no longer
  // current (being stopped, or replaced) is left to whoever stops it.
  std::shared_ptr<AnswerRecordingVideoRecorder> makeWatchedRecorder();
  static Awaitable<void> recorderFailed(std::shared_ptr<AnswerRecordingCoordinator> self,
                                        std::weak_ptr<AnswerRecordingVideoRecorder> recorder, std::string reason);
  Awaitable<void> recorderFailedHere(std::weak_ptr<AnswerRecordingVideoRecorder> recorder, std::string reason);

  // The recording states: a clip began, the answer stopped or failed.
  void reportClipStarted(const AnswerIds& answer, const std::filesystem::path& clip, std::int64_t clipIndex);
  void reportStopped(const AnswerIds& answer);
  void reportFailed(const AnswerIds& answer, std::string_view code, std::string message);
  void report(RecordingState state);
  // Deletes a clip that will not be uploaded, and says so.
  void discardClip(const std::filesystem::path& clip) const;
  // Stops a clip taken from the coordinator and hands it off; a failed stop
  // deletes its file and is logged after `failureLog`.
  Awaitable<void> stopAndHandOff(std::shared_ptr<AnswerRecordingVideoRecorder> recorder,
                                 std::optional<std::filesystem::path> fileURL, AnswerIds answer, WaitGroup::Ticket kept,
                                 std::string_view failureLog);

  // Fields, in the order of `Parts` above.
  const Logger log{"AnswerRecording"};
  const MakeRecorder makeRecorder;
  const UploadRecordedVideo uploadRecordedVideo;
  const ChunkRotationDelay chunkRotationDelay;
  const MakeTempRecordingURL makeTempRecordingURL;
  const std::shared_ptr<PendingUploadsStoreProtocol> store;
  const RetryUpload retryUpload;
  const std::int64_t retryUploadMaxConcurrent;
  const std::int64_t retryUploadMaxAttempts;
  const Backoff retryUploadBackoffNanoseconds;
  const NanosecondSleep retryUploadSleep;
  const std::int64_t chunkRestartMaxAttempts;
  const Backoff chunkRestartBackoffNanoseconds;
  const NanosecondSleep chunkRestartSleep;
  std::shared_ptr<AnswerRecordingVideoRecorder> recorder_;
  std::optional<std::filesystem::path> recordingFileURL_;
  std::optional<AnswerIds> active_;
  std::optional<std::string> lastIdToken_;
  std::uint64_t rotationGeneration_ = 0;
  std::uint64_t enterGeneration_ = 0;
  Task chunkRotationSleepTask_;
  Task pendingRetryDrainTask_;
  // One ticket for every clip whose stop has begun, until it is on disk
  // with its record (or deleted): what a finalize must not leave behind.
  WaitGroup clipsBeingKept_;
  UploadsInFlight uploadsInFlight_;

  // Where it runs.
  const Strand strand_;
  const asio::any_io_executor main_;
  const asio::any_io_executor uploads_;
  const std::shared_ptr<AnswerObjectPathIssuer> objectPaths_;
  const WallClock now_;
  const RecordingStateObserver recordingStateChanged_;
  const std::shared_ptr<ClipStatusObserver> clipStatus_;
  std::optional<RecordingState> reported_;
  std::int64_t clipIndex_ = 0;  // of the clip recording now
};

}  // namespace veltrano
