#include "CameraWorkQueue.hpp"

#include <pthread.h>

#include <future>

namespace veltranocam {

CameraWorkQueue::CameraWorkQueue(std::string label) : label_(std::move(label)) {
  thread_ = std::thread([this] { run(); });
  // The kernel keeps 15 characters; the label's last whole words say most.
  std::string name = label_;
  if (name.size() > 15) {
    name = name.substr(name.size() - 15);
    if (const auto dot = name.find('.'); dot != std::string::npos) name = name.substr(dot + 1);
  }
  pthread_setname_np(thread_.native_handle(), name.c_str());
}

CameraWorkQueue::~CameraWorkQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void CameraWorkQueue::dispatch(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void CameraWorkQueue::drain() {
  std::promise<void> done;
  auto finished = done.get_future();
  dispatch([&done] { done.set_value(); });
  finished.wait();
}

void CameraWorkQueue::run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace veltranocam
