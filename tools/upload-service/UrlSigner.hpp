#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltrano::uploadservice {

// Signs and checks upload URLs: HMAC-SHA256 over method, object path,
// expiry (Unix seconds) and content type, so a URL is good for one object,
// one content type and a limited time.
class UrlSigner {
 public:
  explicit UrlSigner(std::string secret);

  // A fresh random secret (32 bytes from OpenSSL's generator).
  static std::string randomSecret();

  std::string sign(std::string_view method, std::string_view objectPath, std::int64_t expiry,
                   std::string_view contentType) const;
  // Constant-time comparison against a lower-case hex signature.
  bool verify(std::string_view method, std::string_view objectPath, std::int64_t expiry, std::string_view contentType,
              std::string_view signature) const;

 private:
  std::string secret_;
};

// Percent-encodes an object path for a URL path, keeping '/' between
// segments and RFC 3986 unreserved characters.
std::string encodePath(std::string_view objectPath);

// A storable object path: not empty, at most `maxLength` bytes, no leading
// slash, no empty, "." or ".." segment, no backslash and no control
// characters.
bool isValidObjectPath(std::string_view objectPath, std::size_t maxLength);

}  // namespace veltrano::uploadservice
