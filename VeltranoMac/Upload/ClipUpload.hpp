// The values that travel down the upload path: which answer a clip belongs
// to, and a finished clip with everything its upload needs.
#pragma once

#include <filesystem>
#include <string>
#include <tuple>

namespace veltrano {

// Which answer: the page's three ids.
struct AnswerIds {
  std::string userId;
  std::string sessionId;
  std::string answerId;

  friend bool operator==(const AnswerIds&, const AnswerIds&) = default;
  // For maps keyed by answer. Not a defaulted <=>: clang-tidy 14 reads the
  // 0 it compares with as a null pointer.
  friend bool operator<(const AnswerIds& a, const AnswerIds& b) {
    return std::tie(a.userId, a.sessionId, a.answerId) < std::tie(b.userId, b.sessionId, b.answerId);
  }
};

// One clip to upload: the file on disk, its answer, the object path it is
// stored under and the ID token the signed-URL request carries.
struct ClipUpload {
  std::filesystem::path fileURL;
  AnswerIds answer;
  std::string objectPath;
  std::string idToken;

  friend bool operator==(const ClipUpload&, const ClipUpload&) = default;
};

}  // namespace veltrano
