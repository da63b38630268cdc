// Crash-safe replacement of a file, over a file-operations seam that tests use
// to model a power loss.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace veltrano {

// The file operations an atomic write is made of. The default forwards to
// POSIX; tests put a double here that models what a power loss keeps (only
// what was followed by the matching fsync). Calls return what the POSIX
// call returns and report failures through errno.
class FileOperations {
 public:
  virtual ~FileOperations() = default;
  virtual int open(const char* path, int flags, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* bytes, std::size_t count) = 0;
  virtual int fsync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int unlink(const char* path) = 0;

  // The process-wide POSIX implementation.
  static FileOperations& posix();
};

// Replaces `directory/name` so that a crash at any moment leaves either the
// old or the new content: the bytes go to a temporary file in the same
// folder (".<name>.tmp.<pid>"), which is flushed to disk, renamed over the
// target, and then the folder itself is flushed so the rename is durable.
// The new file is readable by its owner only. Throws std::system_error
// naming the step that failed; the temporary file is then removed.
void writeFileAtomically(const std::filesystem::path& directory, std::string_view name, std::string_view bytes,
                         FileOperations& files = FileOperations::posix());

// Flushes the folder's entries (a new name, a rename) to disk.
void syncDirectory(const std::filesystem::path& directory, FileOperations& files = FileOperations::posix());

// Deletes temporary files that writeFileAtomically left behind for `name`
// when a process died mid-write. Returns how many were removed.
std::size_t removeStaleTemporaryFiles(const std::filesystem::path& directory, std::string_view name);

}  // namespace veltrano
