// One pending upload: the record the write-ahead list keeps for each clip
// still to upload.
#pragma once

#include "PendingUploads/ReferenceDate.hpp"
#include "PendingUploads/Uuid.hpp"

#include <filesystem>
#include <string>

namespace veltrano {

// One recorded clip whose upload has not completed yet. Only `idToken`
// changes after creation.
//
// Names ending in URL (fileURL here, storeURL, recordingsDirectoryURL, the
// recorder's outputFileURL) are the system's own names for these places;
// in this code they are plain filesystem paths, written as "file:" URLs
// only in the store's JSON.
struct PendingUploadRecord {
  Uuid id;
  std::filesystem::path fileURL;  // the clip on disk
  std::string userId;
  std::string sessionId;
  std::string answerId;
  std::string objectPath;
  std::string idToken;
  ReferenceDate enqueuedAt;

  friend bool operator==(const PendingUploadRecord&, const PendingUploadRecord&) = default;
};

}  // namespace veltrano
