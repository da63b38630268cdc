#pragma once

#include "PendingUploads/PendingUploadRecord.hpp"
#include "Runtime/Asio.hpp"
#include "support/ManualExecutor.hpp"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

namespace veltrano::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pending-uploads-test-XXXXXX").native();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Runs `operation` on the manual executor until nothing is left to do and
// returns its result; fails the test if it did not finish.
template <typename T>
T runToEnd(ManualExecutor& executor, Awaitable<T> operation) {
  std::optional<T> result;
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(executor.executor(), std::move(operation), [&](std::exception_ptr e, T value) {
    error = e;
    if (!e) result = std::move(value);
    finished = true;
  });
  executor.runUntilIdle();
  if (!finished) throw std::runtime_error("operation did not finish");
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

inline void runToEnd(ManualExecutor& executor, Awaitable<void> operation) {
  std::exception_ptr error;
  bool finished = false;
  asio::co_spawn(executor.executor(), std::move(operation), [&](std::exception_ptr e) {
    error = e;
    finished = true;
  });
  executor.runUntilIdle();
  if (!finished) throw std::runtime_error("operation did not finish");
  if (error) std::rethrow_exception(error);
}

// Counts the times a file named `name` was renamed into `folder`, which is
// how every write of the store lands.
class ReplacementCounter {
 public:
  ReplacementCounter(const std::filesystem::path& folder, std::string name)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), name_(std::move(name)) {
    if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO) < 0)
      throw std::runtime_error("inotify unavailable");
  }
  ~ReplacementCounter() { ::close(fd_); }
  ReplacementCounter(const ReplacementCounter&) = delete;
  ReplacementCounter& operator=(const ReplacementCounter&) = delete;

  // Replacements since the previous call.
  int take() {
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->len > 0 && name_ == event->name) ++count;
        p += sizeof(inotify_event) + event->len;
      }
    }
    return count;
  }

 private:
  int fd_;
  std::string name_;
};

inline PendingUploadRecord makeRecord(const std::filesystem::path& file, std::string answerId = "answer-1",
                                      std::string idToken = "token-1") {
  PendingUploadRecord record;
  record.id = Uuid::random();
  record.fileURL = file;
  record.userId = "user-1";
  record.sessionId = "session-1";
  record.answerId = std::move(answerId);
  record.objectPath = "user-1/session-1/" + record.answerId + "/2026-12-06T18-00-00Z.mp4";
  record.idToken = std::move(idToken);
  record.enqueuedAt = ReferenceDate::now();
  return record;
}

}  // namespace veltrano::testing
