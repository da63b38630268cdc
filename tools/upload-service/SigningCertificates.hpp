#pragma once

// The identity service's published signing certificates, kept as RSA public
// keys by key id: fetched from their URL, cached for the reply's
// Cache-Control max-age, and fetched again early when a token names a key id
// the cache does not hold, at most once a minute.

#include "HttpFetch.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace veltrano::uploadservice {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

inline constexpr const char* kDefaultCertificatesURL =
    "https://www.googleapis.com/robot/v1/metadata/x509/securetoken@system.gserviceaccount.com";

class SigningCertificates {
 public:
  using Fetch = std::function<HttpReply(const std::string& url)>;

  explicit SigningCertificates(std::string url, WallClock clock = std::chrono::system_clock::now, Fetch fetch = {});

  struct Lookup {
    enum class Result { found, unknownKeyId, unavailable } result = Result::unavailable;
    std::string publicKeyPem;  // when found
  };
  // Safe from any thread; blocks while a fetch is under way.
  Lookup find(const std::string& keyId);

  std::size_t fetches() const;

  // {"<kid>": "<PEM certificate>", ...} to public keys; throws
  // std::invalid_argument for anything else, or for a certificate without
  // an RSA key.
  static std::map<std::string, std::string> publicKeysFrom(const std::string& json);
  // The max-age of a Cache-Control value; nothing when it names none.
  static std::optional<std::chrono::seconds> maxAge(const std::string& cacheControl);

 private:
  bool refresh(std::chrono::system_clock::time_point now);

  std::string url_;
  WallClock clock_;
  Fetch fetch_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> keys_;
  std::chrono::system_clock::time_point expires_{};
  std::optional<std::chrono::system_clock::time_point> lastAttempt_;
  std::optional<std::chrono::system_clock::time_point> lastUnknownKeyFetch_;
  bool lastAttemptFailed_ = false;
  std::size_t fetches_ = 0;
};

}  // namespace veltrano::uploadservice
