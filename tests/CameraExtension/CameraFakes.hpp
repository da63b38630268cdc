// Fakes of what the camera program's core talks to (logger, capture queue,
// publishing backend, camera system), for the core tests.
#pragma once

#include "CameraDevice.hpp"
#include "Log.hpp"
#include "PhysicalCamera.hpp"
#include "Publishing.hpp"

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltranocam::testing {

class CapturingLogger final : public Logger {
 public:
  void error(const std::string& message) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(message);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& line) const {
    auto all = lines();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Runs tasks only when the test says so, so each interleaving is chosen.
class ManualQueue final : public CaptureQueue {
 public:
  void dispatch(std::function<void()> task) override { tasks_.push_back(std::move(task)); }
  std::size_t pending() const { return tasks_.size(); }
  void runAll() {
    while (!tasks_.empty()) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      task();
    }
  }

 private:
  std::deque<std::function<void()>> tasks_;
};

struct SentFrame {
  const std::uint8_t* data;
  std::uint64_t hostTime;
};

class FakeStream final : public PublishedStream {
 public:
  explicit FakeStream(StreamDescription description, std::weak_ptr<StreamEvents> events)
      : description(std::move(description)), events(std::move(events)) {}
  // Like the real stream, keeps the newest frame until a client takes it.
  void send(const VideoFrame& frame, std::uint64_t hostTime) override {
    sent.push_back({frame.data, hostTime});
    held = frame.storage;
  }
  void releaseFrames() override { held.reset(); }

  StreamDescription description;
  std::weak_ptr<StreamEvents> events;
  std::vector<SentFrame> sent;
  std::shared_ptr<const void> held;
};

class FakeBackend final : public PublishingBackend {
 public:
  std::shared_ptr<PublishedStream> makeStream(const StreamDescription& description,
                                              std::weak_ptr<StreamEvents> events) override {
    stream = std::make_shared<FakeStream>(description, std::move(events));
    return stream;
  }
  void addStream(const DeviceDescription& device, const std::shared_ptr<PublishedStream>&) override {
    if (addStreamFailure) throw std::runtime_error(*addStreamFailure);
    published = device;
  }

  std::shared_ptr<FakeStream> stream;
  std::optional<DeviceDescription> published;
  std::optional<std::string> addStreamFailure;
};

class FakeSession;

struct SessionLog {
  int made = 0;
  int started = 0;
  int stopped = 0;
  FakeSession* current = nullptr;
  std::vector<std::string> events;  // "session stopped", and what tests add
};

class FakeSession final : public PhysicalCameraSession {
 public:
  FakeSession(SessionLog& log, CaptureCallbacks callbacks) : log_(log), callbacks(std::move(callbacks)) {
    log_.current = this;
  }
  ~FakeSession() override {
    if (log_.current == this) log_.current = nullptr;
  }
  bool isRunning() const override { return running; }
  void startRunning() override {
    running = true;
    ++log_.started;
  }
  void stopRunning() override {
    running = false;
    ++log_.stopped;
    log_.events.emplace_back("session stopped");
  }

  bool running = false;

 private:
  SessionLog& log_;

 public:
  CaptureCallbacks callbacks;
};

class FakeCameraSystem final : public CameraSystem {
 public:
  CameraAuthorizationStatus authorizationStatus() override { return status; }
  void requestAccess(std::function<void(bool)> answer) override { pendingAnswer = std::move(answer); }
  std::optional<CameraInfo> defaultCamera() override { return camera; }
  std::unique_ptr<PhysicalCameraSession> makeSession(const CameraInfo&, const VideoFormatDescription& format,
                                                     CaptureQueue&, CaptureCallbacks callbacks) override {
    sessionFormat = format;
    if (setupFailure) throw *setupFailure;
    ++sessions.made;
    return std::make_unique<FakeSession>(sessions, std::move(callbacks));
  }

  CameraAuthorizationStatus status = CameraAuthorizationStatus::authorized;
  std::optional<CameraInfo> camera =
      CameraInfo{"Test camera", 640, 480, MediaTime::make(1, 30), MediaTime::make(1, 15), {}};
  std::optional<CaptureSetupError> setupFailure;
  std::function<void(bool)> pendingAnswer;
  std::optional<VideoFormatDescription> sessionFormat;
  SessionLog sessions;
};

}  // namespace veltranocam::testing
