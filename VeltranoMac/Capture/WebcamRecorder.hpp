// The shipping recorder: one clip from the shared camera feed into an H.264
// MP4 file.
#pragma once

#include "Capture/AnswerRecordingVideoRecorder.hpp"
#include "Capture/CameraFeed.hpp"
#include "Capture/CameraSourceFactory.hpp"
#include "Capture/CaptureSession.hpp"
#include "Capture/Mp4Writer.hpp"
#include "Capture/RecorderError.hpp"
#include "Capture/SerialQueue.hpp"
#include "Runtime/Sleep.hpp"

#include <boost/asio/any_completion_handler.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <variant>

namespace veltrano {

// A caller suspended in startRecording(to:) or stopRecording(): completed
// exactly once, on the caller's executor. One that is dropped unanswered
// (its recorder went away) completes with notRecording, so no caller is
// left waiting.
template <typename Result>
class PendingRequest {
 public:
  using Handler = asio::any_completion_handler<void(std::exception_ptr, Result)>;

  PendingRequest(asio::any_io_executor executor, Handler handler, std::uint64_t generation)
      : state_(std::make_unique<State>(State{std::move(executor), std::move(handler), generation})) {}
  PendingRequest(PendingRequest&&) noexcept = default;
  PendingRequest& operator=(PendingRequest&& other) noexcept {
    if (this != &other) {
      abandon();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~PendingRequest() { abandon(); }

  std::uint64_t generation() const noexcept { return state_ ? state_->generation : 0; }
  void succeed(Result value) { resolve(nullptr, std::move(value)); }
  void fail(std::exception_ptr error) { resolve(std::move(error), Result{}); }

 private:
  struct State {
    asio::any_io_executor executor;
    Handler handler;
    std::uint64_t generation;
  };

  void abandon() {
    if (state_) fail(std::make_exception_ptr(RecorderError(RecorderError::Case::notRecording)));
  }
  void resolve(std::exception_ptr error, Result value) {
    auto state = std::move(state_);
    if (!state) return;
    asio::post(state->executor, [handler = std::move(state->handler), error, value = std::move(value)]() mutable {
      std::move(handler)(error, std::move(value));
    });
  }

  std::unique_ptr<State> state_;
};

// Records one clip from a camera into an H.264 MP4 file.
//
// The camera is the factory's CameraFeed, shared with the recorders before
// and after this one: the recorder attaches at its start and detaches at its
// stop, and its writer gets exactly the frames in between, beginning with
// those the feed held since the previous clip ended.
//
// Two serial queues do the work: the session queue attaches to the feed
// and completes the requests; the data-output queue runs the frame path
// and the writer. The session queue may wait for the data-output queue,
// never the other way round. startRecording/stopRecording run on the
// caller's executor (the main actor), post their work and suspend.
class WebcamRecorder final : public AnswerRecordingVideoRecorder, public std::enable_shared_from_this<WebcamRecorder> {
 public:
  // How long a start waits for the camera's first frame.
  static constexpr std::chrono::seconds kFirstFrameTimeout{10};

  // Live frames waiting for the frame path; one more is dropped.
  static constexpr std::size_t kLiveFramesQueued = 4;
  // Frames that wait for the writer's input: the held frames of a hand-over
  // or the first frames of a clip, and the live frames behind them.
  static constexpr std::size_t kWaitingFramesCap = CameraFeed::kHeldFramesCap + 8;

  struct Statistics {
    std::uint64_t framesOffered = 0;          // frames the camera delivered to the output
    std::uint64_t framesHandedOver = 0;       // of those, held by the feed since the previous clip
    std::uint64_t framesAppended = 0;         // frames handed to the writer
    std::uint64_t framesDroppedByWriter = 0;  // the writer's input was full
    std::uint64_t framesDroppedBusy = 0;      // the frame path was behind
    std::uint64_t framesDroppedForSize = 0;   // not the size the clip began with
    std::uint64_t framesWritten = 0;          // frames that reached the file
    // Capture times (GStreamer's monotonic system clock, ns) of the first
    // and the last frame handed to the writer; -1 until there is one.
    std::int64_t firstFrameCaptureTime = -1;
    std::int64_t lastFrameCaptureTime = -1;
    // The camera's own sequence numbers (buffer offsets) of those frames;
    // -1 until there is one, or when the camera numbers none.
    std::int64_t firstFrameOffset = -1;
    std::int64_t lastFrameOffset = -1;
    // When they were handed to the writer (steady clock, ns).
    std::int64_t firstFrameAppendedAt = -1;
    std::int64_t lastFrameAppendedAt = -1;
  };

  // `sleep` times the first-frame wait.
  static std::shared_ptr<WebcamRecorder> create(std::shared_ptr<CameraSourceFactory> sources, SleepFunction sleep);

  ~WebcamRecorder() override;

  // The failure of a clip under way: the camera failing or ending (the
  // frames so far stay for the stop to finish) or the writer failing (the
  // file cannot be finished and goes).
  void setFailureHandler(FailureHandler handler) override;
  Awaitable<void> startRecording(std::filesystem::path file) override;
  Awaitable<std::filesystem::path> stopRecording() override;

  Statistics statistics() const;

 private:
  using StartRequest = PendingRequest<std::monostate>;
  using StopRequest = PendingRequest<std::filesystem::path>;
  using StopResult = std::variant<std::filesystem::path, std::exception_ptr>;

  WebcamRecorder(std::shared_ptr<CameraSourceFactory> sources, SleepFunction sleep);

  Awaitable<void> ensureCameraPermission();
  static Awaitable<void> firstFrameWatch(std::weak_ptr<WebcamRecorder> weak, SleepFunction sleep,
                                         std::uint64_t generation);

  // Session queue.
  void configureAndStartSession(StartRequest request, std::filesystem::path file, CameraFeed::Timers timers);
  void stopOnSessionQueue(StopRequest request);
  void failStart(std::exception_ptr error);
  void failStartIfStillWaiting(std::uint64_t generation);
  void handleSessionFailure(std::exception_ptr error);
  void handleCameraFailure(std::exception_ptr error);
  void reportFailure(const std::exception_ptr& error);
  void completeStop(StopResult result);
  void completeStartOnFirstFrame();
  void tearDownSession();
  static void unregisterObserver(std::optional<ObserverRegistration>& field);

  // Data-output queue.
  enum class Verdict { taken, dropped, wait };
  void drainInbox();
  void flushInbox();
  Verdict handleSampleBuffer(GstSample* sample, GstClockTime baseTime, bool mayWait, bool beyondLimit = false);
  bool ensureWriter(GstSample* sample);
  void resumeStartOnFirstFrame();
  void finalizeWriter();
  void resetWriterState();

  // Posting from any thread without taking a strong reference there (the
  // last reference must never drop on a GStreamer streaming thread).
  void postToSession(void (WebcamRecorder::*step)());
  void postFailStart(std::exception_ptr error);
  void postSessionFailureFromWriter(std::shared_ptr<Mp4Writer> writer);

  const std::shared_ptr<SerialQueue> sessionQueue_;
  const std::shared_ptr<SerialQueue> dataOutputQueue_;
  // Session queue: the link to the feed while attached.
  std::unique_ptr<CameraFeed::Attachment> captureSession_;
  // Detached, its clip still being finished.
  std::unique_ptr<CameraFeed::Attachment> stoppedAttachment_;
  // Data-output queue.
  std::optional<std::filesystem::path> outputFileURL_;
  // The writer's single video input is its appsrc, reached through it.
  std::shared_ptr<Mp4Writer> assetWriter_;
  bool writerSessionStarted_ = false;
  bool isFinalizingWriter_ = false;
  // Session queue.
  std::optional<StartRequest> startContinuation_;
  std::optional<StopRequest> stopContinuation_;
  std::optional<ObserverRegistration> sessionRuntimeErrorObserver_;
  std::optional<ObserverRegistration> sessionDidStopObserver_;
  // While the clip records: the camera ending on its own.
  std::optional<ObserverRegistration> sessionEndedObserver_;
  // Set before the start; the handler runs on the start's caller's executor.
  FailureHandler failureHandler_;
  asio::any_io_executor failureExecutor_;
  bool failureReported_ = false;
  // Data-output queue.
  bool didResumeStartContinuation_ = false;
  GstClockTime sessionStartTime_ = GST_CLOCK_TIME_NONE;

  const std::shared_ptr<CameraSourceFactory> sources_;
  const SleepFunction sleep_;
  std::atomic<std::uint64_t> startGeneration_{0};

  struct Counters {
    std::atomic<std::uint64_t> offered{0};
    std::atomic<std::uint64_t> handedOver{0};
    std::atomic<std::uint64_t> appended{0};
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> droppedByWriter{0};
    std::atomic<std::uint64_t> droppedBusy{0};
    std::atomic<std::uint64_t> droppedForSize{0};
    std::atomic<std::int64_t> firstCapture{-1};
    std::atomic<std::int64_t> lastCapture{-1};
    std::atomic<std::int64_t> firstOffset{-1};
    std::atomic<std::int64_t> lastOffset{-1};
    std::atomic<std::int64_t> firstAppendedAt{-1};
    std::atomic<std::int64_t> lastAppendedAt{-1};
  };
  const std::shared_ptr<Counters> counters_;

  // Frames from the feed on their way to the data-output queue, in the
  // order the camera delivered them.
  struct Inbox {
    struct Frame {
      SamplePtr sample;
      GstClockTime baseTime;
      bool waits;  // held for the hand-over, or behind such a frame
    };
    std::mutex mutex;
    std::deque<Frame> frames;
    bool drainPosted = false;
    std::atomic<bool> awaitingInputSpace{false};
  };
  const std::shared_ptr<Inbox> inbox_;
};

}  // namespace veltrano
