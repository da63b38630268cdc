#include "CoordinatorFixture.hpp"

#include "Runtime/Cancellation.hpp"
#include "Upload/UploadError.hpp"

#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <system_error>

using namespace veltrano;
using namespace veltrano::testing;

namespace {

bool contains(const std::vector<std::string>& all, const std::string& one) {
  return std::find(all.begin(), all.end(), one) != all.end();
}

std::exception_ptr http(long status) {
  return std::make_exception_ptr(UploadError::badHTTPStatus(status));
}

}  // namespace

TEST_F(CoordinatorTest, ADrainRefreshesTokensFirstRunsTwoAtATimeAndRemovesWhatItUploaded) {
  // Nothing stored: nothing logged, no drain.
  auto none = retry("fresh");
  EXPECT_TRUE(none->done);
  EXPECT_TRUE(logs(LogLevel::info).empty());
  EXPECT_FALSE(state().pendingRetryDrainTask);

  std::vector<PendingUploadRecord> records;
  for (int i = 0; i < 5; ++i) records.push_back(storeClip("clip" + std::to_string(i)));
  const auto gone = storeClip("gone");
  fs::remove(gone.fileURL);
  // The third upload of clip0 succeeds; everything else at once.
  int clip0Calls = 0;
  uploads.outcome = [&](const FakeUploadClient::Call& call) -> std::exception_ptr {
    if (call.file.filename() == "clip0" && ++clip0Calls < 3) return http(503);
    return nullptr;
  };
  auto request = retry("fresh");
  EXPECT_TRUE(request->done) << "the request returns once the drain has started";
  EXPECT_TRUE(contains(logs(LogLevel::info), "Retrying 6 pending upload(s) from prior session"));
  EXPECT_TRUE(
      contains(logs(LogLevel::error), "Pending upload file missing, removing stale record: user/session/gone.mp4"));
  for (const auto& r : storedRecords()) EXPECT_EQ(r.idToken, "fresh");
  EXPECT_EQ(storedRecords().size(), 5u);

  clock.advance(20s);
  EXPECT_EQ(uploads.peakInFlight, 2);
  EXPECT_EQ(uploads.calls.size(), 7u);
  for (const auto& call : uploads.calls) {
    EXPECT_EQ(call.idToken, "fresh");
    EXPECT_EQ(call.storedToken, "fresh") << "the new token is on disk before the attempt";
  }
  EXPECT_TRUE(storedRecords().empty());
  EXPECT_TRUE(clipsOnDisk().empty());
  const auto errors = logs(LogLevel::error);
  EXPECT_TRUE(contains(errors, "Retry upload attempt 1 failed for user/session/clip0.mp4; retrying in 1000000000ns"));
  EXPECT_TRUE(contains(errors, "Retry upload attempt 2 failed for user/session/clip0.mp4; retrying in 2000000000ns"));
  // Success at the first attempt logs nothing at info level.
  EXPECT_EQ(logs(LogLevel::info),
            (std::vector<std::string>{"Retrying 6 pending upload(s) from prior session",
                                      "Retry upload succeeded for user/session/clip0.mp4 after attempt 3"}));
}

TEST_F(CoordinatorTest, ANewerDrainCancelsTheOlderOneAndNoRecordIsLost) {
  for (int i = 0; i < 4; ++i) storeClip("clip" + std::to_string(i));
  // The first drain's uploads fail, the second drain's succeed.
  uploads.outcome = [](const FakeUploadClient::Call& call) { return call.idToken == "first" ? http(503) : nullptr; };
  retry("first");
  clock.advance(1500ms);  // two failed, both in their 1 s backoff
  const auto older = state().pendingRetryDrainTask;
  retry("second");
  EXPECT_TRUE(older.isFinished());
  EXPECT_EQ(logs(LogLevel::debug).size(), 2u);
  for (const auto& message : logs(LogLevel::debug)) EXPECT_EQ(message.rfind("Retry upload cancelled for ", 0), 0u);
  clock.advance(30s);
  int first = 0, second = 0;
  for (const auto& call : uploads.calls) (call.idToken == "first" ? first : second)++;
  EXPECT_EQ(first, 2) << "the older drain started no record after its cancellation";
  EXPECT_EQ(second, 4);
  EXPECT_TRUE(storedRecords().empty());
  EXPECT_TRUE(clipsOnDisk().empty());
  EXPECT_EQ(uploads.peakInFlight, 2);
}

namespace {

// Mend of the give-up rule: only a failure that can never heal deletes a
// clip after the last attempt.
struct GiveUpCase {
  std::string name;
  std::function<std::exception_ptr()> error;
  bool clipVanishes;  // the failure took the clip away (or it was never readable)
  bool givesUp;
};

void PrintTo(const GiveUpCase& c, std::ostream* os) {
  *os << c.name;
}

class GiveUpTest : public CoordinatorTest, public ::testing::WithParamInterface<GiveUpCase> {};

std::exception_ptr errnoError(int code) {
  return std::make_exception_ptr(std::system_error(code, std::generic_category(), "cannot open the clip"));
}

}  // namespace

TEST_P(GiveUpTest, TheLastAttemptGivesUpOnlyWhenTheClipCanNeverBeUploaded) {
  const GiveUpCase& c = GetParam();
  const auto record = storeClip("clip");
  uploads.outcome = [&](const FakeUploadClient::Call& call) {
    if (c.clipVanishes) fs::remove(call.file);
    return c.error();
  };
  retry("fresh");
  clock.advance(30s);
  ASSERT_EQ(uploads.calls.size(), 3u);
  const std::string description = describe(c.error());
  const auto errors = logs(LogLevel::error);
  if (c.givesUp) {
    EXPECT_TRUE(storedRecords().empty());
    EXPECT_FALSE(fs::exists(record.fileURL));
    EXPECT_TRUE(contains(errors, "Retry upload failed for user/session/clip.mp4 after 3 attempts: " + description +
                                     "; giving up and clearing pending record"))
        << ::testing::PrintToString(errors);
    EXPECT_EQ(contains(logs(LogLevel::info), "Removed local file after exhausted retries: " + record.fileURL.string()),
              !c.clipVanishes);
  } else {
    ASSERT_EQ(storedRecords().size(), 1u);
    EXPECT_EQ(storedRecords()[0].idToken, "fresh");
    EXPECT_TRUE(fs::exists(record.fileURL));
    EXPECT_TRUE(contains(errors, "Retry upload failed for user/session/clip.mp4 after 3 attempts: " + description +
                                     "; keeping pending record for a later retry"))
        << ::testing::PrintToString(errors);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Coordinator, GiveUpTest,
    ::testing::Values(GiveUpCase{"Http400", [] { return http(400); }, false, true},
                      GiveUpCase{"Http404", [] { return http(404); }, false, true},
                      GiveUpCase{"Http413", [] { return http(413); }, false, true},
                      GiveUpCase{"ClipMissing", [] { return errnoError(ENOENT); }, true, true},
                      GiveUpCase{"ClipUnreadable", [] { return errnoError(EACCES); }, false, true},
                      GiveUpCase{"Http401", [] { return http(401); }, false, false},
                      GiveUpCase{"Http403", [] { return http(403); }, false, false},
                      GiveUpCase{"Http408", [] { return http(408); }, false, false},
                      GiveUpCase{"Http425", [] { return http(425); }, false, false},
                      GiveUpCase{"Http429", [] { return http(429); }, false, false},
                      GiveUpCase{"Http500", [] { return http(500); }, false, false},
                      GiveUpCase{"Http503", [] { return http(503); }, false, false},
                      GiveUpCase{"Transport",
                                 [] { return std::make_exception_ptr(std::runtime_error("Timeout was reached")); },
                                 false, false},
                      GiveUpCase{"OutOfDescriptors", [] { return errnoError(EMFILE); }, false, false},
                      GiveUpCase{"NoUploadURL", [] { return std::make_exception_ptr(UploadError::missingUploadURL()); },
                                 false, false},
                      GiveUpCase{"UnparsableReply",
                                 [] {
                                   try {
                                     auto parsed = nlohmann::json::parse("{");
                                     (void)parsed;
                                   } catch (...) {
                                     return std::current_exception();
                                   }
                                   return std::exception_ptr();
                                 },
                                 false, false}),
    [](const auto& info) { return info.param.name; });

namespace {

// A retry whose task was cancelled must still be able to write the store.
Awaitable<void> cancelledThenStore(SleepFunction sleep, PendingUploadsStore* store, PendingUploadRecord record,
                                   std::vector<std::string>* trace) {
  try {
    co_await sleep(std::chrono::seconds(60));
  } catch (...) {
    trace->push_back("sleep cancelled");
  }
  try {
    co_await store->upsert(record);
    trace->push_back("stored without taking the cancellation");
  } catch (const boost::system::system_error&) {
    trace->push_back("store refused");
  }
  if (takeCancellation(co_await asio::this_coro::cancellation_state)) trace->push_back("cancellation taken");
  co_await store->upsert(record);
  co_await store->updateIdToken(record.id, "after");
  trace->push_back("stored");
}

}  // namespace

TEST_F(CoordinatorTest, ACancelledTaskWritesTheStoreOnceItTakesItsCancellationBack) {
  std::vector<std::string> trace;
  auto record = makePendingUploadRecord({recordings() / "x.mp4", {"u", "s", "a"}, "u/s/a/x.mp4", "before"}, wallTime);
  Task task = Task::spawn(ex.makeStrand(), cancelledThenStore(clock.sleepFunction(), &store, record, &trace));
  ex.runUntilIdle();
  task.cancel();
  ex.runUntilIdle();
  EXPECT_TRUE(task.isFinished());
  EXPECT_EQ(trace, (std::vector<std::string>{"sleep cancelled", "store refused", "cancellation taken", "stored"}));
  ASSERT_EQ(storedRecords().size(), 1u);
  EXPECT_EQ(storedRecords()[0].idToken, "after");
}

// A retry that comes while an upload of the same clip still waits for its
// signed URL: whichever of two uploads stored the clip first would delete
// the file under the other, which then reads as a lost clip. The drain
// waits for the first upload instead and finds nothing left to do.
TEST_F(CoordinatorTest, ARetryNeverRacesAnotherUploadOfTheSameClip) {
  auto entered = enter("a");
  runUntil(entered);
  uploads.signedURLWaits = {5s};  // the leave's upload is slow to get its URL
  auto left = leave("t-leave");
  clock.advance(1s);  // stopped, record stored, upload waiting for its URL
  ASSERT_EQ(storedRecords().size(), 1u);
  ASSERT_FALSE(left->done);
  auto request = retry("t-retry");
  runUntil(left);
  clock.advance(30s);

  EXPECT_EQ(left->value, nlohmann::json({{"status", "idle"}})) << "not upload_failed: the clip is stored";
  ASSERT_EQ(uploads.calls.size(), 1u) << "one upload of the clip, not two";
  EXPECT_EQ(uploads.calls[0].idToken, "t-leave");
  EXPECT_TRUE(storedRecords().empty());
  EXPECT_TRUE(clipsOnDisk().empty());
  for (const auto& line : logs(LogLevel::error)) ADD_FAILURE() << "logged as failed: " << line;
}
