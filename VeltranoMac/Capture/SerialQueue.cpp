#include "Capture/SerialQueue.hpp"

#include <pthread.h>

#include <cstdio>
#include <exception>

namespace veltrano {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
  thread_ = std::thread(&SerialQueue::loop, state_);
  // Thread names are limited to 15 bytes; the tail of the label is the part
  // that tells the queues apart.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_one();
  // The owner may be released by a block running on this very queue; the
  // thread then finishes the queue on its own.
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();
  else
    thread_.join();
}

bool SerialQueue::isCurrent() const noexcept {
  return thread_.get_id() == std::this_thread::get_id();
}

void SerialQueue::enqueue(std::unique_ptr<Work> work) {
  // The block may release this queue before we are done here; keep our own
  // reference to the shared state instead of reading the member again.
  auto state = state_;
  {
    std::lock_guard lock(state->mutex);
    state->work.push_back(std::move(work));
  }
  state->wake.notify_one();
}

void SerialQueue::loop(std::shared_ptr<State> state) {
  for (;;) {
    std::unique_ptr<Work> next;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stopping || !state->work.empty(); });
      if (state->work.empty()) return;  // stopping, and nothing left to run
      next = std::move(state->work.front());
      state->work.pop_front();
    }
    try {
      next->run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "error [Capture] a queued block threw: %s\n", e.what());
      std::terminate();
    }
    next.reset();
  }
}

}  // namespace veltrano
