#include "Upload/UploadError.hpp"

#include <cerrno>
#include <system_error>

namespace veltrano {

UploadError::UploadError(Case kind, long status) : case_(kind), status_(status) {
  switch (kind) {
    case Case::badHTTPStatus: description_ = "UploadError.badHTTPStatus(" + std::to_string(status) + ")"; break;
    case Case::missingUploadURL: description_ = "UploadError.missingUploadURL"; break;
    case Case::invalidResponse: description_ = "UploadError.invalidResponse"; break;
  }
}

namespace {

// File system errors that no retry can mend: the clip is gone or cannot be
// read. Running out of descriptors or memory, or an I/O error, may pass.
bool isPermanentFileError(const std::error_code& code) {
  if (code.category() != std::generic_category() && code.category() != std::system_category()) return false;
  switch (code.value()) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EISDIR:
    case EINVAL:
    case ELOOP:
    case ENAMETOOLONG: return true;
    default: return false;
  }
}

bool isPermanentStatus(long status) {
  if (status < 400 || status > 499) return false;
  return status != 401 && status != 403 && status != 408 && status != 425 && status != 429;
}

}  // namespace

bool mayRetryUpload(const std::exception_ptr& error) {
  if (!error) return true;
  try {
    std::rethrow_exception(error);
  } catch (const UploadError& e) {
    return e.kind() != UploadError::Case::badHTTPStatus || !isPermanentStatus(e.status());
  } catch (const std::system_error& e) {
    return !isPermanentFileError(e.code());
  } catch (...) {
    return true;
  }
}

}  // namespace veltrano
