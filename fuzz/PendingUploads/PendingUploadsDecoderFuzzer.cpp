// Any bytes as "pending-uploads.json": the decoder returns a table or the
// damaged-file result and never crashes, and whatever it loads is written
// back and read again unchanged.
#include "PendingUploads/FileURL.hpp"
#include "PendingUploads/PendingUploadsCodec.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = veltrano::decodePendingUploads(bytes);

  const auto again = veltrano::decodePendingUploads(veltrano::encodePendingUploads(decoded.records));
  if (again.damaged || again.records != decoded.records) std::abort();

  // The same bytes as every text field and as a file name: the writer must
  // still produce a file that reads back whole.
  veltrano::PendingUploadRecord record;
  record.fileURL = "/r/" + std::string(bytes);
  record.userId = record.sessionId = record.answerId = record.objectPath = record.idToken = std::string(bytes);
  const auto written = veltrano::decodePendingUploads(veltrano::encodePendingUploads({record}));
  if (written.damaged || written.records.size() != 1) std::abort();

  if (auto path = veltrano::parseFileURL(bytes)) {
    if (veltrano::parseFileURL(veltrano::fileURLString(*path)) != path) std::abort();
  }
  return 0;
}
