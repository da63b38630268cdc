// Which clips have an upload running right now, so that a retry drain never
// starts a second upload of a clip whose first one has not ended.
#pragma once

#include "Runtime/Asio.hpp"
#include "Runtime/WaitGroup.hpp"

#include <filesystem>
#include <map>
#include <mutex>

namespace veltrano {

// Two uploads of one clip race for one file: the first to store it deletes
// the file, and the other then fails as if the clip were lost. Every upload
// holds a ticket for its clip while it runs; a second one waits for the
// first to end and then looks again. Safe from any thread.
class UploadsInFlight {
 public:
  // The ticket stands for one upload of `clip` until it is released.
  WaitGroup::Ticket begin(const std::filesystem::path& clip);

  // Resumes once no upload of `clip` is running; true when it had to wait
  // (whatever the store and the file hold may have changed meanwhile).
  Awaitable<bool> awaitIdle(const std::filesystem::path& clip);

 private:
  std::mutex mutex_;
  std::map<std::filesystem::path, WaitGroup> uploads_;
};

}  // namespace veltrano
