// Sign-in deep links: parsing veltrano://auth/callback, and passing each new
// one to the page once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// The values of one sign-in deep link, percent-decoded.
struct SignInCallback {
  std::string emailLink;
  std::optional<std::string> email;

  friend bool operator==(const SignInCallback&, const SignInCallback&) = default;
};

// A sign-in link is veltrano://auth/callback?emailLink=…[&email=…]: scheme,
// host and path compared without regard to letter case, query item names
// exactly. Later items overwrite earlier ones and an item without "=" makes
// its field absent again. Absent when the text is no URL, another link, or
// no emailLink is left.
std::optional<SignInCallback> parseSignInCallback(std::string_view url);

// Looks at each deep link once: a link equal to the last one looked at is
// ignored, whatever its kind, even after the page was reloaded.
class AuthCallbackTracker {
 public:
  // The callback to hand to the page for this link, if it is new and one.
  std::optional<SignInCallback> consider(std::string_view url);

  const std::optional<std::string>& lastAuthCallback() const noexcept { return lastAuthCallback_; }

 private:
  std::optional<std::string> lastAuthCallback_;
};

}  // namespace veltrano
