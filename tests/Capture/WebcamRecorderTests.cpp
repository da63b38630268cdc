#include "Capture/WebcamRecorder.hpp"
#include "Mp4Inspector.hpp"
#include "Runtime/MainExecutor.hpp"
#include "Runtime/Task.hpp"
#include "TestCameraSources.hpp"
#include "support/VirtualClock.hpp"

#include <gtest/gtest.h>

#include <glib.h>
#include <gst/pbutils/pbutils.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

using namespace veltrano;
using namespace std::chrono_literals;
using veltrano::testing::FunctionSourceFactory;
using veltrano::testing::inspectMp4;
using veltrano::testing::PipelineSourceFactory;
using veltrano::testing::testPattern;
using veltrano::testing::VirtualClock;
using Case = RecorderError::Case;

namespace {

struct Outcome {
  bool done = false;
  std::exception_ptr error;
  std::filesystem::path file;
};

Awaitable<void> startInto(WebcamRecorder* recorder, std::filesystem::path file, std::shared_ptr<Outcome> out) {
  try {
    co_await recorder->startRecording(std::move(file));
  } catch (...) {
    out->error = std::current_exception();
  }
  out->done = true;
}

Awaitable<void> stopInto(WebcamRecorder* recorder, std::shared_ptr<Outcome> out) {
  try {
    out->file = co_await recorder->stopRecording();
  } catch (...) {
    out->error = std::current_exception();
  }
  out->done = true;
}

std::optional<Case> recorderCase(const std::exception_ptr& error) {
  if (!error) return std::nullopt;
  try {
    std::rethrow_exception(error);
  } catch (const RecorderError& e) {
    return e.value();
  } catch (...) {
    return std::nullopt;
  }
}

std::string describe(const std::exception_ptr& error) {
  if (!error) return "(success)";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

struct Discovered {
  std::string caps;
  int width = 0, height = 0;
  double durationSeconds = 0;
};

std::optional<Discovered> discover(const std::filesystem::path& file) {
  GError* error = nullptr;
  GstDiscoverer* discoverer = gst_discoverer_new(10 * GST_SECOND, &error);
  if (!discoverer) return std::nullopt;
  gchar* uri = gst_filename_to_uri(file.c_str(), nullptr);
  GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, uri, &error);
  g_free(uri);
  std::optional<Discovered> result;
  if (info && gst_discoverer_info_get_result(info) == GST_DISCOVERER_OK) {
    GList* streams = gst_discoverer_info_get_video_streams(info);
    if (streams && !streams->next) {
      auto* video = GST_DISCOVERER_VIDEO_INFO(streams->data);
      Discovered d;
      GstCaps* caps = gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(video));
      gchar* text = gst_caps_to_string(caps);
      d.caps = text;
      g_free(text);
      gst_caps_unref(caps);
      d.width = int(gst_discoverer_video_info_get_width(video));
      d.height = int(gst_discoverer_video_info_get_height(video));
      d.durationSeconds = double(gst_discoverer_info_get_duration(info)) / GST_SECOND;
      result = d;
    }
    gst_discoverer_stream_info_list_free(streams);
  }
  if (error) g_error_free(error);
  if (info) g_object_unref(info);
  g_object_unref(discoverer);
  return result;
}

// The test thread is the main actor: a private GLib context it iterates.
// Sleeps of the recorder (the first-frame wait) run on a virtual clock.
class WebcamRecorderTest : public ::testing::Test {
 protected:
  WebcamRecorderTest() : glib_(g_main_context_new()), main_(glib_), clock_([this] { drainMain(); }) {
    g_main_context_push_thread_default(glib_);
    ensureGStreamer();
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() / ("veltrano-recorder-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
  }
  ~WebcamRecorderTest() override {
    drainMain();
    g_main_context_pop_thread_default(glib_);
    g_main_context_unref(glib_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void drainMain() {
    while (g_main_context_iteration(glib_, FALSE)) {
    }
  }
  // Iterates the main actor until `done` (or the safety limit, which only
  // keeps a broken build from hanging; no assertion depends on timing).
  bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!g_main_context_iteration(glib_, FALSE)) std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // Keeps the main actor running while the camera records for `duration`.
  void record(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    runUntil([&] { return std::chrono::steady_clock::now() >= until; });
  }

  std::shared_ptr<WebcamRecorder> makeRecorder(std::shared_ptr<CameraSourceFactory> sources) {
    return WebcamRecorder::create(std::move(sources), clock_.sleepFunction());
  }
  std::shared_ptr<Outcome> start(WebcamRecorder& recorder, const std::filesystem::path& file) {
    auto out = std::make_shared<Outcome>();
    Task::spawn(main_.get_executor(), startInto(&recorder, file, out));
    return out;
  }
  std::shared_ptr<Outcome> stop(WebcamRecorder& recorder) {
    auto out = std::make_shared<Outcome>();
    Task::spawn(main_.get_executor(), stopInto(&recorder, out));
    return out;
  }
  std::shared_ptr<Outcome> startAndWait(WebcamRecorder& recorder, const std::filesystem::path& file) {
    auto out = start(recorder, file);
    EXPECT_TRUE(runUntil([&] { return out->done; })) << "start never completed";
    return out;
  }
  std::shared_ptr<Outcome> stopAndWait(WebcamRecorder& recorder) {
    auto out = stop(recorder);
    EXPECT_TRUE(runUntil([&] { return out->done; })) << "stop never completed";
    return out;
  }

  std::filesystem::path clip(const std::string& name = "clip") const { return dir_ / (name + ".mp4"); }

  GMainContext* glib_;
  MainContext main_;
  VirtualClock clock_;
  std::filesystem::path dir_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The clip

TEST_F(WebcamRecorderTest, RecordsAHighProfileH264ClipOfTheSourceSizeWithBoundedKeyframeGaps) {
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240, "pattern=ball"));
  auto recorder = makeRecorder(sources);
  const auto target = clip();

  auto started = startAndWait(*recorder, target);
  ASSERT_FALSE(started->error) << describe(started->error);
  // The start returns once a frame is in the file, not when the camera runs.
  EXPECT_GE(recorder->statistics().framesWritten, 1u);
  EXPECT_TRUE(std::filesystem::exists(target));

  record(2500ms);  // more than 60 frames, so the keyframe limit shows
  auto stopped = stopAndWait(*recorder);
  ASSERT_FALSE(stopped->error) << describe(stopped->error);
  EXPECT_EQ(stopped->file, target);
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);

  std::string why;
  auto mp4 = inspectMp4(target, &why);
  ASSERT_TRUE(mp4) << why;
  EXPECT_EQ(mp4->sampleEntry, "avc1");
  EXPECT_EQ(mp4->profileIdc, 100) << "not High profile";
  EXPECT_EQ(mp4->width, 320);
  EXPECT_EQ(mp4->height, 240);
  EXPECT_FALSE(mp4->hasReordering) << "B-frames in the clip";
  EXPECT_GT(mp4->sampleCount, 61u);
  EXPECT_LE(mp4->maxKeyFrameInterval(), 60u);
  EXPECT_GE(mp4->syncSamples.size(), 2u);

  // Every frame handed to the writer is in the file, and the file lasts
  // exactly as long as those frames (within one frame).
  const auto stats = recorder->statistics();
  EXPECT_EQ(mp4->sampleCount, stats.framesAppended);
  EXPECT_EQ(mp4->sampleCount, stats.framesWritten);
  EXPECT_NEAR(mp4->durationSeconds, double(mp4->sampleCount) / 30.0, 1.0 / 30.0);

  auto found = discover(target);
  ASSERT_TRUE(found) << "discoverer could not read the clip";
  EXPECT_NE(found->caps.find("video/x-h264"), std::string::npos) << found->caps;
  EXPECT_NE(found->caps.find("profile=(string)high"), std::string::npos) << found->caps;
  EXPECT_EQ(found->width, 320);
  EXPECT_EQ(found->height, 240);
  EXPECT_NEAR(found->durationSeconds, mp4->durationSeconds, 1.0 / 30.0);
}

TEST_F(WebcamRecorderTest, AFrameSizeOfZeroFailsTheStartWithWriterSetupFailedAndLeavesNoFile) {
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240) +
                                                         " ! capssetter caps=\"video/x-raw,width=0,height=0\"");
  auto recorder = makeRecorder(sources);
  auto started = startAndWait(*recorder, clip());
  EXPECT_EQ(recorderCase(started->error), Case::writerSetupFailed);
  EXPECT_EQ(describe(started->error), "Could not start the video encoder.");
  EXPECT_FALSE(std::filesystem::exists(clip()));
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);
  // Idle again: nothing to stop.
  EXPECT_EQ(recorderCase(stopAndWait(*recorder)->error), Case::notRecording);
}

TEST_F(WebcamRecorderTest, AWriterThatCannotCreateItsFileFailsTheStart) {
  auto recorder = makeRecorder(std::make_shared<PipelineSourceFactory>(testPattern(320, 240)));
  const auto target = dir_ / "missing-folder" / "clip.mp4";
  auto started = startAndWait(*recorder, target);
  EXPECT_EQ(recorderCase(started->error), Case::writerSetupFailed);
  EXPECT_FALSE(std::filesystem::exists(target));
}

// ---------------------------------------------------------------------------
// Requests

TEST_F(WebcamRecorderTest, ASecondStartFailsWhileTheFirstRecordingGoesOn) {
  auto recorder = makeRecorder(std::make_shared<PipelineSourceFactory>(testPattern(320, 240)));
  ASSERT_FALSE(startAndWait(*recorder, clip("first"))->error);

  auto second = startAndWait(*recorder, clip("second"));
  EXPECT_EQ(recorderCase(second->error), Case::alreadyRecording);
  EXPECT_EQ(describe(second->error), "Recording is already active.");
  EXPECT_FALSE(std::filesystem::exists(clip("second")));

  const auto writtenAtSecondStart = recorder->statistics().framesWritten;
  record(500ms);
  auto stopped = stopAndWait(*recorder);
  ASSERT_FALSE(stopped->error) << describe(stopped->error);
  EXPECT_EQ(stopped->file, clip("first"));
  auto mp4 = inspectMp4(clip("first"));
  ASSERT_TRUE(mp4);
  EXPECT_GT(mp4->sampleCount, writtenAtSecondStart);
}

TEST_F(WebcamRecorderTest, StopWithoutARecordingFailsAtOnceAlsoAfterAFinishedClip) {
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240));
  auto recorder = makeRecorder(sources);
  auto early = stopAndWait(*recorder);
  EXPECT_EQ(recorderCase(early->error), Case::notRecording);
  EXPECT_EQ(describe(early->error), "Recording is not active.");
  EXPECT_EQ(sources->sourcesMade(), 0);

  ASSERT_FALSE(startAndWait(*recorder, clip())->error);
  ASSERT_FALSE(stopAndWait(*recorder)->error);
  EXPECT_EQ(recorderCase(stopAndWait(*recorder)->error), Case::notRecording);
  EXPECT_TRUE(inspectMp4(clip())) << "a late stop must not disturb the finished clip";
}

TEST_F(WebcamRecorderTest, OfTwoStopsInARowTheSecondFailsAndTheFirstReturnsTheClip) {
  auto recorder = makeRecorder(std::make_shared<PipelineSourceFactory>(testPattern(320, 240)));
  ASSERT_FALSE(startAndWait(*recorder, clip())->error);
  record(300ms);
  auto first = stop(*recorder);
  auto second = stop(*recorder);
  ASSERT_TRUE(runUntil([&] { return first->done && second->done; }));
  ASSERT_FALSE(first->error) << describe(first->error);
  EXPECT_EQ(first->file, clip());
  EXPECT_EQ(recorderCase(second->error), Case::notRecording);
  EXPECT_TRUE(inspectMp4(clip()));
}

TEST_F(WebcamRecorderTest, AStopWhileTheStartWaitsForItsFirstFrameFailsBothAndLeavesNoFile) {
  // A camera that negotiates but never delivers a frame.
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240) + " ! identity drop-probability=1.0");
  auto recorder = makeRecorder(sources);
  auto started = start(*recorder, clip());
  // Let the session come up; the start must still be waiting.
  ASSERT_TRUE(runUntil([&] { return sources->lastSourceState() == GST_STATE_PLAYING; }));
  record(200ms);
  EXPECT_FALSE(started->done);

  auto stopped = stop(*recorder);
  ASSERT_TRUE(runUntil([&] { return started->done && stopped->done; }));
  EXPECT_EQ(recorderCase(started->error), Case::notRecording);
  EXPECT_EQ(recorderCase(stopped->error), Case::notRecording);
  EXPECT_FALSE(std::filesystem::exists(clip()));
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);
}

TEST_F(WebcamRecorderTest, AStartWithoutAFirstFrameGivesUpAfterTenSecondsWithETIMEDOUT) {
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240) + " ! identity drop-probability=1.0");
  auto recorder = makeRecorder(sources);
  auto started = start(*recorder, clip());
  ASSERT_TRUE(runUntil([&] { return sources->lastSourceState() == GST_STATE_PLAYING; }));
  ASSERT_EQ(clock_.pendingSleeps(), 1u);

  clock_.advance(WebcamRecorder::kFirstFrameTimeout - 1ms);
  record(100ms);
  EXPECT_FALSE(started->done) << "gave up before ten seconds";

  clock_.advance(1ms);
  ASSERT_TRUE(runUntil([&] { return started->done; }));
  ASSERT_TRUE(started->error);
  try {
    std::rethrow_exception(started->error);
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::timed_out);
    EXPECT_STREQ(e.what(), "No video frame arrived from the camera within 10 seconds.");
  } catch (...) {
    ADD_FAILURE() << "expected a system_error, got: " << describe(started->error);
  }
  EXPECT_FALSE(std::filesystem::exists(clip()));
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);
  EXPECT_EQ(recorderCase(stopAndWait(*recorder)->error), Case::notRecording);
}

TEST_F(WebcamRecorderTest, TheFirstFrameWaitEndsWithTheStartAndNeverCutsARecordingShort) {
  auto recorder = makeRecorder(std::make_shared<PipelineSourceFactory>(testPattern(320, 240)));
  ASSERT_FALSE(startAndWait(*recorder, clip())->error);
  drainMain();
  EXPECT_EQ(clock_.pendingSleeps(), 0u) << "the wait outlived the start";
  clock_.advance(WebcamRecorder::kFirstFrameTimeout * 2);
  record(300ms);
  auto stopped = stopAndWait(*recorder);
  ASSERT_FALSE(stopped->error) << describe(stopped->error);
  EXPECT_TRUE(inspectMp4(clip()));
}

TEST_F(WebcamRecorderTest, ARecorderReleasedWhileItsStartWaitsAnswersNotRecording) {
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240) + " ! identity drop-probability=1.0");
  auto recorder = makeRecorder(sources);
  auto started = start(*recorder, clip());
  ASSERT_TRUE(runUntil([&] { return sources->lastSourceState() == GST_STATE_PLAYING; }));
  recorder.reset();
  ASSERT_TRUE(runUntil([&] { return started->done; }));
  EXPECT_EQ(recorderCase(started->error), Case::notRecording);
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);
}

// ---------------------------------------------------------------------------
// Camera and session failures

TEST_F(WebcamRecorderTest, DeniedCameraAccessFailsBeforeTheTargetFileOrAnyCameraIsTouched) {
  std::ofstream(clip()) << "an older clip";
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240), CameraAccess::denied);
  auto recorder = makeRecorder(sources);
  auto started = startAndWait(*recorder, clip());
  EXPECT_EQ(recorderCase(started->error), Case::cameraPermissionDenied);
  EXPECT_EQ(describe(started->error), "Camera access was denied. Enable it in System Settings.");
  EXPECT_EQ(sources->accessChecks(), 1);
  EXPECT_EQ(sources->sourcesMade(), 0);
  std::ifstream in(clip());
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "an older clip");
}

TEST_F(WebcamRecorderTest, WithoutACameraTheStartFailsWithNoVideoDeviceAfterClearingTheTarget) {
  std::ofstream(clip()) << "an older clip";
  auto recorder = makeRecorder(std::make_shared<FunctionSourceFactory>([] { return ElementPtr(); }));
  auto started = startAndWait(*recorder, clip());
  EXPECT_EQ(recorderCase(started->error), Case::noVideoDevice);
  EXPECT_EQ(describe(started->error), "No video capture device is available.");
  EXPECT_FALSE(std::filesystem::exists(clip()));
  EXPECT_EQ(recorderCase(stopAndWait(*recorder)->error), Case::notRecording);
}

TEST_F(WebcamRecorderTest, OnThisMachinesRealDeviceListWithoutACameraTheStartFailsWithNoVideoDevice) {
  auto system = std::make_shared<SystemCameraSourceFactory>();
  if (system->makeSource()) GTEST_SKIP() << "this machine has a camera";
  auto recorder = makeRecorder(system);
  auto started = startAndWait(*recorder, clip());
  EXPECT_EQ(recorderCase(started->error), Case::noVideoDevice);
  EXPECT_FALSE(std::filesystem::exists(clip()));
}

TEST_F(WebcamRecorderTest, ACameraThatCannotBeOpenedPassesItsOwnErrorOnUnchanged) {
  auto recorder = makeRecorder(std::make_shared<FunctionSourceFactory>([]() -> ElementPtr {
    throw GStreamerError("Device '/dev/video0' is busy", GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY);
  }));
  auto started = startAndWait(*recorder, clip());
  ASSERT_TRUE(started->error);
  try {
    std::rethrow_exception(started->error);
  } catch (const GStreamerError& e) {
    EXPECT_STREQ(e.what(), "Device '/dev/video0' is busy");
    EXPECT_EQ(e.code(), GST_RESOURCE_ERROR_BUSY);
  } catch (...) {
    ADD_FAILURE() << "wrapped or replaced: " << describe(started->error);
  }
  EXPECT_FALSE(std::filesystem::exists(clip()));
}

TEST_F(WebcamRecorderTest, AnInputOrOutputTheSessionRefusesFailsWithItsOwnCase) {
  // An element that already belongs to another bin cannot join the session.
  auto elsewhere = adoptElement(gst_bin_new("elsewhere"));
  auto inputRecorder = makeRecorder(std::make_shared<FunctionSourceFactory>([&] {
    GstElement* source = gst_element_factory_make("videotestsrc", nullptr);
    gst_bin_add(GST_BIN(elsewhere.get()), source);
    return ElementPtr(GST_ELEMENT(gst_object_ref(source)));
  }));
  auto input = startAndWait(*inputRecorder, clip("input"));
  EXPECT_EQ(recorderCase(input->error), Case::cannotAddInput);
  EXPECT_EQ(describe(input->error), "Could not add camera input to the capture session.");

  // A "camera" with no output pad cannot feed the video data output.
  auto outputRecorder = makeRecorder(std::make_shared<FunctionSourceFactory>(
      [] { return adoptElement(gst_element_factory_make("fakesink", nullptr)); }));
  auto output = startAndWait(*outputRecorder, clip("output"));
  EXPECT_EQ(recorderCase(output->error), Case::cannotAddOutput);
  EXPECT_EQ(describe(output->error), "Could not add video data output to the capture session.");
  EXPECT_FALSE(std::filesystem::exists(clip("input")));
  EXPECT_FALSE(std::filesystem::exists(clip("output")));
}

TEST_F(WebcamRecorderTest, ARuntimeErrorBeforeTheFirstFrameFailsTheStartWithTheSessionsError) {
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240) + " ! identity error-after=1");
  auto recorder = makeRecorder(sources);
  auto started = startAndWait(*recorder, clip());
  ASSERT_TRUE(started->error);
  EXPECT_FALSE(recorderCase(started->error)) << "the session's own error must be passed on";
  EXPECT_EQ(describe(started->error), "Failed after iterations as requested.");
  EXPECT_FALSE(std::filesystem::exists(clip()));
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);
}

TEST_F(WebcamRecorderTest, ACameraThatStopsOnItsOwnWhileRecordingStillLetsTheStopFinishTheClip) {
  // 45 frames, then the camera fails; the recording no longer follows
  // runtime errors, and the stop has to cope with a pipeline already down.
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240) + " ! identity error-after=45");
  auto recorder = makeRecorder(sources);
  ASSERT_FALSE(startAndWait(*recorder, clip())->error);
  record(2500ms);
  auto stopped = stopAndWait(*recorder);
  ASSERT_FALSE(stopped->error) << describe(stopped->error);
  auto mp4 = inspectMp4(stopped->file);
  ASSERT_TRUE(mp4);
  EXPECT_GT(mp4->sampleCount, 0u);
  EXPECT_LT(mp4->sampleCount, 45u);

  // A camera that ends its stream (EOS) instead of failing.
  auto ending = std::make_shared<PipelineSourceFactory>(
      testPattern(320, 240, "num-buffers=20"));
  auto second = makeRecorder(ending);
  ASSERT_FALSE(startAndWait(*second, clip("ended"))->error);
  record(1500ms);
  auto ended = stopAndWait(*second);
  ASSERT_FALSE(ended->error) << describe(ended->error);
  auto endedMp4 = inspectMp4(clip("ended"));
  ASSERT_TRUE(endedMp4);
  EXPECT_LE(endedMp4->sampleCount, 20u);
}

// ---------------------------------------------------------------------------
// Writer failures: a file-size limit makes every write past it fail, as a
// full disk would.

namespace {

class FileSizeLimit {
 public:
  FileSizeLimit() {
    getrlimit(RLIMIT_FSIZE, &original_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // fail the write instead of killing the process
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &original_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  void set(rlim_t bytes) {
    rlimit limit{bytes, original_.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }

 private:
  rlimit original_{};
  void (*previousHandler_)(int) = SIG_DFL;
};

bool isMediaStackError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const GStreamerError&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

TEST_F(WebcamRecorderTest, AWriterFailureEndsTheRecordingWithTheWritersOwnErrorAndNoFile) {
  FileSizeLimit limit;
  auto sources = std::make_shared<PipelineSourceFactory>(testPattern(320, 240, "pattern=snow"));

  // Fails before its first frame is in the file: the start gets the error.
  limit.set(1);
  auto early = makeRecorder(sources);
  auto started = startAndWait(*early, clip("early"));
  ASSERT_TRUE(started->error);
  EXPECT_TRUE(isMediaStackError(started->error)) << describe(started->error);
  EXPECT_FALSE(std::filesystem::exists(clip("early")));

  // Fails while recording, with no request waiting: the recording ends,
  // frames still coming create no new writer, and the next stop finds
  // nothing to stop.
  limit.set(256 * 1024);
  auto midway = makeRecorder(sources);
  ASSERT_FALSE(startAndWait(*midway, clip("midway"))->error);
  // Snow at 2 Mbit/s passes 256 KB within about a second; the torn-down
  // recording removes its file.
  ASSERT_TRUE(runUntil([&] { return !std::filesystem::exists(clip("midway")); }));
  EXPECT_EQ(sources->lastSourceState(), GST_STATE_NULL);
  auto stoppedMidway = stopAndWait(*midway);
  EXPECT_EQ(recorderCase(stoppedMidway->error), Case::notRecording);

  // Fails while finishing: no byte may be added to the file any more, so
  // the index written at the end cannot be written. The stop gets the
  // writer's error and the broken file is removed.
  limit.set(RLIM_INFINITY);
  auto finishing = makeRecorder(sources);
  ASSERT_FALSE(startAndWait(*finishing, clip("finishing"))->error);
  record(500ms);
  limit.set(std::filesystem::file_size(clip("finishing")));
  auto stopped = stopAndWait(*finishing);
  ASSERT_TRUE(stopped->error);
  EXPECT_TRUE(isMediaStackError(stopped->error)) << describe(stopped->error);
  EXPECT_FALSE(std::filesystem::exists(clip("finishing")));
}

// ---------------------------------------------------------------------------
// The one-shot request

namespace {

Awaitable<void> awaitDroppedRequest(std::optional<PendingRequest<int>>* slot, std::shared_ptr<Outcome> out) {
  auto initiate = [slot](auto handler) {
    auto executor = asio::get_associated_executor(handler);
    slot->emplace(executor, PendingRequest<int>::Handler(std::move(handler)), 7);
  };
  try {
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void(std::exception_ptr, int)>(initiate,
                                                                                                 asio::use_awaitable);
  } catch (...) {
    out->error = std::current_exception();
  }
  out->done = true;
}

}  // namespace

TEST_F(WebcamRecorderTest, ARequestDroppedUnansweredCompletesOnceWithNotRecordingOnTheCallersExecutor) {
  std::optional<PendingRequest<int>> slot;
  auto out = std::make_shared<Outcome>();
  Task::spawn(main_.get_executor(), awaitDroppedRequest(&slot, out));
  drainMain();
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->generation(), 7u);

  // Dropped on another thread, as a queue would.
  std::thread([&] { slot.reset(); }).join();
  EXPECT_FALSE(out->done) << "completed inline instead of on the caller's executor";
  drainMain();
  EXPECT_TRUE(out->done);
  EXPECT_EQ(recorderCase(out->error), Case::notRecording);
}
