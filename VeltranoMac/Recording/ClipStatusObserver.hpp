// What the upload path reports about each clip on its way to storage.
#pragma once

#include "PendingUploads/PendingUploadRecord.hpp"
#include "Upload/ClipUpload.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace veltrano {

// Told of every step of every clip, from the recording of its file to its
// upload or its end. A clip is named by its file. Called from any thread
// (the coordinator's strand, upload tasks, the store's strand, the transfer
// thread), so implementations lock and must not block.
class ClipStatusObserver {
 public:
  virtual ~ClipStatusObserver() = default;

  // The camera records into `clip` for `answer`.
  virtual void clipRecording(const std::filesystem::path& clip, const AnswerIds& answer) = 0;
  // The clip is gone without an upload (no token, a failed stop, a stale record).
  virtual void clipDiscarded(const std::filesystem::path& clip) = 0;
  // A retry drain is about to take the clip.
  virtual void clipQueued(const std::filesystem::path& clip) = 0;
  // An upload attempt of the clip begins; each counts as one attempt.
  virtual void uploadStarted(const std::filesystem::path& clip) = 0;
  // Bytes of the clip's PUT sent so far, of `total`.
  virtual void uploadProgress(const std::filesystem::path& clip, std::uint64_t sent, std::uint64_t total) = 0;
  // The clip is in storage and its record gone.
  virtual void uploadSucceeded(const std::filesystem::path& clip) = 0;
  // An attempt failed: the clip stays for a later retry, or, `givenUp`,
  // it never will be uploaded and is gone.
  virtual void uploadFailed(const std::filesystem::path& clip, const std::string& error, bool givenUp) = 0;
  // The pending uploads store after a change: every record in it.
  virtual void storeChanged(const std::vector<PendingUploadRecord>& records) = 0;
};

}  // namespace veltrano
