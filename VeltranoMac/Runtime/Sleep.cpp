#include "Runtime/Sleep.hpp"

#include <boost/asio/steady_timer.hpp>

namespace veltrano {

namespace {

// A free coroutine rather than a capturing coroutine lambda: the lambda
// object would die with the std::function while the sleep is suspended.
Awaitable<void> timerSleep(asio::io_context& io, Duration duration) {
  asio::steady_timer timer(io, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace

SleepFunction makeTimerSleep(asio::io_context& io) {
  return [&io](Duration duration) { return timerSleep(io, duration); };
}

}  // namespace veltrano
