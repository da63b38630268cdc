#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Runtime/WorkerThread.hpp"
#include "StoreTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using Json = nlohmann::json;

namespace {

class StoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<PendingUploadsStore> open() {
    return std::make_unique<PendingUploadsStore>(executor.makeStrand(), folder.path, folder.path / "recordings");
  }
  std::filesystem::path file() const { return folder.path / "pending-uploads.json"; }
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

TEST_F(StoreTest, StartsEmptyWithoutAFileAndTheFirstUpsertWritesAOneElementArray) {
  auto store = open();
  EXPECT_TRUE(all(*store).empty());
  EXPECT_FALSE(std::filesystem::exists(file()));
  const auto record = makeRecord(folder.path / "recordings" / "1.mp4");
  runToEnd(executor, store->upsert(record));
  ASSERT_EQ(fileJson().size(), 1u);
  EXPECT_EQ(fileJson()[0]["id"], record.id.string());
  // Tokens are credentials: the file is the owner's alone.
  EXPECT_EQ(std::filesystem::status(file()).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  EXPECT_EQ(all(*open()), std::vector{record});
  EXPECT_TRUE(logs->records().empty());
}

TEST_F(StoreTest, EveryChangeWritesTheFileAsTheOperationRequires) {
  auto store = open();
  auto record = makeRecord(folder.path / "1.mp4");
  runToEnd(executor, store->upsert(record));
  ReplacementCounter writes(folder.path, "pending-uploads.json");

  record.objectPath = "replaced.mp4";
  runToEnd(executor, store->upsert(record));
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(all(*store), std::vector{record});
  // Nothing matches these two; each writes all the same.
  runToEnd(executor, store->remove(Uuid::random()));
  EXPECT_EQ(writes.take(), 1);
  runToEnd(executor, store->updateIdToken(Uuid::random(), "fresh"));
  EXPECT_EQ(writes.take(), 1);
  runToEnd(executor, store->updateIdToken(record.id, "fresh"));
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(fileJson()[0]["idToken"], "fresh");
  runToEnd(executor, store->remove(record.id));
  EXPECT_EQ(writes.take(), 1);
  EXPECT_EQ(readFile(file()), "[]");
}

TEST_F(StoreTest, UpdateIdTokenForAnswerWritesOnceForAllMatchesAndNotAtAllForNone) {
  auto store = open();
  const auto snapshotBefore = runToEnd(executor, store->allRecords());
  for (const auto& r : {makeRecord("/r/1.mp4", "answer-1", "old"), makeRecord("/r/2.mp4", "answer-1", "new"),
                        makeRecord("/r/3.mp4", "answer-2", "old"), makeRecord("/r/4.mp4", "ANSWER-1", "old")})
    runToEnd(executor, store->upsert(r));
  ReplacementCounter writes(folder.path, "pending-uploads.json");
  const std::string before = readFile(file());
  runToEnd(executor, store->updateIdTokenForAnswer("user-1", "session-1", "answer-3", "new"));
  runToEnd(executor, store->updateIdTokenForAnswer("user-2", "session-1", "answer-1", "new"));
  EXPECT_EQ(writes.take(), 0);
  EXPECT_EQ(readFile(file()), before);

  runToEnd(executor, store->updateIdTokenForAnswer("user-1", "session-1", "answer-1", "new"));
  EXPECT_EQ(writes.take(), 1);
  std::multiset<std::string> tokens;
  for (const auto& e : fileJson()) tokens.insert(e["answerId"].get<std::string>() + "=" + e["idToken"].get<std::string>());
  EXPECT_EQ(tokens, (std::multiset<std::string>{"answer-1=new", "answer-1=new", "answer-2=old", "ANSWER-1=old"}));
  EXPECT_TRUE(snapshotBefore.empty());  // a snapshot is a copy
}

TEST_F(StoreTest, DatesAreSecondsSince2001AndIdsOrSlashesReadInAnySpelling) {
  writeFile(file(), R"([{"id":"a1b2c3d4-e5f6-4a7b-8c9d-0e1f2a3b4c5d","fileURL":"file:\/\/\/rec\/x.mp4","userId":"u",)"
                    R"("sessionId":"s","answerId":"a","objectPath":"u\/s\/a\/t.mp4","idToken":"t","enqueuedAt":-1.5}])");
  auto store = open();
  const auto loaded = all(*store);
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].fileURL, std::filesystem::path("/rec/x.mp4"));
  EXPECT_EQ(loaded[0].objectPath, "u/s/a/t.mp4");
  EXPECT_EQ(loaded[0].enqueuedAt.secondsSinceReferenceDate(), -1.5);
  EXPECT_TRUE(logs->records().empty());

  auto atReference = makeRecord("/rec/y.mp4", "b");
  atReference.enqueuedAt = ReferenceDate::fromTimePoint(std::chrono::system_clock::time_point{std::chrono::seconds(978307200)});
  runToEnd(executor, store->upsert(atReference));
  const std::string written = readFile(file());
  EXPECT_NE(written.find("\"id\":\"A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D\""), std::string::npos);
  EXPECT_NE(written.find("\"enqueuedAt\":0}"), std::string::npos);
  EXPECT_NE(written.find("\"enqueuedAt\":-1.5}"), std::string::npos);
}

TEST_F(StoreTest, AFailedWriteIsLoggedAndTheNextChangeWritesTheWholeTable) {
  writeFile(folder.path / ".pending-uploads.json.tmp.4242", "[{\"half");  // left by a killed writer
  auto store = open();
  EXPECT_FALSE(std::filesystem::exists(folder.path / ".pending-uploads.json.tmp.4242"));
  const auto first = makeRecord("/r/1.mp4", "answer-1"), second = makeRecord("/r/2.mp4", "answer-2");
  std::filesystem::create_directory(file());  // a folder cannot be replaced by a file
  runToEnd(executor, store->upsert(first));
  const auto errors = logs->messages("PendingUploads", LogLevel::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Failed to persist pending uploads store: rename to ")) << errors[0];
  EXPECT_TRUE(std::filesystem::is_empty(file()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path), {}), 1);  // no temporary file left

  std::filesystem::remove(file());
  runToEnd(executor, store->upsert(second));
  EXPECT_EQ(all(*open()), (std::vector{first, second}));
}

// Callers on many threads meet only on the store's strand; ThreadSanitizer
// fails this for a store that touched its table on the callers' threads.
TEST(PendingUploadsStoreThreads, CallersOnManyThreadsAllLandInTheTable) {
  TemporaryFolder folder;
  WorkerThread worker;
  PendingUploadsStore store(worker.makeStrand(), folder.path, folder.path / "recordings");
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&store, t] {
      asio::io_context own;
      for (int i = 0; i < 20; ++i) {
        auto done = asio::co_spawn(own, store.upsert(makeRecord("/r/" + std::to_string(t * 100 + i))), asio::use_future);
        own.run();
        own.restart();
        done.get();
      }
    });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(asio::co_spawn(worker.context(), store.allRecords(), asio::use_future).get().size(), 80u);
  EXPECT_EQ(decodePendingUploads(readFile(store.storeURL())).records.size(), 80u);
  worker.stop();
}

// CTest runs each test in a process of its own, so GLib reads the data
// folder set here.
TEST(PendingUploadsStoreShared, LivesInTheUserDataFolderOrFallsBackWithItsLogLine) {
  TemporaryFolder data;
  ::setenv("XDG_DATA_HOME", data.path.c_str(), 1);
  const auto expected = data.path / "com.brackwood.VeltranoMac";
  EXPECT_EQ(recordingsDirectoryURL(), expected / "recordings");
  EXPECT_TRUE(std::filesystem::is_directory(expected / "recordings"));
  auto& store = PendingUploadsStore::shared();
  EXPECT_EQ(&store, &PendingUploadsStore::shared());
  EXPECT_EQ(store.storeURL(), expected / "pending-uploads.json");
  EXPECT_EQ(store.recordingsDir(), expected / "recordings");
  asio::io_context caller;
  auto done = asio::co_spawn(caller, store.upsert(makeRecord(expected / "recordings" / "x.mp4")), asio::use_future);
  caller.run();
  done.get();
  EXPECT_EQ(decodePendingUploads(readFile(store.storeURL())).records.size(), 1u);

  LogCapture logs;
  for (const char* missing : {static_cast<const char*>(nullptr), "", "relative/share"})
    EXPECT_EQ(applicationSupportBase(missing, "/var/tmp", "fallback message"), "/var/tmp");
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error), std::vector<std::string>(3, "fallback message"));
}
