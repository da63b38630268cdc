#pragma once

#include "UrlSigner.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
}  // namespace httplib

namespace veltrano::uploadservice {

struct UploadServiceOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Scheme, host and port the upload URLs it hands out start with, e.g.
  // "https://uploads.example.org" behind a proxy; empty: the address it
  // listens on. Never taken from a request, whose Host the client chose.
  std::string publicBaseURL{};
  std::filesystem::path storage{};
  std::vector<std::string> tokens{};  // accepted bearer tokens; at least one
  std::string secret{};               // signing secret; empty: a random one
  std::chrono::seconds ttl{900};      // lifetime of an upload URL
  std::size_t maxObjectPathLength = 1024;
  // SO_RCVBUF of accepted connections; 0 keeps the kernel's autotuning.
  // Small buffers make a throttled reader felt by the client at once.
  int receiveBufferBytes = 0;
};

// A misbehaviour injected for the next `count` requests of an endpoint.
// The steps apply in this order: stall, drop, throttle, canned answer.
struct Fault {
  enum class Endpoint { signedURL, put, any };
  Endpoint endpoint = Endpoint::any;
  int count = 1;
  std::chrono::milliseconds stall{0};                        // wait before handling the request
  std::optional<std::uint64_t> dropAfterBytes;               // close the connection after this many body bytes
  std::uint64_t bytesPerSecond = 0;                          // read a PUT body no faster than this
  int status = 0;                                            // answer this status instead of the normal handling
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers of that answer
  std::string body;                                          // body of that answer
  std::string contentType = "application/json";
  // Give the canned answer after reading only this many PUT body bytes
  // (0: before any, from the 100-continue check when the client asks for
  // one), then close the connection: a server or proxy answering early.
  std::optional<std::uint64_t> answerAfterBytes;

  // From the control endpoint's JSON: {"endpoint": "signedUrl"|"put"|"any",
  // "count", "stallMs", "dropAfterBytes", "bytesPerSecond", "status",
  // "headers": {name: value}, "body", "contentType", "answerAfterBytes"}. Throws
  // std::invalid_argument for anything else.
  static Fault fromJson(const nlohmann::json& json);
};

struct RecordedRequest {
  std::string method;
  std::string path;  // decoded, without the query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // POST bodies only
  std::uint64_t bodyBytes = 0;
  int status = 0;  // 0 while the request is being handled
  bool finished = false;

  std::size_t headerCount(const std::string& name) const;
  std::optional<std::string> header(const std::string& name) const;
};

// The reference signed-URL endpoint and object store:
//   POST /upload-url          bearer token + {"userId","sessionId","answerId","objectPath"}
//                             -> {"uploadUrl": ..., "uploadHeaders": {"Content-Type": "video/mp4"}}
//   PUT  /objects/<path>?exp=&sig=   the object, committed only when complete
//   POST|DELETE /control/faults, GET|DELETE /control/requests   (loopback only)
class UploadService {
 public:
  explicit UploadService(UploadServiceOptions options);
  ~UploadService();
  UploadService(const UploadService&) = delete;
  UploadService& operator=(const UploadService&) = delete;

  // Binds and starts serving on a thread of its own; throws when the
  // address cannot be bound.
  void start();
  // Stops serving, ends stalls at once, and joins the thread. Idempotent.
  void stop();

  int port() const noexcept { return port_; }
  // The value for Info.json, e.g. "http://127.0.0.1:40123/upload-url".
  // Under the public base URL when one is configured.
  std::string signedURLEndpoint() const;
  // A signed upload URL as the POST would hand out, with a chosen expiry.
  std::string uploadURL(const std::string& objectPath, std::int64_t expiry,
                        const std::string& contentType = "video/mp4") const;
  const std::filesystem::path& storage() const noexcept { return options_.storage; }

  void addFault(Fault fault);
  void clearFaults();
  std::vector<RecordedRequest> requests() const;
  void clearRequests();

 private:
  void handleSignedURL(const httplib::Request& request, httplib::Response& response);
  void handlePut(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
  int checkSignature(const httplib::Request& request, std::string& objectPath) const;
  std::optional<Fault> takeFault(Fault::Endpoint endpoint, bool onlyAnswerBeforeBody = false);
  // Returns false when the service stopped during the wait.
  bool sleepFor(std::chrono::nanoseconds duration);
  std::size_t record(const httplib::Request& request);
  void finish(std::size_t index, int status, std::uint64_t bodyBytes, std::string body = {});
  std::string baseURL() const;

  UploadServiceOptions options_;
  UrlSigner signer_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<Fault> faults_;
  std::deque<RecordedRequest> requests_;
  std::size_t requestsDropped_ = 0;  // oldest records let go to bound memory
};

}  // namespace veltrano::uploadservice
