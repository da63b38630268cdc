#include "CoordinatorFixture.hpp"

#include "Recording/RecordingError.hpp"
#include "Runtime/Cancellation.hpp"
#include "Upload/UploadError.hpp"

#include <boost/system/system_error.hpp>

#include <set>

using namespace veltrano;
using namespace veltrano::testing;
using nlohmann::json;

namespace {

json status(const std::string& s) {
  return {{"status", s}};
}
json status(const std::string& s, const std::string& answerId) {
  return {{"status", s}, {"answerId", answerId}};
}

std::string errorCase(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const RecordingError& e) {
    switch (e.kind()) {
      case RecordingError::Case::cameraSetupFailed: return std::string("cameraSetupFailed: ") + e.what();
      case RecordingError::Case::recordingStopFailed: return std::string("recordingStopFailed: ") + e.what();
      case RecordingError::Case::uploadFailed: return std::string("uploadFailed: ") + e.what();
    }
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "none";
}

bool contains(const std::vector<std::string>& all, const std::string& one) {
  return std::find(all.begin(), all.end(), one) != all.end();
}

std::size_t indexOf(const Trace& trace, const std::string& entry) {
  auto it = std::find(trace.begin(), trace.end(), entry);
  return it == trace.end() ? trace.size() : static_cast<std::size_t>(it - trace.begin());
}

}  // namespace

// Enter, enter again, then another answer: the token refresh, the hand-off of
// A's last clip with B's token before B's camera starts, and the leave.
TEST_F(CoordinatorTest, EnterRefreshLeaveAndSwitchAnswersInOrder) {
  const auto earlier = storeClip("earlier-a");  // a clip of another answer waiting in the store
  auto first = enter("a", "t1");
  runUntil(first);
  EXPECT_EQ(first->value, status("recording", "a"));
  EXPECT_TRUE(contains(logs(LogLevel::info), "Recording started for answer a"));

  // A stored clip of answer "a" gets the fresh token; other answers keep theirs.
  auto pendingOfA = makePendingUploadRecord(
      {recordings() / "old-a.mp4", {"user", "session", "a"}, "user/session/a/x.mp4", "t0"}, wallTime);
  auto upsert = [](PendingUploadsStore* s, PendingUploadRecord r) -> Awaitable<void> { co_await s->upsert(r); };
  Task::spawn(ex.makeStrand(), upsert(&store, pendingOfA));
  ex.runUntilIdle();
  auto again = enter("a", "t2");
  runUntil(again);
  EXPECT_EQ(again->value, status("already_recording", "a"));
  for (const auto& r : storedRecords()) EXPECT_EQ(r.idToken, r.answerId == "a" ? "t2" : "old") << r.objectPath;
  EXPECT_EQ(recordersMade, 1);
  EXPECT_EQ(state().lastIdToken, "t2");

  // B: A's last clip is uploaded with B's token, then B's camera starts.
  auto b = enter("b", "t3");
  runUntil(b);
  EXPECT_EQ(b->value, status("recording", "b"));
  ASSERT_EQ(uploads.calls.size(), 1u);
  EXPECT_EQ(uploads.calls[0].idToken, "t3");
  EXPECT_EQ(uploads.calls[0].answerId, "a");
  EXPECT_EQ(uploads.calls[0].objectPath, "user/session/a/2026-12-05T16-07-47Z.mp4");
  EXPECT_EQ(uploads.calls[0].storedToken, "t3") << "the record is written before the upload starts";
  EXPECT_LT(indexOf(trace, "uploaded " + uploads.calls[0].file.filename().string()), indexOf(trace, "start 2"));
  EXPECT_FALSE(fs::exists(uploads.calls[0].file));

  // Leave: B's clip is uploaded with the leave's token, the reply is idle and
  // only the records of other answers remain.
  auto left = leave("t4");
  runUntil(left);
  EXPECT_EQ(left->value, status("idle"));
  ASSERT_EQ(uploads.calls.size(), 2u);
  EXPECT_EQ(uploads.calls[1].idToken, "t4");
  EXPECT_EQ(uploads.calls[1].answerId, "b");
  EXPECT_EQ(storedRecords().size(), 2u);
  const auto s = state();
  EXPECT_FALSE(s.recording);
  EXPECT_FALSE(s.activeAnswerId);
  EXPECT_FALSE(s.lastIdToken);
  EXPECT_FALSE(s.rotationArmed);
  EXPECT_EQ(clipsOnDisk(), (std::vector<std::string>{"earlier-a"}));

  // A leave with nothing recorded touches nothing.
  auto idle = leave();
  runUntil(idle);
  EXPECT_EQ(idle->value, status("idle"));
  EXPECT_EQ(uploads.calls.size(), 2u);
  (void)earlier;
}

// Failures on the way in and out, each with its error case, what stays on
// disk and in the store, and the state afterwards.
TEST_F(CoordinatorTest, FailuresRaiseTheirCaseAndLeaveTheRightFiles) {
  // The camera cannot start: its file is gone, nothing is active.
  scripts = {RecorderScript{.failStart = true}};
  auto failed = enter("a");
  runUntil(failed);
  EXPECT_EQ(errorCase(failed->error), "cameraSetupFailed: camera 1 failed");
  EXPECT_TRUE(clipsOnDisk().empty());
  EXPECT_FALSE(state().activeAnswerId);

  // A's last upload fails while entering B: uploadFailed, B not started, A's
  // clip and record kept for a later retry.
  auto a = enter("a");
  runUntil(a);
  uploads.outcome = [](const FakeUploadClient::Call&) {
    return std::make_exception_ptr(UploadError::badHTTPStatus(503));
  };
  auto b = enter("b", "tb");
  runUntil(b);
  EXPECT_EQ(errorCase(b->error), "uploadFailed: UploadError.badHTTPStatus(503)");
  EXPECT_EQ(recordersMade, 2);
  EXPECT_FALSE(state().activeAnswerId);
  ASSERT_EQ(storedRecords().size(), 1u);
  EXPECT_EQ(storedRecords()[0].answerId, "a");
  EXPECT_EQ(storedRecords()[0].idToken, "tb");
  EXPECT_TRUE(fs::exists(storedRecords()[0].fileURL));
  EXPECT_TRUE(contains(logs(LogLevel::error), "Upload failed: UploadError.badHTTPStatus(503)"));
  uploads.outcome = nullptr;

  // The stop fails on leave: recordingStopFailed, the clip deleted.
  scripts = {RecorderScript{.failStop = true}};
  auto c = enter("c");
  runUntil(c);
  auto left = leave();
  runUntil(left);
  EXPECT_EQ(errorCase(left->error), "recordingStopFailed: stop 3 failed");
  EXPECT_EQ(clipsOnDisk().size(), 1u) << "only A's kept clip";
  EXPECT_FALSE(state().activeAnswerId);
}

// Two enters back to back while idle: the first is overtaken while its camera
// starts; its clip is stopped and deleted, never uploaded.
TEST_F(CoordinatorTest, AnOvertakenEnterRepliesAbortedAndItsClipIsDiscarded) {
  scripts = {RecorderScript{.startTime = 2s}, RecorderScript{.startTime = 1s}};
  auto a = enter("a");
  auto b = enter("b");
  runUntil(a);
  runUntil(b);
  EXPECT_EQ(a->value, status("aborted"));
  EXPECT_EQ(b->value, status("recording", "b"));
  EXPECT_TRUE(uploads.calls.empty());
  EXPECT_LT(indexOf(trace, "stopped 1"), trace.size());
  EXPECT_EQ(clipsOnDisk().size(), 1u) << "only b's clip";
  EXPECT_EQ(state().activeAnswerId, "b");

  // Termination while recording stores the last clip with the last token
  // and uploads nothing.
  auto end = finalize();
  runUntil(end);
  EXPECT_TRUE(uploads.calls.empty());
  ASSERT_EQ(storedRecords().size(), 1u);
  const auto record = storedRecords()[0];
  EXPECT_EQ(record.answerId, "b");
  EXPECT_EQ(record.idToken, "token-1");
  EXPECT_EQ(record.objectPath, "user/session/b/2026-12-05T16-07-47Z.mp4");
  EXPECT_TRUE(fs::exists(record.fileURL));

  // An enter overtaken by a termination starts nothing and keeps nothing.
  scripts = {RecorderScript{.startTime = 2s}};
  auto c = enter("c");
  auto overtaking = finalize();
  runUntil(c);
  runUntil(overtaking);
  EXPECT_EQ(c->value, status("aborted"));
  EXPECT_EQ(clipsOnDisk(), (std::vector<std::string>{record.fileURL.filename().string()}));

  // Termination with nothing recorded writes nothing.
  auto again = finalize();
  runUntil(again);
  EXPECT_EQ(storedRecords().size(), 1u);
}

namespace {

// One answer recorded across a cut at 60.1 s (the enter's camera starts in
// 0.1 s; every stop and start takes 0.1 s): what the recorders do, when the
// page leaves, what must have been uploaded (by content) and logged.
struct RotationCase {
  std::string name;
  std::vector<RecorderScript> scripts;
  std::optional<Duration> leaveAt;  // else the page leaves at 70 s
  bool recordingAfterCut;           // at 65 s, when the page has not left by then
  std::vector<std::string> uploaded;
  std::vector<std::pair<LogLevel, std::string>> logged;
  int stops;  // stop calls in all
};

void PrintTo(const RotationCase& c, std::ostream* os) {
  *os << c.name;
}

class RotationTest : public CoordinatorTest, public ::testing::WithParamInterface<RotationCase> {};

const RecorderScript ok{};
const RecorderScript failsToStart{.failStart = true};

}  // namespace

TEST_P(RotationTest, CutsHandOffEveryClipAndALeaveWaitsForTheCut) {
  const RotationCase& c = GetParam();
  scripts.assign(c.scripts.begin(), c.scripts.end());
  auto entered = enter("a");
  runUntil(entered);
  ASSERT_EQ(entered->value, status("recording", "a"));

  std::shared_ptr<Pending<json>> left;
  if (c.leaveAt) {
    clock.advance(*c.leaveAt - clock.now());
    left = leave();
  } else {
    clock.advance(65s - clock.now());
    EXPECT_EQ(state().recording, c.recordingAfterCut);
    EXPECT_EQ(state().activeAnswerId.has_value(), c.recordingAfterCut);
    clock.advance(70s - clock.now());
    left = leave();
  }
  runUntil(left);
  EXPECT_EQ(left->value, status("idle"));
  EXPECT_FALSE(state().rotationArmed);
  // The leave waited for the cut: every stop had been called by its reply.
  auto stopCalls = [&] {
    return std::count_if(trace.begin(), trace.end(), [](const std::string& t) { return t.rfind("stop ", 0) == 0; });
  };
  EXPECT_EQ(stopCalls(), c.stops);
  clock.advance(10s);  // the clips' own upload tasks end

  std::vector<std::string> uploaded;
  for (const auto& call : uploads.calls) uploaded.push_back(call.content);
  std::sort(uploaded.begin(), uploaded.end());
  EXPECT_EQ(uploaded, c.uploaded);
  // All hand-offs share one wall-clock second, yet each clip has its own
  // object path: none replaces another in storage.
  std::set<std::string> objectPaths;
  for (const auto& call : uploads.calls) objectPaths.insert(call.objectPath);
  EXPECT_EQ(objectPaths.size(), uploads.calls.size());
  for (const auto& [level, message] : c.logged)
    EXPECT_TRUE(contains(logs(level), message)) << message << " in " << ::testing::PrintToString(logs(level));
  EXPECT_EQ(std::count_if(trace.begin(), trace.end(), [](const std::string& t) { return t.rfind("stop ", 0) == 0; }),
            c.stops);
  // Every clip was uploaded or deleted; every record removed.
  EXPECT_TRUE(clipsOnDisk().empty());
  EXPECT_TRUE(storedRecords().empty());
  EXPECT_EQ(clock.pendingSleeps(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Coordinator, RotationTest,
    ::testing::Values(
        RotationCase{"AClipStopFailureDeletesItAndRecordingGoesOn",
                     {RecorderScript{.failStop = true}, ok},
                     {},
                     true,
                     {"clip 2"},
                     {{LogLevel::error, "Chunk rotation stop failed: stop 1 failed"},
                      {LogLevel::info, "Recording chunk rotated for answer a"}},
                     2},
        RotationCase{"TwoFailedStartsThenASuccess",
                     {ok, failsToStart, failsToStart, ok},
                     {},
                     true,
                     {"clip 1", "clip 4"},
                     {{LogLevel::error, "Chunk rotation restart failed (attempt 1/3): camera 2 failed"},
                      {LogLevel::error, "Chunk rotation restart backing off 250000000ns before retry"},
                      {LogLevel::error, "Chunk rotation restart failed (attempt 2/3): camera 3 failed"},
                      {LogLevel::error, "Chunk rotation restart backing off 500000000ns before retry"},
                      {LogLevel::info, "Recording chunk rotated for answer a"}},
                     2},
        RotationCase{"ThreeFailedStartsEndTheAnswer",
                     {ok, failsToStart, failsToStart, failsToStart},
                     {},
                     false,
                     {"clip 1"},
                     {{LogLevel::error, "Chunk rotation restart failed (attempt 3/3): camera 4 failed"},
                      {LogLevel::error, "Chunk rotation restart exhausted 3 attempts; recording stopped for answer a"}},
                     1},
        RotationCase{"ALeaveWhileTheDelaySleepsCancelsIt", {ok}, 30s, false, {"clip 1"}, {}, 1},
        RotationCase{"ALeaveDuringTheStopOfACutWaitsForIt", {ok}, 60150ms, false, {"clip 1"}, {}, 1},
        RotationCase{
            "ALeaveWhileTheNextClipStartsStopsAndUploadsItToo", {ok, ok}, 60250ms, false, {"clip 1", "clip 2"}, {}, 2},
        RotationCase{"ALeaveDuringARestartBackoffEndsTheWait",
                     {ok, failsToStart},
                     60400ms,
                     false,
                     {"clip 1"},
                     {{LogLevel::debug, "Chunk rotation restart sleep cancelled: Operation canceled"}},
                     1}),
    [](const auto& info) { return info.param.name; });

TEST(AnswerObjectPath, StampsAreUtcSecondsWithHyphensAndNeverRepeatForOneAnswer) {
  using namespace std::chrono;
  const auto t = sys_days{December / 5 / 2026} + 16h + 7min + 47s;
  EXPECT_EQ(answerObjectPath({"u", "s", "a"}, t + 999ms), "u/s/a/2026-12-05T16-07-47Z.mp4");
  EXPECT_EQ(makeClipFileURL("/r").filename().string().size(), std::string("veltrano-answer-.mp4").size() + 36);

  // (answer, offset from t) -> issued stamp: the same or an earlier second
  // moves one past the last one issued for that answer only.
  AnswerObjectPathIssuer issuer;
  const std::vector<std::tuple<std::string, milliseconds, std::string>> table = {
      {"a", 0ms, "a/2026-12-05T16-07-47Z"},     {"a", 400ms, "a/2026-12-05T16-07-48Z"},
      {"a", -5000ms, "a/2026-12-05T16-07-49Z"}, {"b", 0ms, "b/2026-12-05T16-07-47Z"},
      {"a", 10s, "a/2026-12-05T16-07-57Z"},     {"a", 10s, "a/2026-12-05T16-07-58Z"},
  };
  for (const auto& [answer, offset, expected] : table)
    EXPECT_EQ(issuer.issue({"u", "s", answer}, t + offset), "u/s/" + expected + ".mp4") << answer << offset.count();
}

TEST(RetryBackoff, BothTablesDoubleFromTheirBaseToTheirCap) {
  const std::vector<std::tuple<std::int64_t, std::uint64_t, std::uint64_t>> table = {
      {-1, 250'000'000, 1'000'000'000},   {1, 250'000'000, 1'000'000'000},    {2, 500'000'000, 2'000'000'000},
      {3, 1'000'000'000, 4'000'000'000},  {4, 2'000'000'000, 8'000'000'000},  {5, 2'000'000'000, 16'000'000'000},
      {6, 2'000'000'000, 16'000'000'000}, {60, 2'000'000'000, 16'000'000'000}};
  for (const auto& [attempt, restart, retry] : table) {
    EXPECT_EQ(defaultChunkRestartBackoffNanoseconds(attempt), restart) << attempt;
    EXPECT_EQ(defaultRetryUploadBackoffNanoseconds(attempt), retry) << attempt;
  }
}

namespace {

// A quit that comes while a clip is being stopped by something else: the
// clip must be on disk with its record when finalize returns, however long
// its upload takes. Times: every start takes 0.1 s unless said; the first
// cut begins at 60.1 s.
enum class StopUnderway { leave, answerSwitch, cut, overtakenClip };

struct FinalizeCase {
  std::string name;
  StopUnderway stop;
  std::vector<RecorderScript> scripts;
  std::size_t records;  // on disk with their clips when finalize returns
};

void PrintTo(const FinalizeCase& c, std::ostream* os) {
  *os << c.name;
}

class FinalizeWhileStopping : public CoordinatorTest, public ::testing::WithParamInterface<FinalizeCase> {};

}  // namespace

TEST_P(FinalizeWhileStopping, ReturnsOnlyOnceTheClipIsKeptButNotAfterItsUpload) {
  const FinalizeCase& c = GetParam();
  scripts.assign(c.scripts.begin(), c.scripts.end());
  uploads.duration = 1h;  // a PUT that must not hold the quit
  auto entered = enter("a");
  runUntil(entered);

  std::shared_ptr<Pending<json>> other;
  switch (c.stop) {
    case StopUnderway::leave: other = leave(); break;
    case StopUnderway::answerSwitch: other = enter("b"); break;
    case StopUnderway::cut: clock.advance(60500ms - clock.now()); break;
    case StopUnderway::overtakenClip:
      clock.advance(60250ms - clock.now());  // the next clip's camera is starting
      other = leave();
      break;
  }
  ASSERT_TRUE(std::any_of(trace.begin(), trace.end(), [](const auto& t) { return t.rfind("stop ", 0) == 0; }))
      << "a stop is underway";
  // What the quit sequence finds the moment finalize returns (the process
  // ends right after).
  std::vector<std::string> recorded, onDisk;
  auto quit = finalize([&] {
    for (const auto& record : storedRecords())
      if (fs::exists(record.fileURL)) recorded.push_back(record.fileURL.filename());
    std::sort(recorded.begin(), recorded.end());
    onDisk = clipsOnDisk();
  });
  runUntil(quit, 10s);

  EXPECT_EQ(recorded.size(), c.records);
  EXPECT_EQ(recorded, onDisk) << "every clip on disk has its record";
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "stopped 1"), 1) << "the first clip was finished, not cut off";
  if (c.stop == StopUnderway::leave || c.stop == StopUnderway::answerSwitch) {
    EXPECT_FALSE(other->done) << "its upload is still running";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Coordinator, FinalizeWhileStopping,
    ::testing::Values(FinalizeCase{"Leave", StopUnderway::leave, {RecorderScript{.stopTime = 1s}}, 1},
                      FinalizeCase{"AnswerSwitch", StopUnderway::answerSwitch, {RecorderScript{.stopTime = 1s}}, 1},
                      FinalizeCase{"Cut", StopUnderway::cut, {RecorderScript{.stopTime = 1s}, ok}, 1},
                      FinalizeCase{"OvertakenClip",
                                   StopUnderway::overtakenClip,
                                   {ok, RecorderScript{.startTime = 1s, .stopTime = 1s}},
                                   2}),
    [](const auto& info) { return info.param.name; });
