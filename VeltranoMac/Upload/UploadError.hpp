// The upload client's own error, and which upload failures may heal.
#pragma once

#include <exception>
#include <string>

namespace veltrano {

// The upload client's own failures. Errors of the platform (transport,
// JSON, file system) are passed on unchanged and are not UploadErrors.
class UploadError final : public std::exception {
 public:
  enum class Case { badHTTPStatus, missingUploadURL, invalidResponse };

  static UploadError badHTTPStatus(long status) { return UploadError(Case::badHTTPStatus, status); }
  static UploadError missingUploadURL() { return UploadError(Case::missingUploadURL, 0); }
  static UploadError invalidResponse() { return UploadError(Case::invalidResponse, 0); }

  Case kind() const noexcept { return case_; }
  // The HTTP status code of badHTTPStatus; 0 for the other cases.
  long status() const noexcept { return status_; }

  // No human-readable message of its own: a technical rendering of the
  // case, e.g. "UploadError.badHTTPStatus(403)", for logs.
  const char* what() const noexcept override { return description_.c_str(); }

  friend bool operator==(const UploadError& a, const UploadError& b) noexcept {
    return a.case_ == b.case_ && a.status_ == b.status_;
  }

 private:
  UploadError(Case kind, long status);

  Case case_;
  long status_;
  std::string description_;
};

// Whether an upload that failed with `error` may succeed when tried again.
// No for a refusal with a 4xx status other than 401, 403, 408, 425 and 429,
// and for a clip the file system will never let us read (an errno error
// such as ENOENT or EACCES); yes for anything else: transport errors,
// timeouts, those statuses, 5xx, unparsable replies, cancellation, running
// out of descriptors or memory, and no error at all.
bool mayRetryUpload(const std::exception_ptr& error);

}  // namespace veltrano
