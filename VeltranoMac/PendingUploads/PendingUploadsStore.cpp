#include "PendingUploads/PendingUploadsStore.hpp"

#include "PendingUploads/FileURL.hpp"
#include "PendingUploads/PendingUploadsCodec.hpp"
#include "Runtime/InstalledInstance.hpp"
#include "Support/AtomicFile.hpp"
#include "Support/PosixFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

namespace veltrano {

namespace {

std::string utcTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// The file itself when symbolic links cannot be followed (a missing parent).
std::filesystem::path resolvingSymlinks(const std::filesystem::path& path) {
  std::error_code error;
  auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path.lexically_normal() : resolved;
}

// Whether `name` occurs as a path's last component in `text`, raw or
// percent-encoded. Deliberately loose: a damaged copy has no structure to
// rely on, and sparing a clip too many is the safe mistake.
bool namesFile(std::string_view text, const std::string& name) {
  for (const std::string& form : {name, percentEncodePath(name)}) {
    for (std::size_t at = text.find(form); at != std::string_view::npos; at = text.find(form, at + 1))
      if (at > 0 && text[at - 1] == '/') return true;
  }
  return false;
}

}  // namespace

PendingUploadsStore::PendingUploadsStore(Strand strand, std::filesystem::path storeDirectory,
                                         std::filesystem::path recordingsDirectory)
    : strand_(std::move(strand)),
      storeDirectory_(std::move(storeDirectory)),
      storeURL_(storeDirectory_ / fileName),
      recordingsDir_(std::move(recordingsDirectory)) {
  load();
}

void PendingUploadsStore::install(std::shared_ptr<PendingUploadsStore> store) {
  InstalledInstance<PendingUploadsStore>::of("PendingUploadsStore").install(std::move(store));
}

PendingUploadsStore& PendingUploadsStore::shared() {
  return *InstalledInstance<PendingUploadsStore>::of("PendingUploadsStore").get();
}

PendingUploadsStore::Entry::Entry(PendingUploadRecord r)
    : record(std::move(r)), json(encodePendingUploadRecord(record)) {}

void PendingUploadsStore::Entry::setIdToken(std::string idToken) {
  record.idToken = std::move(idToken);
  json = encodePendingUploadRecord(record);
}

void PendingUploadsStore::load() {
  std::error_code ignored;
  std::filesystem::create_directories(storeDirectory_, ignored);
  removeStaleTemporaryFiles(storeDirectory_, fileName);

  const FileContents contents = readWholeFile(storeURL_);
  if (!contents.exists) return;

  DecodedPendingUploads decoded;
  if (contents.error == 0) {
    decoded = decodePendingUploads(contents.bytes);
  } else {
    decoded.damaged = true;  // there, but unreadable: it may list clips all the same
  }
  // Of two records with one id (never written by this store) the later wins,
  // as it would have after an upsert.
  for (auto& record : decoded.records) {
    const Uuid id = record.id;
    records_.insert_or_assign(id, Entry(std::move(record)));
  }
  if (!decoded.damaged) return;

  try {
    const auto copy = keepDamagedCopy(contents.error == 0 ? &contents.bytes : nullptr);
    log_.error("Pending uploads store was unreadable; kept a copy at " + copy.native());
  } catch (const std::exception& e) {
    // Without a copy, rewriting the file would destroy the only trace of
    // what it listed; leave it for the next change.
    log_.error(std::string("Pending uploads store was unreadable and no copy could be kept: ") + e.what());
    uncopiedDamagedFile_.emplace(contents.error == 0 ? std::optional(contents.bytes) : std::nullopt);
    return;
  }
  // The salvaged table replaces the damaged file now, so the next launch
  // neither keeps another copy nor loses what was salvaged.
  persist();
}

std::filesystem::path PendingUploadsStore::keepDamagedCopy(const std::string* bytes) {
  const std::string stamp = utcTimeStamp();
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::string name = std::string(keptCopyPrefix) + stamp + (attempt == 1 ? "" : "-" + std::to_string(attempt));
    std::filesystem::path copy = storeDirectory_ / name;
    // A second name for the same bytes: instant, and the later rewrite puts
    // a new file under the store's name without touching this one.
    if (::link(storeURL_.c_str(), copy.c_str()) == 0) {
      syncDirectory(storeDirectory_);
      return copy;
    }
    const int linkError = errno;
    if (linkError == EEXIST) continue;
    std::error_code error;
    if (!bytes) throw std::system_error(linkError, std::generic_category(), "link " + copy.native());
    if (std::filesystem::exists(copy, error)) continue;
    writeFileAtomically(storeDirectory_, name, *bytes);
    return copy;
  }
  throw std::system_error(EEXIST, std::generic_category(), "no free name for a copy of " + storeURL_.native());
}

void PendingUploadsStore::observeRecords(RecordsObserver observer) {
  observer_ = std::move(observer);
  notifyObserver();
}

std::vector<PendingUploadRecord> PendingUploadsStore::copyRecords() const {
  std::vector<PendingUploadRecord> all;
  all.reserve(records_.size());
  for (const auto& [id, entry] : records_) all.push_back(entry.record);
  return all;
}

void PendingUploadsStore::notifyObserver() const {
  if (observer_) observer_(copyRecords());
}

void PendingUploadsStore::persist() {
  std::vector<const std::string*> encoded;
  encoded.reserve(records_.size());
  for (const auto& [id, entry] : records_) encoded.push_back(&entry.json);
  try {
    writeFileAtomically(storeDirectory_, fileName, joinEncodedRecords(encoded));
  } catch (const std::exception& e) {
    // The table stays in memory; the next change writes all of it again.
    log_.error(std::string("Failed to persist pending uploads store: ") + e.what());
  }
  notifyObserver();
}

Awaitable<void> PendingUploadsStore::upsert(PendingUploadRecord record) {
  co_await asio::co_spawn(strand_, upsertHere(std::move(record)), asio::use_awaitable);
}

Awaitable<void> PendingUploadsStore::remove(Uuid id) {
  co_await asio::co_spawn(strand_, removeHere(id), asio::use_awaitable);
}

Awaitable<std::vector<PendingUploadRecord>> PendingUploadsStore::allRecords() {
  co_return co_await asio::co_spawn(strand_, allRecordsHere(), asio::use_awaitable);
}

Awaitable<void> PendingUploadsStore::updateIdToken(Uuid id, std::string idToken) {
  co_await asio::co_spawn(strand_, updateIdTokenHere(id, std::move(idToken)), asio::use_awaitable);
}

Awaitable<void> PendingUploadsStore::updateIdTokenForAnswer(std::string userId, std::string sessionId,
                                                            std::string answerId, std::string idToken) {
  co_await asio::co_spawn(
      strand_,
      updateIdTokenForAnswerHere(std::move(userId), std::move(sessionId), std::move(answerId), std::move(idToken)),
      asio::use_awaitable);
}

Awaitable<void> PendingUploadsStore::removeOrphanedRecordings() {
  co_await asio::co_spawn(strand_, removeOrphanedRecordingsHere(), asio::use_awaitable);
}

Awaitable<void> PendingUploadsStore::upsertHere(PendingUploadRecord record) {
  const Uuid id = record.id;
  records_.insert_or_assign(id, Entry(std::move(record)));
  persist();
  co_return;
}

Awaitable<void> PendingUploadsStore::removeHere(Uuid id) {
  records_.erase(id);
  persist();
  co_return;
}

Awaitable<std::vector<PendingUploadRecord>> PendingUploadsStore::allRecordsHere() {
  co_return copyRecords();
}

Awaitable<void> PendingUploadsStore::updateIdTokenHere(Uuid id, std::string idToken) {
  if (auto it = records_.find(id); it != records_.end()) it->second.setIdToken(std::move(idToken));
  persist();
  co_return;
}

Awaitable<void> PendingUploadsStore::updateIdTokenForAnswerHere(std::string userId, std::string sessionId,
                                                                std::string answerId, std::string idToken) {
  bool matched = false;
  for (auto& [id, entry] : records_) {
    const auto& r = entry.record;
    if (r.userId == userId && r.sessionId == sessionId && r.answerId == answerId) {
      entry.setIdToken(idToken);
      matched = true;
    }
  }
  if (matched) persist();
  co_return;
}

Awaitable<void> PendingUploadsStore::removeOrphanedRecordingsHere() {
  std::error_code error;
  std::vector<std::filesystem::directory_entry> entries;
  for (std::filesystem::directory_iterator it(recordingsDir_, error), end; !error && it != end; it.increment(error))
    entries.push_back(*it);
  if (error) co_return;

  std::set<std::filesystem::path> referenced;
  for (const auto& [id, entry] : records_) referenced.insert(resolvingSymlinks(entry.record.fileURL));

  // Clips a damaged file listed are spared for good: they may be the only
  // copy of an answer nobody has uploaded yet.
  std::vector<std::string> keptCopies;
  if (uncopiedDamagedFile_) {
    if (!*uncopiedDamagedFile_) {
      log_.error("Skipping orphaned recordings clean-up; " + storeURL_.native() + " could not be read or kept");
      co_return;
    }
    keptCopies.push_back(**uncopiedDamagedFile_);
  }
  for (std::filesystem::directory_iterator it(storeDirectory_, error), end; !error && it != end; it.increment(error)) {
    if (!it->path().filename().native().starts_with(keptCopyPrefix)) continue;
    FileContents contents = readWholeFile(it->path());
    if (contents.error != 0) {
      log_.error("Skipping orphaned recordings clean-up; could not read " + it->path().native() + ": " +
                 std::generic_category().message(contents.error));
      co_return;
    }
    keptCopies.push_back(std::move(contents.bytes));
  }
  if (error && error != std::errc::no_such_file_or_directory) co_return;

  for (const auto& entry : entries) {
    const std::filesystem::path& path = entry.path();
    if (path.extension() != ".mp4") continue;
    // Only clip files go: a folder with a clip's name is not ours to empty.
    std::error_code statusError;
    if (entry.symlink_status(statusError).type() == std::filesystem::file_type::directory) continue;
    if (referenced.contains(resolvingSymlinks(path))) continue;
    const std::string name = path.filename().native();
    bool named = false;
    for (const auto& copy : keptCopies) named = named || namesFile(copy, name);
    if (named) continue;
    std::error_code removeError;
    if (std::filesystem::remove(path, removeError) && !removeError) log_.info("Deleted orphaned recording: " + name);
  }
}

}  // namespace veltrano
