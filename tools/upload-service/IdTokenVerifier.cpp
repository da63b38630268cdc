#include "IdTokenVerifier.hpp"

#include "BoundedJson.hpp"

#include <jwt.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace veltrano::uploadservice {

namespace {

using Json = nlohmann::json;
using Result = TokenVerdict::Result;

TokenVerdict refused(std::string reason) {
  return {Result::refused, {}, std::move(reason)};
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-')
      c = '+';
    else if (c == '_')
      c = '/';
    else if (c == '+' || c == '/' || c == '=')
      return std::nullopt;
  }
  while (standard.size() % 4 != 0) standard.push_back('=');
  std::vector<unsigned char> out(standard.size() / 4 * 3 + 1);
  const int length = EVP_DecodeBlock(
      out.data(), reinterpret_cast<const unsigned char*>(standard.data()), static_cast<int>(standard.size()));
  if (length < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(length);
  for (std::size_t i = standard.size(); i > 0 && standard[i - 1] == '='; --i) --size;
  return std::string(reinterpret_cast<const char*>(out.data()), size);
}

struct JwtDeleter {
  void operator()(jwt_t* jwt) const { jwt_free(jwt); }
};

}  // namespace

IdTokenVerifier::IdTokenVerifier(std::string projectId, WallClock clock)
    : projectId_(std::move(projectId)), clock_(std::move(clock)) {
  if (projectId_.empty()) throw std::invalid_argument("a project id is needed");
}

IdTokenVerifier::IdTokenVerifier(std::string projectId, std::shared_ptr<SigningCertificates> certificates,
                                 WallClock clock)
    : IdTokenVerifier(std::move(projectId), std::move(clock)) {
  if (!certificates) throw std::invalid_argument("production tokens need the signing certificates");
  certificates_ = std::move(certificates);
}

IdTokenVerifier IdTokenVerifier::forEmulator(std::string projectId, WallClock clock) {
  if (projectId.rfind("demo-", 0) != 0)
    throw std::invalid_argument("the identity emulator serves only projects whose id starts with \"demo-\"");
  return IdTokenVerifier(std::move(projectId), std::move(clock));
}

TokenVerdict IdTokenVerifier::verify(std::string_view token) const {
  if (token.empty()) return refused("no token");
  if (token.size() > kMaxTokenBytes) return refused("token too long");
  const auto firstDot = token.find('.');
  const auto secondDot = firstDot == std::string_view::npos ? firstDot : token.find('.', firstDot + 1);
  if (secondDot == std::string_view::npos || token.find('.', secondDot + 1) != std::string_view::npos)
    return refused("not a JWS compact token");
  const auto headerText = base64UrlDecode(token.substr(0, firstDot));
  const auto header = headerText ? parseBoundedJson(*headerText, 2) : std::nullopt;
  if (!header || !header->is_object()) return refused("unreadable token header");
  const auto alg = header->value("alg", Json()).is_string() ? header->value("alg", std::string()) : std::string();
  const bool signatureEmpty = secondDot + 1 == token.size();

  // libjwt verifies with whatever algorithm the header names, so the header
  // is checked here first: an "HS256" token "signed" with our public
  // certificate as the secret, or an unsigned one, must never reach it with
  // a key.
  std::string publicKey;
  if (emulator()) {
    if (alg != "none" || !signatureEmpty) return refused("the emulator's tokens are unsigned; got alg " + alg);
  } else {
    if (alg != "RS256") return refused("algorithm " + (alg.empty() ? std::string("(none given)") : alg) + " refused");
    const Json kid = header->value("kid", Json());
    if (!kid.is_string() || kid.get<std::string>().empty()) return refused("no kid");
    const auto lookup = certificates_->find(kid.get<std::string>());
    if (lookup.result == SigningCertificates::Lookup::Result::unavailable)
      return {Result::unavailable, {}, "signing certificates unavailable"};
    if (lookup.result == SigningCertificates::Lookup::Result::unknownKeyId)
      return refused("unknown kid " + kid.get<std::string>());
    publicKey = lookup.publicKeyPem;
  }

  const std::string terminated(token);
  jwt_t* raw = nullptr;
  const int decoded =
      publicKey.empty() ? jwt_decode(&raw, terminated.c_str(), nullptr, 0)
                        : jwt_decode(&raw, terminated.c_str(), reinterpret_cast<const unsigned char*>(publicKey.data()),
                                     static_cast<int>(publicKey.size()));
  const std::unique_ptr<jwt_t, JwtDeleter> jwt(raw);
  if (decoded != 0 || !jwt) return refused(publicKey.empty() ? "malformed token" : "bad signature");
  if (jwt_get_alg(jwt.get()) != (emulator() ? JWT_ALG_NONE : JWT_ALG_RS256))
    return refused("algorithm changed in decoding");
  const std::unique_ptr<char, decltype(&std::free)> grants(jwt_get_grants_json(jwt.get(), nullptr), &std::free);
  const auto claims = grants ? parseBoundedJson(grants.get(), 4) : std::nullopt;
  if (!claims || !claims->is_object()) return refused("unreadable claims");

  const double now = std::chrono::duration<double>(clock_().time_since_epoch()).count();
  const double skew = static_cast<double>(kClockSkew.count());
  auto number = [&](const char* name) -> std::optional<double> {
    const auto found = claims->find(name);
    if (found == claims->end() || !found->is_number()) return std::nullopt;
    return found->get<double>();
  };
  auto text = [&](const char* name) -> std::optional<std::string> {
    const auto found = claims->find(name);
    if (found == claims->end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
  };
  if (text("aud") != projectId_) return refused("wrong aud");
  if (text("iss") != "https://securetoken.google.com/" + projectId_) return refused("wrong iss");
  const auto exp = number("exp");
  if (!exp || *exp <= now - skew) return refused("expired");
  const auto iat = number("iat");
  if (!iat || *iat > now + skew) return refused("iat missing or in the future");
  const auto authTime = number("auth_time");
  if (!authTime || *authTime > now + skew) return refused("auth_time missing or in the future");
  const auto sub = text("sub");
  if (!sub || sub->empty() || sub->size() > 128) return refused("sub missing, empty or longer than 128");

  TokenVerdict verdict{Result::accepted, {*sub, std::nullopt}, {}};
  const auto verified = claims->find("email_verified");
  if (text("email") && verified != claims->end() && verified->is_boolean() && verified->get<bool>())
    verdict.identity.email = text("email");
  return verdict;
}

}  // namespace veltrano::uploadservice
