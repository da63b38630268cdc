// What the recording side needs of the upload client.
#pragma once

#include "Runtime/Asio.hpp"
#include "Upload/ClipUpload.hpp"

namespace veltrano {

// What the recording side needs of the upload client: one clip up to
// object storage. Called on the main actor; a normal return means the clip
// needs no further work and its file is gone (uploaded, or dropped because
// no endpoint is configured). Any failure is thrown and the file stays.
class AnswerVideoUploadClientProtocol {
 public:
  virtual ~AnswerVideoUploadClientProtocol() = default;

  virtual Awaitable<void> upload(ClipUpload clip) const = 0;
};

}  // namespace veltrano
