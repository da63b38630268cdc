#pragma once

#include "PendingUploads/PendingUploadRecord.hpp"
#include "Runtime/Asio.hpp"
#include "support/ManualExecutor.hpp"

#include <boost/asio/use_future.hpp>

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace veltrano::testing {

// A fresh folder on the system's temporary disk, removed afterwards.
struct TemporaryFolder {
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pending-uploads-test-XXXXXX").native();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~TemporaryFolder() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Runs `operation` on the manual executor until nothing is left to do.
template <typename T>
T runToEnd(ManualExecutor& executor, Awaitable<T> operation) {
  auto result = asio::co_spawn(executor.executor(), std::move(operation), asio::use_future);
  executor.runUntilIdle();
  if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    throw std::runtime_error("operation did not finish");
  return result.get();
}

// Counts how often `name` was renamed into `folder`: every write of the
// store lands that way.
class ReplacementCounter {
 public:
  ReplacementCounter(const std::filesystem::path& folder, std::string name)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::move(name)) {
    if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO) < 0) throw std::runtime_error("inotify");
  }
  ~ReplacementCounter() { ::close(fd_); }

  int take() {  // replacements since the last call
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
      for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
        count += name_ == reinterpret_cast<inotify_event*>(p)->name;
    return count;
  }

 private:
  int fd_;
  std::string name_;
};

inline PendingUploadRecord makeRecord(const std::filesystem::path& file, std::string answerId = "answer-1",
                                      std::string idToken = "token-1") {
  return PendingUploadRecord{Uuid::random(), file,     "user-1", "session-1", answerId,
                             "user-1/session-1/" + answerId + "/2026-12-06T18-00-00Z.mp4", idToken,
                             ReferenceDate::now()};
}

}  // namespace veltrano::testing
