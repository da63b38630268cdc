// The values that travel down the upload path: which answer a clip belongs
// to, and a finished clip with everything its upload needs.
#pragma once

#include <compare>
#include <filesystem>
#include <string>

namespace veltrano {

// Which answer: the page's three ids.
struct AnswerIds {
  std::string userId;
  std::string sessionId;
  std::string answerId;

  friend auto operator<=>(const AnswerIds&, const AnswerIds&) = default;
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
