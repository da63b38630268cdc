#include "Capture/CameraFeed.hpp"
#include "Capture/WebcamRecorder.hpp"
#include "FrameStamps.hpp"
#include "Mp4Inspector.hpp"
#include "RecorderTestFixture.hpp"
#include "TestCameraSources.hpp"

#include <gtest/gtest.h>

using namespace veltrano;
using namespace veltrano::testing;
using namespace std::chrono_literals;
using Case = RecorderError::Case;

namespace {

// Frames the recorder dropped and counted: the one reason a frame may be
// missing inside a clip (a machine too busy to keep up).
std::uint64_t countedDrops(const WebcamRecorder::Statistics& s) {
  return s.framesDroppedByWriter + s.framesDroppedBusy;
}

// Consecutive recorders of one factory, driven as the clip rotation drives
// them, over a camera that numbers its frames in their pixels.
class CameraFeedTest : public RecorderTest {
 protected:
  CameraFeedTest()
      : sources_(std::make_shared<PipelineSourceFactory>(
            stamper_.description(), [] { return CameraAccess::authorized; },
            [this](ElementPtr source) { return stamper_.attach(std::move(source)); })) {}

  std::shared_ptr<WebcamRecorder> start(const std::string& name) {
    auto recorder = makeRecorder(sources_);
    auto started = run(recorder->startRecording(clip(name)));
    EXPECT_FALSE(started->error) << describe(started->error);
    return started->error ? nullptr : recorder;
  }
  std::filesystem::path stop(const std::shared_ptr<WebcamRecorder>& recorder) {
    auto stopped = run(recorder->stopRecording());
    EXPECT_FALSE(stopped->error) << describe(stopped->error);
    return stopped->file;
  }
  StampedClip stamps(const std::filesystem::path& file) {
    std::string why;
    auto read = readFrameStamps(file, &why);
    EXPECT_TRUE(read) << why;
    EXPECT_TRUE(read && !read->stamps.empty()) << file;
    return read ? *read : StampedClip{};
  }
  CameraFeed& feed() { return *sources_->feed(); }

  FrameStamper stamper_{320, 240};
  std::shared_ptr<PipelineSourceFactory> sources_;
};

}  // namespace

// Three clips cut back to back from one camera: it opens once, every frame
// it delivered between the first start and the last stop is in exactly one
// clip, in order, and each clip is a complete MP4 of its own (a keyframe
// first, its own timeline from zero). The camera closes one second after
// the last stop, not before.
TEST_F(CameraFeedTest, ThreeClipsCutBackToBackHoldEveryFrameExactlyOnce) {
  const auto producedBeforeStart = stamper_.produced();
  auto recorder = start("one");
  ASSERT_TRUE(recorder);
  std::vector<std::filesystem::path> files;
  std::vector<WebcamRecorder::Statistics> statistics;
  std::uint64_t handedOver = 0;
  for (const char* next : {"two", "three", ""}) {
    record(600ms);
    files.push_back(stop(recorder));
    statistics.push_back(recorder->statistics());
    handedOver += recorder->statistics().framesHandedOver;
    if (!*next) break;
    record(100ms);  // a rotation that takes a while: frames arrive meanwhile
    recorder = start(next);
    ASSERT_TRUE(recorder);
  }
  EXPECT_EQ(sources_->sourcesMade(), 1) << "the camera was reopened between clips";
  EXPECT_GT(handedOver, 0u) << "no frame arrived between two clips: the hand-over went untested";

  // No camera time is missing at a cut either: one frame interval (30 fps)
  // from the last frame of a clip to the first of the next, by the camera's
  // own clock, as a camera closed and reopened between clips cannot manage.
  for (std::size_t i = 1; i < statistics.size(); ++i)
    EXPECT_NEAR(
        double(statistics[i].firstFrameCaptureTime - statistics[i - 1].lastFrameCaptureTime) / 1e6, 1000.0 / 30, 1.0)
        << "cut " << i;

  std::vector<std::uint64_t> all;
  std::uint64_t dropped = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& file = files[i];
    SCOPED_TRACE(file.filename().string());
    const auto clip = stamps(file);
    ASSERT_FALSE(clip.stamps.empty());
    EXPECT_TRUE(increasing(clip.stamps)) << "a frame repeated or out of order " << firstBreak(clip.stamps);
    EXPECT_EQ(missing(clip.stamps), countedDrops(statistics[i]))
        << "a frame lost unnoticed " << firstBreak(clip.stamps);
    dropped += countedDrops(statistics[i]);
    if (!all.empty()) {
      EXPECT_EQ(clip.stamps.front(), all.back() + 1) << "the cut lost or repeated frames";
    }
    all.insert(all.end(), clip.stamps.begin(), clip.stamps.end());
    auto mp4 = inspectMp4(file);
    ASSERT_TRUE(mp4);
    EXPECT_EQ(mp4->sampleCount, clip.stamps.size());
    ASSERT_FALSE(mp4->syncSamples.empty());
    EXPECT_EQ(mp4->syncSamples.front(), 1u) << "the clip does not open with a keyframe";
    EXPECT_NEAR(mp4->durationSeconds, double(mp4->sampleCount) / 30.0, 1.5 / 30.0) << "timeline not from zero";
  }
  // The first clip begins with a frame from after its start, and the clips
  // together hold every frame up to the last one written.
  EXPECT_GE(all.front(), producedBeforeStart);
  EXPECT_EQ(all.size() + dropped, all.back() - all.front() + 1);

  // Open through the linger, closed right after it.
  clock_.advance(CameraFeed::kLinger - 1ms);
  record(100ms);
  EXPECT_TRUE(feed().isOpen());
  EXPECT_EQ(sources_->sourcesAlive(), 1);
  clock_.advance(1ms);
  ASSERT_TRUE(runUntil([&] { return sources_->sourcesAlive() == 0 && !feed().isOpen(); }, 10s))
      << "the camera outlived its linger";
  EXPECT_EQ(feed().statistics().closes, 1u);
}

// The hand-over is due only shortly after a stop: a start within the window
// continues the stream however long it took in real time; a later start
// begins with a frame from after it, and none from before.
TEST_F(CameraFeedTest, OnlyAStartWithinTheHandOverWindowContinuesTheStream) {
  for (const bool windowClosed : {false, true}) {
    SCOPED_TRACE(windowClosed ? "after the window" : "within the window");
    auto first = start("first");
    ASSERT_TRUE(first);
    record(300ms);
    const auto droppedBefore = feed().statistics().heldFramesDropped;
    const auto firstFile = stop(first);
    if (windowClosed) clock_.advance(CameraFeed::kHandOverWindow);
    record(200ms);  // real time, a few frames
    const auto producedBeforeStart = stamper_.produced();
    auto second = start("second");
    ASSERT_TRUE(second);
    const auto droppedFromHold = feed().statistics().heldFramesDropped - droppedBefore;
    record(300ms);
    const auto firstClip = stamps(firstFile);
    ASSERT_FALSE(firstClip.stamps.empty());
    const auto secondClip = stamps(stop(second));
    ASSERT_FALSE(secondClip.stamps.empty());
    EXPECT_TRUE(increasing(secondClip.stamps)) << firstBreak(secondClip.stamps);
    EXPECT_EQ(missing(secondClip.stamps), countedDrops(second->statistics())) << firstBreak(secondClip.stamps);
    if (windowClosed) {
      EXPECT_EQ(second->statistics().framesHandedOver, 0u);
      // One frame may still have been on its way through the pipeline.
      EXPECT_GE(secondClip.stamps.front() + 1, producedBeforeStart) << "began with a frame from before its start";
    } else {
      // Only a machine slow enough to overflow the hold loses (counted) frames.
      EXPECT_EQ(secondClip.stamps.front(), firstClip.stamps.back() + 1 + droppedFromHold);
      EXPECT_GE(second->statistics().framesHandedOver, 3u);
    }
    EXPECT_EQ(sources_->sourcesMade(), 1);
    ASSERT_TRUE(lingerOut(*sources_));
    sources_ = std::make_shared<PipelineSourceFactory>(
        stamper_.description(), [] { return CameraAccess::authorized; },
        [this](ElementPtr source) { return stamper_.attach(std::move(source)); });
  }
}

// The frames kept between two clips are capped: the oldest make way and
// are counted, and the next clip begins right after the ones that went.
TEST_F(CameraFeedTest, HeldFramesAreCappedAndTheDroppedOnesCounted) {
  auto first = start("first");
  ASSERT_TRUE(first);
  record(200ms);
  const auto firstClip = stamps(stop(first));
  // The window stays open in virtual time while a second of real frames
  // arrives: twice the cap at 30 fps.
  ASSERT_TRUE(runUntil([&] { return feed().statistics().framesHeld >= 2 * CameraFeed::kHeldFramesCap; }, 10s));
  auto second = start("second");
  ASSERT_TRUE(second);
  const auto statistics = feed().statistics();
  record(200ms);
  const auto secondClip = stamps(stop(second));
  EXPECT_EQ(second->statistics().framesHandedOver, CameraFeed::kHeldFramesCap);
  EXPECT_EQ(statistics.framesHandedOver, CameraFeed::kHeldFramesCap);
  EXPECT_EQ(statistics.heldFramesDropped, statistics.framesHeld - CameraFeed::kHeldFramesCap);
  ASSERT_FALSE(secondClip.stamps.empty());
  EXPECT_TRUE(consecutive(secondClip.stamps))
      << "held frames and live frames out of order " << firstBreak(secondClip.stamps);
  EXPECT_EQ(secondClip.stamps.front(), firstClip.stamps.back() + 1 + statistics.heldFramesDropped);
}

// A camera that fails while nobody records closes at once (no linger), and
// the next start opens it anew; one that fails during a clip still lets the
// clip finish, and closes at that clip's stop.
TEST_F(CameraFeedTest, ACameraFailureWithNobodyAttachedClosesTheFeedAndTheNextStartReopensIt) {
  auto first = start("first");
  ASSERT_TRUE(first);
  record(200ms);
  stop(first);
  EXPECT_TRUE(feed().isOpen());
  stamper_.fail();
  ASSERT_TRUE(runUntil([&] { return sources_->sourcesAlive() == 0 && !feed().isOpen(); }, 10s))
      << "a failed camera lingered";

  auto second = start("second");
  ASSERT_TRUE(second);
  EXPECT_EQ(sources_->sourcesMade(), 2);
  record(200ms);
  stamper_.fail();  // while recording: the clip keeps what it has
  record(200ms);
  auto file = stop(second);
  auto mp4 = inspectMp4(file);
  ASSERT_TRUE(mp4);
  EXPECT_GT(mp4->sampleCount, 0u);
  ASSERT_TRUE(runUntil([&] { return sources_->sourcesAlive() == 0; }, 10s)) << "a failed camera lingered";
  auto third = start("third");
  ASSERT_TRUE(third);
  EXPECT_EQ(sources_->sourcesMade(), 3);
  stop(third);
}

// A new frame size (the camera renegotiated while nobody recorded or
// during a clip, or another camera was opened) starts the next clip with a
// writer of that size; frames of the old size held for the hand-over do
// not end up in it, a clip under way keeps its size, and no clip is damaged.
TEST_F(CameraFeedTest, ANewFrameSizeStartsTheNextClipAtThatSizeAndDamagesNoClip) {
  enum class How { renegotiated, reopened, duringClip };
  for (const How how : {How::renegotiated, How::reopened, How::duringClip}) {
    SCOPED_TRACE(int(how));
    stamper_.setSize(320, 240);
    auto first = start("first");
    ASSERT_TRUE(first);
    record(300ms);
    if (how == How::duringClip) {
      stamper_.setSize(640, 480);
      record(300ms);
      EXPECT_GT(first->statistics().framesDroppedForSize, 0u);
    }
    const auto firstFile = stop(first);
    if (how == How::reopened) {
      ASSERT_TRUE(lingerOut(*sources_));
    }
    stamper_.setSize(640, 480);
    if (how == How::renegotiated) record(300ms);  // frames of both sizes arrive while the window is open
    auto second = start("second");
    ASSERT_TRUE(second);
    record(300ms);
    const auto secondFile = stop(second);
    EXPECT_EQ(second->statistics().framesDroppedForSize, 0u);

    const auto one = stamps(firstFile), two = stamps(secondFile);
    EXPECT_EQ(one.width, 320);
    EXPECT_EQ(two.width, 640);
    EXPECT_EQ(two.height, 480);
    EXPECT_TRUE(increasing(one.stamps)) << firstBreak(one.stamps);
    EXPECT_TRUE(increasing(two.stamps)) << firstBreak(two.stamps);
    // Frames of the new size are dropped from the clip under way, counted.
    EXPECT_EQ(missing(one.stamps), countedDrops(first->statistics()));
    EXPECT_EQ(missing(two.stamps), countedDrops(second->statistics()));
    auto firstMp4 = inspectMp4(firstFile);
    ASSERT_TRUE(firstMp4);
    EXPECT_EQ(firstMp4->sampleCount, one.stamps.size());
    auto mp4 = inspectMp4(secondFile);
    ASSERT_TRUE(mp4);
    EXPECT_EQ(mp4->width, 640);
    EXPECT_EQ(mp4->sampleCount, two.stamps.size());
    ASSERT_TRUE(lingerOut(*sources_));
  }
}

// A recorder let go without a stop detaches: the camera lingers and closes
// as after a stop, and the next recorder starts as usual.
TEST_F(CameraFeedTest, ARecorderReleasedWithoutAStopDetaches) {
  auto first = start("first");
  ASSERT_TRUE(first);
  record(200ms);
  EXPECT_EQ(feed().attachmentCount(), 1u);
  first.reset();
  ASSERT_TRUE(runUntil([&] { return feed().attachmentCount() == 0; }, 10s));
  EXPECT_TRUE(feed().isOpen());
  ASSERT_TRUE(lingerOut(*sources_));
  EXPECT_TRUE(runUntil([&] { return sources_->sourcesAlive() == 0; }, 10s));
  auto second = start("second");
  ASSERT_TRUE(second);
  EXPECT_TRUE(inspectMp4(stop(second)));
}
