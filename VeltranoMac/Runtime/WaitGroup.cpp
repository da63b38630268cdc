#include "Runtime/WaitGroup.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/prefer.hpp>

#include <utility>

namespace veltrano {

struct WaitGroup::Ticket::State {
  struct Waiter {
    asio::any_io_executor executor;
    asio::any_completion_handler<void()> handler;
  };

  void release() {
    std::vector<Waiter> ready;
    {
      std::lock_guard lock(mutex);
      if (--count > 0) return;
      ready.swap(waiters);
    }
    for (auto& waiter : ready) asio::post(waiter.executor, std::move(waiter.handler));
  }

  mutable std::mutex mutex;
  std::size_t count = 0;
  std::vector<Waiter> waiters;
};

WaitGroup::Ticket& WaitGroup::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

void WaitGroup::Ticket::release() noexcept {
  if (auto state = std::exchange(state_, nullptr)) state->release();
}

WaitGroup::WaitGroup() : state_(std::make_shared<Ticket::State>()) {}

WaitGroup::Ticket WaitGroup::add() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
  return Ticket(state_);
}

std::size_t WaitGroup::outstanding() const {
  std::lock_guard lock(state_->mutex);
  return state_->count;
}

Awaitable<void> WaitGroup::wait() const {
  auto state = state_;
  auto initiate = [state](auto handler) {
    auto executor = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    std::unique_lock lock(state->mutex);
    if (state->count == 0) {
      lock.unlock();
      asio::post(executor, std::move(handler));
      return;
    }
    state->waiters.push_back({std::move(executor), std::move(handler)});
  };
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(std::move(initiate), asio::use_awaitable);
}

}  // namespace veltrano
