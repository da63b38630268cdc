#pragma once

// Which upload URLs a caller may have: only for an object path of its own,
// userId/sessionId/answerId/YYYY-MM-DDThh-mm-ssZ.mp4 built from the request's
// own ids, and only for keys that are safe in any store. The native client
// keeps a clip refused with 403 and deletes it on most other 4xx, so every
// refusal found here is answered 403: an id this service dislikes must not
// destroy a recording.

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace veltrano::uploadservice {

struct SignedURLRequest {
  std::string userId;
  std::string sessionId;
  std::string answerId;
  std::string objectPath;

  // Nothing unless `body` is an object whose four members are strings.
  static std::optional<SignedURLRequest> fromJson(const nlohmann::json& body);
};

inline constexpr std::size_t kMaxObjectKeyBytes = 1024;

// Nothing when the caller may upload there, else why not (for the log).
// `tokenUser` is the ID token's sub; null for a shared static token, which
// names no user and so binds no userId.
std::optional<std::string> confinementRefusal(const SignedURLRequest& request, const std::string* tokenUser,
                                              std::size_t maxKeyBytes = kMaxObjectKeyBytes);

// One path segment that is safe as part of a store key and a file name:
// valid UTF-8, not empty, not "." or "..", no '/', '\\' or control
// characters (C0, DEL, C1).
bool isSafeId(std::string_view id);

// "2026-12-06T10-00-00Z": the stamp of an answer's clip.
bool isAnswerStamp(std::string_view stamp);

}  // namespace veltrano::uploadservice
