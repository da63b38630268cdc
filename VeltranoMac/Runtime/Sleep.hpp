// The sleep every wait of the app goes through, and its real-time version.
#pragma once

#include "Runtime/Asio.hpp"

#include <chrono>
#include <functional>

namespace veltrano {

using Duration = std::chrono::steady_clock::duration;

// Every wait of the app goes through one of these, so tests can run hours
// of backoff and clip rotation in virtual time. A sleep fails with
// system_error(operation_aborted) when its task is cancelled; it resumes on
// the caller's executor.
using SleepFunction = std::function<Awaitable<void>(Duration)>;

// Real time, on a steady_timer of `io` (any io_context that keeps running).
SleepFunction makeTimerSleep(asio::io_context& io);

}  // namespace veltrano
