#pragma once

// AWS Signature Version 4 for query-string ("presigned") requests: the one
// signing path that AWS S3, Cloud Storage's HMAC interoperability keys, R2,
// MinIO and Ceph's gateway all accept.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veltrano::uploadservice {

struct SigV4Credentials {
  std::string accessKeyId;
  std::string secretAccessKey;
  std::string sessionToken;  // empty: long-term keys
};

struct SigV4Request {
  std::string method = "PUT";
  std::string scheme = "https";
  std::string host;  // as the Host header carries it: with the port when it is not the default
  std::string path;  // decoded, starting with '/'; percent-encoded here, '/' kept
  std::vector<std::pair<std::string, std::string>> query;    // decoded, besides the X-Amz-* ones
  std::vector<std::pair<std::string, std::string>> headers;  // signed besides host, sent byte for byte
  std::string region = "us-east-1";
  std::string service = "s3";
  std::chrono::system_clock::time_point time;
  std::chrono::seconds expires{900};  // 1 s to 7 days
};

// The whole URL, scheme to signature, for a request that carries no
// Authorization header and an unsigned payload.
std::string presignSigV4(const SigV4Request& request, const SigV4Credentials& credentials);

// The derived key (raw bytes) for one day, region and service.
std::string sigV4SigningKey(std::string_view secretAccessKey, std::string_view date, std::string_view region,
                            std::string_view service);

// RFC 3986 percent-encoding with upper-case hex; '/' kept when `keepSlash`.
std::string uriEncode(std::string_view text, bool keepSlash);

std::string hexSha256(std::string_view data);

}  // namespace veltrano::uploadservice
