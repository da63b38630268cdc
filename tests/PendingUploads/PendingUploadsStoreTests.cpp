#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "PendingUploads/RecordingsDirectory.hpp"
#include "Runtime/WorkerThread.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/ManualExecutor.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <boost/asio/use_future.hpp>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <thread>

using namespace veltrano;
using namespace veltrano::testing;
using Json = nlohmann::json;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// Sorted names in `folder` that start with `prefix`.
std::vector<std::string> names(const fs::path& folder, const std::string& prefix = "") {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().filename().native().starts_with(prefix)) found.push_back(entry.path().filename());
  std::sort(found.begin(), found.end());
  return found;
}

PendingUploadRecord makeRecord(const fs::path& file, std::string answerId = "answer-1", std::string token = "token-1") {
  return PendingUploadRecord{
      Uuid::random(),      file, "user-1", "session-1", answerId, "user-1/session-1/" + answerId + "/t.mp4", token,
      ReferenceDate::now()};
}

class Store : public ::testing::Test {
 protected:
  Store() {
    fs::create_directories(recordings);  // and the folder itself
    if (inotify < 0 || inotify_add_watch(inotify, folder.c_str(), IN_MOVED_TO) < 0) throw std::runtime_error("inotify");
  }
  ~Store() override { ::close(inotify); }
  std::unique_ptr<PendingUploadsStore> open() {
    return std::make_unique<PendingUploadsStore>(executor.makeStrand(), folder, recordings);
  }
  // Runs `operation` on the manual executor until nothing is left to do.
  template <typename T>
  T run(Awaitable<T> operation) {
    auto result = asio::co_spawn(executor.executor(), std::move(operation), asio::use_future);
    executor.runUntilIdle();
    if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) throw std::runtime_error("unfinished");
    return result.get();
  }
  // Runs `operation` and counts the renames onto the store's file since the
  // last count: every write lands that way.
  int writesOf(Awaitable<void> operation) {
    run(std::move(operation));
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t n; (n = ::read(inotify, buffer, sizeof buffer)) > 0;)
      for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
        count += std::string_view("pending-uploads.json") == reinterpret_cast<inotify_event*>(p)->name;
    return count;
  }
  std::vector<PendingUploadRecord> all(PendingUploadsStore& store) {
    auto records = run(store.allRecords());
    std::sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.answerId < b.answerId; });
    return records;
  }
  fs::path clip(const std::string& name) const {
    writeFile(recordings / name, "clip");
    return recordings / name;
  }

  TempDir temp;
  fs::path folder = temp.path;
  fs::path recordings = folder / "recordings", file = folder / "pending-uploads.json";
  int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ManualExecutor executor;
  LogCapture logs;
};

}  // namespace

TEST_F(Store, StartsEmptyWithoutAFileAndEveryChangeWritesIt) {
  auto store = open();
  EXPECT_TRUE(all(*store).empty());
  EXPECT_FALSE(fs::exists(file));
  auto record = makeRecord(clip("1.mp4"));
  EXPECT_EQ(writesOf(store->upsert(record)), 1);
  EXPECT_EQ(readFile(file), encodePendingUploads({record}));
  // Tokens are credentials: the file is the owner's alone.
  EXPECT_EQ(fs::status(file).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);

  record.objectPath = "replaced.mp4";
  EXPECT_EQ(writesOf(store->upsert(record)), 1);
  EXPECT_EQ(all(*open()), std::vector{record});  // replaced by id, as read back from the file
  // Nothing matches these two; each writes all the same.
  EXPECT_EQ(writesOf(store->remove(Uuid::random())), 1);
  EXPECT_EQ(writesOf(store->updateIdToken(Uuid::random(), "fresh")), 1);
  EXPECT_EQ(writesOf(store->updateIdToken(record.id, "fresh")), 1);
  EXPECT_EQ(Json::parse(readFile(file))[0]["idToken"], "fresh");
  EXPECT_EQ(writesOf(store->remove(record.id)), 1);
  EXPECT_EQ(readFile(file), "[]");
  EXPECT_TRUE(logs->records().empty());
}

TEST_F(Store, UpdateIdTokenForAnswerWritesOnceForAllMatchesAndNotAtAllForNone) {
  auto store = open();
  for (const auto& r : {makeRecord("/r/1.mp4", "answer-1", "old"), makeRecord("/r/2.mp4", "answer-1", "new"),
                        makeRecord("/r/3.mp4", "answer-2", "old"), makeRecord("/r/4.mp4", "ANSWER-1", "old")})
    writesOf(store->upsert(r));
  const std::string before = readFile(file);
  EXPECT_EQ(writesOf(store->updateIdTokenForAnswer("user-1", "session-1", "answer-3", "new")), 0);
  EXPECT_EQ(writesOf(store->updateIdTokenForAnswer("user-2", "session-1", "answer-1", "new")), 0);
  EXPECT_EQ(readFile(file), before);

  EXPECT_EQ(writesOf(store->updateIdTokenForAnswer("user-1", "session-1", "answer-1", "new")), 1);
  std::multiset<std::string> tokens;
  for (const auto& e : Json::parse(readFile(file)))
    tokens.insert(e["answerId"].get<std::string>() + "=" + e["idToken"].get<std::string>());
  EXPECT_EQ(tokens, (std::multiset<std::string>{"answer-1=new", "answer-1=new", "answer-2=old", "ANSWER-1=old"}));
  // Matches that already hold the token still count as matches: one write.
  EXPECT_EQ(writesOf(store->updateIdTokenForAnswer("user-1", "session-1", "answer-1", "new")), 1);
}

TEST_F(Store, DatesAreSecondsSince2001AndIdsSlashesOrExtraKeysReadInAnySpelling) {
  writeFile(
      file,
      R"([{"id":"a1b2c3d4-e5f6-4a7b-8c9d-0e1f2a3b4c5d","fileURL":"file:\/\/\/rec\/x.mp4","userId":"u",)"
      R"("sessionId":"s","answerId":"a","objectPath":"u\/s\/a\/t.mp4","idToken":"t","enqueuedAt":-1.5,"extra":[{}]}])");
  auto store = open();
  const PendingUploadRecord expected{
      *Uuid::parse("A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D"), "/rec/x.mp4", "u", "s", "a", "u/s/a/t.mp4", "t",
      *ReferenceDate::fromSecondsSinceReferenceDate(-1.5)};
  EXPECT_EQ(all(*store), std::vector{expected});
  EXPECT_TRUE(logs->records().empty());

  auto atReference = makeRecord("/rec/y.mp4", "b");
  atReference.enqueuedAt =
      ReferenceDate::fromTimePoint(std::chrono::system_clock::time_point{std::chrono::seconds(978307200)});
  run(store->upsert(atReference));
  const std::string written = readFile(file);
  EXPECT_NE(written.find("\"id\":\"A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D\""), std::string::npos);
  EXPECT_NE(written.find("\"enqueuedAt\":0}"), std::string::npos);
  EXPECT_NE(written.find("\"enqueuedAt\":-1.5}"), std::string::npos);
}

TEST_F(Store, AFailedWriteIsLoggedAndTheNextChangeWritesTheWholeTable) {
  const std::string tmp = ".pending-uploads.json.tmp.";
  writeFile(folder / (tmp + "4242"), "[{\"half");  // left by a killed writer
  auto store = open();
  EXPECT_TRUE(names(folder, tmp).empty());
  const auto first = makeRecord("/r/1.mp4", "answer-1"), second = makeRecord("/r/2.mp4", "answer-2");
  fs::create_directory(file);  // a folder cannot be replaced by a file
  run(store->upsert(first));
  const auto errors = logs->messages("PendingUploads", LogLevel::error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Failed to persist pending uploads store: rename to ")) << errors[0];
  EXPECT_TRUE(fs::is_empty(file));
  EXPECT_TRUE(names(folder, tmp).empty());

  fs::remove(file);
  run(store->upsert(second));
  EXPECT_EQ(all(*open()), (std::vector{first, second}));
}

// Callers on many threads meet only on the store's strand; ThreadSanitizer
// fails this for a store that touched its table on theirs.
TEST_F(Store, TakesCallersOnManyThreads) {
  WorkerThread worker;
  auto store = std::make_unique<PendingUploadsStore>(worker.makeStrand(), folder, recordings);
  auto await = [](auto operation) {  // from a context of the caller's own, as app code does
    asio::io_context own;
    auto result = asio::co_spawn(own, std::move(operation), asio::use_future);
    own.run();
    return result.get();
  };
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) await(store->upsert(makeRecord("/r/" + std::to_string(t * 100 + i))));
    });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(await(store->allRecords()).size(), 80u);
  EXPECT_EQ(decodePendingUploads(readFile(store->storeURL())).records.size(), 80u);
}

// The data folder lies under the user's data folder, or, when that is
// missing, empty or relative, under the temporary folder, and both the
// store's and the recordings' lines say so.
TEST_F(Store, DataFolderFallsBackToTheTemporaryFolderWithBothLogLines) {
  EXPECT_EQ(
      applicationDataFolder("/home/u/.local/share", "/var/tmp"), "/home/u/.local/share/com.brackwood.VeltranoMac");
  EXPECT_TRUE(logs->messages("PendingUploads", LogLevel::error).empty());
  const std::vector<std::string> bothLines{
      "applicationSupportDirectory unavailable; falling back to temporary directory",
      "applicationSupportDirectory unavailable; falling back to temporary directory for recordings"};
  for (const char* missing : {static_cast<const char*>(nullptr), "", "relative/share"}) {
    LogCapture each;
    EXPECT_EQ(applicationDataFolder(missing, "/var/tmp"), "/var/tmp/com.brackwood.VeltranoMac");
    EXPECT_EQ(each->messages("PendingUploads", LogLevel::error), bothLines);
  }
  EXPECT_EQ(applicationDataFolder(nullptr, ""), "/tmp/com.brackwood.VeltranoMac");
  EXPECT_EQ(recordingsDirectoryURL(folder / "data"), folder / "data/recordings");
  EXPECT_TRUE(fs::is_directory(folder / "data/recordings"));
}

TEST_F(Store, CleanUpDeletesOnlyUnreferencedMp4FilesDirectlyInTheFolder) {
  auto store = open();
  for (const char* name : {"a.mp4", "c.MP4", "d.mov", ".hidden.mp4"}) clip(name);
  for (const char* sub : {"sub", "folder.mp4"}) fs::create_directories(recordings / sub);
  clip("sub/e.mp4");
  // b.mp4 is referenced only through a link elsewhere; f.mp4 is itself a
  // link to a referenced clip elsewhere.
  fs::create_symlink(clip("b.mp4"), folder / "link-to-b.mp4");
  writeFile(folder / "outside.mp4", "clip");
  fs::create_symlink(folder / "outside.mp4", recordings / "f.mp4");
  fs::create_symlink(folder / "gone.mp4", recordings / "dangling.mp4");
  for (const auto& path : {folder / "link-to-b.mp4", clip("direct.mp4"), folder / "outside.mp4"})
    run(store->upsert(makeRecord(path)));
  const std::string fileBefore = readFile(file);

  run(store->removeOrphanedRecordings());
  EXPECT_EQ(names(recordings),
            (std::vector<std::string>{"b.mp4", "c.MP4", "d.mov", "direct.mp4", "f.mp4", "folder.mp4", "sub"}));
  EXPECT_TRUE(fs::exists(recordings / "sub" / "e.mp4"));
  auto deleted = logs->messages("PendingUploads", LogLevel::info);
  std::sort(deleted.begin(), deleted.end());
  EXPECT_EQ(
      deleted, (std::vector<std::string>{"Deleted orphaned recording: .hidden.mp4", "Deleted orphaned recording: a.mp4",
                                         "Deleted orphaned recording: dangling.mp4"}));
  EXPECT_EQ(readFile(file), fileBefore);

  fs::remove_all(recordings);
  run(store->removeOrphanedRecordings());  // nothing to list: nothing happens
  EXPECT_EQ(logs->records().size(), 3u);
}

TEST_F(Store, ADamagedFileIsKeptItsGoodRecordsLoadedAndItsClipsSpared) {
  const auto good = makeRecord(clip("veltrano-answer-GOOD.mp4"), "answer-1");
  const auto spaced = makeRecord(clip("veltrano-answer-A B.mp4"), "answer-2");
  Json elements = Json::parse(encodePendingUploads({good, makeRecord(clip("veltrano-answer-NOPATH.mp4")), spaced}));
  elements[1].erase("objectPath");
  const std::string damaged = elements.dump();
  writeFile(file, damaged);
  clip("veltrano-answer-ORPHAN.mp4");

  auto store = open();
  EXPECT_EQ(all(*store), (std::vector{good, spaced}));
  const auto copies = names(folder, "pending-uploads.json.corrupt-");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(
      std::regex_match(copies[0], std::regex(R"(pending-uploads\.json\.corrupt-\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(readFile(folder / copies[0]), damaged);
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error),
            std::vector<std::string>{"Pending uploads store was unreadable; kept a copy at " +
                                     (folder / copies[0]).native()});
  EXPECT_FALSE(decodePendingUploads(readFile(file)).damaged);  // rewritten with what was salvaged

  // The kept copy spares its clips even after their records are gone.
  run(store->remove(good.id));
  run(store->remove(spaced.id));
  run(store->removeOrphanedRecordings());
  EXPECT_EQ(names(recordings), (std::vector<std::string>{"veltrano-answer-A B.mp4", "veltrano-answer-GOOD.mp4",
                                                         "veltrano-answer-NOPATH.mp4"}));
  // A second damaged file, even within the same second, gets its own copy.
  writeFile(file, "[{\"id\":");
  open();
  EXPECT_EQ(names(folder, "pending-uploads.json.corrupt-").size(), 2u);
  logs->clear();
  open();  // sound again: no further copy, nothing logged
  EXPECT_EQ(names(folder, "pending-uploads.json.corrupt-").size(), 2u);
  EXPECT_TRUE(logs->records().empty());
}

TEST_F(Store, ADamagedFileOrCopyThatCannotBeReadStopsTheCleanUpRatherThanRiskAClip) {
  clip("orphan.mp4");
  // A folder in the file's place cannot be read, and cannot be linked or copied.
  fs::create_directories(file);
  run(open()->removeOrphanedRecordings());
  EXPECT_EQ(names(recordings), std::vector<std::string>{"orphan.mp4"});
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error).size(), 2u);

  fs::remove(file);
  fs::create_directories(folder / "pending-uploads.json.corrupt-2026-01-01T00:00:00Z");
  run(open()->removeOrphanedRecordings());
  EXPECT_EQ(names(recordings), std::vector<std::string>{"orphan.mp4"});
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error).size(), 3u);
}

// The child (CrashWriter.cpp) rewrites the store until killed, every write
// giving all records one token, so a file mixing two writes shows.
TEST_F(Store, AWriterKilledAtRandomMomentsAlwaysLeavesAFileThatDecodes) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::string program = VELTRANO_CRASH_WRITER, argument = folder.native();
  char* argv[] = {program.data(), argument.data(), nullptr};
  int midWrite = 0;
  for (int kill = 0; kill < 200; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    pid_t writer = -1;
    ASSERT_EQ(posix_spawn(&writer, program.c_str(), nullptr, nullptr, argv, environ), 0);
    for (int waited = 0; !fs::exists(file) && waited < 10000; ++waited)  // only the first has to wait
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution(0, 30000)(random)));
    ASSERT_EQ(::kill(writer, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "writer ended by itself: " << status;

    const auto decoded = decodePendingUploads(readFile(file));
    ASSERT_FALSE(decoded.damaged);
    ASSERT_FALSE(decoded.records.empty());
    for (const auto& record : decoded.records)
      ASSERT_EQ(record.idToken, decoded.records.front().idToken) << "writes mixed";
    ASSERT_TRUE(names(folder, "pending-uploads.json.corrupt-").empty());
    midWrite += !names(folder, ".pending-uploads.json.tmp.").empty();
  }
  std::cout << midWrite << " of 200 kills landed mid-write (a temporary file was left)\n";
}
