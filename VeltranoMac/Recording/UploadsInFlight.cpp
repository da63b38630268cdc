#include "Recording/UploadsInFlight.hpp"

#include <optional>

namespace veltrano {

WaitGroup::Ticket UploadsInFlight::begin(const std::filesystem::path& clip) {
  std::lock_guard lock(mutex_);
  // Clips whose uploads have all ended are forgotten, so the map stays as
  // small as the uploads running (a waiter keeps its group alive itself).
  std::erase_if(uploads_, [](const auto& entry) { return entry.second.outstanding() == 0; });
  return uploads_[clip].add();
}

Awaitable<bool> UploadsInFlight::awaitIdle(const std::filesystem::path& clip) {
  std::optional<WaitGroup> running;
  {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(clip);
    if (it != uploads_.end() && it->second.outstanding() > 0) running = it->second;
  }
  if (!running) co_return false;
  co_await running->wait();
  co_return true;
}

}  // namespace veltrano
