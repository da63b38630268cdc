#pragma once

// The reference signed-URL endpoint: checks who is asking, confines each
// user to their own object paths, hands out upload URLs for its embedded
// store or for S3-compatible storage, and serves the web app its sessions
// and the clips that have arrived. A peer over HTTP that nothing of the app
// links.

#include "Confinement.hpp"
#include "IdTokenVerifier.hpp"
#include "Identity.hpp"
#include "S3Storage.hpp"
#include "Sessions.hpp"
#include "UrlSigner.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
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
  std::filesystem::path storage{};    // the embedded store; unused with `s3`
  std::vector<std::string> tokens{};  // shared static bearer tokens, naming no user
  std::string secret{};               // the embedded store's signing secret; empty: a random one
  std::chrono::seconds ttl{900};      // lifetime of an upload URL, 1 s to 7 days
  std::size_t maxObjectPathLength = kMaxObjectKeyBytes;
  // SO_RCVBUF of accepted connections; 0 keeps the kernel's autotuning.
  // Small buffers make a throttled reader felt by the client at once.
  int receiveBufferBytes = 0;
  // ID tokens (production or emulator); null: the static tokens only. At
  // least one of the two is needed.
  std::shared_ptr<const IdTokenVerifier> idTokens{};
  std::optional<S3Options> s3{};  // clips go to S3-compatible storage instead of `storage`
  SessionCatalog sessions = SessionCatalog::sample();
  // The one origin whose pages may call the sessions API: what a fetch from
  // the app's app://local/index.html carries under WebKitGTK.
  std::string allowOrigin = "app://local";
  bool testControls = false;  // serve /control/* (loopback clients only)
  std::size_t maxBodyBytes = std::size_t{16} * 1024;
  // One line per request; empty: stderr.
  std::function<void(const std::string&)> log{};
  // When upload URLs are signed (tests sign in the past for expired ones).
  std::function<std::chrono::system_clock::time_point()> clock{};
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

// Served:
//   POST /upload-url          bearer token + {"userId","sessionId","answerId","objectPath"}
//                             -> {"uploadUrl": ..., "uploadHeaders": {"Content-Type": "video/mp4"}}
//   PUT  /objects/<path>?exp=&sig=   the embedded store's object, committed only when complete
//   GET  /v1/sessions, GET /v1/sessions/{sessionId}/answers/{answerId}/clips   (ID token; CORS)
//   GET  /healthz
//   POST|DELETE /control/faults, GET|DELETE /control/requests   (test controls, loopback only)
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
  struct Caller {
    enum class Result { accepted, refused, unavailable } result = Result::refused;
    Identity identity;
    std::string reason;
  };
  Caller authenticate(const httplib::Request& request) const;
  // Refuses (and returns false) a request from a page of another origin.
  bool allowOrigin(const httplib::Request& request, httplib::Response& response) const;
  // The signed-in user of a sessions API request, or nothing once refused.
  std::optional<Identity> sessionUser(const httplib::Request& request, httplib::Response& response) const;
  void handleSignedURL(const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader& reader);
  void handleClips(const httplib::Request& request, httplib::Response& response);
  void registerControls();
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
  std::optional<S3Storage> s3_;
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
