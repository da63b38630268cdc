#pragma once

// Clips in S3-compatible object storage: SigV4-presigned PUT URLs for the
// native client, and signed ListObjectsV2 requests for the clip listing.
// One signing path serves AWS S3, Cloud Storage (HMAC interoperability
// keys), R2, MinIO and Ceph's gateway.

#include "SigV4.hpp"
#include "StoredClips.hpp"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace veltrano::uploadservice {

struct S3Options {
  std::string endpoint;  // "https://s3.eu-central-1.amazonaws.com", "http://127.0.0.1:4568"
  std::string bucket;
  std::string region = "us-east-1";
  // https://endpoint/bucket/key instead of https://bucket.endpoint/key: for
  // servers without virtual hosts, and bucket names with dots under TLS.
  bool pathStyle = false;
  SigV4Credentials credentials;
};

class S3Storage {
 public:
  // Throws std::invalid_argument for an endpoint that is not
  // http(s)://host[:port] or a missing bucket or key.
  explicit S3Storage(S3Options options);

  // A PUT URL for `objectKey` that is good only with exactly `headers`
  // (sent byte for byte) until `now` + `expires`.
  std::string presignPut(const std::string& objectKey, const std::vector<std::pair<std::string, std::string>>& headers,
                         std::chrono::seconds expires, std::chrono::system_clock::time_point now) const;

  // Every clip below `prefix` ("user/session/answer/"), all pages of the
  // listing. Throws std::runtime_error when the store cannot be listed.
  std::vector<StoredClip> listClips(const std::string& prefix, std::chrono::system_clock::time_point now) const;

  // One ListObjectsV2 reply: its clips under `prefix`, and the
  // continuation token when the listing goes on.
  struct ListingPage {
    std::vector<StoredClip> clips;
    std::string nextContinuationToken;  // empty: the last page
  };
  static ListingPage parseListing(std::string_view xml, const std::string& prefix);

 private:
  SigV4Request request(std::string method, std::string key) const;

  S3Options options_;
  std::string scheme_;
  std::string host_;  // with the port when one is given
};

}  // namespace veltrano::uploadservice
