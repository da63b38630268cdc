#include "Runtime/Task.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/prefer.hpp>

namespace veltrano {

void Task::State::finish(std::exception_ptr result) {
  std::vector<Joiner> waiting;
  {
    std::lock_guard lock(mutex);
    finished = true;
    error = result;
    waiting.swap(joiners);
  }
  // Runs on `executor`, like every emit, so no cancellation can reach the
  // finished coroutine through a stale slot handler.
  signal.slot().clear();
  for (auto& joiner : waiting) {
    asio::post(
        joiner.executor, [handler = std::move(joiner.handler), result]() mutable { std::move(handler)(result); });
  }
}

void Task::cancel() const {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->finished || state_->cancelRequested) return;
    state_->cancelRequested = true;
  }
  asio::dispatch(state_->executor, [state = state_] {
    std::unique_lock lock(state->mutex);
    if (state->finished) return;
    lock.unlock();
    state->signal.emit(asio::cancellation_type::terminal);
  });
}

Awaitable<void> Task::join() const {
  if (!state_) co_return;
  auto state = state_;
  auto initiate = [state](auto handler) {
    auto executor = asio::prefer(
        asio::get_associated_executor(handler, state->executor), asio::execution::outstanding_work.tracked);
    std::unique_lock lock(state->mutex);
    if (state->finished) {
      auto error = state->error;
      lock.unlock();
      asio::post(executor, [handler = std::move(handler), error]() mutable { std::move(handler)(error); });
      return;
    }
    state->joiners.push_back(Joiner{std::move(executor), std::move(handler)});
  };
  // use_awaitable rethrows a non-null exception_ptr completion.
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr)>(
      std::move(initiate), asio::use_awaitable);
}

bool Task::isCancelled() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->cancelRequested;
}

bool Task::isFinished() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

}  // namespace veltrano
