// What the page is told: the recording states the coordinator enters and
// every clip's way to storage on the upload status board, with the
// coordinator, the real store and the board on one manual executor.

#include "CoordinatorFixture.hpp"

#include "Recording/UploadStatusBoard.hpp"
#include "Upload/UploadError.hpp"

#include <map>

using namespace veltrano;
using namespace veltrano::testing;
using nlohmann::json;

namespace {

using Phase = RecordingState::Phase;

// A state as one line: "a recording 1", "b failed 0 recording_failed: why".
std::string line(const RecordingState& s) {
  std::string text = s.answerId + " " + std::string(phaseName(s.state)) + " " + std::to_string(s.clipIndex);
  if (s.code) text += " " + *s.code + ": " + s.message.value_or("");
  return text;
}

class NativeStateTest : public CoordinatorTest {
 protected:
  NativeStateTest() {
    UploadStatusBoard::Options options;
    options.now = [this] { return std::chrono::steady_clock::time_point{} + clock.now(); };
    // Shared, not captured through `this`: the base lets the last uploads
    // end after this fixture's members are gone.
    board = std::make_shared<UploadStatusBoard>(
        [published = published](json snapshot) { published->push_back(std::move(snapshot)); }, options);
    clipStatus = board;
    store.observeRecords(
        [board = board](const std::vector<PendingUploadRecord>& records) { board->storeChanged(records); });
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> all;
    for (const auto& state : recordingStates) all.push_back(line(state));
    return all;
  }

  // The states each clip went through, in order, repeats folded.
  std::map<std::string, std::vector<std::string>> clipHistories() const {
    std::map<std::string, std::vector<std::string>> histories;
    for (const auto& snapshot : snapshots)
      for (const auto& clip : snapshot["clips"]) {
        auto& history = histories[clip["answerId"].get<std::string>() + "/" + clip["clipId"].get<std::string>()];
        const std::string state = clip["state"];
        if (history.empty() || history.back() != state) history.push_back(state);
      }
    return histories;
  }

  // The histories of one answer's clips, in the order they began.
  std::vector<std::vector<std::string>> historiesOf(const std::string& answerId) const {
    std::vector<std::vector<std::string>> result;
    for (const auto& clip : snapshots.back()["clips"])
      if (clip["answerId"] == answerId)
        result.push_back(clipHistories().at(answerId + "/" + clip["clipId"].get<std::string>()));
    return result;
  }

  std::shared_ptr<std::vector<json>> published = std::make_shared<std::vector<json>>();
  std::vector<json>& snapshots = *published;
  std::shared_ptr<UploadStatusBoard> board;
};

using History = std::vector<std::string>;
const History kUploaded{"recording", "queued", "uploading", "uploaded"};

}  // namespace

// One session of three answers: cuts and a leave, a camera failing
// mid-clip, and a cut whose next clip never starts. Each answer's states
// come in order, every clip it recorded reaches storage, and the board
// shows each clip's steps with the upload's progress.
TEST_F(NativeStateTest, StatesFollowCutsLeavesAndBothKindsOfFailure) {
  auto a = enter("a", "t1");
  runUntil(a);
  clock.advance(61s);  // one cut
  auto leftA = leave("t1");
  runUntil(leftA);
  EXPECT_EQ(lines(), (std::vector<std::string>{"a recording 0", "a recording 1", "a stopped 1"}));
  EXPECT_LT(recordingStates[0].clipStartedAt, recordingStates[1].clipStartedAt + 1s);
  clock.advance(5s);  // A's uploads end

  // B: the camera goes away mid-clip. The answer ends at once and what was
  // recorded goes up with B's token, its record written first.
  auto b = enter("b", "t2");
  runUntil(b);
  clock.advance(10s);
  recorders.back()->failMidClip("Could not read from resource.");
  ex.runUntilIdle();
  EXPECT_EQ(recordingStates.back().state, Phase::failed);
  EXPECT_EQ(line(recordingStates.back()), "b failed 0 recording_failed: Could not read from resource.");
  EXPECT_FALSE(state().recording);
  EXPECT_FALSE(state().activeAnswerId);
  clock.advance(5s);
  ASSERT_FALSE(uploads.calls.empty());
  EXPECT_EQ(uploads.calls.back().answerId, "b");
  EXPECT_EQ(uploads.calls.back().idToken, "t2");
  EXPECT_EQ(uploads.calls.back().storedToken, "t2") << "the clip was pending before its upload began";
  // A leave after the failure changes nothing: failed stays failed.
  const auto told = recordingStates.size();
  runUntil(leave("t2"));
  EXPECT_EQ(recordingStates.size(), told);
  // A second report from the same recorder is no one's business.
  recorders.back()->failMidClip("again");
  ex.runUntilIdle();
  EXPECT_EQ(recordingStates.size(), told);

  // C: the cut's next clip fails all three starts.
  auto c = enter("c", "t3");
  runUntil(c);
  scripts = {RecorderScript{.failStart = true}, RecorderScript{.failStart = true}, RecorderScript{.failStart = true}};
  clock.advance(70s);
  // The failed state names the last clip recorded, as a stop does.
  EXPECT_EQ(line(recordingStates.back()),
            "c failed 0 camera_unavailable: camera " + std::to_string(recordersMade) + " failed");
  clock.advance(10s);

  EXPECT_EQ(historiesOf("a"), (std::vector<History>{kUploaded, kUploaded}));
  EXPECT_EQ(historiesOf("b"), (std::vector<History>{kUploaded}));
  EXPECT_EQ(historiesOf("c"), (std::vector<History>{kUploaded}));
  // The fake client reports half the clip halfway through its second.
  bool sawHalf = false;
  for (const auto& snapshot : snapshots)
    for (const auto& clip : snapshot["clips"])
      if (clip["state"] == "uploading" && clip["bytesTotal"].get<std::uint64_t>() > 0)
        sawHalf = sawHalf || clip["bytesSent"] == clip["bytesTotal"].get<std::uint64_t>() / 2;
  EXPECT_TRUE(sawHalf);
  const json last = snapshots.back();
  EXPECT_EQ(last["pending"], 0);
  for (const auto& clip : last["clips"]) {
    EXPECT_EQ(clip["attempt"], 1);
    EXPECT_EQ(clip["bytesSent"], clip["bytesTotal"]);
    EXPECT_TRUE(
        clip["objectPath"].get<std::string>().starts_with("user/session/" + clip["answerId"].get<std::string>()));
  }
  EXPECT_EQ(last.dump().find("t1"), std::string::npos) << "no token ever reaches the board";
}

// A failure report that comes while the clip is being stopped anyway, or
// between two clips of a cut, is left to that stop: one clip, no failure.
struct LateFailure {
  const char* name;
  Duration before;  // from the enter's reply to the failure
  bool leave;       // the failure comes while a leave stops the clip
};
class LateFailureTest : public NativeStateTest, public ::testing::WithParamInterface<LateFailure> {};

TEST_P(LateFailureTest, IsLeftToTheStopUnderWay) {
  const LateFailure& c = GetParam();
  scripts = {RecorderScript{.stopTime = 2s}};
  runUntil(enter("a"));
  std::shared_ptr<Pending<json>> left;
  if (c.leave) left = leave();
  clock.advance(c.before);
  const auto failing = recorders.front();
  failing->failMidClip("late");
  ex.runUntilIdle();
  if (left) runUntil(left);
  clock.advance(5s);
  for (const auto& state : recordingStates) EXPECT_NE(state.state, Phase::failed) << line(state);
  EXPECT_EQ(historiesOf("a").front(), kUploaded);
}

INSTANTIATE_TEST_SUITE_P(NativeState, LateFailureTest,
                         ::testing::Values(LateFailure{"DuringALeave", 1s, true},
                                           LateFailure{"DuringACut", 61s, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Clips left by an earlier run join the board from the store; a drain shows
// every attempt: a transient failure retried, a permanent one given up.
TEST_F(NativeStateTest, ADrainShowsEveryAttemptOfClipsFromAnEarlierRun) {
  const auto transient = storeClip("transient");
  const auto permanent = storeClip("permanent");
  ASSERT_FALSE(snapshots.empty());
  EXPECT_EQ(snapshots.back()["pending"], 2);
  EXPECT_EQ(board->snapshot()["clips"][0]["state"], "queued");
  int transientCalls = 0;
  uploads.outcome = [&](const FakeUploadClient::Call& call) -> std::exception_ptr {
    if (call.file == permanent.fileURL) return std::make_exception_ptr(UploadError::badHTTPStatus(404));
    return ++transientCalls == 1 ? std::make_exception_ptr(UploadError::badHTTPStatus(503)) : nullptr;
  };
  retry("fresh");
  clock.advance(60s);
  EXPECT_EQ(clipHistories()["answer-transient/transient"],
            (History{"queued", "uploading", "failed", "uploading", "uploaded"}));
  EXPECT_EQ(clipHistories()["answer-permanent/permanent"],
            (History{"queued", "uploading", "failed", "uploading", "failed", "uploading", "gaveUp"}));
  const json last = board->snapshot();
  EXPECT_EQ(last, snapshots.back());
  EXPECT_EQ(last["pending"], 0);
  ASSERT_EQ(last["clips"].size(), 2u);
  EXPECT_EQ(last["clips"][0]["attempt"], 2);
  EXPECT_EQ(last["clips"][0]["error"], nullptr);
  EXPECT_EQ(last["clips"][1]["attempt"], 3);
  EXPECT_EQ(last["clips"][1]["error"], describe(std::make_exception_ptr(UploadError::badHTTPStatus(404))));
  EXPECT_EQ(last["clips"][1]["objectPath"], "user/session/permanent.mp4");
}

// The board on its own: progress at most every interval per clip, a held
// back count sent with a later call, clips of an earlier run joining in
// the order they were enqueued, only the latest finished clips kept, and
// steps of clips it never heard of ignored.
TEST(UploadStatusBoard, ThrottlesProgressKeepsTheLatestFinishedAndOrdersByArrival) {
  TempFolder folder;
  std::vector<json> published;
  Duration now{};
  UploadStatusBoard::Options options;
  options.keptFinished = 2;
  options.now = [&] { return std::chrono::steady_clock::time_point{} + now; };
  UploadStatusBoard board([&](json snapshot) { published.push_back(std::move(snapshot)); }, options);
  auto clip = [&](const std::string& name) { return folder.path / name; };
  auto record = [&](const std::string& name, double enqueued) {
    std::ofstream(clip(name)) << "12345";
    PendingUploadRecord r;
    r.fileURL = clip(name);
    r.answerId = "answer-" + name;
    r.objectPath = "path/" + name;
    r.idToken = "secret-token";
    r.enqueuedAt = *ReferenceDate::fromSecondsSinceReferenceDate(enqueued);
    return r;
  };
  auto ids = [&] {
    std::vector<std::string> all;
    const json snapshot = board.snapshot();
    for (const auto& c : snapshot["clips"])
      all.push_back(c["clipId"].get<std::string>() + ":" + c["state"].get<std::string>());
    return all;
  };

  // An earlier run's records join oldest first; the token stays out.
  board.storeChanged({record("late.mp4", 20), record("early.mp4", 10)});
  EXPECT_EQ(ids(), (std::vector<std::string>{"early.mp4:queued", "late.mp4:queued"}));
  EXPECT_EQ(board.snapshot()["clips"][0]["bytesTotal"], 5);
  EXPECT_EQ(board.snapshot().dump().find("secret-token"), std::string::npos);
  EXPECT_EQ(published.size(), 1u);

  // Progress: the start publishes; within 250 ms nothing more, even for a
  // new count; the held count goes out with the next call after it.
  struct Step {
    Duration at;
    std::uint64_t sent;
    bool publishes;
  };
  board.uploadStarted(clip("early.mp4"));
  const std::size_t afterStart = published.size();
  for (const Step& step : {Step{100ms, 2, false}, Step{249ms, 3, false}, Step{250ms, 3, true}, Step{260ms, 4, false},
                           Step{400ms, 4, false}, Step{510ms, 4, true}, Step{900ms, 4, false}}) {
    const std::size_t before = published.size();
    now = step.at;
    board.uploadProgress(clip("early.mp4"), step.sent, 5);
    EXPECT_EQ(published.size() - before, step.publishes ? 1u : 0u) << step.at.count();
  }
  EXPECT_EQ(published.back()["clips"][0]["bytesSent"], 4);
  EXPECT_EQ(published.size() - afterStart, 2u);
  // Another clip has its own interval.
  board.uploadStarted(clip("late.mp4"));
  board.uploadProgress(clip("late.mp4"), 1, 5);
  now += 300ms;
  board.uploadProgress(clip("late.mp4"), 1, 5);
  EXPECT_EQ(published.back()["clips"][1]["bytesSent"], 1);

  // Finished clips: only the latest two stay; a failure keeps the clip.
  board.uploadSucceeded(clip("early.mp4"));
  board.uploadFailed(clip("late.mp4"), "HTTP 503", false);
  EXPECT_EQ(ids(), (std::vector<std::string>{"early.mp4:uploaded", "late.mp4:failed"}));
  board.clipRecording(clip("c.mp4"), {"u", "s", "c"});
  board.clipRecording(clip("d.mp4"), {"u", "s", "d"});
  board.uploadStarted(clip("c.mp4"));  // still recording: no record yet, but an upload may begin
  board.uploadSucceeded(clip("c.mp4"));
  board.uploadFailed(clip("late.mp4"), "HTTP 404", true);
  EXPECT_EQ(ids(), (std::vector<std::string>{"late.mp4:gaveUp", "c.mp4:uploaded", "d.mp4:recording"}));
  board.clipDiscarded(clip("d.mp4"));
  const std::size_t settled = published.size();
  for (const char* name : {"d.mp4", "never.mp4"}) {
    board.uploadStarted(clip(name));
    board.uploadProgress(clip(name), 1, 2);
    board.uploadSucceeded(clip(name));
    board.uploadFailed(clip(name), "x", true);
    board.clipQueued(clip(name));
    board.clipDiscarded(clip(name));
  }
  EXPECT_EQ(published.size(), settled) << "steps of unknown clips change nothing";
  board.storeChanged({});
  EXPECT_EQ(board.snapshot()["pending"], 0);
  EXPECT_EQ(board.snapshot()["clips"][0]["error"], "HTTP 404");
}
