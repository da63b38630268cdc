#include "PendingUploads/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace veltrano {

namespace {

std::string temporaryPrefix(std::string_view name) { return "." + std::string(name) + ".tmp."; }

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }
  // Closes now and reports the result: a failed close can mean lost data.
  int close() noexcept { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

void writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("write " + path, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& directory, std::string_view name, std::string_view bytes) {
  const std::filesystem::path target = directory / std::string(name);
  const std::filesystem::path temporary = directory / (temporaryPrefix(name) + std::to_string(::getpid()));
  try {
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0) fail("open " + temporary.native(), errno);
    writeAll(file.get(), bytes, temporary.native());
    // No second fsync after a failure: the kernel may have dropped the dirty
    // pages already, and a retry could report success for lost data.
    if (::fsync(file.get()) != 0) fail("fsync " + temporary.native(), errno);
    if (file.close() != 0) fail("close " + temporary.native(), errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) fail("rename to " + target.native(), errno);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncDirectory(directory);
}

void syncDirectory(const std::filesystem::path& directory) {
  FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) fail("open " + directory.native(), errno);
  if (::fsync(folder.get()) != 0) fail("fsync " + directory.native(), errno);
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
