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

}  // namespace veltrano
