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
  RecordingsTest() { std::filesystem::create_directories(recordings); }
  std::unique_ptr<PendingUploadsStore> open() {
    return std::make_unique<PendingUploadsStore>(executor.makeStrand(), folder.path, recordings);
  }
  std::filesystem::path clip(const std::string& name) const {
    writeFile(recordings / name, "clip");
    return recordings / name;
  }
  std::vector<std::string> list(const std::filesystem::path& where, const std::string& prefix = "") const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(where))
      if (entry.path().filename().native().starts_with(prefix)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  void cleanUp(PendingUploadsStore& store) { runToEnd(executor, store.removeOrphanedRecordings()); }

  TemporaryFolder folder;
  std::filesystem::path recordings = folder.path / "recordings";
  std::filesystem::path file = folder.path / "pending-uploads.json";
  ManualExecutor executor;
  LogCapture logs;
};

}  // namespace

TEST_F(RecordingsTest, CleanUpDeletesOnlyUnreferencedMp4FilesDirectlyInTheFolder) {
  auto store = open();
  for (const char* name : {"a.mp4", "c.MP4", "d.mov", ".hidden.mp4"}) clip(name);
  std::filesystem::create_directories(recordings / "sub");
  std::filesystem::create_directories(recordings / "folder.mp4");
  clip("sub/e.mp4");
  // b.mp4 is referenced only through a link elsewhere; f.mp4 is itself a
  // link to a referenced clip elsewhere.
  std::filesystem::create_symlink(clip("b.mp4"), folder.path / "link-to-b.mp4");
  writeFile(folder.path / "outside.mp4", "clip");
  std::filesystem::create_symlink(folder.path / "outside.mp4", recordings / "f.mp4");
  std::filesystem::create_symlink(folder.path / "gone.mp4", recordings / "dangling.mp4");
  for (const auto& path : {folder.path / "link-to-b.mp4", clip("direct.mp4"), folder.path / "outside.mp4"})
    runToEnd(executor, store->upsert(makeRecord(path)));
  const std::string fileBefore = readFile(file);

  cleanUp(*store);
  EXPECT_EQ(list(recordings),
            (std::vector<std::string>{"b.mp4", "c.MP4", "d.mov", "direct.mp4", "f.mp4", "folder.mp4", "sub"}));
  EXPECT_TRUE(std::filesystem::exists(recordings / "sub" / "e.mp4"));
  auto deleted = logs->messages("PendingUploads", LogLevel::info);
  std::sort(deleted.begin(), deleted.end());
  EXPECT_EQ(deleted, (std::vector<std::string>{"Deleted orphaned recording: .hidden.mp4", "Deleted orphaned recording: a.mp4",
                                               "Deleted orphaned recording: dangling.mp4"}));
  EXPECT_EQ(readFile(file), fileBefore);

  std::filesystem::remove_all(recordings);
  cleanUp(*store);  // nothing to list: nothing happens
  EXPECT_EQ(logs->records().size(), 3u);
}

TEST_F(RecordingsTest, ADamagedFileIsKeptItsGoodRecordsLoadedAndItsClipsSpared) {
  const auto good = makeRecord(clip("veltrano-answer-GOOD.mp4"), "answer-1");
  const auto spaced = makeRecord(clip("veltrano-answer-A B.mp4"), "answer-2");
  Json noPath = Json::parse(encodePendingUploads({makeRecord(clip("veltrano-answer-NOPATH.mp4"))}))[0];
  noPath.erase("objectPath");
  Json elements = Json::parse(encodePendingUploads({good, spaced}));
  elements.insert(elements.begin() + 1, noPath);
  const std::string damaged = elements.dump();
  writeFile(file, damaged);
  clip("veltrano-answer-ORPHAN.mp4");

  auto store = open();
  EXPECT_EQ(runToEnd(executor, store->allRecords()).size(), 2u);
  const auto copies = list(folder.path, "pending-uploads.json.corrupt-");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_TRUE(std::regex_match(copies[0], std::regex(R"(pending-uploads\.json\.corrupt-\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(readFile(folder.path / copies[0]), damaged);
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error),
            std::vector<std::string>{"Pending uploads store was unreadable; kept a copy at " + (folder.path / copies[0]).native()});
  EXPECT_FALSE(decodePendingUploads(readFile(file)).damaged);  // rewritten with what was salvaged

  // The kept copy spares its clips even after their records are gone.
  runToEnd(executor, store->remove(good.id));
  runToEnd(executor, store->remove(spaced.id));
  cleanUp(*store);
  EXPECT_EQ(list(recordings), (std::vector<std::string>{"veltrano-answer-A B.mp4", "veltrano-answer-GOOD.mp4",
                                                        "veltrano-answer-NOPATH.mp4"}));
  // A second damaged file, even within the same second, gets its own copy.
  writeFile(file, "[{\"id\":");
  open();
  EXPECT_EQ(list(folder.path, "pending-uploads.json.corrupt-").size(), 2u);
  logs->clear();
  open();  // sound again: no further copy, nothing logged
  EXPECT_EQ(list(folder.path, "pending-uploads.json.corrupt-").size(), 2u);
  EXPECT_TRUE(logs->records().empty());
}

TEST_F(RecordingsTest, ADamagedFileOrCopyThatCannotBeReadStopsTheCleanUpRatherThanRiskAClip) {
  clip("orphan.mp4");
  // A folder in the file's place cannot be read, and cannot be linked or copied.
  std::filesystem::create_directories(file);
  auto store = open();
  cleanUp(*store);
  EXPECT_EQ(list(recordings), std::vector<std::string>{"orphan.mp4"});
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error).size(), 2u);

  std::filesystem::remove(file);
  std::filesystem::create_directories(folder.path / "pending-uploads.json.corrupt-2026-01-01T00:00:00Z");
  cleanUp(*open());
  EXPECT_EQ(list(recordings), std::vector<std::string>{"orphan.mp4"});
  EXPECT_EQ(logs->messages("PendingUploads", LogLevel::error).size(), 3u);
}
