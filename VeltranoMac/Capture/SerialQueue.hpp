// A serial work queue on a thread of its own, for the recorder's and the
// camera feed's work.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace veltrano {

// A serial work queue on a thread of its own: blocks run one at a time in
// the order posted. sync() waits for its block; a queue may wait for another
// queue but never for itself. Work still queued when the queue is destroyed
// runs before the thread ends, so blocks holding one-shot completions get to
// complete them.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  template <typename F>
  void async(F&& work) {
    using Fn = std::decay_t<F>;
    struct Holder final : Work {
      explicit Holder(F&& fn) : fn(std::forward<F>(fn)) {}
      void run() override { fn(); }
      Fn fn;
    };
    enqueue(std::make_unique<Holder>(std::forward<F>(work)));
  }

  // Runs `work` on the queue and returns when it has run.
  template <typename F>
  void sync(F&& work) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    async([&] {
      work();
      std::lock_guard lock(mutex);
      finished = true;
      done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
  }

  bool isCurrent() const noexcept;
  const std::string& label() const noexcept { return label_; }

 private:
  struct Work {
    virtual ~Work() = default;
    virtual void run() = 0;
  };
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::unique_ptr<Work>> work;
    bool stopping = false;
  };

  void enqueue(std::unique_ptr<Work> work);
  static void loop(std::shared_ptr<State> state);

  std::string label_;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace veltrano
