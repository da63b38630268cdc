#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Runtime/WorkerThread.hpp"
#include "StoreTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using Json = nlohmann::json;

namespace {

class StoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<PendingUploadsStore> open() {
    return std::make_unique<PendingUploadsStore>(executor.makeStrand(), storeFolder(), recordings());
  }
  std::filesystem::path storeFolder() const { return folder.path() / "com.brackwood.VeltranoMac"; }
  std::filesystem::path recordings() const { return storeFolder() / "recordings"; }
  std::filesystem::path file() const { return storeFolder() / "pending-uploads.json"; }
  Json fileJson() const { return Json::parse(readFile(file())); }

  std::vector<PendingUploadRecord> all(PendingUploadsStore& store) {
    auto records = runToEnd(executor, store.allRecords());
    std::sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.answerId < b.answerId; });
    return records;
  }

  TemporaryFolder folder;
  ManualExecutor executor;
  LogCapture logs;
};

}  // namespace

TEST_F(StoreTest, WithoutAFileTheStoreStartsEmptyAndTheFirstUpsertWritesAOneElementArray) {
  auto store = open();
  EXPECT_TRUE(std::filesystem::is_directory(storeFolder()));
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_TRUE(all(*store).empty());

  const auto record = makeRecord(recordings() / "veltrano-answer-1.mp4");
  runToEnd(executor, store->upsert(record));
  const Json written = fileJson();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["id"], record.id.string());
  EXPECT_EQ(all(*store), std::vector{record});
  EXPECT_EQ((std::filesystem::status(file()).permissions() & std::filesystem::perms::others_read),
            std::filesystem::perms::none);
  EXPECT_TRUE(logs->records().empty());

  // A second store over the same folder reads back exactly what was written.
  auto reopened = open();
  EXPECT_EQ(all(*reopened), std::vector{record});
}

TEST_F(StoreTest, UpsertReplacesTheRecordWithTheSameId) {
  auto store = open();
  auto record = makeRecord(recordings() / "a.mp4");
  runToEnd(executor, store->upsert(record));
  record.idToken = "token-2";
  record.objectPath = "elsewhere.mp4";
  runToEnd(executor, store->upsert(record));
  EXPECT_EQ(all(*store), std::vector{record});
  ASSERT_EQ(fileJson().size(), 1u);
  EXPECT_EQ(fileJson()[0]["objectPath"], "elsewhere.mp4");
}

TEST_F(StoreTest, RemoveAndUpdateIdTokenWriteTheFileEvenWhenNothingMatched) {
  auto store = open();
  const auto record = makeRecord(recordings() / "a.mp4");
  runToEnd(executor, store->upsert(record));
  ReplacementCounter writes(storeFolder(), "pending-uploads.json");

  runToEnd(executor, store->remove(Uuid::random()));
  EXPECT_EQ(writes.take(), 1);
  runToEnd(executor, store->updateIdToken(Uuid::random(), "fresh"));
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(all(*store), std::vector{record});

  runToEnd(executor, store->updateIdToken(record.id, "fresh"));
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(fileJson()[0]["idToken"], "fresh");

  runToEnd(executor, store->remove(record.id));
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(readFile(file()), "[]");
  EXPECT_TRUE(all(*store).empty());
}

TEST_F(StoreTest, UpdateIdTokenForAnswerWritesOnceForAllMatchesAndNotAtAllForNone) {
  auto store = open();
  auto first = makeRecord(recordings() / "1.mp4", "answer-1", "old");
  auto second = makeRecord(recordings() / "2.mp4", "answer-1", "fresh");  // already equal: still a match
  auto other = makeRecord(recordings() / "3.mp4", "answer-2", "old");
  auto caseDiffers = makeRecord(recordings() / "4.mp4", "ANSWER-1", "old");
  for (const auto& r : {first, second, other, caseDiffers}) runToEnd(executor, store->upsert(r));
  ReplacementCounter writes(storeFolder(), "pending-uploads.json");
  const std::string before = readFile(file());

  runToEnd(executor, store->updateIdTokenForAnswer("user-1", "session-1", "answer-3", "fresh"));
  runToEnd(executor, store->updateIdTokenForAnswer("user-2", "session-1", "answer-1", "fresh"));
  EXPECT_EQ(writes.take(), 0);
  EXPECT_EQ(readFile(file()), before);

  runToEnd(executor, store->updateIdTokenForAnswer("user-1", "session-1", "answer-1", "fresh"));
  EXPECT_EQ(writes.take(), 1);
  std::map<std::string, std::string> tokens;
  for (const auto& element : fileJson()) tokens[element["answerId"]] += element["idToken"].get<std::string>() + ";";
  EXPECT_EQ(tokens["answer-1"], "fresh;fresh;");
  EXPECT_EQ(tokens["answer-2"], "old;");
  EXPECT_EQ(tokens["ANSWER-1"], "old;");
}

TEST_F(StoreTest, AllRecordsIsASnapshotThatLaterChangesDoNotTouch) {
  auto store = open();
  auto record = makeRecord(recordings() / "a.mp4");
  runToEnd(executor, store->upsert(record));
  const auto snapshot = runToEnd(executor, store->allRecords());
  runToEnd(executor, store->updateIdToken(record.id, "changed"));
  runToEnd(executor, store->upsert(makeRecord(recordings() / "b.mp4", "answer-2")));
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].idToken, "token-1");
}

TEST_F(StoreTest, EnqueuedAtIsWrittenAsSecondsSince2001ZeroAndNegativeAlike) {
  auto store = open();
  auto atReference = makeRecord(recordings() / "a.mp4", "answer-1");
  atReference.enqueuedAt = ReferenceDate::fromTimePoint(std::chrono::system_clock::time_point{std::chrono::seconds(978307200)});
  auto before = makeRecord(recordings() / "b.mp4", "answer-2");
  before.enqueuedAt = ReferenceDate::fromTimePoint(std::chrono::system_clock::time_point{std::chrono::milliseconds(978307200000 - 86400250)});
  runToEnd(executor, store->upsert(atReference));
  runToEnd(executor, store->upsert(before));

  std::map<std::string, Json> byAnswer;
  for (const auto& element : fileJson()) byAnswer[element["answerId"]] = element["enqueuedAt"];
  EXPECT_TRUE(byAnswer["answer-1"].is_number());
  EXPECT_EQ(byAnswer["answer-1"].get<double>(), 0.0);
  EXPECT_EQ(byAnswer["answer-2"].get<double>(), -86400.25);
  EXPECT_NE(readFile(file()).find("\"enqueuedAt\":0}"), std::string::npos);
  EXPECT_EQ(all(*open()), (std::vector{atReference, before}));
}

TEST_F(StoreTest, ReadsAFileWithLowerCaseIdsAndEscapedSlashes) {
  std::filesystem::create_directories(storeFolder());
  writeFile(file(),
            R"([{"id":"a1b2c3d4-e5f6-4a7b-8c9d-0e1f2a3b4c5d","fileURL":"file:\/\/\/rec\/x.mp4","userId":"u",)"
            R"("sessionId":"s","answerId":"a","objectPath":"u\/s\/a\/t.mp4","idToken":"t","enqueuedAt":-1.5}])");
  auto store = open();
  const auto records = all(*store);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fileURL, std::filesystem::path("/rec/x.mp4"));
  EXPECT_EQ(records[0].objectPath, "u/s/a/t.mp4");
  EXPECT_EQ(records[0].enqueuedAt.secondsSinceReferenceDate(), -1.5);
  EXPECT_TRUE(logs->records().empty());

  runToEnd(executor, store->updateIdToken(records[0].id, "t2"));
  EXPECT_EQ(fileJson()[0]["id"], "A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D");
}

TEST_F(StoreTest, AFailedWriteIsLoggedAndTheWholeTableIsWrittenByTheNextChange) {
  auto store = open();
  const auto first = makeRecord(recordings() / "a.mp4", "answer-1");
  const auto second = makeRecord(recordings() / "b.mp4", "answer-2");
  // A plain file where the folder was: the temporary file cannot be created.
  std::filesystem::remove_all(storeFolder());
  writeFile(storeFolder(), "in the way");

  runToEnd(executor, store->upsert(first));
  const auto errors = logs->messages("PendingUploads", LogLevel::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Failed to persist pending uploads store: open ")) << errors[0];
  EXPECT_NE(errors[0].find("Not a directory"), std::string::npos) << errors[0];

  std::filesystem::remove(storeFolder());
  std::filesystem::create_directories(storeFolder());
  runToEnd(executor, store->upsert(second));
  EXPECT_EQ(fileJson().size(), 2u);
  EXPECT_EQ(all(*open()), (std::vector{first, second}));
}

TEST_F(StoreTest, StartingRemovesTemporaryFilesAKilledWriterLeftBehind) {
  std::filesystem::create_directories(storeFolder());
  writeFile(storeFolder() / ".pending-uploads.json.tmp.4242", "[{\"half");
  writeFile(storeFolder() / ".pending-uploads.json.tmp.17", "");
  writeFile(storeFolder() / "unrelated.tmp.1", "keep");
  auto store = open();
  EXPECT_FALSE(std::filesystem::exists(storeFolder() / ".pending-uploads.json.tmp.4242"));
  EXPECT_FALSE(std::filesystem::exists(storeFolder() / ".pending-uploads.json.tmp.17"));
  EXPECT_TRUE(std::filesystem::exists(storeFolder() / "unrelated.tmp.1"));
}

// Operations from several threads at once meet only on the store's strand;
// under ThreadSanitizer a store that ran them on the caller's thread fails.
TEST(PendingUploadsStoreThreads, CallersOnManyThreadsAllLandInTheTable) {
  TemporaryFolder folder;
  WorkerThread worker;
  PendingUploadsStore store(worker.makeStrand(), folder.path(), folder.path() / "recordings");
  constexpr int threads = 4, perThread = 20;
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&store, t] {
      asio::io_context own;
      for (int i = 0; i < perThread; ++i) {
        auto record = makeRecord("/rec/" + std::to_string(t) + "-" + std::to_string(i) + ".mp4",
                                 "answer-" + std::to_string(t));
        auto done = asio::co_spawn(own, store.upsert(record), asio::use_future);
        own.run();
        own.restart();
        done.get();
      }
    });
  }
  for (auto& caller : callers) caller.join();
  auto all = asio::co_spawn(worker.context(), store.allRecords(), asio::use_future).get();
  EXPECT_EQ(all.size(), std::size_t{threads * perThread});
  const auto onDisk = decodePendingUploads(readFile(store.storeURL()));
  EXPECT_FALSE(onDisk.damaged);
  EXPECT_EQ(onDisk.records.size(), std::size_t{threads * perThread});
  worker.stop();
}

TEST(RecordingsDirectory, FallsBackToTheTemporaryFolderWithItsOwnLogLine) {
  LogCapture logs;
  EXPECT_EQ(applicationSupportBase("/home/u/.local/share", "/tmp", "unused"), "/home/u/.local/share");
  EXPECT_TRUE(logs->records().empty());
  for (const char* missing : {static_cast<const char*>(nullptr), "", "relative/share"}) {
    logs->clear();
    EXPECT_EQ(applicationSupportBase(missing, "/var/tmp", "fallback message"), "/var/tmp");
    EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error), std::vector<std::string>{"fallback message"});
  }
  TemporaryFolder folder;
  const auto recordings = recordingsDirectoryIn(folder.path());
  EXPECT_EQ(recordings, folder.path() / "com.brackwood.VeltranoMac" / "recordings");
  EXPECT_TRUE(std::filesystem::is_directory(recordings));
}

// Runs in a process of its own under CTest, so the data folder GLib caches
// is the one set here.
TEST(PendingUploadsStoreShared, LivesInTheUserDataFolderAndWorksFromTheWorkerThread) {
  TemporaryFolder data;
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  const auto expected = data.path() / "com.brackwood.VeltranoMac";
  EXPECT_EQ(recordingsDirectoryURL(), expected / "recordings");
  auto& store = PendingUploadsStore::shared();
  EXPECT_EQ(&store, &PendingUploadsStore::shared());
  EXPECT_EQ(store.storeURL(), expected / "pending-uploads.json");
  EXPECT_EQ(store.recordingsDir(), expected / "recordings");
  EXPECT_TRUE(std::filesystem::is_directory(expected / "recordings"));

  asio::io_context caller;
  auto done = asio::co_spawn(caller, store.upsert(makeRecord(expected / "recordings" / "x.mp4")), asio::use_future);
  caller.run();
  done.get();
  EXPECT_EQ(decodePendingUploads(readFile(expected / "pending-uploads.json")).records.size(), 1u);
}
