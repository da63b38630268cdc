// What a crash of the machine (not only of the process) leaves of the store's
// file: a disk double that keeps file bytes only once that file was fsynced
// and names (a new file, a rename) only once their folder was fsynced, and
// that loses power after any chosen operation of a write.
#include "PendingUploads/PendingUploadsCodec.hpp"
#include "Support/AtomicFile.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <optional>

using namespace veltrano;
namespace fs = std::filesystem;

namespace {

class PowerLossDisk final : public FileOperations {
 public:
  explicit PowerLossDisk(fs::path folder) : folder_(std::move(folder)) {}

  // A file that is on the disk for good before the write starts.
  void seed(const std::string& name, const std::string& bytes) {
    auto file = std::make_shared<File>(File{bytes, bytes});
    names_[name] = durableNames_[name] = file;
  }
  // Every operation after the first `count` fails and changes nothing.
  void losePowerAfter(int count) { powerLeft_ = count; }
  int operations() const { return operations_; }

  // The file as a reader finds it after the power comes back.
  std::optional<std::string> afterRestart(const std::string& name) const {
    auto it = durableNames_.find(name);
    if (it == durableNames_.end()) return std::nullopt;
    return it->second->durable;
  }

  int open(const char* path, int flags, mode_t) override {
    if (!powered()) return -1;
    const int fd = nextFd_++;
    if (flags & O_DIRECTORY) {
      if (fs::path(path) != folder_) return fail(ENOENT);
      open_[fd] = nullptr;
      return fd;
    }
    const std::string name = nameIn(path);
    auto& file = names_[name];
    if (!file) {
      if (!(flags & O_CREAT)) return names_.erase(name), fail(ENOENT);
      file = std::make_shared<File>();
    }
    if (flags & O_TRUNC) file->written.clear();
    open_[fd] = file;
    return fd;
  }
  ssize_t write(int fd, const void* bytes, std::size_t count) override {
    if (!powered()) return -1;
    // Short writes, so the writer's loop is exercised too.
    count = std::min<std::size_t>(count, 7);
    open_.at(fd)->written.append(static_cast<const char*>(bytes), count);
    return static_cast<ssize_t>(count);
  }
  int fsync(int fd) override {
    if (!powered()) return -1;
    if (auto& file = open_.at(fd))
      file->durable = file->written;
    else
      durableNames_ = names_;
    return 0;
  }
  int close(int fd) override {
    open_.erase(fd);
    return powered() ? 0 : -1;
  }
  int rename(const char* from, const char* to) override {
    if (!powered()) return -1;
    auto it = names_.find(nameIn(from));
    if (it == names_.end()) return fail(ENOENT);
    names_[nameIn(to)] = it->second;
    names_.erase(nameIn(from));
    return 0;
  }
  int unlink(const char* path) override {
    if (!powered()) return -1;
    return names_.erase(nameIn(path)) ? 0 : fail(ENOENT);
  }

 private:
  struct File {
    std::string written;  // what readers see while the machine runs
    std::string durable;  // what survives a power loss
  };

  bool powered() {
    ++operations_;
    if (powerLeft_ && operations_ > *powerLeft_) {
      errno = EIO;
      return false;
    }
    return true;
  }
  static int fail(int error) {
    errno = error;
    return -1;
  }
  std::string nameIn(const char* path) const {
    EXPECT_EQ(fs::path(path).parent_path(), folder_);
    return fs::path(path).filename();
  }

  fs::path folder_;
  std::map<std::string, std::shared_ptr<File>> names_, durableNames_;
  std::map<int, std::shared_ptr<File>> open_;
  int nextFd_ = 100;
  int operations_ = 0;
  std::optional<int> powerLeft_;
};

PendingUploadRecord record(int n) {
  return PendingUploadRecord{
      Uuid::random(),
      "/data/recordings/veltrano-answer-" + std::to_string(n) + ".mp4",
      "user",
      "session",
      "answer-" + std::to_string(n),
      "user/session/answer-" + std::to_string(n) + "/2024-01-01T00-00-0" + std::to_string(n) + "Z.mp4",
      "token",
      *ReferenceDate::fromSecondsSinceReferenceDate(n)};
}

TEST(PowerLoss, StoreFileIsTheOldOrTheNewTableAfterAPowerLossAtEveryStep) {
  const fs::path folder = "/data";
  const std::string name = "pending-uploads.json";
  const std::string oldTable = encodePendingUploads({record(1)});
  const std::string newTable = encodePendingUploads({record(1), record(2), record(3)});

  // How many operations a whole write takes.
  PowerLossDisk measure(folder);
  measure.seed(name, oldTable);
  writeFileAtomically(folder, name, newTable, measure);
  ASSERT_EQ(measure.afterRestart(name), newTable) << "a completed write must survive a power loss";
  ASSERT_GT(measure.operations(), 6);

  int sawOld = 0, sawNew = 0;
  for (int cut = 0; cut < measure.operations(); ++cut) {
    SCOPED_TRACE("power lost after operation " + std::to_string(cut));
    PowerLossDisk disk(folder);
    disk.seed(name, oldTable);
    disk.losePowerAfter(cut);
    try {
      writeFileAtomically(folder, name, newTable, disk);
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), std::errc::io_error);
    }
    const auto kept = disk.afterRestart(name);
    ASSERT_TRUE(kept == oldTable || kept == newTable) << (kept ? *kept : "<no file>");
    const auto decoded = decodePendingUploads(*kept);
    EXPECT_FALSE(decoded.damaged);
    (kept == oldTable ? sawOld : sawNew)++;
  }
  EXPECT_GT(sawOld, 0);
}

}  // namespace
