#include "Web/SignInCallback.hpp"

#include <glib.h>

#include <memory>

namespace veltrano {

namespace {

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = g_ascii_tolower(c);
  return lower;
}

struct GFreeDeleter {
  void operator()(void* p) const noexcept { g_free(p); }
};

// Percent-decodes one query component; absent for a malformed escape or one
// that decodes to NUL, which no page value can hold.
std::optional<std::string> decode(std::string_view component) {
  std::string text(component);
  std::unique_ptr<char, GFreeDeleter> decoded(g_uri_unescape_string(text.c_str(), nullptr));
  if (!decoded) return std::nullopt;
  return std::string(decoded.get());
}

}  // namespace

std::optional<SignInCallback> parseSignInCallback(std::string_view url) {
  // Scheme, host and path come back decoded; the query stays encoded so that
  // an escaped "&" or "=" inside a value does not split it.
  std::string text(url);
  GUri* parsed = g_uri_parse(text.c_str(), G_URI_FLAGS_ENCODED_QUERY, nullptr);
  if (!parsed) return std::nullopt;
  std::unique_ptr<GUri, decltype(&g_uri_unref)> uri(parsed, &g_uri_unref);

  const char* host = g_uri_get_host(uri.get());
  if (asciiLower(g_uri_get_scheme(uri.get())) != "veltrano" || !host || asciiLower(host) != "auth" ||
      asciiLower(g_uri_get_path(uri.get())) != "/callback")
    return std::nullopt;

  std::optional<std::string> emailLink;
  std::optional<std::string> email;
  if (const char* query = g_uri_get_query(uri.get())) {
    std::string_view rest(query);
    while (true) {
      const auto end = rest.find('&');
      const std::string_view item = rest.substr(0, end);
      const auto equals = item.find('=');
      auto name = decode(item.substr(0, equals));
      std::optional<std::string> value;
      if (equals != std::string_view::npos) {
        value = decode(item.substr(equals + 1));
        if (!value) return std::nullopt;
      }
      if (!name) return std::nullopt;
      if (*name == "emailLink") {
        emailLink = std::move(value);
      } else if (*name == "email") {
        email = std::move(value);
      }
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  if (!emailLink) return std::nullopt;
  return SignInCallback{std::move(*emailLink), std::move(email)};
}

std::optional<SignInCallback> AuthCallbackTracker::consider(std::string_view url) {
  if (lastAuthCallback_ == url) return std::nullopt;
  // Recorded before any other test, so a link of another kind is also looked
  // at only once.
  lastAuthCallback_ = std::string(url);
  return parseSignInCallback(url);
}

}  // namespace veltrano
