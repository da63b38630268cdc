// The camera program's serial work queue, on a named thread of its own; the
// capture queue is one.
#pragma once

#include "PhysicalCamera.hpp"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace veltranocam {

// A serial queue on one worker thread of its own. Linux thread names hold 15
// characters, so the thread carries the label's tail ("camera.capture" for
// the capture queue); `label()` keeps the whole label.
class CameraWorkQueue final : public CaptureQueue {
 public:
  explicit CameraWorkQueue(std::string label);
  // Runs what is queued, then joins the thread.
  ~CameraWorkQueue() override;
  CameraWorkQueue(const CameraWorkQueue&) = delete;
  CameraWorkQueue& operator=(const CameraWorkQueue&) = delete;

  void dispatch(std::function<void()> task) override;
  // Returns once every task dispatched before the call has run. Never call it
  // from the queue's own thread.
  void drain();
  const std::string& label() const { return label_; }

 private:
  void run();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace veltranocam
