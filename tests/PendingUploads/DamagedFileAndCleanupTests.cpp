#include "PendingUploads/PendingUploadsCodec.hpp"
#include "PendingUploads/PendingUploadsStore.hpp"
#include "StoreTestSupport.hpp"
#include "support/CapturingLogSink.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <regex>

using namespace veltrano;
using namespace veltrano::testing;
using Json = nlohmann::json;

namespace {

class RecordingsTest : public ::testing::Test {
 protected:
  RecordingsTest() { std::filesystem::create_directories(recordings()); }

  std::unique_ptr<PendingUploadsStore> open() {
    return std::make_unique<PendingUploadsStore>(executor.makeStrand(), storeFolder(), recordings());
  }
  std::filesystem::path storeFolder() const { return folder.path() / "store"; }
  std::filesystem::path recordings() const { return storeFolder() / "recordings"; }
  std::filesystem::path file() const { return storeFolder() / "pending-uploads.json"; }
  std::filesystem::path clip(const std::string& name) const {
    writeFile(recordings() / name, "clip");
    return recordings() / name;
  }
  std::vector<std::filesystem::path> keptCopies() const {
    std::vector<std::filesystem::path> copies;
    for (const auto& entry : std::filesystem::directory_iterator(storeFolder()))
      if (entry.path().filename().native().starts_with("pending-uploads.json.corrupt-")) copies.push_back(entry.path());
    return copies;
  }
  std::vector<std::string> remainingClips() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(recordings())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  TemporaryFolder folder;
  ManualExecutor executor;
  LogCapture logs;
};

}  // namespace

TEST_F(RecordingsTest, CleanupDeletesOnlyUnreferencedMp4FilesDirectlyInTheFolder) {
  auto store = open();
  clip("a.mp4");
  const auto b = clip("b.mp4");
  const auto direct = clip("direct.mp4");
  clip("c.MP4");
  clip("d.mov");
  clip(".hidden.mp4");
  std::filesystem::create_directories(recordings() / "sub");
  clip("sub/e.mp4");
  std::filesystem::create_directories(recordings() / "folder.mp4");
  // b.mp4 is referenced only through a link that lies elsewhere.
  std::filesystem::create_directories(folder.path() / "elsewhere");
  std::filesystem::create_symlink(b, folder.path() / "elsewhere" / "link-to-b.mp4");
  // An entry that is itself a link to a referenced clip stays too.
  const auto outside = folder.path() / "elsewhere" / "outside.mp4";
  writeFile(outside, "clip");
  std::filesystem::create_symlink(outside, recordings() / "link-to-outside.mp4");
  std::filesystem::create_symlink(folder.path() / "gone.mp4", recordings() / "dangling.mp4");

  runToEnd(executor, store->upsert(makeRecord(folder.path() / "elsewhere" / "link-to-b.mp4", "answer-1")));
  runToEnd(executor, store->upsert(makeRecord(direct, "answer-2")));
  runToEnd(executor, store->upsert(makeRecord(outside, "answer-3")));
  const std::string fileBefore = readFile(file());
  logs->clear();

  runToEnd(executor, store->removeOrphanedRecordings());
  EXPECT_EQ(remainingClips(), (std::vector<std::string>{"b.mp4", "c.MP4", "d.mov", "direct.mp4", "folder.mp4",
                                                        "link-to-outside.mp4", "sub"}));
  EXPECT_TRUE(std::filesystem::exists(recordings() / "sub" / "e.mp4"));
  EXPECT_TRUE(std::filesystem::exists(outside));
  auto deleted = logs->messages("PendingUploads", LogLevel::info);
  std::sort(deleted.begin(), deleted.end());
  EXPECT_EQ(deleted, (std::vector<std::string>{"Deleted orphaned recording: .hidden.mp4",
                                               "Deleted orphaned recording: a.mp4",
                                               "Deleted orphaned recording: dangling.mp4"}));
  EXPECT_EQ(readFile(file()), fileBefore);
  EXPECT_EQ(runToEnd(executor, store->allRecords()).size(), 3u);
}

TEST_F(RecordingsTest, CleanupOfAMissingFolderDoesNothingQuietly) {
  std::filesystem::remove_all(recordings());
  auto store = open();
  runToEnd(executor, store->removeOrphanedRecordings());
  EXPECT_TRUE(logs->records().empty());
}

TEST_F(RecordingsTest, ADamagedFileIsKeptItsGoodRecordsLoadedAndItsClipsSpared) {
  const auto good = makeRecord(clip("veltrano-answer-GOOD.mp4"), "answer-1");
  const auto alsoGood = makeRecord(clip("veltrano-answer-ALSO GOOD.mp4"), "answer-2");
  Json goodJson = Json::parse(encodePendingUploads({good}))[0];
  Json missingPath = Json::parse(encodePendingUploads({makeRecord(clip("veltrano-answer-NOPATH.mp4"))}))[0];
  missingPath.erase("objectPath");
  Json badURL = Json::parse(encodePendingUploads({makeRecord(clip("veltrano-answer-BADURL.mp4"))}))[0];
  badURL["fileURL"] = "file://some host/" + recordings().native() + "/veltrano-answer-BADURL.mp4";
  Json alsoGoodJson = Json::parse(encodePendingUploads({alsoGood}))[0];
  clip("veltrano-answer-ORPHAN.mp4");
  std::filesystem::create_directories(storeFolder());
  const std::string damaged = Json::array({goodJson, missingPath, badURL, alsoGoodJson}).dump();
  writeFile(file(), damaged);

  auto store = open();
  auto loaded = runToEnd(executor, store->allRecords());
  std::sort(loaded.begin(), loaded.end(), [](auto& x, auto& y) { return x.answerId < y.answerId; });
  EXPECT_EQ(loaded, (std::vector{good, alsoGood}));

  const auto copies = keptCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(readFile(copies[0]), damaged);
  EXPECT_TRUE(std::regex_match(copies[0].filename().native(),
                               std::regex(R"(pending-uploads\.json\.corrupt-\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
      << copies[0];
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error),
            std::vector<std::string>{"Pending uploads store was unreadable; kept a copy at " + copies[0].native()});
  // The file itself now holds what was salvaged.
  const auto onDisk = decodePendingUploads(readFile(file()));
  EXPECT_FALSE(onDisk.damaged);
  EXPECT_EQ(onDisk.records.size(), 2u);

  runToEnd(executor, store->removeOrphanedRecordings());
  EXPECT_EQ(remainingClips(), (std::vector<std::string>{"veltrano-answer-ALSO GOOD.mp4", "veltrano-answer-BADURL.mp4",
                                                        "veltrano-answer-GOOD.mp4", "veltrano-answer-NOPATH.mp4"}));

  // The next start finds a sound file: no second copy, nothing logged.
  logs->clear();
  auto reopened = open();
  EXPECT_EQ(keptCopies().size(), 1u);
  EXPECT_TRUE(logs->records().empty());
  // And the kept copy still spares its clips after the records are gone.
  runToEnd(executor, reopened->remove(good.id));
  runToEnd(executor, reopened->remove(alsoGood.id));
  runToEnd(executor, reopened->removeOrphanedRecordings());
  EXPECT_EQ(remainingClips().size(), 4u);
}

TEST_F(RecordingsTest, ATruncatedFileKeepsTheRecordsWrittenBeforeTheDamage) {
  const auto first = makeRecord(clip("one.mp4"), "answer-1");
  const auto second = makeRecord(clip("two.mp4"), "answer-2");
  const auto third = makeRecord(clip("three.mp4"), "answer-3");
  const std::string whole = encodePendingUploads({first, second, third});
  std::filesystem::create_directories(storeFolder());
  writeFile(file(), whole.substr(0, whole.size() - 30));

  auto store = open();
  EXPECT_EQ(runToEnd(executor, store->allRecords()).size(), 2u);
  EXPECT_EQ(keptCopies().size(), 1u);
  runToEnd(executor, store->removeOrphanedRecordings());
  EXPECT_EQ(remainingClips(), (std::vector<std::string>{"one.mp4", "three.mp4", "two.mp4"}));
}

TEST_F(RecordingsTest, EveryDamagedFileGetsItsOwnCopyEvenWithinOneSecond) {
  std::filesystem::create_directories(storeFolder());
  writeFile(file(), "not json at all");
  open();
  writeFile(file(), "{\"also\": \"not an array\"}");
  open();
  auto copies = keptCopies();
  ASSERT_EQ(copies.size(), 2u);
  std::vector<std::string> contents{readFile(copies[0]), readFile(copies[1])};
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"not json at all", "{\"also\": \"not an array\"}"}));
  EXPECT_EQ(readFile(file()), "[]");
}

TEST_F(RecordingsTest, AKeptCopyThatCannotBeReadStopsTheCleanupRatherThanRiskAClip) {
  auto store = open();
  clip("orphan.mp4");
  std::filesystem::create_directories(storeFolder() / "pending-uploads.json.corrupt-2026-01-01T00:00:00Z");
  runToEnd(executor, store->removeOrphanedRecordings());
  EXPECT_EQ(remainingClips(), std::vector<std::string>{"orphan.mp4"});
  ASSERT_EQ(logs->messages("PendingUploads", LogLevel::error).size(), 1u);
  EXPECT_TRUE(logs->messages("PendingUploads", LogLevel::info).empty());
}
