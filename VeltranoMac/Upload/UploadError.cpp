#include "Upload/UploadError.hpp"

namespace veltrano {

UploadError::UploadError(Case kind, long status) : case_(kind), status_(status) {
  switch (kind) {
    case Case::badHTTPStatus: description_ = "UploadError.badHTTPStatus(" + std::to_string(status) + ")"; break;
    case Case::missingUploadURL: description_ = "UploadError.missingUploadURL"; break;
    case Case::invalidResponse: description_ = "UploadError.invalidResponse"; break;
  }
}

}  // namespace veltrano
