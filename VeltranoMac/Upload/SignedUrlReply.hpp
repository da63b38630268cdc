// The parts of an upload that need no network: the endpoint from
// Info.json, the signed-URL request body, and what the signed-URL reply
// makes of the PUT. Pure functions, so the reply handling can be tested and
// fuzzed on its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrano::upload {

inline constexpr std::string_view kEndpointInfoKey = "VeltranoAnswerVideoSignedURLRequestURL";

// True when `text` parses as an absolute URL whose scheme is http or https.
// Anything else (file:, ftp:, relative, empty, spaces) could make libcurl
// write the clip somewhere that is not an HTTP server.
bool isHttpURL(std::string_view text);

// True when `text` is a URL at all: a scheme followed by ':' and nothing
// but characters a URL may hold. "example.com/upload" (no scheme) and
// " http://h/x" (a space) are not URLs; "ftp://h/x" and "file:///x" are.
bool isURL(std::string_view text);

// The endpoint under kEndpointInfoKey, or nullopt when the key is missing,
// not a string, empty or not a URL (isURL). A URL of any scheme is
// returned: whether it is usable (isHttpURL) is the caller's to decide,
// since a misconfigured endpoint must not count as a missing one. An
// Info.json that cannot be
// read or does not hold a JSON object is an error of the installation, not
// a missing key: it throws (std::system_error, or the parser's error).
std::optional<std::string> readSignedURLEndpoint(const std::filesystem::path& infoJson);

// The compact JSON body with exactly the four members. Throws the
// serializer's error (nlohmann::json::type_error) for text that is not UTF-8.
std::string makeSignedURLRequestBody(const std::string& userId, const std::string& sessionId,
                                     const std::string& answerId, const std::string& objectPath);

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Why "uploadHeaders" added nothing.
enum class UploadHeadersOutcome {
  applied,     // absent, or every member applied
  notStrings,  // not an object of strings: silently no extra header
  unsafe,      // a name or value that could inject headers: no extra header, worth an error log
};

struct UploadTarget {
  std::string url;
  // Headers of the PUT in sending order; names unique ignoring case;
  // "Content-Type" always present exactly once.
  HeaderList headers;
  UploadHeadersOutcome headersOutcome = UploadHeadersOutcome::applied;
};

// Turns a 2xx signed-URL reply body into the PUT's URL and headers.
// Throws nlohmann::json::parse_error when the body is not JSON,
// UploadError::invalidResponse when it is JSON but not an object, and
// UploadError::missingUploadURL when neither "uploadUrl" nor "signedUrl"
// gives a usable http(s) URL.
UploadTarget chooseUploadTarget(std::string_view body);

// A valid HTTP header name (a token: no separators, no controls, not empty).
bool isHeaderName(std::string_view name);
// A header value that cannot start a new header line.
bool isSafeHeaderValue(std::string_view value);

}  // namespace veltrano::upload
