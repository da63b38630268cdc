// What the recording side needs of the upload client.
#pragma once

#include "Runtime/Asio.hpp"
#include "Upload/ClipUpload.hpp"

#include <cstdint>
#include <functional>

namespace veltrano {

// What the recording side needs of the upload client: one clip up to
// object storage. Called on the main actor; a normal return means the clip
// needs no further work and its file is gone (uploaded, or dropped because
// no endpoint is configured). Any failure is thrown and the file stays.
class AnswerVideoUploadClientProtocol {
 public:
  // Bytes of the clip sent so far and the clip's size, while the PUT runs.
  // Called on the transfer thread, often: it must only record the values.
  using Progress = std::function<void(std::uint64_t sent, std::uint64_t total)>;

  virtual ~AnswerVideoUploadClientProtocol() = default;

  // `progress` may be empty.
  virtual Awaitable<void> upload(ClipUpload clip, Progress progress) const = 0;
  Awaitable<void> upload(ClipUpload clip) const { return upload(std::move(clip), Progress{}); }
};

}  // namespace veltrano
