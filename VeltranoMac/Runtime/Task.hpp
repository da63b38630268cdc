// Task: the handle of a spawned coroutine, to cancel and join it.
#pragma once

#include "Runtime/Asio.hpp"

#include <boost/asio/any_completion_handler.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace veltrano {

// Handle to a coroutine started with Task::spawn. The coroutine runs to its
// end whether or not a handle is kept; the handle only cancels and joins.
//
// Spawn on a serial executor (a strand or the main executor): cancellation
// and completion are delivered there, which is what keeps them ordered.
class Task {
 public:
  Task() = default;

  // `work` is an awaitable<void> or a callable returning one. Never pass a
  // capturing coroutine lambda written inside a co_await expression (g++ 12
  // destroys it twice); name it first.
  template <typename Executor, typename Work>
  static Task spawn(const Executor& executor, Work&& work) {
    auto state = std::make_shared<State>(asio::any_io_executor(executor));
    auto onDone = [state](std::exception_ptr error) { state->finish(std::move(error)); };
    asio::co_spawn(
        executor, std::forward<Work>(work),
        asio::bind_cancellation_slot(state->signal.slot(), asio::bind_executor(executor, std::move(onDone))));
    return Task(std::move(state));
  }

  // Requests terminal cancellation: the awaited operation (a sleep, a timer)
  // fails with operation_aborted, and so does every later await of the task
  // until it resets its cancellation state. Safe from any thread; a no-op
  // on an empty handle or a finished task.
  void cancel() const;

  // Waits for the task's end and rethrows what it threw. Any number of
  // joiners, before or after the end; each resumes on its own executor.
  Awaitable<void> join() const;

  bool isCancelled() const;
  bool isFinished() const;
  explicit operator bool() const noexcept { return state_ != nullptr; }
  // Whether both handles refer to the same task (or both are empty).
  bool sameTaskAs(const Task& other) const noexcept { return state_ == other.state_; }

 private:
  struct Joiner {
    asio::any_io_executor executor;
    asio::any_completion_handler<void(std::exception_ptr)> handler;
  };

  struct State {
    explicit State(asio::any_io_executor ex) : executor(std::move(ex)) {}
    void finish(std::exception_ptr error);

    asio::any_io_executor executor;
    asio::cancellation_signal signal;  // touched only on `executor`
    mutable std::mutex mutex;
    bool finished = false;
    bool cancelRequested = false;
    std::exception_ptr error;
    std::vector<Joiner> joiners;
  };

  explicit Task(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
};

}  // namespace veltrano
