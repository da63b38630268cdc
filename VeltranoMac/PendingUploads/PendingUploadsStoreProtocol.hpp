// What the recording side needs of the pending uploads store.
#pragma once

#include "PendingUploads/PendingUploadRecord.hpp"
#include "Runtime/Asio.hpp"

#include <string>
#include <vector>

namespace veltrano {

// The persisted table of clips still to upload, as the recording side sees
// it. No operation reports an error: failures are logged and the table in
// memory stays authoritative. The real store runs every operation on its own
// strand whatever executor the caller awaits from, so `co_await
// store.upsert(r)` is safe from any actor.
class PendingUploadsStoreProtocol {
 public:
  virtual ~PendingUploadsStoreProtocol() = default;

  // Adds the record, replacing one with the same id, then writes the file.
  virtual Awaitable<void> upsert(PendingUploadRecord record) = 0;
  // Removes the record with that id if there is one; writes the file either way.
  virtual Awaitable<void> remove(Uuid id) = 0;
  // A copy of every record, in no particular order.
  virtual Awaitable<std::vector<PendingUploadRecord>> allRecords() = 0;
  // Replaces the token of the record with that id if there is one; writes the file either way.
  virtual Awaitable<void> updateIdToken(Uuid id, std::string idToken) = 0;
  // Replaces the token of every record of that answer (ids compared exactly);
  // writes the file once, and only when at least one record matched.
  virtual Awaitable<void> updateIdTokenForAnswer(std::string userId, std::string sessionId, std::string answerId,
                                                 std::string idToken) = 0;
};

}  // namespace veltrano
