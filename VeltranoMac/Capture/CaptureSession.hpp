// The capture pipeline of one camera (source ! appsink) and who hears what
// it reports.
#pragma once

#include "Capture/GStreamer.hpp"

#include <gst/app/gstappsink.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace veltrano {

// Who hears what a capture session reports: a runtime error (an ERROR on
// the pipeline's bus) or that it stopped running. Handlers run on whichever
// thread reports, and only post work onward. After remove() returns, the
// handler is never called again.
class SessionNotifications {
 public:
  enum class Kind { runtimeError, didStop };
  using Handler = std::function<void(std::exception_ptr)>;

  std::uint64_t add(Kind kind, Handler handler);
  void remove(std::uint64_t token);
  void post(Kind kind, std::exception_ptr error);

 private:
  std::mutex mutex_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::pair<Kind, Handler>> handlers_;
};

// A registration with a session's notifications; removing it is safe even
// when the session is already gone.
struct ObserverRegistration {
  std::weak_ptr<SessionNotifications> center;
  std::uint64_t token = 0;

  void remove() const {
    if (auto strong = center.lock()) strong->remove(token);
  }
};

// The capture half's pipeline: camera source ! appsink (NV12, newest frame
// only, late frames dropped). Not thread-safe: the recorder's session queue
// owns it.
class CaptureSession {
 public:
  // Called on a streaming thread for every frame the sink receives; the
  // frame itself waits in the sink until pulled.
  using FrameHandler = std::function<void(GstAppSink*)>;

  CaptureSession();
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  bool addInput(ElementPtr source);
  // The video data output: an appsink asking for the "420v" layout (NV12).
  bool addOutput(FrameHandler onFrame);
  GstAppSink* output() const noexcept { return output_; }

  ObserverRegistration observe(SessionNotifications::Kind kind, SessionNotifications::Handler handler);

  // Starts the pipeline; a failure to start is reported as a runtime error.
  void startRunning();
  // Blocks until the pipeline is down, then reports did-stop. Always
  // reports, also when the pipeline had already stopped on its own, so a
  // stop waiting for it is never stranded.
  void stopRunning();
  bool isRunning() const noexcept { return running_.load(); }

 private:
  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer data);

  ElementPtr pipeline_;
  GstElement* source_ = nullptr;  // owned by the pipeline
  GstAppSink* output_ = nullptr;  // owned by the pipeline
  std::shared_ptr<SessionNotifications> notifications_;
  std::atomic<bool> running_{false};
};

}  // namespace veltrano
