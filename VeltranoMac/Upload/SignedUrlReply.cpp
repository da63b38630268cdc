#include "Upload/SignedUrlReply.hpp"

#include "Upload/UploadError.hpp"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

namespace veltrano::upload {

namespace {

using Json = nlohmann::json;

struct CurlUrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

void setHeader(HeaderList& headers, const std::string& name, const std::string& value) {
  auto same = [&](const auto& header) { return equalsIgnoringCase(header.first, name); };
  auto it = std::find_if(headers.begin(), headers.end(), same);
  if (it == headers.end()) {
    headers.emplace_back(name, value);
  } else {
    // A later setting replaces the earlier one, under the later spelling.
    *it = {name, value};
  }
}

// Framing headers come from the file itself; a reply that set them would
// make the request lie about its own length.
bool isFramingHeader(std::string_view name) {
  return equalsIgnoringCase(name, "Content-Length") || equalsIgnoringCase(name, "Transfer-Encoding");
}

std::optional<std::string> stringMember(const Json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

bool isHttpURL(std::string_view text) {
  if (text.empty()) return false;
  // Whitespace and controls never belong in a URL; libcurl would trim some.
  if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }))
    return false;
  std::unique_ptr<CURLU, CurlUrlDeleter> url(curl_url());
  if (!url) return false;
  const std::string copy(text);
  if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), 0) != CURLUE_OK) return false;
  char* scheme = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme) return false;
  const bool http = std::string_view(scheme) == "http" || std::string_view(scheme) == "https";
  curl_free(scheme);
  char* host = nullptr;
  const bool hasHost = curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
  curl_free(host);
  return http && hasHost;
}

bool isURL(std::string_view text) {
  auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos || !isAlpha(text.front())) return false;
  for (char c : text.substr(0, colon))
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  // Unreserved, reserved and '%': anything else cannot stand in a URL.
  return std::all_of(text.begin(), text.end(), [&](char c) {
    return isAlpha(c) || isDigit(c) || std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
  });
}

std::optional<std::string> readSignedURLEndpoint(const std::filesystem::path& infoJson) {
  std::ifstream in(infoJson, std::ios::binary);
  if (!in) throw std::system_error(errno ? errno : ENOENT, std::generic_category(), "cannot read " + infoJson.string());
  std::ostringstream text;
  text << in.rdbuf();
  const Json info = Json::parse(text.str());
  if (!info.is_object())
    throw std::system_error(
        std::make_error_code(std::errc::invalid_argument), infoJson.string() + " does not hold a JSON object");
  auto value = stringMember(info, std::string(kEndpointInfoKey).c_str());
  if (!value || value->empty() || !isURL(*value)) return std::nullopt;
  return value;
}

std::string makeSignedURLRequestBody(const std::string& userId, const std::string& sessionId,
                                     const std::string& answerId, const std::string& objectPath) {
  Json body = Json::object();
  body["userId"] = userId;
  body["sessionId"] = sessionId;
  body["answerId"] = answerId;
  body["objectPath"] = objectPath;
  return body.dump();  // compact; throws type_error 316 on invalid UTF-8
}

bool isHeaderName(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') return true;
    if (u >= 'A' && u <= 'Z') return true;
    if (u >= '0' && u <= '9') return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
  });
}

bool isSafeHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

UploadTarget chooseUploadTarget(std::string_view body) {
  const Json reply = Json::parse(body);  // the parser's own error for non-JSON
  if (!reply.is_object()) throw UploadError::invalidResponse();

  UploadTarget target;
  // No fall-back to "signedUrl" once "uploadUrl" is a string, even a bad one.
  auto chosen = stringMember(reply, "uploadUrl");
  if (!chosen) chosen = stringMember(reply, "signedUrl");
  if (!chosen || !isHttpURL(*chosen)) throw UploadError::missingUploadURL();
  target.url = std::move(*chosen);

  target.headers.emplace_back("Content-Type", "video/mp4");
  auto extra = reply.find("uploadHeaders");
  if (extra == reply.end()) return target;
  if (!extra->is_object()) {
    target.headersOutcome = UploadHeadersOutcome::notStrings;
    return target;
  }
  for (const auto& [name, value] : extra->items()) {
    if (!value.is_string()) {
      target.headersOutcome = UploadHeadersOutcome::notStrings;
      return target;
    }
  }
  for (const auto& [name, value] : extra->items()) {
    if (!isHeaderName(name) || isFramingHeader(name) || !isSafeHeaderValue(value.get_ref<const std::string&>())) {
      target.headersOutcome = UploadHeadersOutcome::unsafe;
      return target;
    }
  }
  for (const auto& [name, value] : extra->items()) setHeader(target.headers, name, value.get<std::string>());
  return target;
}

}  // namespace veltrano::upload
