#include "Recording/AnswerRecordingCoordinator.hpp"

#include "PendingUploads/Uuid.hpp"
#include "Recording/RecordingError.hpp"
#include "Runtime/BoundedGroup.hpp"
#include "Runtime/Cancellation.hpp"
#include "Runtime/ErrorDescription.hpp"
#include "Runtime/InstalledInstance.hpp"
#include "Upload/UploadError.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace veltrano {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const Logger& recordingLog() {
  static const Logger log("AnswerRecording");
  return log;
}

// A RecordStored that releases `ticket` (or, if never called, lets it go
// when the upload lets go of the function).
RecordStored releaseOnce(WaitGroup::Ticket ticket) {
  auto shared = std::make_shared<WaitGroup::Ticket>(std::move(ticket));
  return [shared] { shared->release(); };
}

// Clip deletions never report errors.
void deleteClip(const fs::path& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

std::exception_ptr cancelledError() {
  return std::make_exception_ptr(boost::system::system_error(asio::error::operation_aborted));
}

// Free coroutines for the hops: their arguments live in their own frames.
Awaitable<void> startRecorder(std::shared_ptr<AnswerRecordingVideoRecorder> recorder, fs::path url) {
  co_await recorder->startRecording(std::move(url));
}

Awaitable<fs::path> stopRecorder(std::shared_ptr<AnswerRecordingVideoRecorder> recorder) {
  co_return co_await recorder->stopRecording();
}

Awaitable<std::string> issueObjectPath(std::shared_ptr<AnswerObjectPathIssuer> paths, WallClock now, AnswerIds answer) {
  co_return paths->issue(answer, now());
}

// Progress of one clip's PUT, for `status`; empty without one.
AnswerVideoUploadClientProtocol::Progress progressOf(std::shared_ptr<ClipStatusObserver> status, fs::path clip) {
  if (!status) return {};
  return [status = std::move(status), clip = std::move(clip)](
             std::uint64_t sent, std::uint64_t total) { status->uploadProgress(clip, sent, total); };
}

Awaitable<void> uploadOnMain(std::shared_ptr<const AnswerVideoUploadClientProtocol> client, ClipUpload clip,
                             AnswerVideoUploadClientProtocol::Progress progress) {
  co_await client->upload(std::move(clip), std::move(progress));
}

Awaitable<void> sleepNanoseconds(SleepFunction sleep, std::uint64_t nanoseconds) {
  co_await sleep(std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(nanoseconds)));
}

Awaitable<void> sleepFor(SleepFunction sleep, Duration delay) {
  co_await sleep(delay);
}

}  // namespace

std::uint64_t defaultChunkRestartBackoffNanoseconds(std::int64_t attempt) {
  const std::int64_t k = attempt - 1;
  if (k <= 0) return 250'000'000ull;
  if (k <= 3) return 250'000'000ull << k;
  return 2'000'000'000ull;
}

std::uint64_t defaultRetryUploadBackoffNanoseconds(std::int64_t attempt) {
  const std::int64_t k = attempt - 1;
  if (k <= 0) return 1'000'000'000ull;
  if (k <= 4) return 1'000'000'000ull << k;
  return 16'000'000'000ull;
}

fs::path makeClipFileURL(const fs::path& directory) {
  return directory / ("veltrano-answer-" + Uuid::random().string() + ".mp4");
}

PendingUploadRecord makePendingUploadRecord(ClipUpload clip, std::chrono::system_clock::time_point now) {
  PendingUploadRecord record;
  record.id = Uuid::random();
  record.fileURL = std::move(clip.fileURL);
  record.userId = std::move(clip.answer.userId);
  record.sessionId = std::move(clip.answer.sessionId);
  record.answerId = std::move(clip.answer.answerId);
  record.objectPath = std::move(clip.objectPath);
  record.idToken = std::move(clip.idToken);
  record.enqueuedAt = ReferenceDate::fromTimePoint(now);
  return record;
}

ClipUpload clipUploadOf(const PendingUploadRecord& record) {
  return {record.fileURL, {record.userId, record.sessionId, record.answerId}, record.objectPath, record.idToken};
}

bool isPermanentUploadFailure(const std::exception_ptr& error, const fs::path& clip) {
  std::error_code existsError;
  if (!fs::exists(clip, existsError) && !existsError) return true;
  return !mayRetryUpload(error);
}

Awaitable<void> writeAheadUpload(std::shared_ptr<const AnswerVideoUploadClientProtocol> client,
                                 std::shared_ptr<PendingUploadsStoreProtocol> store, asio::any_io_executor main,
                                 std::shared_ptr<AnswerObjectPathIssuer> paths, WallClock now, FinishedClip clip,
                                 std::string idToken, RecordStored recordStored,
                                 std::shared_ptr<ClipStatusObserver> status) {
  ClipUpload upload{std::move(clip.fileURL), std::move(clip.answer), {}, std::move(idToken)};
  upload.objectPath = co_await asio::co_spawn(main, issueObjectPath(paths, now, upload.answer), asio::use_awaitable);
  const PendingUploadRecord record = makePendingUploadRecord(upload, now());
  co_await store->upsert(record);
  if (recordStored) recordStored();
  if (status) status->uploadStarted(record.fileURL);
  // Named, not a temporary in the co_await: GCC 12 destroys such a
  // temporary twice.
  auto progress = progressOf(status, record.fileURL);
  std::exception_ptr failure;
  try {
    co_await asio::co_spawn(main, uploadOnMain(client, std::move(upload), std::move(progress)), asio::use_awaitable);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (status) status->uploadFailed(record.fileURL, describe(failure), false);
    std::rethrow_exception(failure);
  }
  co_await store->remove(record.id);
  if (status) status->uploadSucceeded(record.fileURL);
}

Awaitable<void> directUpload(std::shared_ptr<const AnswerVideoUploadClientProtocol> client, asio::any_io_executor main,
                             PendingUploadRecord record, std::shared_ptr<ClipStatusObserver> status) {
  auto progress = progressOf(std::move(status), record.fileURL);
  co_await asio::co_spawn(main, uploadOnMain(client, clipUploadOf(record), std::move(progress)), asio::use_awaitable);
}

Awaitable<void> uploadChunk(std::optional<std::string> idToken, FinishedClip clip, UploadRecordedVideo upload,
                            WaitGroup::Ticket kept, WaitGroup::Ticket inFlight,
                            std::shared_ptr<ClipStatusObserver> status) {
  const Logger& log = recordingLog();
  if (!idToken || idToken->empty()) {
    log.error("No Firebase id token for chunk upload; removing temp file.");
    deleteClip(clip.fileURL);
    if (status) status->clipDiscarded(clip.fileURL);
    co_return;
  }
  std::exception_ptr failure;
  try {
    co_await upload(std::move(clip), *idToken, releaseOnce(std::move(kept)));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) log.error("Chunk upload failed: " + describe(failure));
  inFlight.release();
}

AnswerRecordingCoordinator::ChunkRotationDelay AnswerRecordingCoordinator::rotationDelayOf(SleepFunction sleep,
                                                                                           Duration delay) {
  return [sleep = std::move(sleep), delay] { return sleepFor(sleep, delay); };
}

AnswerRecordingCoordinator::NanosecondSleep AnswerRecordingCoordinator::nanosecondSleepOf(SleepFunction sleep) {
  return [sleep = std::move(sleep)](std::uint64_t nanoseconds) { return sleepNanoseconds(sleep, nanoseconds); };
}

void AnswerRecordingCoordinator::install(std::shared_ptr<AnswerRecordingCoordinator> coordinator) {
  InstalledInstance<AnswerRecordingCoordinator>::of("AnswerRecordingCoordinator").install(std::move(coordinator));
}

std::shared_ptr<AnswerRecordingCoordinator> AnswerRecordingCoordinator::shared() {
  return InstalledInstance<AnswerRecordingCoordinator>::of("AnswerRecordingCoordinator").get();
}

std::shared_ptr<AnswerRecordingCoordinator> AnswerRecordingCoordinator::create(Parts parts) {
  return std::shared_ptr<AnswerRecordingCoordinator>(new AnswerRecordingCoordinator(std::move(parts)));
}

AnswerRecordingCoordinator::AnswerRecordingCoordinator(Parts parts)
    : makeRecorder(std::move(parts.makeRecorder)),
      uploadRecordedVideo(std::move(parts.uploadRecordedVideo)),
      chunkRotationDelay(std::move(parts.chunkRotationDelay)),
      makeTempRecordingURL(std::move(parts.makeTempRecordingURL)),
      store(std::move(parts.store)),
      retryUpload(std::move(parts.retryUpload)),
      retryUploadMaxConcurrent(parts.retryUploadMaxConcurrent),
      retryUploadMaxAttempts(parts.retryUploadMaxAttempts),
      retryUploadBackoffNanoseconds(std::move(parts.retryUploadBackoffNanoseconds)),
      retryUploadSleep(std::move(parts.retryUploadSleep)),
      chunkRestartMaxAttempts(parts.chunkRestartMaxAttempts),
      chunkRestartBackoffNanoseconds(std::move(parts.chunkRestartBackoffNanoseconds)),
      chunkRestartSleep(std::move(parts.chunkRestartSleep)),
      strand_(std::move(parts.strand)),
      main_(std::move(parts.main)),
      uploads_(std::move(parts.uploads)),
      objectPaths_(parts.objectPaths ? std::move(parts.objectPaths) : std::make_shared<AnswerObjectPathIssuer>()),
      now_(std::move(parts.now)),
      recordingStateChanged_(std::move(parts.recordingStateChanged)),
      clipStatus_(std::move(parts.clipStatus)) {}

// Public operations: each hops to the strand.

Awaitable<json> AnswerRecordingCoordinator::enterAnswer(EnterAnswerPayload payload) {
  co_return co_await asio::co_spawn(strand_, enterAnswerHere(std::move(payload)), asio::use_awaitable);
}

Awaitable<void> AnswerRecordingCoordinator::finalizeForTermination(bool deferUpload) {
  co_await asio::co_spawn(strand_, finalizeForTerminationHere(deferUpload), asio::use_awaitable);
}

Awaitable<void> AnswerRecordingCoordinator::retryPendingUploads(std::string idToken) {
  co_await asio::co_spawn(strand_, retryPendingUploadsHere(std::move(idToken)), asio::use_awaitable);
}

Awaitable<AnswerRecordingCoordinator::State> AnswerRecordingCoordinator::state() {
  co_return co_await asio::co_spawn(strand_, stateHere(), asio::use_awaitable);
}

Awaitable<AnswerRecordingCoordinator::State> AnswerRecordingCoordinator::stateHere() {
  State state;
  state.recording = recorder_ != nullptr;
  if (active_) state.activeAnswerId = active_->answerId;
  state.lastIdToken = lastIdToken_;
  state.rotationGeneration = rotationGeneration_;
  state.enterGeneration = enterGeneration_;
  state.rotationArmed = chunkRotationSleepTask_ && !chunkRotationSleepTask_.isFinished();
  state.recordingFileURL = recordingFileURL_;
  state.pendingRetryDrainTask = pendingRetryDrainTask_;
  state.reported = reported_;
  co_return state;
}

// Recording states and clip steps.

void AnswerRecordingCoordinator::report(RecordingState state) {
  reported_ = state;
  if (recordingStateChanged_) recordingStateChanged_(state);
}

void AnswerRecordingCoordinator::reportClipStarted(const AnswerIds& answer, const fs::path& clip,
                                                   std::int64_t clipIndex) {
  clipIndex_ = clipIndex;
  if (clipStatus_) clipStatus_->clipRecording(clip, answer);
  report({answer.answerId, RecordingState::Phase::recording, clipIndex, now_(), std::nullopt, std::nullopt});
}

void AnswerRecordingCoordinator::reportStopped(const AnswerIds& answer) {
  // Only the answer last told as recording: a failed one stays failed.
  if (!reported_ || reported_->state != RecordingState::Phase::recording || reported_->answerId != answer.answerId)
    return;
  RecordingState stopped = *reported_;
  stopped.state = RecordingState::Phase::stopped;
  report(std::move(stopped));
}

void AnswerRecordingCoordinator::reportFailed(const AnswerIds& answer, std::string_view code, std::string message) {
  RecordingState failed{
      answer.answerId, RecordingState::Phase::failed, clipIndex_, now_(), std::string(code), std::move(message)};
  if (reported_ && reported_->answerId == answer.answerId) failed.clipStartedAt = reported_->clipStartedAt;
  report(std::move(failed));
}

void AnswerRecordingCoordinator::discardClip(const fs::path& clip) const {
  deleteClip(clip);
  if (clipStatus_) clipStatus_->clipDiscarded(clip);
}

std::shared_ptr<AnswerRecordingVideoRecorder> AnswerRecordingCoordinator::makeWatchedRecorder() {
  std::shared_ptr<AnswerRecordingVideoRecorder> recorder = makeRecorder();
  std::weak_ptr<AnswerRecordingCoordinator> weakSelf = weak_from_this();
  std::weak_ptr<AnswerRecordingVideoRecorder> weakRecorder = recorder;
  // Weak both ways: the recorder holds this handler.
  recorder->setFailureHandler([weakSelf, weakRecorder](std::string reason) {
    if (auto self = weakSelf.lock()) Task::spawn(self->strand_, recorderFailed(self, weakRecorder, std::move(reason)));
  });
  return recorder;
}

Awaitable<void> AnswerRecordingCoordinator::recorderFailed(std::shared_ptr<AnswerRecordingCoordinator> self,
                                                           std::weak_ptr<AnswerRecordingVideoRecorder> recorder,
                                                           std::string reason) {
  co_await self->recorderFailedHere(std::move(recorder), std::move(reason));
}

Awaitable<void> AnswerRecordingCoordinator::recorderFailedHere(std::weak_ptr<AnswerRecordingVideoRecorder> weak,
                                                               std::string reason) {
  const auto failed = weak.lock();
  if (!failed || failed != recorder_ || !active_) co_return;
  co_await cancelChunkRotation();
  // A leave, a switch or a cut may have taken the recorder meanwhile.
  if (failed != recorder_ || !active_) co_return;
  WaitGroup::Ticket kept = clipsBeingKept_.add();
  std::shared_ptr<AnswerRecordingVideoRecorder> recorder = std::move(recorder_);
  recorder_.reset();
  const std::optional<fs::path> fileURL = std::move(recordingFileURL_);
  recordingFileURL_.reset();
  const AnswerIds answer = *active_;
  active_.reset();
  log.error("Recording failed for answer " + answer.answerId + ": " + reason);
  reportFailed(answer, recording_code::recordingFailed, reason);
  // What was recorded before the failure goes up like any other clip.
  co_await stopAndHandOff(
      std::move(recorder), fileURL, answer, std::move(kept), "Stopping the failed recording failed: ");
  if (!active_) lastIdToken_.reset();
}

Awaitable<void> AnswerRecordingCoordinator::stopAndHandOff(std::shared_ptr<AnswerRecordingVideoRecorder> recorder,
                                                           std::optional<fs::path> fileURL, AnswerIds answer,
                                                           WaitGroup::Ticket kept, std::string_view failureLog) {
  fs::path clip;
  std::exception_ptr stopFailure;
  try {
    clip = co_await stopOnMain(std::move(recorder));
  } catch (...) {
    stopFailure = std::current_exception();
  }
  // A stop that overtook this one shows in the generations; its
  // cancellation must not keep this one from finishing its clean-up.
  takeCancellation(co_await asio::this_coro::cancellation_state);
  if (!stopFailure) {
    spawnChunkUpload({clip, answer}, std::move(kept));
    co_return;
  }
  if (fileURL) discardClip(*fileURL);
  kept.release();
  log.error(std::string(failureLog) + describe(stopFailure));
}

// Hops to the main actor for the recorder, shielded: a rotation cancelled
// meanwhile never tears a start or a stop in half; it finds out through the
// generation instead.

Awaitable<void> AnswerRecordingCoordinator::startOnMain(std::shared_ptr<AnswerRecordingVideoRecorder> recorder,
                                                        fs::path url) {
  co_await runShielded(main_, startRecorder(std::move(recorder), std::move(url)));
}

Awaitable<fs::path> AnswerRecordingCoordinator::stopOnMain(std::shared_ptr<AnswerRecordingVideoRecorder> recorder) {
  co_return co_await runShielded(main_, stopRecorder(std::move(recorder)));
}

Awaitable<std::string> AnswerRecordingCoordinator::objectPathOnMain(AnswerIds answer) {
  co_return co_await asio::co_spawn(main_, issueObjectPath(objectPaths_, now_, std::move(answer)), asio::use_awaitable);
}

Awaitable<void> AnswerRecordingCoordinator::storeLastClip(FinishedClip clip, std::string idToken) {
  ClipUpload upload{std::move(clip.fileURL), std::move(clip.answer), {}, std::move(idToken)};
  upload.objectPath = co_await objectPathOnMain(upload.answer);
  co_await store->upsert(makePendingUploadRecord(std::move(upload), now_()));
}

void AnswerRecordingCoordinator::spawnChunkUpload(FinishedClip clip, WaitGroup::Ticket kept) {
  // Its own task, off the coordinator's strand, that nobody awaits or
  // cancels; it carries the token of this moment. It counts as in flight
  // from here, before its record exists, so no drain can pick that up.
  WaitGroup::Ticket inFlight = uploadsInFlight_.begin(clip.fileURL);
  auto work = uploadChunk(
      lastIdToken_, std::move(clip), uploadRecordedVideo, std::move(kept), std::move(inFlight), clipStatus_);
  asio::co_spawn(asio::make_strand(uploads_), std::move(work), asio::detached);
}

// Entering and leaving.

Awaitable<json> AnswerRecordingCoordinator::enterAnswerHere(EnterAnswerPayload payload) {
  if (!payload.answerId) {
    ++enterGeneration_;
    co_await stopCurrentRecording(payload.idToken, false);
    json idle = {{"status", "idle"}};
    co_return idle;
  }

  AnswerIds requested{payload.userId, payload.sessionId, *payload.answerId};
  if (active_ && *active_ == requested && recorder_) {
    lastIdToken_ = payload.idToken;
    co_await store->updateIdTokenForAnswer(requested.userId, requested.sessionId, requested.answerId, payload.idToken);
    json already = {{"status", "already_recording"}, {"answerId", requested.answerId}};
    co_return already;
  }

  const std::uint64_t generation = ++enterGeneration_;
  if (active_) co_await stopCurrentRecording(payload.idToken, false);
  json aborted = {{"status", "aborted"}};
  if (enterGeneration_ != generation) co_return aborted;

  const fs::path url = makeTempRecordingURL();
  std::shared_ptr<AnswerRecordingVideoRecorder> recorder = makeWatchedRecorder();
  std::exception_ptr startFailure;
  try {
    co_await startOnMain(recorder, url);
  } catch (...) {
    startFailure = std::current_exception();
  }
  if (startFailure) {
    deleteClip(url);
    recorder.reset();
    throw RecordingError::cameraSetupFailed(startFailure);
  }
  if (enterGeneration_ != generation) {
    co_await discardStaleRecording(std::move(recorder), url);
    co_return aborted;
  }

  recorder_ = std::move(recorder);
  recordingFileURL_ = url;
  active_ = requested;
  lastIdToken_ = payload.idToken;
  log.info("Recording started for answer " + requested.answerId);
  reportClipStarted(requested, url, 0);
  scheduleChunkRotation(true);
  json recording = {{"status", "recording"}, {"answerId", requested.answerId}};
  co_return recording;
}

Awaitable<void> AnswerRecordingCoordinator::finalizeForTerminationHere(bool deferUpload) {
  ++enterGeneration_;
  std::exception_ptr failure;
  try {
    co_await stopCurrentRecording(std::nullopt, deferUpload);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) log.error("Termination finalize failed: " + describe(failure));
  // A leave, a switch or a cut that began stopping a clip before this call
  // may still be at it: the process must not end before that clip is
  // finished and recorded (its upload, though, is free to outlive us).
  co_await clipsBeingKept_.wait();
}

Awaitable<void> AnswerRecordingCoordinator::cancelChunkRotation() {
  ++rotationGeneration_;
  Task task = chunkRotationSleepTask_;
  if (task) {
    task.cancel();
    try {
      co_await task.join();
    } catch (...) {
      // A cancelled delay ends the task with operation_aborted: expected.
    }
  }
  // An enter that ran while this one waited may have armed a new rotation;
  // that one is not ours to forget.
  if (chunkRotationSleepTask_.sameTaskAs(task)) chunkRotationSleepTask_ = Task();
}

Awaitable<void> AnswerRecordingCoordinator::stopCurrentRecording(std::optional<std::string> idToken, bool deferUpload) {
  co_await cancelChunkRotation();
  if (!recorder_) {
    // Between two clips of a cut: the cut sees the answer gone and keeps
    // the clip it has stopped.
    if (active_) reportStopped(*active_);
    active_.reset();
    co_return;
  }
  // From here on a new enter may start another recording while this one is
  // being finished, and a finalize waits for this clip to be kept.
  WaitGroup::Ticket kept = clipsBeingKept_.add();
  std::shared_ptr<AnswerRecordingVideoRecorder> recorder = std::move(recorder_);
  recorder_.reset();
  const std::optional<fs::path> fileURL = std::move(recordingFileURL_);
  recordingFileURL_.reset();
  const std::optional<AnswerIds> answer = std::move(active_);
  active_.reset();

  fs::path clip;
  std::exception_ptr stopFailure;
  try {
    clip = co_await stopOnMain(std::move(recorder));
  } catch (...) {
    stopFailure = std::current_exception();
  }
  if (answer) reportStopped(*answer);
  if (stopFailure) {
    if (fileURL) discardClip(*fileURL);
    throw RecordingError::recordingStopFailed(stopFailure);
  }
  if (!answer) {
    discardClip(clip);
    co_return;
  }

  const std::optional<std::string> token = idToken ? idToken : lastIdToken_;
  if (deferUpload || !token || token->empty()) {
    if (!deferUpload) log.error("No Firebase id token for answer video upload; enqueueing for retry on next launch.");
    // Named, not a braced temporary in the co_await: GCC 12 destroys such a
    // temporary twice.
    FinishedClip finished{clip, *answer};
    co_await storeLastClip(std::move(finished), token.value_or(""));
    // A recording started meanwhile keeps its own token.
    if (!active_) lastIdToken_.reset();
    co_return;
  }

  std::exception_ptr uploadFailure;
  WaitGroup::Ticket inFlight = uploadsInFlight_.begin(clip);
  try {
    FinishedClip finished{clip, *answer};
    co_await uploadRecordedVideo(std::move(finished), *token, releaseOnce(std::move(kept)));
  } catch (...) {
    uploadFailure = std::current_exception();
  }
  inFlight.release();
  if (!uploadFailure) {
    if (!active_) lastIdToken_.reset();
    co_return;
  }
  log.error("Upload failed: " + describe(uploadFailure));
  throw RecordingError::uploadFailed(uploadFailure);
}

Awaitable<void> AnswerRecordingCoordinator::discardStaleRecording(
    std::shared_ptr<AnswerRecordingVideoRecorder> recorder, fs::path fileURL) {
  fs::path clip;
  std::exception_ptr failure;
  try {
    clip = co_await stopOnMain(std::move(recorder));
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) {
    deleteClip(clip);
    co_return;
  }
  deleteClip(fileURL);
  log.debug("Stale recording discard: " + describe(failure));
}

// Clip rotation.

void AnswerRecordingCoordinator::scheduleChunkRotation(bool cancelExisting) {
  if (cancelExisting && chunkRotationSleepTask_) chunkRotationSleepTask_.cancel();
  chunkRotationSleepTask_ = Task::spawn(strand_, rotationTask(shared_from_this(), rotationGeneration_));
}

Awaitable<void> AnswerRecordingCoordinator::rotationTask(std::shared_ptr<AnswerRecordingCoordinator> self,
                                                         std::uint64_t generation) {
  std::exception_ptr delayFailure;
  try {
    co_await self->chunkRotationDelay();
  } catch (...) {
    delayFailure = std::current_exception();
  }
  if (delayFailure) co_return;
  co_await self->rotateChunk(generation);
}

Awaitable<void> AnswerRecordingCoordinator::rotateChunk(std::uint64_t generation) {
  if (rotationGeneration_ != generation || !recorder_ || !active_) co_return;
  const AnswerIds answer = *active_;
  WaitGroup::Ticket kept = clipsBeingKept_.add();
  const std::optional<fs::path> fileURL = std::move(recordingFileURL_);
  recordingFileURL_.reset();
  std::shared_ptr<AnswerRecordingVideoRecorder> recorder = std::move(recorder_);
  recorder_.reset();
  co_await stopAndHandOff(std::move(recorder), fileURL, answer, std::move(kept), "Chunk rotation stop failed: ");

  if (rotationGeneration_ != generation || !active_) co_return;
  const std::optional<StartedClip> next = co_await startNextChunk(generation, answer);
  if (!next) co_return;
  if (rotationGeneration_ == generation && active_) {
    recorder_ = next->recorder;
    recordingFileURL_ = next->fileURL;
    log.info("Recording chunk rotated for answer " + answer.answerId);
    reportClipStarted(answer, next->fileURL, clipIndex_ + 1);
    scheduleChunkRotation(false);
    co_return;
  }
  co_await finishOvertakenClip(next->recorder, answer);
}

Awaitable<void> AnswerRecordingCoordinator::finishOvertakenClip(std::shared_ptr<AnswerRecordingVideoRecorder> recorder,
                                                                AnswerIds answer) {
  WaitGroup::Ticket kept = clipsBeingKept_.add();
  co_await stopAndHandOff(std::move(recorder), std::nullopt, std::move(answer), std::move(kept),
                          "Chunk rotation: failed to stop partial clip after invalidate: ");
}

Awaitable<std::optional<AnswerRecordingCoordinator::StartedClip>> AnswerRecordingCoordinator::startNextChunk(
    std::uint64_t generation, AnswerIds answer) {
  const std::string maxAttempts = std::to_string(chunkRestartMaxAttempts);
  for (std::int64_t attempt = 1;; ++attempt) {
    if (rotationGeneration_ != generation || !active_) co_return std::nullopt;
    const fs::path url = makeTempRecordingURL();
    std::shared_ptr<AnswerRecordingVideoRecorder> recorder = makeWatchedRecorder();
    std::exception_ptr startFailure;
    try {
      co_await startOnMain(recorder, url);
    } catch (...) {
      startFailure = std::current_exception();
    }
    takeCancellation(co_await asio::this_coro::cancellation_state);

    if (!startFailure) {
      if (rotationGeneration_ == generation && active_) {
        StartedClip started{std::move(recorder), url};
        co_return started;
      }
      // Invalidated while the camera started: this clip is a clip like any other.
      co_await finishOvertakenClip(std::move(recorder), answer);
      co_return std::nullopt;
    }

    log.error("Chunk rotation restart failed (attempt " + std::to_string(attempt) + "/" + maxAttempts +
              "): " + describe(startFailure));
    deleteClip(url);
    recorder.reset();
    if (attempt >= chunkRestartMaxAttempts) {
      // Only the answer this rotation belongs to is ended: a stop that
      // overtook it may have let a newer answer start.
      if (rotationGeneration_ == generation && active_) {
        log.error("Chunk rotation restart exhausted " + maxAttempts + " attempts; recording stopped for answer " +
                  answer.answerId);
        active_.reset();
        lastIdToken_.reset();
        reportFailed(answer, recording_code::cameraUnavailable, describe(startFailure));
      }
      co_return std::nullopt;
    }
    const std::uint64_t wait = chunkRestartBackoffNanoseconds(attempt);
    log.error("Chunk rotation restart backing off " + std::to_string(wait) + "ns before retry");
    // A stop that came while the camera was starting has cancelled this
    // task already (and the cancellation was taken back above): the wait
    // counts as cancelled before it began.
    std::exception_ptr sleepFailure;
    if (rotationGeneration_ != generation) {
      sleepFailure = cancelledError();
    } else {
      try {
        co_await chunkRestartSleep(wait);
      } catch (...) {
        sleepFailure = std::current_exception();
      }
    }
    if (sleepFailure) {
      log.debug("Chunk rotation restart sleep cancelled: " + describe(sleepFailure));
      co_return std::nullopt;
    }
    if (rotationGeneration_ != generation) co_return std::nullopt;
  }
}

// Retry drain.

Awaitable<bool> AnswerRecordingCoordinator::stillPending(const PendingUploadRecord& record) {
  std::error_code ignored;
  if (!fs::exists(record.fileURL, ignored)) co_return false;
  const std::vector<PendingUploadRecord> records = co_await store->allRecords();
  co_return std::any_of(records.begin(), records.end(), [&](const auto& r) { return r.id == record.id; });
}

Awaitable<void> AnswerRecordingCoordinator::retryPendingUploadsHere(std::string idToken) {
  std::vector<PendingUploadRecord> snapshot = co_await store->allRecords();
  if (snapshot.empty()) co_return;
  log.info("Retrying " + std::to_string(snapshot.size()) + " pending upload(s) from prior session");
  std::vector<PendingUploadRecord> retryList;
  for (PendingUploadRecord& record : snapshot) {
    std::error_code ignored;
    if (fs::exists(record.fileURL, ignored)) {
      co_await store->updateIdToken(record.id, idToken);
      record.idToken = idToken;
      retryList.push_back(std::move(record));
    } else {
      log.error("Pending upload file missing, removing stale record: " + record.objectPath);
      co_await store->remove(record.id);
      if (clipStatus_) clipStatus_->clipDiscarded(record.fileURL);
    }
  }
  if (retryList.empty()) co_return;
  if (clipStatus_)
    for (const auto& record : retryList) clipStatus_->clipQueued(record.fileURL);
  if (pendingRetryDrainTask_) pendingRetryDrainTask_.cancel();
  pendingRetryDrainTask_ = Task::spawn(strand_, drainTask(shared_from_this(), std::move(retryList)));
}

Awaitable<void> AnswerRecordingCoordinator::drainTask(std::shared_ptr<AnswerRecordingCoordinator> self,
                                                      std::vector<PendingUploadRecord> records) {
  try {
    co_await self->drainPendingUploads(std::move(records));
  } catch (...) {
    // Cancelled by a newer drain; the records not uploaded stay stored.
  }
}

Awaitable<void> AnswerRecordingCoordinator::drainPendingUploads(std::vector<PendingUploadRecord> records) {
  auto self = shared_from_this();
  auto body = [self](PendingUploadRecord record) { return self->retryPendingUpload(std::move(record)); };
  const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(1, retryUploadMaxConcurrent));
  co_await forEachBounded(std::move(records), limit, std::move(body));
}

Awaitable<void> AnswerRecordingCoordinator::retryPendingUpload(PendingUploadRecord record) {
  // The clip's first upload (or a cancelled drain's) may still be running:
  // wait for it, then retry only what it left behind.
  if (co_await uploadsInFlight_.awaitIdle(record.fileURL) && !co_await stillPending(record)) co_return;
  const WaitGroup::Ticket inFlight = uploadsInFlight_.begin(record.fileURL);
  for (std::int64_t attempt = 1;; ++attempt) {
    if (clipStatus_) clipStatus_->uploadStarted(record.fileURL);
    std::exception_ptr failure;
    try {
      co_await retryUpload(record);
    } catch (...) {
      failure = std::current_exception();
    }

    if (!failure) {
      // Uploaded (and its file gone): the record must go even when the
      // drain was cancelled meanwhile.
      takeCancellation(co_await asio::this_coro::cancellation_state);
      co_await store->remove(record.id);
      if (clipStatus_) clipStatus_->uploadSucceeded(record.fileURL);
      if (attempt >= 2)
        log.info("Retry upload succeeded for " + record.objectPath + " after attempt " + std::to_string(attempt));
      co_return;
    }

    const bool givingUp = attempt >= retryUploadMaxAttempts && isPermanentUploadFailure(failure, record.fileURL);
    if (clipStatus_ && !givingUp) clipStatus_->uploadFailed(record.fileURL, describe(failure), false);
    if (attempt < retryUploadMaxAttempts) {
      const std::uint64_t wait = retryUploadBackoffNanoseconds(attempt);
      log.error("Retry upload attempt " + std::to_string(attempt) + " failed for " + record.objectPath +
                "; retrying in " + std::to_string(wait) + "ns");
      std::exception_ptr sleepFailure;
      try {
        co_await retryUploadSleep(wait);
      } catch (...) {
        sleepFailure = std::current_exception();
      }
      if (sleepFailure) {
        log.debug("Retry upload cancelled for " + record.objectPath);
        co_return;
      }
      continue;
    }

    const std::string attempts = std::to_string(retryUploadMaxAttempts);
    if (!givingUp) {
      log.error("Retry upload failed for " + record.objectPath + " after " + attempts +
                " attempts: " + describe(failure) + "; keeping pending record for a later retry");
      co_return;
    }
    log.error("Retry upload failed for " + record.objectPath + " after " + attempts +
              " attempts: " + describe(failure) + "; giving up and clearing pending record");
    takeCancellation(co_await asio::this_coro::cancellation_state);
    co_await store->remove(record.id);
    if (clipStatus_) clipStatus_->uploadFailed(record.fileURL, describe(failure), true);
    std::error_code error;
    if (fs::exists(record.fileURL, error)) {
      if (fs::remove(record.fileURL, error) && !error)
        log.info("Removed local file after exhausted retries: " + record.fileURL.string());
      else
        log.error("Failed to remove local file after exhausted retries: " + record.fileURL.string() + " " +
                  error.message());
    }
    co_return;
  }
}

}  // namespace veltrano
