#include "Support/AtomicFile.hpp"

#include "Support/PosixFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace veltrano {

namespace {

std::string temporaryPrefix(std::string_view name) {
  return "." + std::string(name) + ".tmp.";
}

class PosixFileOperations final : public FileOperations {
 public:
  int open(const char* path, int flags, mode_t mode) override { return ::open(path, flags, mode); }
  ssize_t write(int fd, const void* bytes, std::size_t count) override { return ::write(fd, bytes, count); }
  int fsync(int fd) override { return ::fsync(fd); }
  int close(int fd) override { return ::close(fd); }
  int rename(const char* from, const char* to) override { return std::rename(from, to); }
  int unlink(const char* path) override { return ::unlink(path); }
};

// A descriptor opened through `files`, closed through it at the end of its
// life unless closed earlier with its result checked.
class OpenFile {
 public:
  OpenFile(FileOperations& files, int fd) noexcept : files_(files), fd_(fd) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (fd_ >= 0) files_.close(fd_);
  }
  int get() const noexcept { return fd_; }
  int close() noexcept { return files_.close(std::exchange(fd_, -1)); }

 private:
  FileOperations& files_;
  int fd_;
};

void writeAll(FileOperations& files, int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t written = files.write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "write " + path);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

FileOperations& FileOperations::posix() {
  static PosixFileOperations operations;
  return operations;
}

void writeFileAtomically(const std::filesystem::path& directory, std::string_view name, std::string_view bytes,
                         FileOperations& files) {
  const std::filesystem::path target = directory / std::string(name);
  const std::filesystem::path temporary = directory / (temporaryPrefix(name) + std::to_string(::getpid()));
  try {
    OpenFile file(files, files.open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0) throwSystemError(errno, "open " + temporary.native());
    writeAll(files, file.get(), bytes, temporary.native());
    // No second fsync after a failure: the kernel may have dropped the dirty
    // pages already, and a retry could report success for lost data.
    if (files.fsync(file.get()) != 0) throwSystemError(errno, "fsync " + temporary.native());
    if (file.close() != 0) throwSystemError(errno, "close " + temporary.native());
    if (files.rename(temporary.c_str(), target.c_str()) != 0) throwSystemError(errno, "rename to " + target.native());
  } catch (...) {
    files.unlink(temporary.c_str());
    throw;
  }
  syncDirectory(directory, files);
}

void syncDirectory(const std::filesystem::path& directory, FileOperations& files) {
  OpenFile folder(files, files.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (folder.get() < 0) throwSystemError(errno, "open " + directory.native());
  if (files.fsync(folder.get()) != 0) throwSystemError(errno, "fsync " + directory.native());
}

std::size_t removeStaleTemporaryFiles(const std::filesystem::path& directory, std::string_view name) {
  const std::string prefix = temporaryPrefix(name);
  std::size_t removed = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (!it->path().filename().native().starts_with(prefix)) continue;
    std::error_code ignored;
    if (std::filesystem::remove(it->path(), ignored)) ++removed;
  }
  return removed;
}

}  // namespace veltrano
