#pragma once

// A blocking HTTP(S) GET with libcurl, for the service's own outgoing
// requests (signing certificates, object listings). Runs on the request
// thread that needs the answer.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace veltrano::uploadservice {

struct HttpReply {
  long status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // names lower-case

  const std::string* header(const std::string& lowerCaseName) const;
};

// Throws std::runtime_error on a transport failure (connect, TLS, time-out).
// Follows no redirects; a reply larger than `maxBytes` is a failure too.
HttpReply httpGet(const std::string& url, std::chrono::seconds timeout = std::chrono::seconds(10),
                  std::size_t maxBytes = std::size_t{8} << 20);

}  // namespace veltrano::uploadservice
