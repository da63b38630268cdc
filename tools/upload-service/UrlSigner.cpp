#include "UrlSigner.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace veltrano::uploadservice {

namespace {

std::string toHex(const unsigned char* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0f]);
  }
  return out;
}

}  // namespace

UrlSigner::UrlSigner(std::string secret) : secret_(std::move(secret)) {
  if (secret_.empty()) throw std::invalid_argument("the signing secret must not be empty");
}

std::string UrlSigner::randomSecret() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("RAND_bytes failed");
  return toHex(bytes, sizeof bytes);
}

std::string UrlSigner::sign(std::string_view method, std::string_view objectPath, std::int64_t expiry,
                            std::string_view contentType) const {
  std::string message;
  message.append(method).append("\n").append(objectPath).append("\n").append(std::to_string(expiry));
  message.append("\n").append(contentType);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length))
    throw std::runtime_error("HMAC failed");
  return toHex(digest, length);
}

bool UrlSigner::verify(std::string_view method, std::string_view objectPath, std::int64_t expiry,
                       std::string_view contentType, std::string_view signature) const {
  const std::string expected = sign(method, objectPath, expiry, contentType);
  return signature.size() == expected.size() && CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) == 0;
}

std::string encodePath(std::string_view objectPath) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : objectPath) {
    const auto u = static_cast<unsigned char>(c);
    const bool keep = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~' || c == '/';
    if (keep) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(digits[u >> 4]);
      out.push_back(digits[u & 0x0f]);
    }
  }
  return out;
}

bool isValidObjectPath(std::string_view objectPath, std::size_t maxLength) {
  if (objectPath.empty() || objectPath.size() > maxLength || objectPath.front() == '/') return false;
  for (char c : objectPath) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '\\') return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = objectPath.find('/', start);
    const std::string_view segment =
        objectPath.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace veltrano::uploadservice
