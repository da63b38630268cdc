// The shipping upload client: libcurl against the signed-URL endpoint.
#pragma once

#include "Runtime/Asio.hpp"
#include "Runtime/Logger.hpp"
#include "Upload/AnswerVideoUploadClientProtocol.hpp"
#include "Upload/CurlMultiDriver.hpp"
#include "Upload/UploadError.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

namespace veltrano {

// Sends one finished answer clip to object storage: asks the signed-URL
// endpoint named in Info.json for an upload URL, PUTs the file there
// streamed from disk, and deletes the file after success. Keeps no state
// between calls; several uploads may be in flight at once.
//
// Call it on the main actor: network waits suspend the caller only (the
// transfers run on the shared CurlMultiDriver) and it resumes on the
// caller's executor.
//
// Failures: UploadError for the client's own cases; CurlError for
// transport failures; std::system_error (errno) when the clip cannot be
// opened, read or deleted; nlohmann::json errors for a body that cannot be
// serialised or a reply that is not JSON; system_error(operation_aborted)
// when the calling task is cancelled. The clip stays on disk on every
// failure.
class AnswerVideoUploadClient final : public AnswerVideoUploadClientProtocol {
 public:
  struct Options {
    // No byte moving for this long, either way, fails a request; a slow
    // transfer that keeps moving is never cut off.
    std::chrono::seconds idleTimeout{60};
    // A signed-URL reply body beyond this is not read to its end.
    std::size_t maxReplyBytes = 1 << 20;
    // PEM file of the certificate authorities https peers are checked
    // against instead of the system's (a private deployment, tests);
    // empty: the system's.
    std::filesystem::path caBundle{};
  };

  AnswerVideoUploadClient(std::filesystem::path infoJson, CurlMultiDriver& driver, Options options);
  AnswerVideoUploadClient(std::filesystem::path infoJson, CurlMultiDriver& driver)
      : AnswerVideoUploadClient(std::move(infoJson), driver, Options{}) {}

  using AnswerVideoUploadClientProtocol::upload;
  Awaitable<void> upload(ClipUpload clip, Progress progress) const override;

 private:
  std::filesystem::path infoJson_;
  CurlMultiDriver* driver_;
  Options options_;
};

}  // namespace veltrano
