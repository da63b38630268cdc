// The preview beside the recorder on one camera feed: what the page gets,
// what the clips get, when the camera opens and closes, and what a hundred
// starts and stops leave behind.

#include "Capture/CameraFeed.hpp"
#include "Capture/CameraPreview.hpp"
#include "Capture/WebcamRecorder.hpp"
#include "FrameStamps.hpp"
#include "RecorderTestFixture.hpp"
#include "TestCameraSources.hpp"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;

namespace {

// Width and height from a baseline JPEG's SOF0 marker; {0, 0} when the
// bytes are no complete JPEG (SOI first, EOI last).
std::pair<int, int> jpegSize(const std::string& bytes) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8 || byte(bytes.size() - 2) != 0xFF ||
      byte(bytes.size() - 1) != 0xD9)
    return {0, 0};
  for (std::size_t i = 2; i + 9 < bytes.size();) {
    if (byte(i) != 0xFF) return {0, 0};
    const unsigned marker = byte(i + 1);
    const std::size_t length = (byte(i + 2) << 8) | byte(i + 3);
    if (marker == 0xC0) return {(byte(i + 7) << 8) | byte(i + 8), (byte(i + 5) << 8) | byte(i + 6)};
    i += 2 + length;
  }
  return {0, 0};
}

double nowMs() {
  return static_cast<double>(g_get_real_time()) / 1000.0;
}

class CameraPreviewTest : public RecorderTest {
 protected:
  CameraPreviewTest() { remake(); }

  void remake() {
    sources_ = std::make_shared<PipelineSourceFactory>(
        stamper_.description(), [] { return CameraAccess::authorized; },
        [this](ElementPtr source) { return stamper_.attach(std::move(source)); });
    preview_ = CameraPreview::create(sources_, {main_.get_executor(), clock_.sleepFunction()});
  }

  struct Started {
    bool done = false;
    std::exception_ptr error;
    CameraPreview::Size size;
  };
  std::shared_ptr<Started> startPreview(int maxWidth, bool wait = true) {
    auto out = std::make_shared<Started>();
    preview_->start(maxWidth, [out, this](std::exception_ptr error, CameraPreview::Size size) {
      std::lock_guard lock(mutex_);
      out->error = error;
      out->size = size;
      out->done = true;
    });
    if (wait) {
      EXPECT_TRUE(runUntil([&] { return done(out->done); }, 20s)) << "the preview never started";
    }
    return out;
  }
  // A frame above `after` as the page would fetch it; absent: not running.
  std::optional<CameraPreview::Frame> fetch(std::uint64_t after) {
    auto got = std::make_shared<std::pair<bool, std::optional<CameraPreview::Frame>>>();
    preview_->nextFrame(after, [got, this](std::optional<CameraPreview::Frame> frame) {
      std::lock_guard lock(mutex_);
      *got = {true, std::move(frame)};
    });
    EXPECT_TRUE(runUntil([&] { return done(got->first); }, 10s)) << "no answer to a frame request";
    std::lock_guard lock(mutex_);
    return got->second;
  }
  bool done(const bool& flag) {
    std::lock_guard lock(mutex_);
    return flag;
  }
  std::shared_ptr<WebcamRecorder> startRecorder(const std::string& name) {
    auto recorder = makeRecorder(sources_);
    auto started = run(recorder->startRecording(clip(name)));
    EXPECT_FALSE(started->error) << describe(started->error);
    return recorder;
  }
  std::filesystem::path stopRecorder(const std::shared_ptr<WebcamRecorder>& recorder) {
    auto stopped = run(recorder->stopRecording());
    EXPECT_FALSE(stopped->error) << describe(stopped->error);
    return stopped->file;
  }
  CameraFeed& feed() { return *sources_->feed(); }

  std::mutex mutex_;
  FrameStamper stamper_{1280, 720};
  std::shared_ptr<PipelineSourceFactory> sources_;
  std::shared_ptr<CameraPreview> preview_;
};

}  // namespace

// The page's view of a preview: frames scaled to its width and never up,
// numbered upwards across restarts, stamped with a capture time just before
// now; a frame is encoded only while the page waits for one; a stopped
// preview answers "not running" at once and to a page already waiting.
TEST_F(CameraPreviewTest, FramesReachThePageScaledNumberedAndStampedOnlyAsAsked) {
  auto started = startPreview(640);
  ASSERT_FALSE(started->error) << describe(started->error);
  EXPECT_EQ(started->size.width, 640);
  EXPECT_EQ(started->size.height, 360);
  EXPECT_TRUE(preview_->isRunning());

  std::uint64_t last = 0;
  for (int i = 0; i < 10; ++i) {
    const double asked = nowMs();
    auto frame = fetch(last);
    ASSERT_TRUE(frame);
    EXPECT_GT(frame->number, last);
    EXPECT_EQ(jpegSize(*frame->jpeg), std::make_pair(640, 360)) << "frame " << frame->number;
    // Captured before it was handed over, and not long before it was asked
    // for (a camera frame every 33 ms; a loaded machine adds some).
    EXPECT_LE(frame->capturedAtMs, nowMs() + 1);
    EXPECT_GT(frame->capturedAtMs, asked - 1000);
    last = frame->number;
  }
  // A page that asks at once still gets frames paced apart: from this 30 fps
  // camera about every other one.
  EXPECT_GT(preview_->statistics().framesPaced, 3u);
  // Nobody asking: frames go by unencoded.
  const auto encoded = preview_->statistics().framesEncoded;
  const auto seen = preview_->statistics().framesSeen;
  record(300ms);
  EXPECT_EQ(preview_->statistics().framesEncoded, encoded);
  EXPECT_GT(preview_->statistics().framesSeen, seen + 3);

  // An older number gets the latest frame at once; a wider page than the
  // camera gets the camera's own size.
  EXPECT_EQ(fetch(0)->number, last);
  auto wider = startPreview(4000);
  ASSERT_FALSE(wider->error);
  EXPECT_EQ(wider->size.width, 1280);
  auto frame = fetch(last);
  ASSERT_TRUE(frame);
  EXPECT_EQ(jpegSize(*frame->jpeg), std::make_pair(1280, 720));
  last = frame->number;

  // A page waiting when the preview stops hears "not running", as does the
  // next one; a restart numbers on.
  auto waiting = std::make_shared<std::pair<bool, std::optional<CameraPreview::Frame>>>();
  preview_->stop();
  preview_->nextFrame(last, [waiting, this](std::optional<CameraPreview::Frame> f) {
    std::lock_guard lock(mutex_);
    *waiting = {true, std::move(f)};
  });
  ASSERT_TRUE(runUntil([&] { return done(waiting->first); }, 10s));
  EXPECT_FALSE(waiting->second);
  EXPECT_FALSE(fetch(0));
  EXPECT_FALSE(preview_->isRunning());
  ASSERT_FALSE(startPreview(320)->error);
  auto again = fetch(0);
  ASSERT_TRUE(again);
  EXPECT_GT(again->number, last);
  EXPECT_EQ(jpegSize(*again->jpeg), std::make_pair(320, 180));
  EXPECT_EQ(preview_->statistics().starts, 2u);
  EXPECT_EQ(preview_->statistics().stops, 1u);
}

// Preview and recording share one camera: it opens once for both. No frame
// the preview showed before the answer began is in the clip, the clips cut
// under an open preview still hold every frame exactly once, and a recorder
// starting well after the last clip gets no frame the preview kept the
// camera open for. The camera closes a linger after the last of them lets go.
TEST_F(CameraPreviewTest, OneCameraForPreviewAndClipsAndNoPreviewFrameInAClip) {
  ASSERT_FALSE(startPreview(640)->error);
  record(500ms);
  ASSERT_TRUE(fetch(0));
  const auto producedBeforeAnswer = stamper_.produced();
  auto recorder = startRecorder("first");
  std::uint64_t lastFrame = 0;
  for (int i = 0; i < 5; ++i) lastFrame = fetch(lastFrame)->number;  // the page draws on while recording
  record(400ms);
  const auto first = stopRecorder(recorder);
  record(50ms);
  recorder = startRecorder("second");  // a cut: within the hand-over window
  record(400ms);
  const auto second = stopRecorder(recorder);
  recorder.reset();
  EXPECT_GT(fetch(lastFrame)->number, lastFrame) << "the preview stalled across the cut";

  // Long after the window, with the preview holding the camera open.
  clock_.advance(CameraFeed::kHandOverWindow);
  record(300ms);
  const auto producedBeforeLater = stamper_.produced();
  recorder = startRecorder("later");
  record(300ms);
  const auto later = stopRecorder(recorder);
  recorder.reset();
  EXPECT_EQ(sources_->sourcesMade(), 1) << "the preview and the recorder opened the camera apart";
  EXPECT_EQ(feed().statistics().opens, 1u);

  auto a = readFrameStamps(first), b = readFrameStamps(second), c = readFrameStamps(later);
  ASSERT_TRUE(a && b && c);
  ASSERT_FALSE(a->stamps.empty() || b->stamps.empty() || c->stamps.empty());
  EXPECT_GE(a->stamps.front(), producedBeforeAnswer) << "a preview frame from before the answer is in its clip";
  EXPECT_TRUE(increasing(a->stamps) && increasing(b->stamps));
  EXPECT_EQ(b->stamps.front(), a->stamps.back() + 1) << "the cut lost or repeated frames under the preview";
  EXPECT_GE(c->stamps.front() + 1, producedBeforeLater) << "a frame kept past the window opened a later clip";

  // The preview alone keeps the camera; after it, the linger closes it.
  clock_.advance(CameraFeed::kLinger);
  record(100ms);
  EXPECT_TRUE(feed().isOpen());
  preview_->stop();
  ASSERT_TRUE(runUntil([&] { return !preview_->isRunning(); }));
  record(50ms);
  EXPECT_TRUE(feed().isOpen()) << "closed before its linger";
  ASSERT_TRUE(lingerOut(*sources_)) << "the camera outlived the preview's linger";
  EXPECT_EQ(sources_->sourcesAlive(), 0);
}

// A camera that cannot be shown answers the start with the recorder's own
// error, and the page's next request with "not running".
TEST_F(CameraPreviewTest, ACameraThatCannotBeShownAnswersWithTheRecordersError) {
  struct Row {
    const char* name;
    std::shared_ptr<CameraSourceFactory> sources;
    std::string message;
  };
  const Row rows[] = {
      {"no camera", std::make_shared<FunctionSourceFactory>([] { return ElementPtr(); }),
       RecorderError::message(RecorderError::Case::noVideoDevice)},
      {"denied", std::make_shared<PipelineSourceFactory>(testPattern(320, 240), CameraAccess::denied),
       RecorderError::message(RecorderError::Case::cameraPermissionDenied)},
      {"fails to open",
       std::make_shared<FunctionSourceFactory>([]() -> ElementPtr { throw GStreamerError("Device busy."); }),
       "Device busy."},
      {"ends at once",
       std::make_shared<PipelineSourceFactory>("videotestsrc is-live=true num-buffers=0 ! "
                                               "capsfilter caps=video/x-raw,format=NV12"),
       RecorderError::message(RecorderError::Case::cameraStopped)},
      // A source that never sends a frame: the first-frame wait gives up.
      {"silent", std::make_shared<PipelineSourceFactory>(testPattern(64, 48) + " ! identity drop-probability=1.0"),
       FirstFrameTimeout().what()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    preview_ = CameraPreview::create(row.sources, {main_.get_executor(), clock_.sleepFunction()});
    auto started = startPreview(640, false);
    record(200ms);
    clock_.advance(CameraPreview::kFirstFrameTimeout);
    ASSERT_TRUE(runUntil([&] { return done(started->done); }, 20s));
    ASSERT_TRUE(started->error);
    EXPECT_EQ(describe(started->error), row.message);
    EXPECT_FALSE(preview_->isRunning());
    EXPECT_FALSE(fetch(0));
  }
}

// A hundred preview starts and stops, alone and while an answer records,
// leave the process's descriptors, threads and memory where they were.
TEST_F(CameraPreviewTest, AHundredStartsAndStopsLeaveNothingBehind) {
  sources_ = std::make_shared<PipelineSourceFactory>(testPattern(1280, 720));
  preview_ = CameraPreview::create(sources_, {main_.get_executor(), clock_.sleepFunction()});
  auto cycle = [&](int i) {
    auto started = startPreview(640);
    ASSERT_FALSE(started->error) << "cycle " << i << ": " << describe(started->error);
    ASSERT_TRUE(fetch(0)) << "cycle " << i;
    preview_->stop();
    ASSERT_TRUE(runUntil([&] { return !preview_->isRunning(); })) << "cycle " << i;
  };
  // Warm up: the first encoders, GStreamer's plugin caches and thread pools.
  for (int i = 0; i < 3; ++i) cycle(i);
  stopRecorder(startRecorder("warm-up"));
  ASSERT_TRUE(lingerOut(*sources_));
  const auto baseline = processResources();

  for (int i = 0; i < 100; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
    clock_.advance(CameraFeed::kLinger);  // the camera closes between previews too
  }
  auto recorder = startRecorder("answer");
  const int camerasWhileRecording = sources_->sourcesMade();
  for (int i = 0; i < 100; ++i) {
    cycle(i);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(sources_->sourcesMade(), camerasWhileRecording) << "a preview reopened the recording camera";
  stopRecorder(recorder);
  recorder.reset();
  ASSERT_TRUE(lingerOut(*sources_));
  record(200ms);
  const auto after = processResources();
  EXPECT_EQ(after.fds, baseline.fds) << "descriptors left behind";
  EXPECT_LE(after.threads, baseline.threads) << "threads left behind";
  EXPECT_LT(after.rssKiB - baseline.rssKiB, 20 * 1024) << "memory grew by more than 20 MiB over 200 cycles";
}
