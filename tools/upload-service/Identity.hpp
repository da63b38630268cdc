#pragma once

// Who a request comes from, once its bearer token has been accepted.

#include <optional>
#include <string>

namespace veltrano::uploadservice {

struct Identity {
  // The ID token's sub; empty for a shared static token, which names no user.
  std::string userId;
  // Only when the token marks the address as verified: an unverified one
  // could be anybody's.
  std::optional<std::string> email;
};

}  // namespace veltrano::uploadservice
