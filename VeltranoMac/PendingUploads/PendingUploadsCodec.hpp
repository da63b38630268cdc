// The "pending-uploads.json" format: encoding records, and decoding them with
// what a damaged file still holds salvaged.
#pragma once

#include "PendingUploads/PendingUploadRecord.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace veltrano {

// "pending-uploads.json": a compact JSON array of objects with the eight
// keys "id", "fileURL", "userId", "sessionId", "answerId", "objectPath",
// "idToken" and "enqueuedAt".
std::string encodePendingUploads(const std::vector<PendingUploadRecord>& records);

// The same in two steps, for a writer that keeps each record's object text
// and rewrites only what changed: one element, and the array of elements.
std::string encodePendingUploadRecord(const PendingUploadRecord& record);
std::string joinEncodedRecords(const std::vector<const std::string*>& encodedRecords);

struct DecodedPendingUploads {
  // Every element that decodes on its own, in file order.
  std::vector<PendingUploadRecord> records;
  // The bytes did not decode as a whole: malformed or truncated JSON, a
  // top level that is not an array, or an element that is not a complete
  // record. `records` then holds what could be salvaged.
  bool damaged = false;
};

// Never throws on bad bytes. Extra keys are ignored; all eight are
// required, with the right types, a valid id and a valid file URL.
DecodedPendingUploads decodePendingUploads(std::string_view bytes);

}  // namespace veltrano
