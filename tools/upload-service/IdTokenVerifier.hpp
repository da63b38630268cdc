#pragma once

// Checks the identity service's ID tokens: RS256 tokens signed with one of
// its published certificates in production, or the identity emulator's
// unsigned tokens for a "demo-" project, with the same claim checks either
// way. The JWT library checks signatures; this decides which algorithm and
// key it may use, so a token cannot choose them for itself.

#include "Identity.hpp"
#include "SigningCertificates.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano::uploadservice {

struct TokenVerdict {
  enum class Result { accepted, refused, unavailable } result = Result::refused;
  Identity identity;   // when accepted
  std::string reason;  // why not, for the log; never holds the token
};

class IdTokenVerifier {
 public:
  // Production: RS256 against the certificates.
  IdTokenVerifier(std::string projectId, std::shared_ptr<SigningCertificates> certificates,
                  WallClock clock = std::chrono::system_clock::now);
  // The identity emulator's unsigned tokens, and nothing else. Throws
  // std::invalid_argument unless the project id starts with "demo-", so a
  // production project cannot accept unsigned tokens by mistake.
  static IdTokenVerifier forEmulator(std::string projectId, WallClock clock = std::chrono::system_clock::now);

  TokenVerdict verify(std::string_view token) const;

  bool emulator() const noexcept { return !certificates_; }
  const std::string& projectId() const noexcept { return projectId_; }

  static constexpr std::chrono::seconds kClockSkew{60};
  static constexpr std::size_t kMaxTokenBytes = 8192;

 private:
  IdTokenVerifier(std::string projectId, WallClock clock);

  std::string projectId_;
  std::shared_ptr<SigningCertificates> certificates_;  // null: emulator
  WallClock clock_;
};

}  // namespace veltrano::uploadservice
