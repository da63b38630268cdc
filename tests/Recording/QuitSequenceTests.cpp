// The application's real quit sequence over the real coordinator and store:
// what a page's flush starts must still be kept when the process ends.

#include "CoordinatorFixture.hpp"

#include "App/AppLifecycle.hpp"

using namespace veltrano;
using namespace veltrano::testing;

namespace {

// A flush that leaves the answer to save it and resolves at once, without
// waiting for the leave (which the page cannot see through anyway).
Awaitable<std::optional<nlohmann::json>> flushThatLeaves(std::function<void()> leave) {
  leave();
  co_return nlohmann::json{{"ok", true}, {"status", "saved"}};
}

}  // namespace

TEST_F(CoordinatorTest, AQuitWhileThePagesLeaveStopsTheClipEndsOnlyOnceTheClipIsKept) {
  scripts = {RecorderScript{.stopTime = 3s}};  // longer than the quit's 1.5 s pause
  uploads.duration = 1h;
  auto entered = enter("a");
  runUntil(entered);

  auto left = std::make_shared<Pending<nlohmann::json>>();
  AppLifecycle::Seams seams;
  seams.page.flushAnswerSave = [&] {
    return flushThatLeaves([&] {
      EnterAnswerPayload payload{"user", "session", std::nullopt, "token-2"};
      Task::spawn(ex.makeStrand(), callEnter(coordinatorPointer(), payload, left));
    });
  };
  seams.coordinator = [this]() -> AnswerRecordingCoordinatorProtocol& { return coordinator(); };
  seams.sleep = clock.sleepFunction();
  std::vector<std::string> recordedAtExit, onDiskAtExit;
  Duration exitAt{};
  seams.terminate = [&] {
    exitAt = clock.now();
    for (const auto& record : storedRecords()) recordedAtExit.push_back(record.fileURL.filename());
    onDiskAtExit = clipsOnDisk();
  };
  const Duration quitAt = clock.now();
  auto lifecycle = AppLifecycle::create(main, std::move(seams));
  lifecycle->requestQuit("SIGTERM");
  ex.runUntilIdle();
  for (int i = 0; i < 20 && exitAt == Duration{}; ++i) clock.advanceToNext();

  ASSERT_NE(exitAt, Duration{}) << "the process ended";
  EXPECT_GE(exitAt - quitAt, 3s) << "not before the clip's stop had finished";
  EXPECT_LT(exitAt - quitAt, 1min) << "not after its upload either";
  ASSERT_EQ(recordedAtExit.size(), 1u);
  EXPECT_EQ(recordedAtExit, onDiskAtExit) << "the clip is on disk with its record";
  EXPECT_FALSE(left->done) << "its upload still runs";
}
