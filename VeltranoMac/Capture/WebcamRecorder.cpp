#include "Capture/WebcamRecorder.hpp"

#include "Runtime/ErrorDescription.hpp"
#include "Runtime/Task.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/prefer.hpp>

#include <system_error>
#include <utility>

namespace veltrano {

namespace {

std::exception_ptr recorderError(RecorderError::Case value) {
  return std::make_exception_ptr(RecorderError(value));
}

void removeQuietly(const std::filesystem::path& file) {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

// Suspends the caller with a new request that `post` hands to a queue.
template <typename Result, typename Post>
Awaitable<Result> awaitRequest(std::uint64_t generation, Post post) {
  auto initiate = [post = std::move(post), generation](auto handler) mutable {
    auto executor = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    post(PendingRequest<Result>(
        std::move(executor), typename PendingRequest<Result>::Handler(std::move(handler)), generation));
  };
  co_return co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, Result)>(
      std::move(initiate), asio::use_awaitable);
}

// A waiting request is answered exactly once: it leaves its field in the
// same step that hands it to the caller.
template <typename Request>
std::optional<Request> takeOnce(std::optional<Request>& field) {
  return std::exchange(field, std::nullopt);
}

}  // namespace

std::shared_ptr<WebcamRecorder> WebcamRecorder::create(std::shared_ptr<CameraSourceFactory> sources,
                                                       SleepFunction sleep) {
  return std::shared_ptr<WebcamRecorder>(new WebcamRecorder(std::move(sources), std::move(sleep)));
}

WebcamRecorder::WebcamRecorder(std::shared_ptr<CameraSourceFactory> sources, SleepFunction sleep)
    : sessionQueue_(std::make_shared<SerialQueue>("com.brackwood.veltranoMac.webcam.recorder")),
      dataOutputQueue_(std::make_shared<SerialQueue>("com.brackwood.veltranoMac.webcam.recorder.data")),
      sources_(std::move(sources)),
      sleep_(std::move(sleep)),
      counters_(std::make_shared<Counters>()),
      inbox_(std::make_shared<Inbox>()) {
  ensureGStreamer();
  Mp4Writer::preload();
}

// Nothing to do beyond releasing the fields: the capture pipeline and the
// writer stop in their destructors, pending requests complete with
// notRecording.
WebcamRecorder::~WebcamRecorder() = default;

WebcamRecorder::Statistics WebcamRecorder::statistics() const {
  const Counters& c = *counters_;
  Statistics s;
  s.framesOffered = c.offered.load();
  s.framesHandedOver = c.handedOver.load();
  s.framesAppended = c.appended.load();
  s.framesDroppedByWriter = c.droppedByWriter.load();
  s.framesDroppedBusy = c.droppedBusy.load();
  s.framesDroppedForSize = c.droppedForSize.load();
  s.framesWritten = c.written.load();
  s.firstFrameCaptureTime = c.firstCapture.load();
  s.lastFrameCaptureTime = c.lastCapture.load();
  s.firstFrameOffset = c.firstOffset.load();
  s.lastFrameOffset = c.lastOffset.load();
  s.firstFrameAppendedAt = c.firstAppendedAt.load();
  s.lastFrameAppendedAt = c.lastAppendedAt.load();
  return s;
}

// ---------------------------------------------------------------------------
// Caller's executor

Awaitable<void> WebcamRecorder::ensureCameraPermission() {
  // Probing opens camera nodes, and opening one can block (a USB camera
  // waking up): ask on the session queue, which has nothing else to do before
  // the start is posted, and resume the caller with the answer.
  auto post = [queue = sessionQueue_, sources = sources_](PendingRequest<CameraAccess> request) mutable {
    queue->async([sources = std::move(sources), request = std::move(request)]() mutable {
      try {
        request.succeed(sources->cameraAccess());
      } catch (...) {
        request.fail(std::current_exception());
      }
    });
  };
  const auto access = co_await awaitRequest<CameraAccess>(0, std::move(post));
  if (access != CameraAccess::authorized) throw RecorderError(RecorderError::Case::cameraPermissionDenied);
}

Awaitable<void> WebcamRecorder::firstFrameWatch(std::weak_ptr<WebcamRecorder> weak, SleepFunction sleep,
                                                std::uint64_t generation) {
  co_await sleep(kFirstFrameTimeout);
  if (auto self = weak.lock()) {
    self->sessionQueue_->async([weak, generation] {
      if (auto recorder = weak.lock()) recorder->failStartIfStillWaiting(generation);
    });
  }
}

void WebcamRecorder::setFailureHandler(FailureHandler handler) {
  failureHandler_ = std::move(handler);
}

Awaitable<void> WebcamRecorder::startRecording(std::filesystem::path file) {
  auto executor = co_await asio::this_coro::executor;
  // Read on the session queue only after the posts below.
  failureExecutor_ = executor;
  co_await ensureCameraPermission();

  const auto generation = ++startGeneration_;
  Task watch = Task::spawn(executor, firstFrameWatch(weak_from_this(), sleep_, generation));

  std::weak_ptr<WebcamRecorder> weak = weak_from_this();
  auto queue = sessionQueue_;
  // The feed times its linger on the caller's executor.
  CameraFeed::Timers timers{executor, sleep_};
  auto post = [weak, queue, file = std::move(file), timers = std::move(timers)](StartRequest request) mutable {
    queue->async([weak, request = std::move(request), file = std::move(file), timers = std::move(timers)]() mutable {
      auto self = weak.lock();
      if (!self) {
        request.fail(recorderError(RecorderError::Case::notRecording));
        return;
      }
      self->configureAndStartSession(std::move(request), std::move(file), std::move(timers));
    });
  };
  std::exception_ptr failure;
  try {
    co_await awaitRequest<std::monostate>(generation, std::move(post));
  } catch (...) {
    failure = std::current_exception();
  }
  watch.cancel();
  if (failure) std::rethrow_exception(failure);
}

Awaitable<std::filesystem::path> WebcamRecorder::stopRecording() {
  std::weak_ptr<WebcamRecorder> weak = weak_from_this();
  auto queue = sessionQueue_;
  auto post = [weak, queue](StopRequest request) mutable {
    queue->async([weak, request = std::move(request)]() mutable {
      auto self = weak.lock();
      if (!self) {
        request.fail(recorderError(RecorderError::Case::notRecording));
        return;
      }
      self->stopOnSessionQueue(std::move(request));
    });
  };
  co_return co_await awaitRequest<std::filesystem::path>(0, std::move(post));
}

// ---------------------------------------------------------------------------
// Session queue

void WebcamRecorder::configureAndStartSession(StartRequest request, std::filesystem::path file,
                                              CameraFeed::Timers timers) {
  if (captureSession_) {
    request.fail(recorderError(RecorderError::Case::alreadyRecording));
    return;
  }
  startContinuation_ = std::move(request);
  // No frames can arrive yet (nothing is attached to the feed), but the fields
  // belong to the data-output queue: set them there.
  dataOutputQueue_->sync([this, &file] {
    outputFileURL_ = file;
    assetWriter_.reset();
    writerSessionStarted_ = false;
    isFinalizingWriter_ = false;
    didResumeStartContinuation_ = false;
    sessionStartTime_ = GST_CLOCK_TIME_NONE;
    std::lock_guard lock(inbox_->mutex);
    inbox_->frames.clear();
    inbox_->drainPosted = false;
  });
  removeQuietly(file);

  // Frames queue up in the inbox in camera order; the data-output queue
  // takes them from there. A busy frame path drops live frames rather than
  // queueing them, but the frames of a hand-over, those arriving while the
  // writer is being built, and those behind them wait for the writer.
  std::weak_ptr<WebcamRecorder> weak = weak_from_this();
  auto onFrame = [weak, counters = counters_, inbox = inbox_, queue = dataOutputQueue_](
                     SamplePtr sample, GstClockTime baseTime, bool held) {
    counters->offered.fetch_add(1);
    if (held) counters->handedOver.fetch_add(1);
    std::lock_guard lock(inbox->mutex);
    const bool waits = held || counters->appended.load() == 0 || (!inbox->frames.empty() && inbox->frames.back().waits);
    if (inbox->frames.size() >= (waits ? kWaitingFramesCap : kLiveFramesQueued)) {
      counters->droppedBusy.fetch_add(1);
      return;
    }
    inbox->frames.push_back(Inbox::Frame{std::move(sample), baseTime, waits});
    if (inbox->drainPosted) return;
    inbox->drainPosted = true;
    queue->async([weak] {
      if (auto self = weak.lock()) self->drainInbox();
    });
  };
  try {
    captureSession_ = sources_->feed()->prepare(*sources_, std::move(onFrame), std::move(timers));
  } catch (...) {
    failStart(std::current_exception());
    return;
  }

  sessionRuntimeErrorObserver_ = captureSession_->observe(
      SessionNotifications::Kind::runtimeError, [weak, queue = sessionQueue_](std::exception_ptr error) {
        if (!error) error = recorderError(RecorderError::Case::notRecording);
        queue->async([weak, error] {
          if (auto self = weak.lock()) self->handleCameraFailure(error);
        });
      });
  captureSession_->startRunning();
}

void WebcamRecorder::completeStartOnFirstFrame() {
  auto request = takeOnce(startContinuation_);
  if (!request) return;
  // From here on a camera that fails or ends is the clip's failure.
  if (captureSession_) {
    sessionEndedObserver_ = captureSession_->observe(
        SessionNotifications::Kind::didStop, [weak = weak_from_this(), queue = sessionQueue_](std::exception_ptr) {
          queue->async([weak] {
            if (auto self = weak.lock()) self->handleCameraFailure(recorderError(RecorderError::Case::cameraStopped));
          });
        });
  }
  request->succeed({});
}

void WebcamRecorder::stopOnSessionQueue(StopRequest request) {
  if (!captureSession_ || stopContinuation_) {
    request.fail(recorderError(RecorderError::Case::notRecording));
    return;
  }
  stopContinuation_ = std::move(request);
  unregisterObserver(sessionRuntimeErrorObserver_);
  unregisterObserver(sessionEndedObserver_);
  std::weak_ptr<WebcamRecorder> weak = weak_from_this();
  sessionDidStopObserver_ = captureSession_->observe(
      SessionNotifications::Kind::didStop, [weak, queue = dataOutputQueue_](std::exception_ptr) {
        queue->async([weak] {
          if (auto self = weak.lock()) self->finalizeWriter();
        });
      });
  // Detaches from the feed (no frame comes after this) and reports did-stop,
  // also when the camera had already stopped on its own, so this stop is
  // always answered.
  captureSession_->stopRunning();
}

void WebcamRecorder::unregisterObserver(std::optional<ObserverRegistration>& field) {
  if (!field) return;
  field->remove();
  field.reset();
}

void WebcamRecorder::tearDownSession() {
  unregisterObserver(sessionRuntimeErrorObserver_);
  unregisterObserver(sessionDidStopObserver_);
  unregisterObserver(sessionEndedObserver_);
  if (captureSession_) captureSession_->stopRunning();
  captureSession_.reset();
  stoppedAttachment_.reset();
  dataOutputQueue_->sync([this] { resetWriterState(); });
}

void WebcamRecorder::failStart(std::exception_ptr error) {
  tearDownSession();
  if (auto request = takeOnce(startContinuation_)) request->fail(error);
  // The session is gone, so no did-stop will come for a stop that was
  // waiting: answer it here instead of leaving it pending for ever.
  if (auto request = takeOnce(stopContinuation_)) request->fail(recorderError(RecorderError::Case::notRecording));
}

void WebcamRecorder::failStartIfStillWaiting(std::uint64_t generation) {
  if (startContinuation_ && startContinuation_->generation() == generation)
    failStart(std::make_exception_ptr(FirstFrameTimeout()));
}

void WebcamRecorder::handleSessionFailure(std::exception_ptr error) {
  const bool midClip = !startContinuation_ && !stopContinuation_ && captureSession_;
  tearDownSession();
  if (midClip) reportFailure(error);
  if (auto request = takeOnce(stopContinuation_)) {
    request->fail(error);
    // A start overtaken by the stop ends the way completeStop ends it.
    if (auto start = takeOnce(startContinuation_)) start->fail(recorderError(RecorderError::Case::notRecording));
  } else if (auto start = takeOnce(startContinuation_)) {
    start->fail(error);
  }
}

void WebcamRecorder::handleCameraFailure(std::exception_ptr error) {
  // A start still waiting fails with it. A stop under way finishes the clip
  // anyway: the feed reports its did-stop also for a camera that is gone.
  if (startContinuation_ || !captureSession_) {
    handleSessionFailure(error);
    return;
  }
  if (stopContinuation_) return;
  // Mid-clip: the frames so far are still a clip, which the owner's stop
  // finishes once it has been told.
  unregisterObserver(sessionRuntimeErrorObserver_);
  unregisterObserver(sessionEndedObserver_);
  reportFailure(error);
}

void WebcamRecorder::reportFailure(const std::exception_ptr& error) {
  if (failureReported_ || !failureHandler_ || !failureExecutor_) return;
  failureReported_ = true;
  asio::post(failureExecutor_, [handler = failureHandler_, reason = describe(error)] { handler(reason); });
}

void WebcamRecorder::completeStop(StopResult result) {
  unregisterObserver(sessionRuntimeErrorObserver_);
  unregisterObserver(sessionDidStopObserver_);
  unregisterObserver(sessionEndedObserver_);
  stoppedAttachment_.reset();
  dataOutputQueue_->sync([this] {
    isFinalizingWriter_ = false;
    didResumeStartContinuation_ = false;
  });
  if (auto request = takeOnce(stopContinuation_)) {
    if (auto start = takeOnce(startContinuation_)) start->fail(recorderError(RecorderError::Case::notRecording));
    if (auto* file = std::get_if<std::filesystem::path>(&result))
      request->succeed(*file);
    else
      request->fail(std::get<std::exception_ptr>(result));
    return;
  }
  if (auto* error = std::get_if<std::exception_ptr>(&result))
    if (auto start = takeOnce(startContinuation_)) start->fail(*error);
}

// ---------------------------------------------------------------------------
// Posting helpers (any thread)

void WebcamRecorder::postToSession(void (WebcamRecorder::*step)()) {
  sessionQueue_->async([weak = weak_from_this(), step] {
    if (auto self = weak.lock()) ((*self).*step)();
  });
}

void WebcamRecorder::postFailStart(std::exception_ptr error) {
  sessionQueue_->async([weak = weak_from_this(), error] {
    if (auto self = weak.lock()) self->failStart(error);
  });
}

void WebcamRecorder::postSessionFailureFromWriter(std::shared_ptr<Mp4Writer> writer) {
  sessionQueue_->async([weak = weak_from_this(), writer = std::move(writer)] {
    auto self = weak.lock();
    if (!self) return;
    auto error = writer->failure();
    self->handleSessionFailure(error ? error : recorderError(RecorderError::Case::writerFailed));
  });
}

// ---------------------------------------------------------------------------
// Data-output queue

void WebcamRecorder::drainInbox() {
  for (;;) {
    Inbox::Frame* next = nullptr;
    {
      std::lock_guard lock(inbox_->mutex);
      if (inbox_->frames.empty()) {
        inbox_->drainPosted = false;
        return;
      }
      // Only this queue removes frames, and adding at the back leaves the
      // front element where it is.
      next = &inbox_->frames.front();
    }
    if (handleSampleBuffer(next->sample.get(), next->baseTime, next->waits) == Verdict::wait) {
      // Wait for the writer to take a frame off its input, then go on here
      // (drainPosted stays set, so arrivals meanwhile only queue up). The
      // second test closes the race with a frame leaving meanwhile.
      inbox_->awaitingInputSpace.store(true);
      if (!assetWriter_ || !assetWriter_->isReadyForMoreMediaData() || !inbox_->awaitingInputSpace.exchange(false))
        return;
      continue;
    }
    std::lock_guard lock(inbox_->mutex);
    inbox_->frames.pop_front();
  }
}

void WebcamRecorder::flushInbox() {
  // Frames still waiting when the clip ends belong to it (the feed sent
  // them before the detach): the writer takes them beyond its limit, which
  // the waiting cap bounds.
  std::deque<Inbox::Frame> frames;
  {
    std::lock_guard lock(inbox_->mutex);
    frames.swap(inbox_->frames);
    inbox_->drainPosted = false;
  }
  inbox_->awaitingInputSpace.store(false);
  for (auto& frame : frames) handleSampleBuffer(frame.sample.get(), frame.baseTime, false, true);
}

WebcamRecorder::Verdict WebcamRecorder::handleSampleBuffer(GstSample* sample, GstClockTime baseTime, bool mayWait,
                                                           bool beyondLimit) {
  if (isFinalizingWriter_) return Verdict::dropped;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!buffer || !GST_CLOCK_TIME_IS_VALID(bufferPresentationTime(buffer))) return Verdict::dropped;  // data not ready
  if (!ensureWriter(sample)) {
    postFailStart(recorderError(RecorderError::Case::writerSetupFailed));
    return Verdict::dropped;
  }
  if (!assetWriter_) return Verdict::dropped;
  if (assetWriter_->failure()) {
    postSessionFailureFromWriter(assetWriter_);
    return Verdict::dropped;
  }
  // One clip, one frame size: a frame of another size would corrupt the
  // file. The feed opens the next clip with the new size.
  GstCaps* caps = gst_sample_get_caps(sample);
  if (caps != assetWriter_->caps() && (!caps || !gst_caps_is_equal(caps, assetWriter_->caps()))) {
    counters_->droppedForSize.fetch_add(1);
    return Verdict::dropped;
  }
  const GstClockTime time = bufferPresentationTime(buffer);
  if (!writerSessionStarted_) {
    // The file's timeline starts at this frame, even if it is then dropped.
    sessionStartTime_ = time;
    writerSessionStarted_ = true;
  }
  if (time < sessionStartTime_) return Verdict::dropped;
  if (!beyondLimit && !assetWriter_->isReadyForMoreMediaData()) {
    if (mayWait) return Verdict::wait;
    counters_->droppedByWriter.fetch_add(1);
    return Verdict::dropped;
  }

  // A new buffer header over the same memory: no pixel is copied.
  GstBuffer* frame = gst_buffer_copy(buffer);
  setBufferTimestamps(frame, time - sessionStartTime_);
  const guint64 offset = GST_BUFFER_OFFSET(buffer);
  if (beyondLimit ? assetWriter_->appendBeyondLimit(frame) : assetWriter_->append(frame)) {
    counters_->appended.fetch_add(1);
    const auto captured = static_cast<std::int64_t>(baseTime + time);
    const auto appendedAt =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    const auto sequence = offset == GST_BUFFER_OFFSET_NONE ? std::int64_t(-1) : static_cast<std::int64_t>(offset);
    std::int64_t none = -1;
    counters_->firstCapture.compare_exchange_strong(none, captured);
    none = -1;
    counters_->firstOffset.compare_exchange_strong(none, sequence);
    none = -1;
    counters_->firstAppendedAt.compare_exchange_strong(none, appendedAt);
    counters_->lastCapture.store(captured);
    counters_->lastOffset.store(sequence);
    counters_->lastAppendedAt.store(appendedAt);
    return Verdict::taken;
  }
  postSessionFailureFromWriter(assetWriter_);
  return Verdict::dropped;
}

bool WebcamRecorder::ensureWriter(GstSample* sample) {
  if (assetWriter_) return true;
  if (!outputFileURL_) return false;
  GstCaps* caps = gst_sample_get_caps(sample);
  if (!caps || gst_caps_get_size(caps) == 0) return false;
  const GstStructure* structure = gst_caps_get_structure(caps, 0);
  int width = 0, height = 0;
  if (!gst_structure_get_int(structure, "width", &width) || !gst_structure_get_int(structure, "height", &height) ||
      width < 1 || height < 1)
    return false;

  // The first frame to reach the file completes the start; the callback
  // runs on a streaming thread, so it only posts.
  std::weak_ptr<WebcamRecorder> weak = weak_from_this();
  auto onSampleWritten = [weak, counters = counters_, queue = dataOutputQueue_](std::uint64_t index) {
    counters->written.fetch_add(1);
    if (index != 0) return;
    queue->async([weak] {
      if (auto self = weak.lock()) self->resumeStartOnFirstFrame();
    });
  };
  // Frames of a hand-over wait for room in the writer's input.
  auto onInputSpace = [weak, inbox = inbox_, queue = dataOutputQueue_] {
    if (!inbox->awaitingInputSpace.exchange(false)) return;
    queue->async([weak] {
      if (auto self = weak.lock()) self->drainInbox();
    });
  };
  auto writer = Mp4Writer::create(*outputFileURL_, caps, std::move(onSampleWritten), std::move(onInputSpace));
  if (!writer) return false;
  assetWriter_ = std::move(writer);
  return true;
}

void WebcamRecorder::resumeStartOnFirstFrame() {
  if (didResumeStartContinuation_) return;
  didResumeStartContinuation_ = true;
  postToSession(&WebcamRecorder::completeStartOnFirstFrame);
}

void WebcamRecorder::finalizeWriter() {
  sessionQueue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) unregisterObserver(self->sessionDidStopObserver_);
  });
  if (isFinalizingWriter_) return;
  flushInbox();
  isFinalizingWriter_ = true;
  const bool started = writerSessionStarted_;
  auto file = std::move(outputFileURL_);
  auto writer = std::move(assetWriter_);
  outputFileURL_.reset();
  assetWriter_.reset();
  writerSessionStarted_ = false;

  sessionQueue_->async([weak = weak_from_this()] {
    // The attachment stays until the stop is answered: the feed counts its
    // hand-over window and linger from there, so a slow finish does not eat
    // into the next clip's hand-over.
    if (auto self = weak.lock()) self->stoppedAttachment_ = std::move(self->captureSession_);
  });

  auto postCompleteStop = [this](StopResult result) {
    sessionQueue_->async([weak = weak_from_this(), result = std::move(result)]() mutable {
      if (auto self = weak.lock()) self->completeStop(std::move(result));
    });
  };
  if (!writer || !file) {
    postCompleteStop(recorderError(RecorderError::Case::notRecording));
    return;
  }
  if (!started) {
    writer->close();
    removeQuietly(*file);
    postCompleteStop(recorderError(RecorderError::Case::notRecording));
    return;
  }
  // Holds the recorder weakly, the writer and the file strongly; runs on a
  // GStreamer thread, so it only posts.
  auto completion = [weak = weak_from_this(), queue = sessionQueue_, writer,
                     file = *file](std::exception_ptr error) mutable {
    queue->async([weak, writer = std::move(writer), file = std::move(file), error]() mutable {
      writer->close();  // closes the file
      auto self = weak.lock();
      if (!self) return;
      if (!error && writer->framesWritten() == 0) error = recorderError(RecorderError::Case::notRecording);
      if (error) {
        removeQuietly(file);
        self->completeStop(error);
      } else {
        self->completeStop(file);
      }
    });
    writer.reset();
  };
  writer->finish(std::move(completion));
}

void WebcamRecorder::resetWriterState() {
  {
    // A drain still posted finds nothing; later frames post their own.
    std::lock_guard lock(inbox_->mutex);
    inbox_->frames.clear();
    inbox_->drainPosted = false;
  }
  inbox_->awaitingInputSpace.store(false);
  if (assetWriter_) {
    assetWriter_->close();
    assetWriter_.reset();
  }
  if (outputFileURL_) removeQuietly(*outputFileURL_);
  outputFileURL_.reset();
  writerSessionStarted_ = false;
  isFinalizingWriter_ = false;
  didResumeStartContinuation_ = false;
}

}  // namespace veltrano
