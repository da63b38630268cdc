#include "Capture/WebcamRecorder.hpp"
#include "FileSizeLimit.hpp"
#include "Mp4Inspector.hpp"
#include "RecorderTestFixture.hpp"
#include "Runtime/Linux/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "TestCameraSources.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using namespace veltrano::testing;
using Case = RecorderError::Case;

namespace {

const std::string kPattern = testPattern(320, 240);
// A camera that negotiates but never delivers a frame.
const std::string kFrameless = kPattern + " ! identity drop-probability=1.0";

}  // namespace

using WebcamRecorderTest = RecorderTest;

// One recording, and every request out of turn that it must shrug off: a
// stop before the start, a second start, a second stop and a late one.
TEST_F(WebcamRecorderTest, RecordsAHighProfileH264ClipAndRefusesRequestsOutOfTurn) {
  // Snow keeps the encoder busy at any rate: a clip this small reaches the
  // average bit rate only with moving, detailed content.
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240, "pattern=snow"));
  auto recorder = makeRecorder(sources);
  auto early = run(recorder->stopRecording());
  EXPECT_EQ(recorderCase(early->error), Case::notRecording);
  EXPECT_EQ(describe(early->error), "Recording is not active.");
  EXPECT_EQ(sources->sourcesMade(), 0);

  auto started = run(recorder->startRecording(clip()));
  ASSERT_FALSE(started->error) << describe(started->error);
  // The start returns once a frame is in the file, not when the camera runs.
  EXPECT_GE(recorder->statistics().framesWritten, 1u);
  // The first-frame wait ended with the start; it never cuts a recording short.
  drainMain();
  EXPECT_EQ(clock_.pendingSleeps(), 0u);
  clock_.advance(WebcamRecorder::kFirstFrameTimeout * 2);
  auto second = run(recorder->startRecording(clip("second")));
  EXPECT_EQ(recorderCase(second->error), Case::alreadyRecording);
  EXPECT_EQ(describe(second->error), "Recording is already active.");
  EXPECT_FALSE(std::filesystem::exists(clip("second")));

  record(5500ms);  // long enough for the average bit rate, and beyond 60 frames
  auto stopped = run(recorder->stopRecording(), false);
  auto again = run(recorder->stopRecording(), false);
  ASSERT_TRUE(runUntil([&] { return stopped->done && again->done; }));
  ASSERT_FALSE(stopped->error) << describe(stopped->error);
  EXPECT_EQ(stopped->file, clip());
  EXPECT_EQ(recorderCase(again->error), Case::notRecording);
  // The camera stays open for a next clip, then closes.
  EXPECT_EQ(sources->sourcesAlive(), 1);
  EXPECT_TRUE(lingerOut(*sources));
  EXPECT_EQ(sources->sourcesAlive(), 0);
  EXPECT_EQ(recorderCase(run(recorder->stopRecording())->error), Case::notRecording);

  std::string why;
  auto mp4 = inspectMp4(clip(), &why);
  ASSERT_TRUE(mp4) << why;
  EXPECT_EQ(mp4->codec, "video/x-h264");
  EXPECT_EQ(mp4->profileIdc, 100) << "not High profile";
  EXPECT_EQ(mp4->width, 320);
  EXPECT_EQ(mp4->height, 240);
  EXPECT_FALSE(mp4->hasReordering) << "B-frames in the clip";
  EXPECT_GT(mp4->sampleCount, 61u);
  EXPECT_LE(mp4->maxKeyFrameInterval(), 60u);
  // Every frame handed to the writer is in the file, and the file lasts as
  // long as those frames (within one frame).
  EXPECT_EQ(mp4->sampleCount, recorder->statistics().framesAppended);
  EXPECT_EQ(mp4->sampleCount, recorder->statistics().framesWritten);
  EXPECT_NEAR(mp4->durationSeconds, double(mp4->sampleCount) / 30.0, 1.0 / 30.0);
  ASSERT_GE(mp4->durationSeconds, 5.0);
  EXPECT_NEAR(double(mp4->mediaBytes) * 8 / mp4->durationSeconds, 2'000'000, 400'000) << "average bit rate";
}

// A start still waiting for its first frame ends with a stop, with the
// recorder's release, or after ten seconds; never earlier.
TEST_F(WebcamRecorderTest, AStartWaitingForItsFirstFrameEndsWithoutAFileOrARunningCamera) {
  enum class End { stop, release, timeout };
  for (End end : {End::stop, End::release, End::timeout}) {
    SCOPED_TRACE(::testing::Message() << "end " << int(end));
    // Let an earlier round's watch run out, so the pending sleep counted
    // below is this round's.
    clock_.advance(WebcamRecorder::kFirstFrameTimeout * 2);
    ASSERT_EQ(clock_.pendingSleeps(), 0u);
    auto sources = std::make_shared<PipelineSourceFactory>(kFrameless);
    auto recorder = makeRecorder(sources);
    std::ofstream(clip()) << "an older clip";
    auto started = run(recorder->startRecording(clip()), false);
    // The watch must be armed before virtual time moves, or its deadline
    // would count from after the advance.
    ASSERT_TRUE(
        runUntil([&] { return sources->lastSourceState() == GST_STATE_PLAYING && clock_.pendingSleeps() == 1; }));
    // An older file at the target goes before the camera starts, not only
    // when a start fails: no frame has come to replace it.
    EXPECT_FALSE(std::filesystem::exists(clip()));
    clock_.advance(WebcamRecorder::kFirstFrameTimeout - 1ms);
    record(100ms);
    ASSERT_FALSE(started->done) << "gave up before ten seconds";

    std::shared_ptr<Outcome> stopped;
    if (end == End::stop) stopped = run(recorder->stopRecording(), false);
    if (end == End::release) recorder.reset();
    if (end == End::timeout) clock_.advance(1ms);
    ASSERT_TRUE(runUntil([&] { return started->done && (!stopped || stopped->done); }));
    if (end == End::timeout) {
      auto* timeout = errorAs<std::system_error>(started->error);
      ASSERT_TRUE(timeout) << describe(started->error);
      EXPECT_EQ(timeout->code(), std::errc::timed_out);
      EXPECT_STREQ(timeout->what(), "No video frame arrived from the camera within 10 seconds.");
    } else {
      EXPECT_EQ(recorderCase(started->error), Case::notRecording);
    }
    if (stopped) {
      EXPECT_EQ(recorderCase(stopped->error), Case::notRecording);
    }
    EXPECT_FALSE(std::filesystem::exists(clip()));
    EXPECT_TRUE(lingerOut(*sources));
    EXPECT_EQ(sources->sourcesAlive(), 0);
    if (recorder) {
      EXPECT_EQ(recorderCase(run(recorder->stopRecording())->error), Case::notRecording);
    }
  }
}

// Every way a start fails: the start gets its error (the media stack's own
// passed on unchanged), a file already at the target is gone, no camera
// keeps running and the recorder is idle again.
TEST_F(WebcamRecorderTest, AFailedStartGetsItsErrorAndLeavesNoFileAndNoCameraRunning) {
  auto elsewhere = adoptElement(gst_bin_new("elsewhere"));
  auto made = [](std::function<ElementPtr()> make) { return std::make_shared<FunctionSourceFactory>(std::move(make)); };
  auto pipeline = [](const std::string& description) { return std::make_shared<PipelineSourceFactory>(description); };
  struct Row {
    const char* name;
    std::shared_ptr<CameraSourceFactory> sources;
    std::optional<Case> expected;  // nullopt: an error of the media stack
    std::string message;
    std::string target = "clip.mp4";
  };
  std::vector<Row> rows{
      {"no camera", made([] { return ElementPtr(); }), Case::noVideoDevice, "No video capture device is available."},
      {"camera cannot be opened", made([]() -> ElementPtr {
         throw GStreamerError("Device '/dev/video0' is busy", GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY);
       }),
       std::nullopt, "Device '/dev/video0' is busy"},
      // An element that already belongs to another bin cannot join the session.
      {"input refused", made([&] {
         GstElement* source = gst_element_factory_make("videotestsrc", nullptr);
         gst_bin_add(GST_BIN(elsewhere.get()), source);
         return ElementPtr(GST_ELEMENT(gst_object_ref(source)));
       }),
       Case::cannotAddInput, "Could not add camera input to the capture session."},
      // A "camera" with no output pad cannot feed the video data output.
      {"output refused", made([] { return adoptElement(gst_element_factory_make("fakesink", nullptr)); }),
       Case::cannotAddOutput, "Could not add video data output to the capture session."},
      {"runtime error", pipeline(kPattern + " ! identity error-after=1"), std::nullopt,
       "Failed after iterations as requested."},
      {"zero-size frames", pipeline(kPattern + " ! capssetter caps=\"video/x-raw,width=0,height=0\""),
       Case::writerSetupFailed, "Could not start the video encoder."},
      {"file cannot be created", pipeline(kPattern), Case::writerSetupFailed, "Could not start the video encoder.",
       "missing-folder/clip.mp4"},
  };
  if (!SystemCameraSourceFactory().makeSource())  // this machine's real device list has no camera
    rows.push_back({"no camera listed", std::make_shared<SystemCameraSourceFactory>(), Case::noVideoDevice,
                    "No video capture device is available."});

  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto target = dir_ / row.target;
    if (std::filesystem::exists(target.parent_path())) std::ofstream(target) << "an older clip";
    auto recorder = makeRecorder(row.sources);
    auto started = run(recorder->startRecording(target));
    EXPECT_EQ(describe(started->error), row.message);
    EXPECT_EQ(recorderCase(started->error), row.expected);
    if (!row.expected) {
      EXPECT_TRUE(errorAs<GStreamerError>(started->error)) << "wrapped or replaced";
    }
    EXPECT_FALSE(std::filesystem::exists(target));
    auto camera = std::dynamic_pointer_cast<PipelineSourceFactory>(row.sources);
    if (camera) {
      EXPECT_TRUE(lingerOut(*camera));
      EXPECT_EQ(camera->sourcesAlive(), 0);
    }
    EXPECT_EQ(recorderCase(run(recorder->stopRecording())->error), Case::notRecording);
  }
}

// Opening a camera node can block for a while (a USB camera waking up), so
// the permission probe runs off the main actor; it still comes before
// anything else is touched, and its answer comes back to the caller.
TEST_F(WebcamRecorderTest, TheCameraProbeRunsOffTheMainActorBeforeAnythingIsTouched) {
  for (const auto answer : {CameraAccess::denied, CameraAccess::authorized}) {
    SCOPED_TRACE(answer == CameraAccess::denied ? "denied" : "authorized");
    std::promise<CameraAccess> gate;
    auto answered = gate.get_future().share();
    std::atomic<bool> probing{false};
    std::thread::id probeThread;
    auto sources = std::make_shared<PipelineSourceFactory>(kPattern, [&, answered] {
      probeThread = std::this_thread::get_id();
      probing = true;
      // Gives up after a while, so that a probe on the main actor fails the
      // test instead of hanging it.
      return answered.wait_for(2s) == std::future_status::ready ? answered.get() : CameraAccess::authorized;
    });
    std::ofstream(clip()) << "an older clip";
    auto recorder = makeRecorder(sources);
    auto started = run(recorder->startRecording(clip()), false);
    ASSERT_TRUE(runUntil([&] { return probing.load(); }));
    EXPECT_NE(probeThread, std::this_thread::get_id()) << "the probe blocked the main actor";
    record(50ms);
    EXPECT_FALSE(started->done);
    EXPECT_EQ(sources->sourcesMade(), 0);
    EXPECT_EQ(fileContent(clip()), "an older clip");

    gate.set_value(answer);
    ASSERT_TRUE(runUntil([&] { return started->done; }));
    if (answer == CameraAccess::denied) {
      EXPECT_EQ(recorderCase(started->error), Case::cameraPermissionDenied);
      EXPECT_EQ(describe(started->error), "Camera access was denied. Enable it in System Settings.");
      EXPECT_EQ(sources->sourcesMade(), 0);
      EXPECT_EQ(fileContent(clip()), "an older clip");
      EXPECT_EQ(recorderCase(run(recorder->stopRecording())->error), Case::notRecording);
    } else {
      ASSERT_FALSE(started->error) << describe(started->error);
      auto stopped = run(recorder->stopRecording());
      ASSERT_FALSE(stopped->error) << describe(stopped->error);
      EXPECT_TRUE(inspectMp4(stopped->file));
      std::filesystem::remove(stopped->file);
    }
  }
}

// A camera that fails, or ends its stream, while recording: the owner is
// told once, on the main actor, with the reason; the recording no longer
// follows the camera, and the stop still finishes the clip from the frames
// it got.
TEST_F(WebcamRecorderTest, ACameraThatStopsOnItsOwnWhileRecordingStillLetsTheStopFinishTheClip) {
  struct Case {
    std::string source;
    unsigned frames;
    const char* reason;  // null: GStreamer's own text
  };
  for (const Case& c : {Case{kPattern + " ! identity error-after=45", 44u, nullptr},
                        Case{testPattern(320, 240, "num-buffers=20"), 20u, "The camera stopped sending video."}}) {
    SCOPED_TRACE(c.source);
    auto recorder = makeRecorder(std::make_shared<PipelineSourceFactory>(c.source));
    std::vector<std::string> reasons;
    recorder->setFailureHandler([&, testThread = std::this_thread::get_id()](std::string reason) {
      EXPECT_EQ(std::this_thread::get_id(), testThread) << "told on the main actor";
      reasons.push_back(std::move(reason));
    });
    ASSERT_FALSE(run(recorder->startRecording(clip()))->error);
    EXPECT_TRUE(reasons.empty());
    record(1700ms);  // past the camera's end
    ASSERT_EQ(reasons.size(), 1u);
    if (c.reason)
      EXPECT_EQ(reasons[0], c.reason);
    else
      EXPECT_FALSE(reasons[0].empty() || reasons[0] == RecorderError::message(RecorderError::Case::cameraStopped));
    auto stopped = run(recorder->stopRecording());
    ASSERT_FALSE(stopped->error) << describe(stopped->error);
    auto mp4 = inspectMp4(stopped->file);
    ASSERT_TRUE(mp4);
    EXPECT_GT(mp4->sampleCount, 0u);
    EXPECT_LE(mp4->sampleCount, c.frames);
    drainMain();
    EXPECT_EQ(reasons.size(), 1u) << "the stop is no second failure";
  }
}

TEST_F(WebcamRecorderTest, AWriterFailureEndsTheRecordingWithTheWritersOwnErrorAndNoFile) {
  FileSizeLimit limit;
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240, "pattern=snow"));

  // Fails before its first frame is in the file: the start gets the error.
  limit.set(1);
  auto started = run(makeRecorder(sources)->startRecording(clip("early")));
  EXPECT_TRUE(errorAs<GStreamerError>(started->error)) << describe(started->error);
  EXPECT_FALSE(std::filesystem::exists(clip("early")));

  // Fails while recording, with no request waiting: the recording ends,
  // frames still coming create no new writer, and the next stop finds
  // nothing to stop. Snow at 2 Mbit/s passes 256 KB within about a second.
  limit.set(rlim_t{256} * 1024);
  auto midway = makeRecorder(sources);
  std::vector<std::string> reasons;
  midway->setFailureHandler([&](std::string reason) { reasons.push_back(std::move(reason)); });
  ASSERT_FALSE(run(midway->startRecording(clip("midway")))->error);
  ASSERT_TRUE(runUntil([&] { return !std::filesystem::exists(clip("midway")); }));
  ASSERT_TRUE(runUntil([&] { return !reasons.empty(); }));
  EXPECT_FALSE(reasons[0].empty());
  EXPECT_TRUE(lingerOut(*sources));
  EXPECT_EQ(sources->sourcesAlive(), 0);
  EXPECT_EQ(recorderCase(run(midway->stopRecording())->error), Case::notRecording);

  // Fails while finishing: no byte may be added any more, so the index at
  // the end cannot be written. The stop gets the writer's error and the
  // broken file is removed.
  limit.set(RLIM_INFINITY);
  auto finishing = makeRecorder(sources);
  bool toldOfFailure = false;
  finishing->setFailureHandler([&](std::string) { toldOfFailure = true; });
  ASSERT_FALSE(run(finishing->startRecording(clip("finishing")))->error);
  record(500ms);
  limit.set(std::filesystem::file_size(clip("finishing")));
  auto stopped = run(finishing->stopRecording());
  EXPECT_TRUE(errorAs<GStreamerError>(stopped->error)) << describe(stopped->error);
  EXPECT_FALSE(std::filesystem::exists(clip("finishing")));
  drainMain();
  EXPECT_FALSE(toldOfFailure) << "a failure the stop reports is not the clip's failure";
  EXPECT_EQ(reasons.size(), 1u);
}

TEST_F(WebcamRecorderTest, ARequestDroppedUnansweredCompletesOnceWithNotRecordingOnTheCallersExecutor) {
  std::optional<PendingRequest<int>> slot;
  auto out = run(asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, int)>(
                     [&](auto handler) {
                       auto executor = asio::get_associated_executor(handler);
                       slot.emplace(executor, PendingRequest<int>::Handler(std::move(handler)), 7);
                     },
                     asio::use_awaitable),
                 false);
  drainMain();
  ASSERT_TRUE(slot.has_value());
  // Dropped on another thread, as a queue would.
  std::thread([&] { slot.reset(); }).join();
  EXPECT_FALSE(out->done) << "completed inline instead of on the caller's executor";
  drainMain();
  EXPECT_TRUE(out->done);
  EXPECT_EQ(recorderCase(out->error), Case::notRecording);
}

namespace {

// GST_TRACERS=leaks is running.
bool underLeaksTracer() {
  bool found = false;
  GList* tracers = gst_tracing_get_active_tracers();
  for (GList* tracer = tracers; tracer; tracer = tracer->next)
    found = found || g_str_equal(G_OBJECT_TYPE_NAME(tracer->data), "GstLeaksTracer");
  g_list_free_full(tracers, gst_object_unref);
  return found;
}

// Under the leaks tracer, GStreamer is shut down after the last test so
// that the tracer reports every object still alive ("object-alive").
struct MediaStackShutdown : ::testing::Environment {
  void TearDown() override {
    if (underLeaksTracer()) gst_deinit();
  }
};
[[maybe_unused]] const auto* const kMediaStackShutdown = ::testing::AddGlobalTestEnvironment(new MediaStackShutdown);

}  // namespace

// Hours of recording are thousands of clips, each with a fresh recorder:
// every pipeline, encoder, queue thread and descriptor of a clip must go
// with it, and its camera source with the camera's linger. The camera sends MJPEG through
// the shipping converter, as many webcams do.
TEST_F(WebcamRecorderTest, TwentyClipsWithFreshRecordersLeaveFdsThreadsAndMemoryAtTheirBaseline) {
  auto sources = std::make_shared<PipelineSourceFactory>(
      "videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=30/1 ! jpegenc",
      [] { return CameraAccess::authorized; }, convertCameraOutput);
  auto recordClip = [&] {
    auto recorder = makeRecorder(sources);
    auto started = run(recorder->startRecording(clip()));
    ASSERT_FALSE(started->error) << describe(started->error);
    record(100ms);
    auto stopped = run(recorder->stopRecording());
    ASSERT_FALSE(stopped->error) << describe(stopped->error);
    recorder.reset();
    EXPECT_TRUE(lingerOut(*sources));
    EXPECT_EQ(sources->sourcesAlive(), 0) << "the camera source outlived its linger";
    std::filesystem::remove(clip());
  };
  for (int i = 0; i < 2; ++i) recordClip();
  const auto baseline = processResources();
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    recordClip();
    if (HasFatalFailure()) return;
  }
  // GLib's thread pools keep idle threads for a while before they exit.
  auto after = processResources();
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       after.threads > baseline.threads + 2 && std::chrono::steady_clock::now() < deadline; after = processResources())
    std::this_thread::sleep_for(100ms);
  std::printf(
      "after warm-up: %ld fds, %ld threads, %ld KiB resident; after 20 more clips: %ld fds, %ld threads, %ld KiB\n",
      baseline.fds, baseline.threads, baseline.rssKiB, after.fds, after.threads, after.rssKiB);
  EXPECT_EQ(after.fds, baseline.fds);
  EXPECT_LE(after.threads, baseline.threads + 2);
  // A sanitizer's allocator holds freed memory back in quarantine; there the
  // fd and thread counts (and the sanitizer's own leak report) must do.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LE(after.rssKiB - baseline.rssKiB, 5 * 1024);
#endif
}
