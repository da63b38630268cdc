#pragma once

#include "Runtime/Sleep.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace veltrano::testing {

// Virtual time for SleepFunction users. Sleeps wait until advance() moves
// the clock past their deadline; they fire in deadline order (ties in the
// order they began), and `drain` (normally ManualExecutor::runUntilIdle)
// runs after each one so the woken coroutine acts before the next fires.
// Single-threaded: drive it from the thread that drains.
class VirtualClock {
 public:
  explicit VirtualClock(std::function<void()> drain);
  ~VirtualClock();

  SleepFunction sleepFunction();

  Duration now() const noexcept { return now_; }
  std::size_t pendingSleeps() const noexcept;
  // Deadlines of the pending sleeps, earliest first.
  std::vector<Duration> pendingDeadlines() const;

  void advance(Duration by);
  // Advances to the earliest pending deadline, if any; returns whether one fired.
  bool advanceToNext();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  Duration now_{};
  std::function<void()> drain_;
};

}  // namespace veltrano::testing
