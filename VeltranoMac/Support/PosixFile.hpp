// POSIX file helpers shared across the app: an owning file descriptor,
// errno turned into an exception that names the failed step, and reading a
// whole file. Header-only and dependency-free.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

namespace veltrano {

// Throws std::system_error for `error` (an errno value) with `step` (such as
// "fsync /path") as its text, so the log says what failed, not only why.
[[noreturn]] inline void throwSystemError(int error, const std::string& step) {
  throw std::system_error(error, std::generic_category(), step);
}

// Owns one file descriptor; closes it at the end of its life.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Closes now and reports the result: a failed close can mean lost data.
  int close() noexcept { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// A whole file read into memory, or why not.
struct FileContents {
  bool exists = false;
  int error = 0;  // errno of a failed open or read of an existing file
  std::string bytes;
};

// Reads `path` whole. A missing file (or a missing folder on its way) is
// `exists == false`; any other failure keeps `exists` and sets `error`.
inline FileContents readWholeFile(const std::filesystem::path& path) {
  FileContents contents;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    contents.exists = errno != ENOENT && errno != ENOTDIR;
    contents.error = errno;
    return contents;
  }
  contents.exists = true;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      contents.error = errno;
      break;
    }
    if (n == 0) break;
    contents.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return contents;
}

}  // namespace veltrano
