#include "SigV4.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <stdexcept>

namespace veltrano::uploadservice {

namespace {

std::string hex(const unsigned char* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0f]);
  }
  return out;
}

std::string hmac(std::string_view key, std::string_view message) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest.data(), &length))
    throw std::runtime_error("HMAC-SHA256 failed");
  return {reinterpret_cast<const char*>(digest.data()), length};
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// A canonical header value: trimmed, inner runs of spaces as one.
std::string canonicalValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const bool space = c == ' ' || c == '\t';
    if (space && (out.empty() || out.back() == ' ')) continue;
    out.push_back(space ? ' ' : c);
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string utcStamp(std::chrono::system_clock::time_point time, const char* format) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), format, &parts);
  return text.data();
}

}  // namespace

std::string uriEncode(std::string_view text, bool keepSlash) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const bool alphanumeric = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
    if (alphanumeric || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(digits[u >> 4]);
      out.push_back(digits[u & 0x0f]);
    }
  }
  return out;
}

std::string hexSha256(std::string_view data) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
  return hex(digest.data(), digest.size());
}

std::string sigV4SigningKey(std::string_view secretAccessKey, std::string_view date, std::string_view region,
                            std::string_view service) {
  return hmac(hmac(hmac(hmac("AWS4" + std::string(secretAccessKey), date), region), service), "aws4_request");
}

std::string presignSigV4(const SigV4Request& request, const SigV4Credentials& credentials) {
  if (request.path.empty() || request.path.front() != '/') throw std::invalid_argument("a SigV4 path starts with /");
  if (request.expires < std::chrono::seconds(1) || request.expires > std::chrono::seconds(604800))
    throw std::invalid_argument("a SigV4 URL lives 1 s to 7 days");
  const std::string date = utcStamp(request.time, "%Y%m%d");
  const std::string amzDate = utcStamp(request.time, "%Y%m%dT%H%M%SZ");
  const std::string scope = date + "/" + request.region + "/" + request.service + "/aws4_request";

  std::vector<std::pair<std::string, std::string>> headers{{"host", request.host}};
  for (const auto& [name, value] : request.headers) headers.emplace_back(lowered(name), canonicalValue(value));
  std::sort(headers.begin(), headers.end());
  std::string canonicalHeaders;
  std::string signedHeaders;
  for (const auto& [name, value] : headers) {
    canonicalHeaders.append(name).append(":").append(value).append("\n");
    signedHeaders.append(signedHeaders.empty() ? "" : ";").append(name);
  }

  auto query = request.query;
  query.emplace_back("X-Amz-Algorithm", "AWS4-HMAC-SHA256");
  query.emplace_back("X-Amz-Credential", credentials.accessKeyId + "/" + scope);
  query.emplace_back("X-Amz-Date", amzDate);
  query.emplace_back("X-Amz-Expires", std::to_string(request.expires.count()));
  if (!credentials.sessionToken.empty()) query.emplace_back("X-Amz-Security-Token", credentials.sessionToken);
  query.emplace_back("X-Amz-SignedHeaders", signedHeaders);
  std::vector<std::pair<std::string, std::string>> encoded;
  encoded.reserve(query.size());
  for (const auto& [name, value] : query) encoded.emplace_back(uriEncode(name, false), uriEncode(value, false));
  std::sort(encoded.begin(), encoded.end());
  std::string canonicalQuery;
  for (const auto& [name, value] : encoded)
    canonicalQuery.append(canonicalQuery.empty() ? "" : "&").append(name).append("=").append(value);

  const std::string canonicalURI = uriEncode(request.path, true);
  const std::string canonicalRequest = request.method + "\n" + canonicalURI + "\n" + canonicalQuery + "\n" +
                                       canonicalHeaders + "\n" + signedHeaders + "\nUNSIGNED-PAYLOAD";
  const std::string stringToSign = "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" + hexSha256(canonicalRequest);
  const std::string signature =
      hmac(sigV4SigningKey(credentials.secretAccessKey, date, request.region, request.service), stringToSign);
  return request.scheme + "://" + request.host + canonicalURI + "?" + canonicalQuery +
         "&X-Amz-Signature=" + hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
}

}  // namespace veltrano::uploadservice
