#include "SigningCertificates.hpp"

#include "BoundedJson.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <regex>
#include <stdexcept>

namespace veltrano::uploadservice {

namespace {

using namespace std::chrono_literals;

// An unknown key id makes the cache fetch again early no more often than
// this; a failed fetch is not repeated sooner than the second figure.
constexpr auto kUnknownKeyRefetch = 60s;
constexpr auto kFailedFetchRetry = 5s;
// Without a max-age the certificates count as fresh for this long; a
// shorter max-age is raised to it, so a reply of max-age=0 cannot turn every
// request into a fetch.
constexpr auto kMinimumMaxAge = 60s;

std::string publicKeyPem(const std::string& certificatePem) {
  const std::unique_ptr<BIO, decltype(&BIO_free)> in(
      BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())), &BIO_free);
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(
      in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
  if (!certificate) throw std::invalid_argument("not a PEM certificate");
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(X509_get_pubkey(certificate.get()), &EVP_PKEY_free);
  if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) throw std::invalid_argument("not an RSA certificate");
  const std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
  if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) throw std::runtime_error("cannot write a public key");
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace

SigningCertificates::SigningCertificates(std::string url, WallClock clock, Fetch fetch)
    : url_(std::move(url)), clock_(std::move(clock)), fetch_(std::move(fetch)) {
  if (!fetch_) fetch_ = [](const std::string& url) { return httpGet(url); };
}

std::map<std::string, std::string> SigningCertificates::publicKeysFrom(const std::string& json) {
  const auto parsed = parseBoundedJson(json, 2);
  if (!parsed || !parsed->is_object() || parsed->empty())
    throw std::invalid_argument("the certificates are not a JSON object of key ids");
  std::map<std::string, std::string> keys;
  for (const auto& [keyId, certificate] : parsed->items()) {
    if (!certificate.is_string()) throw std::invalid_argument("certificate " + keyId + " is not a string");
    keys.emplace(keyId, publicKeyPem(certificate.get<std::string>()));
  }
  return keys;
}

std::optional<std::chrono::seconds> SigningCertificates::maxAge(const std::string& cacheControl) {
  static const std::regex pattern(R"re((^|[,\s])max-age\s*=\s*"?(\d{1,9})"?)re", std::regex::icase);
  std::smatch match;
  if (!std::regex_search(cacheControl, match, pattern)) return std::nullopt;
  return std::chrono::seconds(std::stol(match[2].str()));
}

bool SigningCertificates::refresh(std::chrono::system_clock::time_point now) {
  lastAttempt_ = now;
  ++fetches_;
  try {
    const HttpReply reply = fetch_(url_);
    if (reply.status != 200) throw std::runtime_error("HTTP " + std::to_string(reply.status));
    keys_ = publicKeysFrom(reply.body);
    const std::string* cacheControl = reply.header("cache-control");
    const auto age = cacheControl ? maxAge(*cacheControl).value_or(kMinimumMaxAge) : kMinimumMaxAge;
    expires_ = now + std::max<std::chrono::system_clock::duration>(age, kMinimumMaxAge);
    lastAttemptFailed_ = false;
    return true;
  } catch (const std::exception& e) {
    std::cerr << "veltrano-upload-service: cannot fetch the signing certificates: " << e.what() << std::endl;
    lastAttemptFailed_ = true;
    return false;
  }
}

SigningCertificates::Lookup SigningCertificates::find(const std::string& keyId) {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  const bool fresh = now < expires_;
  if (!fresh) {
    // A failed fetch is not repeated at once for every request.
    const auto sinceLast = lastAttempt_ ? now - *lastAttempt_ : std::chrono::system_clock::duration::max();
    if (!lastAttemptFailed_ || sinceLast >= kFailedFetchRetry) refresh(now);
  } else if (!keys_.contains(keyId)) {
    // A key id we do not know (a rotation, or a forgery) costs at most one
    // fetch a minute.
    if (!lastUnknownKeyFetch_ || now - *lastUnknownKeyFetch_ >= kUnknownKeyRefetch) {
      lastUnknownKeyFetch_ = now;
      refresh(now);
    }
  }
  // Expired keys are not used: a rotated-out key must stop working.
  if (now >= expires_) return {};
  const auto found = keys_.find(keyId);
  if (found == keys_.end()) return {Lookup::Result::unknownKeyId, {}};
  return {Lookup::Result::found, found->second};
}

std::size_t SigningCertificates::fetches() const {
  std::lock_guard lock(mutex_);
  return fetches_;
}

}  // namespace veltrano::uploadservice
