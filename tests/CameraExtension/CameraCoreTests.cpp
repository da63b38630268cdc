#include "CameraDeviceSource.hpp"
#include "CameraError.hpp"
#include "CameraFakes.hpp"
#include "CameraProviderSource.hpp"
#include "Identity.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>

namespace veltranocam {
namespace {

using testing::CapturingLogger;
using testing::FakeBackend;
using testing::FakeCameraSystem;
using testing::ManualQueue;

struct Rig {
  FakeBackend backend;
  FakeCameraSystem cameras;
  ManualQueue queue;
  CapturingLogger log;
  std::optional<CameraProviderSource> provider;

  CameraProviderSource& make() { return provider.emplace(backend, cameras, queue, log); }
  CameraDeviceSource& device() { return *provider->deviceSource(); }
  CameraStreamSource& stream() { return *device().streamSource(); }
};

// Events: S = a client starts the stream, T = a client stops it, R = the
// capture queue runs what is queued.
struct CounterCase {
  const char* events;
  std::uint32_t counter;
  int sessionsMade;
  int sessionStarts;
  int sessionStops;
  bool sessionRunning;
};

void PrintTo(const CounterCase& c, std::ostream* os) {
  *os << c.events;
}

class CounterTable : public ::testing::TestWithParam<CounterCase> {};

TEST_P(CounterTable, DrivesCaptureOnlyOnFirstStartAndLastStop) {
  const auto& c = GetParam();
  Rig rig;
  rig.make();
  for (const char* e = c.events; *e; ++e) {
    if (*e == 'S') rig.stream().startStream();
    if (*e == 'T') rig.stream().stopStream();
    if (*e == 'R') rig.queue.runAll();
  }
  rig.queue.runAll();
  EXPECT_EQ(rig.device().streamingCounter(), c.counter);
  EXPECT_EQ(rig.cameras.sessions.made, c.sessionsMade);
  EXPECT_EQ(rig.cameras.sessions.started, c.sessionStarts);
  EXPECT_EQ(rig.cameras.sessions.stopped, c.sessionStops);
  EXPECT_EQ(rig.cameras.sessions.current != nullptr && rig.cameras.sessions.current->running, c.sessionRunning);
  EXPECT_TRUE(rig.log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Events, CounterTable,
                         ::testing::Values(CounterCase{"SR", 1, 1, 1, 0, true}, CounterCase{"SRSR", 2, 1, 1, 0, true},
                                           CounterCase{"SSRT", 1, 1, 1, 0, true},
                                           CounterCase{"SSRTT", 0, 1, 1, 1, false}, CounterCase{"T", 0, 0, 0, 0, false},
                                           CounterCase{"TTS", 1, 1, 1, 0, true},
                                           // A stop that overtakes the start's queued task: nothing starts.
                                           CounterCase{"ST", 0, 0, 0, 0, false}, CounterCase{"STS", 1, 2, 2, 1, true},
                                           CounterCase{"SRTRSR", 1, 2, 2, 1, true}),
                         [](const auto& info) { return std::string(info.param.events); });

TEST(CameraCounter, NeverWrapsAtTheLimit) {
  std::uint32_t counter = std::numeric_limits<std::uint32_t>::max() - 1;
  EXPECT_TRUE(incrementWithoutWrap(counter));
  EXPECT_EQ(counter, std::numeric_limits<std::uint32_t>::max());
  EXPECT_FALSE(incrementWithoutWrap(counter));
  EXPECT_EQ(counter, std::numeric_limits<std::uint32_t>::max());
}

struct AccessCase {
  CameraAuthorizationStatus status;
  std::optional<bool> answer;
  bool capturing;
  const char* message;
};

void PrintTo(const AccessCase& c, std::ostream* os) {
  *os << "status " << static_cast<int>(c.status);
}

class CameraAccess : public ::testing::TestWithParam<AccessCase> {};

TEST_P(CameraAccess, StartsCaptureOnlyWhenAllowed) {
  const auto& c = GetParam();
  Rig rig;
  rig.cameras.status = c.status;
  rig.make();
  rig.stream().startStream();
  if (c.answer) {
    ASSERT_TRUE(rig.cameras.pendingAnswer);
    rig.cameras.pendingAnswer(*c.answer);
  }
  rig.queue.runAll();
  EXPECT_EQ(rig.cameras.sessions.started, c.capturing ? 1 : 0);
  EXPECT_EQ(rig.device().streamingCounter(), 1u);  // the stream stays started either way
  if (c.message)
    EXPECT_EQ(rig.log.lines(), std::vector<std::string>{c.message});
  else
    EXPECT_TRUE(rig.log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, CameraAccess,
                         ::testing::Values(AccessCase{CameraAuthorizationStatus::authorized, std::nullopt, true,
                                                      nullptr},
                                           AccessCase{CameraAuthorizationStatus::notDetermined, true, true, nullptr},
                                           AccessCase{CameraAuthorizationStatus::notDetermined, false, false,
                                                      "Camera access denied by user"},
                                           AccessCase{CameraAuthorizationStatus::restricted, std::nullopt, false,
                                                      "Camera access not authorized (status 1)"},
                                           AccessCase{CameraAuthorizationStatus::denied, std::nullopt, false,
                                                      "Camera access not authorized (status 2)"}));

TEST(CameraAccess, GrantArrivingAfterTheLastStopStartsNothing) {
  Rig rig;
  rig.cameras.status = CameraAuthorizationStatus::notDetermined;
  rig.make();
  rig.stream().startStream();
  rig.stream().stopStream();
  rig.cameras.pendingAnswer(true);
  rig.queue.runAll();
  EXPECT_EQ(rig.cameras.sessions.made, 0);
}

TEST(CameraAccess, AnswerAfterTheDeviceIsGoneDoesNothing) {
  Rig rig;
  rig.cameras.status = CameraAuthorizationStatus::notDetermined;
  rig.make();
  rig.stream().startStream();
  auto answer = rig.cameras.pendingAnswer;
  rig.provider.reset();
  answer(true);
  answer(false);
  EXPECT_EQ(rig.queue.pending(), 0u);
  EXPECT_TRUE(rig.log.lines().empty());
}

struct SetupFailureCase {
  std::optional<CaptureSetupError> failure;
  bool noCamera;
  const char* message;
};

void PrintTo(const SetupFailureCase& c, std::ostream* os) {
  *os << c.message;
}

class CaptureSetup : public ::testing::TestWithParam<SetupFailureCase> {};

TEST_P(CaptureSetup, FailureLogsAndTheNextStartFromZeroTriesAgain) {
  const auto& c = GetParam();
  Rig rig;
  rig.make();
  rig.cameras.setupFailure = c.failure;
  if (c.noCamera) rig.cameras.camera.reset();
  rig.stream().startStream();
  rig.queue.runAll();
  EXPECT_EQ(rig.log.lines(), std::vector<std::string>{c.message});
  EXPECT_EQ(rig.device().streamingCounter(), 1u);
  EXPECT_EQ(rig.cameras.sessions.made, 0);

  rig.cameras.setupFailure.reset();
  rig.cameras.camera = CameraInfo{"Back", 640, 480, MediaTime::make(1, 30), MediaTime::make(1, 30), {}};
  rig.stream().startStream();  // counter 2: capture is considered starting
  rig.queue.runAll();
  EXPECT_EQ(rig.cameras.sessions.made, 0);
  rig.stream().stopStream();
  rig.stream().stopStream();
  rig.stream().startStream();
  rig.queue.runAll();
  EXPECT_EQ(rig.cameras.sessions.started, 1);
}

INSTANTIATE_TEST_SUITE_P(Failures, CaptureSetup,
                         ::testing::Values(SetupFailureCase{std::nullopt, true, "No default video capture device"},
                                           SetupFailureCase{CaptureSetupError(CaptureSetupError::Stage::createInput,
                                                                              "no such device"),
                                                            false, "Failed to create capture input: no such device"},
                                           SetupFailureCase{CaptureSetupError(CaptureSetupError::Stage::addInput, "x"),
                                                            false, "Cannot add capture device input"},
                                           SetupFailureCase{CaptureSetupError(CaptureSetupError::Stage::addOutput, "x"),
                                                            false, "Cannot add video data output"}));

TEST(CaptureSetup, RuntimeFailureReleasesTheSessionAndIgnoresStaleReports) {
  Rig rig;
  rig.make();
  rig.stream().startStream();
  rig.queue.runAll();
  auto staleFailure = rig.cameras.sessions.current->callbacks.failure;
  staleFailure("camera unplugged");
  EXPECT_EQ(rig.log.lines(), std::vector<std::string>{"Capture failed: camera unplugged"});
  EXPECT_EQ(rig.cameras.sessions.current, nullptr);
  EXPECT_EQ(rig.cameras.sessions.stopped, 1);

  rig.stream().stopStream();
  rig.stream().startStream();
  rig.queue.runAll();
  ASSERT_NE(rig.cameras.sessions.current, nullptr);
  staleFailure("late report from the old pipeline");
  EXPECT_NE(rig.cameras.sessions.current, nullptr);
  EXPECT_EQ(rig.log.lines().size(), 1u);
}

struct FormatCase {
  std::optional<CameraInfo> camera;
  std::int32_t width;
  std::int32_t height;
  MediaTime duration;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
  *os << c.width << "x" << c.height;
}

class FormatChoice : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatChoice, AdvertisesTheCameraModeInBGRA) {
  const auto& c = GetParam();
  Rig rig;
  rig.cameras.camera = c.camera;
  rig.make();
  const VideoFormatDescription expected{kPixelFormat32BGRA, c.width, c.height};
  EXPECT_EQ(rig.device().videoDescription(), expected);
  EXPECT_EQ(rig.device().nativeFrameDuration(), c.duration);
  const auto formats = rig.stream().formats();
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].formatDescription, expected);
  EXPECT_EQ(formats[0].minFrameDuration, c.duration);
  EXPECT_EQ(formats[0].maxFrameDuration, c.duration);
  // The publisher is told the same format and duration.
  EXPECT_EQ(rig.backend.stream->description.format.formatDescription, expected);
  EXPECT_EQ(rig.backend.stream->description.frameDuration, c.duration);
  // And the capture asks the camera for exactly that size.
  rig.cameras.camera = CameraInfo{"Now", 1, 1, {}, {}, {}};
  rig.stream().startStream();
  rig.queue.runAll();
  EXPECT_EQ(rig.cameras.sessionFormat, expected);
}

CameraInfo camera(std::int32_t w, std::int32_t h, MediaTime min, MediaTime max) {
  return {"Cam", w, h, min, max, {}};
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, FormatChoice,
    ::testing::Values(
        FormatCase{std::nullopt, 1920, 1080, MediaTime::make(1, 30)},
        FormatCase{camera(1280, 720, MediaTime::make(1, 25), MediaTime::make(1, 5)), 1280, 720, MediaTime::make(1, 25)},
        FormatCase{camera(640, 480, MediaTime::invalid(), MediaTime::make(1, 60)), 640, 480, MediaTime::make(1, 60)},
        FormatCase{camera(640, 480, MediaTime::make(0, 30), MediaTime::make(1, 60)), 640, 480, MediaTime::make(1, 60)},
        FormatCase{camera(640, 480, MediaTime::make(-1, 30), MediaTime::make(0, 1)), 640, 480, MediaTime::make(1, 30)},
        FormatCase{camera(640, 480, MediaTime::invalid(), MediaTime::invalid()), 640, 480, MediaTime::make(1, 30)}));

TEST(DeviceConstruction, FailuresPublishNoDeviceAndSayWhy) {
  {
    Rig rig;
    rig.cameras.camera = camera(0, 480, MediaTime::make(1, 30), MediaTime::make(1, 30));
    rig.make();
    EXPECT_EQ(rig.provider->deviceSource(), nullptr);
    EXPECT_TRUE(rig.provider->provider().devices.empty());
    EXPECT_EQ(rig.log.lines(), std::vector<std::string>{"Failed to initialize virtual camera device: Stream setup "
                                                        "failed: no BGRA format description for 0x480"});
  }
  {
    Rig rig;
    rig.backend.addStreamFailure = "node refused";
    rig.make();
    EXPECT_EQ(rig.provider->deviceSource(), nullptr);
    EXPECT_EQ(rig.log.lines(), (std::vector<std::string>{
                                   "Failed to add stream: node refused",
                                   "Failed to initialize virtual camera device: Stream setup failed: node refused"}));
  }
  {
    Rig rig;
    rig.make();
    ASSERT_TRUE(rig.backend.published);
    EXPECT_EQ(rig.backend.published->localizedName, "VeltranoCam");
    EXPECT_EQ(rig.backend.published->identifier, "26e0620a-de42-4252-9115-d2a08fd46bbf");
    EXPECT_EQ(rig.backend.published->manufacturer, "VeltranoCam Manufacturer");
    EXPECT_EQ(rig.backend.published->model, "VeltranoCam Model");
    EXPECT_EQ(rig.backend.published->transportType, 1986622068u);
    EXPECT_EQ(rig.backend.stream->description.localizedName, "VeltranoCam.Video");
    EXPECT_EQ(rig.backend.stream->description.identifier, "3dea8587-a518-446c-b337-9290a4f3ac9a");
    EXPECT_EQ(rig.provider->provider().devices.size(), 1u);
  }
}

TEST(Properties, ProviderDeviceAndStreamAnswerWhatIsAsked) {
  Rig rig;
  rig.make();
  EXPECT_EQ(
      rig.provider->providerProperties({ProviderProperty::manufacturer}).manufacturer, "VeltranoCam Manufacturer");
  EXPECT_FALSE(rig.provider->providerProperties({}).manufacturer);
  const auto device = rig.device().deviceProperties({DeviceProperty::transportType, DeviceProperty::model});
  EXPECT_EQ(device.transportType, 0x76697274u);
  EXPECT_EQ(device.model, "VeltranoCam Model");
  EXPECT_FALSE(rig.device().deviceProperties({DeviceProperty::model}).transportType);

  auto& stream = rig.stream();
  const auto none = stream.streamProperties({});
  EXPECT_FALSE(none.activeFormatIndex);
  EXPECT_FALSE(none.frameDuration);
  EXPECT_TRUE(stream.authorizedToStartStream("any client"));

  stream.setStreamProperties({0, MediaTime::make(1, 5)});
  EXPECT_TRUE(rig.log.lines().empty());
  stream.setStreamProperties({1, std::nullopt});
  EXPECT_EQ(stream.activeFormatIndex(), 1);
  EXPECT_EQ(rig.log.lines(), std::vector<std::string>{"Invalid activeFormatIndex"});
  stream.setStreamProperties({std::nullopt, MediaTime::make(1, 5)});  // ignored, index kept
  EXPECT_EQ(stream.activeFormatIndex(), 1);
  const auto both = stream.streamProperties({StreamProperty::activeFormatIndex, StreamProperty::frameDuration});
  EXPECT_EQ(both.activeFormatIndex, 0);
  EXPECT_EQ(both.frameDuration, MediaTime::make(1, 30));
  EXPECT_EQ(rig.log.lines().size(), 1u);
}

class ForeignSource final : public ExtensionDeviceSource {
 public:
  std::string description() const override { return "ForeignSource"; }
};

TEST(StreamSource, StartAndStopFailForAForeignOrMissingDeviceSource) {
  FakeBackend backend;
  CapturingLogger log;
  auto foreign = std::make_shared<ForeignSource>();
  for (const bool present : {true, false}) {
    auto device = std::make_shared<CameraDevice>(
        "VeltranoCam", kDeviceIdentifier,
        present ? std::weak_ptr<ExtensionDeviceSource>(foreign) : std::weak_ptr<ExtensionDeviceSource>(), backend);
    auto source = CameraStreamSource::make(kStreamName, kStreamIdentifier, {}, device, MediaTime::make(1, 30), log);
    for (const bool start : {true, false}) {
      try {
        start ? source->startStream() : source->stopStream();
        ADD_FAILURE() << "no error";
      } catch (const CameraError& error) {
        EXPECT_EQ(error.kind(), CameraError::Case::unexpectedDeviceSourceType);
        EXPECT_STREQ(error.what(), "Device source is not a CameraDeviceSource");
      }
    }
  }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"startStream: unexpected device source type ForeignSource",
                                                   "stopStream: unexpected device source type ForeignSource",
                                                   "startStream: unexpected device source type (none)",
                                                   "stopStream: unexpected device source type (none)"}));
}

struct Pixels {
  std::vector<std::uint8_t> bytes;
  VideoFrame frame(std::int32_t w, std::int32_t h, MediaTime pts) {
    bytes.assign(static_cast<std::size_t>(w) * h * 4, 7);
    return VideoFrame{nullptr, bytes.data(), bytes.size(), w, h, static_cast<std::size_t>(w) * 4, pts};
  }
};

TEST(FramePassThrough, SendsCameraPixelsInPlaceWithHostTimeAndDropsWhatItMust) {
  Rig rig;
  rig.make();  // advertises 640x480
  rig.stream().startStream();
  rig.queue.runAll();
  auto& deliver = rig.cameras.sessions.current->callbacks.frame;
  Pixels a, b, c, d, e;

  deliver(a.frame(640, 480, MediaTime::make(1, 3)));
  deliver(b.frame(640, 480, MediaTime::make(-5, 1000)));
  deliver(c.frame(1280, 720, MediaTime::make(1, 1)));  // camera replugged in another mode
  deliver(c.frame(1280, 720, MediaTime::make(2, 1)));
  deliver(e.frame(640, 480, MediaTime::make(2, 3)));
  auto shortFrame = d.frame(640, 480, MediaTime::make(3, 1));
  shortFrame.size -= 1;  // one byte short of the last row
  deliver(shortFrame);
  deliver(VideoFrame{});  // no pixels

  auto& sent = rig.backend.stream->sent;
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].data, a.bytes.data());  // the camera's own buffer, not a copy
  EXPECT_EQ(sent[0].hostTime, 333'333'333u);
  EXPECT_EQ(sent[1].hostTime, 0u);
  EXPECT_EQ(sent[2].hostTime, 666'666'667u);
  EXPECT_EQ(rig.log.count("Dropping camera frames of 1280x720: the stream advertises 640x480"), 1u);
  EXPECT_EQ(rig.log.count("Dropping camera frames of 640x480: the stream advertises 640x480"), 1u);

  // After the last stop, frames still in flight before the session stops are dropped.
  rig.stream().stopStream();
  deliver(a.frame(640, 480, MediaTime::make(4, 1)));
  EXPECT_EQ(sent.size(), 3u);
  rig.queue.runAll();
  EXPECT_EQ(rig.cameras.sessions.current, nullptr);
}

// A frame kept by the stream may sit in a buffer of the capture pipeline, so
// it must be let go before that pipeline stops, whichever way it stops.
class FrameRelease : public ::testing::TestWithParam<bool> {};

TEST_P(FrameRelease, TheStreamLetsGoOfFramesBeforeTheCaptureStops) {
  const bool byFailure = GetParam();
  Rig rig;
  rig.make();
  rig.stream().startStream();
  rig.queue.runAll();
  auto& events = rig.cameras.sessions.events;
  Pixels pixels;
  auto frame = pixels.frame(640, 480, MediaTime::make(1, 1));
  frame.storage =
      std::shared_ptr<const void>(&pixels, [&events](const void*) { events.emplace_back("frame released"); });
  rig.cameras.sessions.current->callbacks.frame(std::move(frame));
  ASSERT_TRUE(rig.backend.stream->held);

  if (byFailure) {
    rig.cameras.sessions.current->callbacks.failure("camera unplugged");
  } else {
    rig.stream().stopStream();
    rig.queue.runAll();
  }
  EXPECT_EQ(events, (std::vector<std::string>{"frame released", "session stopped"}));
}

INSTANTIATE_TEST_SUITE_P(LastStopOrFailure, FrameRelease, ::testing::Bool());

TEST(HostTime, RoundsHalfAwayFromZeroAndClampsNegatives) {
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::make(1, 3)), 333'333'333u);
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::make(1, 2'000'000'000)), 1u);  // exactly 0.5 ns
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::make(1, 2'000'000'001)), 0u);
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::make(-1, 1)), 0u);
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::invalid()), 0u);
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::make(std::numeric_limits<std::int64_t>::max(), 1)),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(hostTimeNanoseconds(MediaTime::make(123'456'789'012, 1'000'000'000)), 123'456'789'012u);
}

TEST(DeviceLifetime, TasksQueuedForAGoneDeviceDoNothing) {
  Rig rig;
  rig.make();
  rig.stream().startStream();
  rig.queue.runAll();
  auto frame = rig.cameras.sessions.current->callbacks.frame;
  rig.stream().stopStream();  // stop queued
  auto stream = rig.backend.stream;
  rig.provider.reset();
  rig.queue.runAll();
  Pixels p;
  frame(p.frame(640, 480, MediaTime::make(1, 1)));
  EXPECT_TRUE(stream->sent.empty());
}

}  // namespace
}  // namespace veltranocam
