// The pending uploads store: the write-ahead list of clips still to upload,
// kept in one JSON file.
#pragma once

#include "PendingUploads/PendingUploadsStoreProtocol.hpp"
#include "Runtime/Logger.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltrano {

// The pending uploads table, kept in memory and mirrored after every change
// into "pending-uploads.json" with a crash-safe replace. An actor: every
// operation runs on its strand, one at a time, and has written the file
// before it completes.
//
// A file that does not decode as a whole is never thrown away: a copy is
// kept beside it ("pending-uploads.json.corrupt-<UTC time>"), every element
// that decodes on its own is loaded, the file is rewritten with those, and
// the orphan clean-up spares every clip a kept copy names.
class PendingUploadsStore final : public PendingUploadsStoreProtocol {
 public:
  static constexpr std::string_view fileName = "pending-uploads.json";
  static constexpr std::string_view keptCopyPrefix = "pending-uploads.json.corrupt-";

  // Creates `storeDirectory` if needed, removes temporary files a killed
  // writer left there, and loads the table. Synchronous.
  PendingUploadsStore(Strand strand, std::filesystem::path storeDirectory, std::filesystem::path recordingsDirectory);
  PendingUploadsStore(const PendingUploadsStore&) = delete;
  PendingUploadsStore& operator=(const PendingUploadsStore&) = delete;

  // The process's store, as its program's entry built and installed it
  // (once, before anything asks); never destroyed. Safe from any thread.
  static void install(std::shared_ptr<PendingUploadsStore> store);
  static PendingUploadsStore& shared();

  Awaitable<void> upsert(PendingUploadRecord record) override;
  Awaitable<void> remove(Uuid id) override;
  Awaitable<std::vector<PendingUploadRecord>> allRecords() override;
  Awaitable<void> updateIdToken(Uuid id, std::string idToken) override;
  Awaitable<void> updateIdTokenForAnswer(std::string userId, std::string sessionId, std::string answerId,
                                         std::string idToken) override;

  // Told of every record after each change, on the store's strand, and at
  // once with the records loaded. Set it before the first operation.
  using RecordsObserver = std::function<void(const std::vector<PendingUploadRecord>& records)>;
  void observeRecords(RecordsObserver observer);

  // Deletes the "*.mp4" files directly in the recordings folder that no
  // record (symbolic links resolved) and no kept copy refers to.
  Awaitable<void> removeOrphanedRecordings();

  const std::filesystem::path& storeURL() const noexcept { return storeURL_; }
  const std::filesystem::path& recordingsDir() const noexcept { return recordingsDir_; }
  const Strand& executor() const noexcept { return strand_; }

 private:
  // The bodies, run on the strand.
  Awaitable<void> upsertHere(PendingUploadRecord record);
  Awaitable<void> removeHere(Uuid id);
  Awaitable<std::vector<PendingUploadRecord>> allRecordsHere();
  Awaitable<void> updateIdTokenHere(Uuid id, std::string idToken);
  Awaitable<void> updateIdTokenForAnswerHere(std::string userId, std::string sessionId, std::string answerId,
                                             std::string idToken);
  Awaitable<void> removeOrphanedRecordingsHere();

  void load();
  std::filesystem::path keepDamagedCopy(const std::string* bytes);
  void persist();
  std::vector<PendingUploadRecord> copyRecords() const;
  void notifyObserver() const;

  Strand strand_;
  std::filesystem::path storeDirectory_;
  std::filesystem::path storeURL_;
  std::filesystem::path recordingsDir_;
  // Each record with its JSON object text, kept current on every change so
  // a write only joins them.
  struct Entry {
    explicit Entry(PendingUploadRecord r);
    void setIdToken(std::string idToken);
    PendingUploadRecord record;
    std::string json;
  };
  std::unordered_map<Uuid, Entry> records_;
  // A damaged file that could not be copied still names clips the clean-up
  // must spare: its bytes, or nullopt when even those could not be read.
  std::optional<std::optional<std::string>> uncopiedDamagedFile_;
  RecordsObserver observer_;
  Logger log_{"PendingUploads"};
};

}  // namespace veltrano
