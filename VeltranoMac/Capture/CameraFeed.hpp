// The camera shared by consecutive clips: one capture pipeline per source
// factory, handed from recorder to recorder without losing a frame.
#pragma once

#include "Capture/CaptureSession.hpp"
#include "Capture/GStreamer.hpp"
#include "Capture/SerialQueue.hpp"
#include "Runtime/Asio.hpp"
#include "Runtime/Sleep.hpp"
#include "Runtime/Task.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace veltrano {

class CameraSourceFactory;

// One camera, opened once and shared by the recorders of one source
// factory, so that consecutive clips cut one continuous recording: no
// reopening between clips, no frame lost or doubled at a cut.
//
// A recorder prepares an attachment (which opens the camera if it is
// closed), starts it to receive frames, stops it at the end of its clip and
// releases it once the clip is finished. Every frame goes to exactly one
// place among the recorders: the attachments started at that moment, or,
// from the last stop until kHandOverWindow after the last recorder's
// release, a small hold that the next recorder receives before any live
// frame. Frames arriving later than that are not kept, so a recorder
// starting later begins with a fresh frame.
//
// A watching attachment (the preview) sees every frame besides, and takes
// none from the recorders: it neither fills nor empties the hold, so what it
// saw never reaches a clip. It keeps the camera open like a recorder does.
// kLinger after the last release of any attachment the camera closes; a
// camera failure or end of stream with nobody attached closes it at once.
class CameraFeed final : public std::enable_shared_from_this<CameraFeed> {
 public:
  static constexpr std::chrono::milliseconds kHandOverWindow{250};
  static constexpr std::chrono::milliseconds kLinger{1000};
  // Half a second at 30 fps: a hand-over takes well under the window, so
  // only a much faster camera reaches it; beyond it the oldest goes.
  static constexpr std::size_t kHeldFramesCap = 15;

  // Receives a frame: on a streaming thread for live frames, on the thread
  // that starts the attachment for held ones (`held` true). Runs under the
  // feed's routing lock, so it must only queue the frame and post work.
  // `baseTime` is the camera pipeline's base time (capture time = base
  // time + presentation time).
  using FrameHandler = std::function<void(SamplePtr sample, GstClockTime baseTime, bool held)>;

  enum class Role { recorder, watcher };

  struct Statistics {
    std::uint64_t opens = 0;            // the camera pipeline was built and started
    std::uint64_t closes = 0;           // ... and torn down
    std::uint64_t framesDelivered = 0;  // every frame the camera delivered
    std::uint64_t framesRouted = 0;     // live frames handed to attachments
    std::uint64_t framesHeld = 0;       // frames kept for a hand-over
    std::uint64_t framesHandedOver = 0;
    std::uint64_t heldFramesDropped = 0;  // pushed out by the cap, a size change or a closing window
    std::uint64_t framesUnclaimed = 0;    // no recorder attached and no hand-over due
    std::uint64_t framesWatched = 0;      // frames handed to watchers
  };

  // Where the linger and the hand-over window are timed: a serial executor
  // and the sleep that runs there.
  struct Timers {
    asio::any_io_executor executor;
    SleepFunction sleep;
  };

  class Attachment;

  // Use CameraSourceFactory::feed().
  static std::shared_ptr<CameraFeed> create();
  ~CameraFeed();
  CameraFeed(const CameraFeed&) = delete;
  CameraFeed& operator=(const CameraFeed&) = delete;

  // Opens the camera through `sources` if it is closed and returns an
  // attachment that receives nothing until it is started. Throws
  // RecorderError (noVideoDevice, cannotAddInput, cannotAddOutput) or the
  // factory's own error. The caller keeps `sources` alive for the call.
  std::unique_ptr<Attachment> prepare(CameraSourceFactory& sources, FrameHandler onFrame, Timers timers,
                                      Role role = Role::recorder);

  // Closes the camera now if nobody is attached (a watcher that wants the
  // camera chosen anew need not wait out the linger). Blocks while the
  // pipeline stops: not on a streaming thread.
  void closeIfUnattached();

  // The open camera was unplugged: its pipeline may simply stall, so it is
  // ended as a camera that stopped sending video (attachments hear of it as
  // a runtime error; with none attached it closes). Nothing when closed.
  void cameraLost();

  // The camera pipeline exists (until it has let go of the device).
  bool isOpen() const;
  std::size_t attachmentCount() const;
  Statistics statistics() const;

 private:
  friend class Attachment;
  struct AttachmentState;

  CameraFeed();

  void start(const std::shared_ptr<AttachmentState>& attachment);
  void stop(const std::shared_ptr<AttachmentState>& attachment);
  void release(const std::shared_ptr<AttachmentState>& attachment);
  void stopReceivingLocked(const std::shared_ptr<AttachmentState>& attachment);

  void onSample(GstAppSink* sink, std::uint64_t session);
  void onSessionEnded(std::uint64_t session, std::exception_ptr error, SessionNotifications::Kind kind);
  void armHandOverWindowLocked();
  void armLingerLocked();
  void closeHandOverWindow(std::uint64_t windowGeneration);
  void close(std::uint64_t generation);
  bool anyRecorderAttachedLocked() const;
  static Awaitable<void> afterLastRecorder(std::weak_ptr<CameraFeed> weak, SleepFunction sleep,
                                           std::uint64_t windowGeneration);
  static Awaitable<void> afterLastDetach(std::weak_ptr<CameraFeed> weak, SleepFunction sleep, std::uint64_t generation);

  const std::shared_ptr<SerialQueue> queue_;

  // Opening and closing the pipeline; never taken on a streaming thread.
  std::mutex lifecycleMutex_;
  std::unique_ptr<CaptureSession> session_;
  std::vector<ObserverRegistration> sessionObservers_;
  bool sessionStarted_ = false;
  std::atomic<bool> open_{false};

  // Routing: taken by the streaming thread for every frame, never held
  // while the pipeline changes state.
  mutable std::mutex routeMutex_;
  std::uint64_t sessionId_ = 0;                                // the open pipeline's number, 0 when closed
  std::vector<std::shared_ptr<AttachmentState>> attachments_;  // prepared and not yet released
  std::vector<std::shared_ptr<AttachmentState>> receiving_;    // recorders started and not yet stopped
  std::vector<std::shared_ptr<AttachmentState>> watching_;     // watchers started and not yet stopped
  std::deque<std::pair<SamplePtr, GstClockTime>> held_;
  bool holding_ = false;
  bool ended_ = false;  // the open pipeline failed or ended on its own
  std::exception_ptr endError_;
  std::uint64_t generation_ = 0;        // moves on with every attachment and every close
  std::uint64_t windowGeneration_ = 0;  // moves on with every recorder attachment and every close
  Task lingerTask_;
  Task windowTask_;
  Timers timers_;
  Statistics statistics_;
};

// A recorder's link to the feed, shaped like the capture session it stands
// in for: observe, start running, stop running. Destroying it stops it.
class CameraFeed::Attachment {
 public:
  ~Attachment();
  Attachment(const Attachment&) = delete;
  Attachment& operator=(const Attachment&) = delete;

  ObserverRegistration observe(SessionNotifications::Kind kind, SessionNotifications::Handler handler);
  // Frames start to flow: the held frames of a hand-over first, then live
  // ones. Starts the camera if it is not running yet; a camera that cannot
  // start, or has already failed, is reported as a runtime error.
  void startRunning();
  // From here on no frame reaches this attachment; then did-stop is
  // reported. Always reports, also when the camera had stopped on its own.
  void stopRunning();

 private:
  friend class CameraFeed;
  Attachment(std::shared_ptr<CameraFeed> feed, std::shared_ptr<AttachmentState> state);

  std::shared_ptr<CameraFeed> feed_;
  std::shared_ptr<AttachmentState> state_;
};

}  // namespace veltrano
