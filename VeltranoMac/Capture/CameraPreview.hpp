// The live preview: frames of the recorder's own camera feed, scaled and
// JPEG-encoded for the page, one at a time as the page asks for them.
#pragma once

#include "Capture/CameraFeed.hpp"
#include "Capture/GStreamer.hpp"
#include "Capture/SerialQueue.hpp"
#include "Runtime/Task.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltrano {

class CameraSourceFactory;

// One preview per camera source factory. It watches the factory's camera
// feed (CameraFeed::Role::watcher), so the camera is opened once for the
// preview and the recorder together and a preview frame never reaches a
// clip. Frames are encoded only while the page waits for one: a page that
// draws slowly costs no more than the frames it draws.
//
// Thread-safe; the callbacks run on the preview's own queue and must only
// post their work.
class CameraPreview final : public std::enable_shared_from_this<CameraPreview> {
 public:
  static constexpr int kDefaultMaxWidth = 640;
  static constexpr int kMinWidth = 16;
  static constexpr int kMaxWidth = 3840;
  static constexpr std::chrono::seconds kFirstFrameTimeout{10};
  // Frames closer together than this go unshown: from a 30 fps camera the
  // page gets every other frame, which keeps the preview's cost beside the
  // recording's small (each shown frame is scaled, encoded, sent and
  // composited).
  static constexpr std::chrono::milliseconds kMinFrameInterval{35};

  struct Frame {
    std::uint64_t number = 0;  // increasing over the life of the preview, also across restarts
    double capturedAtMs = 0;   // capture time, milliseconds since the Unix epoch
    int width = 0, height = 0;
    std::shared_ptr<const std::string> jpeg;
  };
  struct Size {
    int width = 0, height = 0;
  };

  struct Statistics {
    std::uint64_t starts = 0;         // the camera was attached for the preview
    std::uint64_t stops = 0;          // ... and let go
    std::uint64_t framesSeen = 0;     // frames of the feed while the preview watched
    std::uint64_t framesPaced = 0;    // of those, skipped as too close to the last one shown
    std::uint64_t framesEncoded = 0;  // frames that went to the page
  };

  // A start's outcome: the frame size, or why the camera cannot be shown.
  using StartDone = std::function<void(std::exception_ptr error, Size size)>;
  // The next frame, or absent when the preview is not running.
  using FrameReady = std::function<void(std::optional<Frame>)>;

  // `timers` time the first-frame wait and the feed's linger.
  static std::shared_ptr<CameraPreview> create(std::shared_ptr<CameraSourceFactory> sources, CameraFeed::Timers timers);
  ~CameraPreview();
  CameraPreview(const CameraPreview&) = delete;
  CameraPreview& operator=(const CameraPreview&) = delete;

  // Attaches to the camera (opening it if needed) and completes once the
  // first frame is encoded, or with the camera's error (RecorderError,
  // GStreamerError, FirstFrameTimeout). A running preview takes the new
  // width and completes with its next frame. `maxWidth` is clamped to
  // [kMinWidth, kMaxWidth]; frames are never scaled up.
  void start(int maxWidth, StartDone done);
  // Lets go of the camera; waiting pages get "not running". Idempotent.
  void stop();
  // Lets go and closes the camera at once when nobody else uses it, so the
  // next start opens the camera chosen now.
  void restartCamera();
  // The first frame numbered above `after`: now when it is already encoded,
  // otherwise once the camera delivers it.
  void nextFrame(std::uint64_t after, FrameReady ready);

  bool isRunning() const { return running_.load(); }
  Statistics statistics() const;

 private:
  struct Slot;
  class Encoder;

  CameraPreview(std::shared_ptr<CameraSourceFactory> sources, CameraFeed::Timers timers);

  void startOnQueue(int maxWidth, StartDone done);
  void stopOnQueue(std::exception_ptr error);
  void encodeLatest();
  void answerWaiting();
  void updateWanted();
  static Awaitable<void> firstFrameWatch(std::weak_ptr<CameraPreview> weak, SleepFunction sleep,
                                         std::uint64_t generation);

  const std::shared_ptr<CameraSourceFactory> sources_;
  const CameraFeed::Timers timers_;
  const std::shared_ptr<SerialQueue> queue_;
  // Shared with the frame handler on the streaming thread.
  const std::shared_ptr<Slot> slot_;
  std::atomic<bool> running_{false};

  // Queue only.
  std::unique_ptr<CameraFeed::Attachment> attachment_;
  std::vector<ObserverRegistration> observers_;
  std::unique_ptr<Encoder> encoder_;
  int maxWidth_ = kDefaultMaxWidth;
  std::uint64_t generation_ = 0;  // moves on with every start and stop
  std::uint64_t lastNumber_ = 0;
  std::optional<Frame> latest_;  // of the running preview
  std::vector<StartDone> starting_;
  std::vector<std::pair<std::uint64_t, FrameReady>> waiting_;
  Task firstFrameTask_;
  std::atomic<std::uint64_t> starts_{0}, stops_{0}, encoded_{0};
};

}  // namespace veltrano
