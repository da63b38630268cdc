#include "Capture/Mp4Writer.hpp"
#include "FileSizeLimit.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

using namespace veltrano;
using namespace std::chrono_literals;

namespace {

constexpr int kWidth = 160, kHeight = 120;
constexpr gsize kFrameBytes = kWidth * kHeight * 3 / 2;

// What each finish() was completed with, in call order.
struct Completions {
  std::mutex mutex;
  std::vector<std::optional<std::exception_ptr>> outcomes;

  std::function<void(std::exception_ptr)> slot() {
    std::lock_guard lock(mutex);
    const auto index = outcomes.size();
    outcomes.emplace_back();
    return [this, index](std::exception_ptr error) {
      std::lock_guard lock(mutex);
      EXPECT_FALSE(outcomes[index].has_value()) << "completed twice";
      outcomes[index] = error;
    };
  }
  bool allDone() {
    std::lock_guard lock(mutex);
    for (auto& outcome : outcomes)
      if (!outcome) return false;
    return true;
  }
};

bool waitFor(const std::function<bool()>& done) {
  for (auto deadline = std::chrono::steady_clock::now() + 10s; !done();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace

// A stop must never hang: every finish() is answered, the ones made while
// the file is being finished and the ones made after, with the same outcome;
// closing the writer before the file is finished answers them too.
TEST(Mp4Writer, EveryFinishIsAnsweredWithTheOneOutcome) {
  ensureGStreamer();
  enum class Path { healthy, fullDisk, closedWhileFinishing };
  for (const auto path : {Path::healthy, Path::fullDisk, Path::closedWhileFinishing}) {
    SCOPED_TRACE(int(path));
    veltrano::testing::FileSizeLimit limit;
    if (path == Path::fullDisk) limit.set(1);
    const auto file =
        std::filesystem::temp_directory_path() / ("writer-" + std::to_string(std::random_device()()) + ".mp4");
    CapsPtr caps(gst_caps_from_string("video/x-raw,format=NV12,width=160,height=120,framerate=30/1"));
    auto writer = Mp4Writer::create(file, caps.get(), nullptr);
    ASSERT_TRUE(writer);
    // The muxer writes a sample once the next one shows how long it lasts.
    for (int i = 0; i < 3; ++i) {
      GstBuffer* frame = gst_buffer_new_allocate(nullptr, kFrameBytes, nullptr);
      gst_buffer_memset(frame, 0, 0x80, gst_buffer_get_size(frame));
      setBufferTimestamps(frame, i * GST_SECOND / 30);
      ASSERT_TRUE(writer->append(frame));
    }
    ASSERT_TRUE(
        waitFor([&] { return path == Path::fullDisk ? writer->failure() != nullptr : writer->framesWritten() >= 1; }));

    Completions completions;
    writer->finish(completions.slot());
    writer->finish(completions.slot());
    // Closed at once, the end of the stream has (almost always) not reached
    // the file yet: the finish can no longer end on its own.
    if (path == Path::closedWhileFinishing) writer->close();
    ASSERT_TRUE(waitFor([&] { return completions.allDone(); })) << "a finish was never answered";
    writer->finish(completions.slot());
    ASSERT_TRUE(completions.allDone()) << "a finish after the end must be answered at once";
    if (path != Path::closedWhileFinishing) {
      for (auto& outcome : completions.outcomes) EXPECT_EQ(*outcome == nullptr, path == Path::healthy);
    }
    EXPECT_EQ(completions.outcomes[1], completions.outcomes[0]);
    EXPECT_EQ(completions.outcomes[2], completions.outcomes[0]);
    writer->close();
    std::filesystem::remove(file);
  }
}
