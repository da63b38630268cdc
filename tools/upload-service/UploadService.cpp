#include "UploadService.hpp"

#include "BoundedJson.hpp"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <random>
#include <regex>
#include <stdexcept>
#include <system_error>

namespace veltrano::uploadservice {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxRecordedRequests = 1000;
constexpr const char* kObjectsPrefix = "/objects/";
constexpr const char* kContentType = "video/mp4";
constexpr std::chrono::seconds kMaxTtl{604800};  // what SigV4 allows

// What the request log line tells beyond the request and its answer. A
// connection's requests are handled one after another on one thread.
struct RequestContext {
  std::optional<std::chrono::steady_clock::time_point> start;
  std::string user;
  std::string reason;
};
thread_local RequestContext current;

void touch() {
  if (!current.start) current.start = std::chrono::steady_clock::now();
}

// Text from a request made safe for one log line: no control characters
// or quotes, bounded.
std::string loggable(std::string_view text, std::size_t limit = 300) {
  std::string out;
  for (const char c : text.substr(0, limit)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '"' || c == '\\') {
      static constexpr char digits[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(digits[u >> 4]);
      out.push_back(digits[u & 0x0f]);
    } else {
      out.push_back(c);
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::int64_t unixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool isLoopback(const std::string& address) {
  return address == "::1" || address.rfind("127.", 0) == 0 || address.rfind("::ffff:127.", 0) == 0;
}

void replyJson(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void replyError(httplib::Response& response, int status, const std::string& message) {
  replyJson(response, status, Json{{"error", message}});
}

// A refusal whose reason goes to the log; the caller sees only `message`.
void refuse(httplib::Response& response, int status, const std::string& message, std::string reason) {
  current.reason = std::move(reason);
  replyError(response, status, message);
}

// Refusing a PUT whose body was not read: the unread bytes must not be
// taken for the next request on the connection.
void refuseUnread(httplib::Response& response, int status, const std::string& message) {
  replyError(response, status, message);
  response.set_header("Connection", "close");
}

int localPort(int fd, bool peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int result = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                          : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (result != 0) return -1;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return -1;
}

// The request's connection, found by its two ports, is shut down so the
// client sees the connection drop mid-exchange. (The HTTP library does
// not hand its socket to handlers.)
void dropConnection(const httplib::Request& request) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return;
  while (dirent* entry = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    if (localPort(static_cast<int>(fd), false) == request.local_port &&
        localPort(static_cast<int>(fd), true) == request.remote_port) {
      ::shutdown(static_cast<int>(fd), SHUT_RDWR);
      break;
    }
  }
  ::closedir(fds);
}

std::string randomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  auto value = generator();
  for (int i = 0; i < 16; ++i, value >>= 4) out.push_back(digits[value & 0x0f]);
  return out;
}

void fsyncDirectory(const std::filesystem::path& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + directory.string());
  const int result = ::fsync(fd);
  const int saved = errno;
  ::close(fd);
  if (result != 0) throw std::system_error(saved, std::generic_category(), "fsync " + directory.string());
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

Fault Fault::fromJson(const Json& json) {
  if (!json.is_object()) throw std::invalid_argument("a fault is a JSON object");
  Fault fault;
  for (const auto& [key, value] : json.items()) {
    if (key == "endpoint") {
      const auto name = value.get<std::string>();
      if (name == "signedUrl")
        fault.endpoint = Endpoint::signedURL;
      else if (name == "put")
        fault.endpoint = Endpoint::put;
      else if (name == "any")
        fault.endpoint = Endpoint::any;
      else
        throw std::invalid_argument("endpoint must be signedUrl, put or any");
    } else if (key == "count") {
      fault.count = value.get<int>();
      if (fault.count < 1) throw std::invalid_argument("count must be at least 1");
    } else if (key == "stallMs") {
      fault.stall = std::chrono::milliseconds(value.get<std::int64_t>());
    } else if (key == "dropAfterBytes") {
      fault.dropAfterBytes = value.get<std::uint64_t>();
    } else if (key == "bytesPerSecond") {
      fault.bytesPerSecond = value.get<std::uint64_t>();
    } else if (key == "status") {
      fault.status = value.get<int>();
      if (fault.status < 100 || fault.status > 999) throw std::invalid_argument("status must be 100-999");
    } else if (key == "headers") {
      for (const auto& [name, headerValue] : value.items())
        fault.headers.emplace_back(name, headerValue.get<std::string>());
    } else if (key == "body") {
      fault.body = value.get<std::string>();
    } else if (key == "answerAfterBytes") {
      fault.answerAfterBytes = value.get<std::uint64_t>();
    } else if (key == "contentType") {
      fault.contentType = value.get<std::string>();
    } else {
      throw std::invalid_argument("unknown fault member " + key);
    }
  }
  return fault;
}

std::size_t RecordedRequest::headerCount(const std::string& name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(), [&](const auto& h) { return equalsIgnoringCase(h.first, name); }));
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

UploadService::UploadService(UploadServiceOptions options)
    : options_(std::move(options)),
      signer_(options_.secret.empty() ? UrlSigner::randomSecret() : options_.secret),
      server_(std::make_unique<httplib::Server>()) {
  if (options_.tokens.empty() && !options_.idTokens)
    throw std::invalid_argument("a bearer token or ID token verification is needed");
  if (options_.ttl < std::chrono::seconds(1) || options_.ttl > kMaxTtl)
    throw std::invalid_argument("the upload URL lifetime is 1 s to 7 days");
  if (options_.s3) {
    s3_.emplace(*options_.s3);
  } else {
    if (options_.storage.empty()) throw std::invalid_argument("a storage folder is needed");
    std::filesystem::create_directories(options_.storage);
    options_.storage = std::filesystem::canonical(options_.storage);
  }
  // Kept without a trailing slash, so paths append as they are.
  while (!options_.publicBaseURL.empty() && options_.publicBaseURL.back() == '/') options_.publicBaseURL.pop_back();
  if (!options_.publicBaseURL.empty() && options_.publicBaseURL.rfind("http://", 0) != 0 &&
      options_.publicBaseURL.rfind("https://", 0) != 0)
    throw std::invalid_argument("the public base URL must start with http:// or https://");
  if (!options_.log) options_.log = [](const std::string& line) { std::cerr << line + "\n" << std::flush; };
  if (!options_.clock) options_.clock = [] { return std::chrono::system_clock::now(); };

  auto& server = *server_;
  const int receiveBuffer = options_.receiveBufferBytes;
  server.set_socket_options([receiveBuffer](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // Accepted connections inherit the listening socket's buffer size.
    if (receiveBuffer > 0) ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  });
  // Stopping waits out idle keep-alive connections; short, so SIGTERM is
  // quick, and still long enough for the client's PUT right after its POST.
  server.set_keep_alive_timeout(2);
  server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    touch();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Method, path (never the query, which holds signatures), status, user
  // and duration; the reason of a refusal. Never a token.
  server.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    const auto elapsed =
        current.start ? std::chrono::steady_clock::now() - *current.start : std::chrono::steady_clock::duration::zero();
    std::string line = "veltrano-upload-service: " + loggable(request.method, 16) + " " + loggable(request.path) + " " +
                       std::to_string(response.status) +
                       " user=" + (current.user.empty() ? std::string("-") : loggable(current.user, 128)) + " " +
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) + "ms";
    if (!current.reason.empty()) line += " reason=\"" + loggable(current.reason) + "\"";
    current = {};
    options_.log(line);
  });

  server.Post(
      "/upload-url", [this](const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader& reader) { handleSignedURL(request, response, reader); });
  server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
    replyJson(response, 200, Json{{"ok", true}});
  });
  server.Get("/v1/sessions", [this](const httplib::Request& request, httplib::Response& response) {
    if (const auto user = sessionUser(request, response)) replyJson(response, 200, options_.sessions.visibleTo(*user));
  });
  server.Get(R"(/v1/sessions/([^/]+)/answers/([^/]+)/clips)",
             [this](const httplib::Request& request, httplib::Response& response) { handleClips(request, response); });
  // The page's preflight: its origin may GET with a bearer token.
  server.Options(R"(/v1/.*)", [this](const httplib::Request& request, httplib::Response& response) {
    const std::string method = request.get_header_value("Access-Control-Request-Method");
    std::string headers = request.get_header_value("Access-Control-Request-Headers");
    std::transform(headers.begin(), headers.end(), headers.begin(), [](unsigned char c) { return std::tolower(c); });
    headers.erase(std::remove(headers.begin(), headers.end(), ' '), headers.end());
    if (request.get_header_value("Origin") != options_.allowOrigin || method != "GET" ||
        !(headers.empty() || headers == "authorization"))
      return refuse(response, 403, "not allowed", "preflight from another origin, or for another method or header");
    response.status = 204;
    response.set_header("Access-Control-Allow-Origin", options_.allowOrigin);
    response.set_header("Access-Control-Allow-Methods", "GET");
    response.set_header("Access-Control-Allow-Headers", "Authorization");
    response.set_header("Access-Control-Max-Age", "600");
    response.set_header("Vary", "Origin");
  });

  if (!s3_) {
    server.Put(
        R"(/objects/.+)", [this](const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader& reader) { handlePut(request, response, reader); });
  }
  // A bad URL is refused before the client sends a single body byte.
  server.set_expect_100_continue_handler([this](const httplib::Request& request, httplib::Response& response) {
    touch();
    if (request.method != "PUT" || s3_) return 100;
    if (auto early = takeFault(Fault::Endpoint::put, true)) {
      const std::size_t index = record(request);
      response.status = early->status == 0 ? 200 : early->status;
      for (const auto& [name, value] : early->headers) response.set_header(name, value);
      response.set_header("Content-Length", "0");
      response.set_header("Connection", "close");
      finish(index, response.status, 0);
      return response.status;
    }
    std::string objectPath;
    const int status = checkSignature(request, objectPath);
    if (status == 0) return 100;
    // The library writes only the status line and headers of this early
    // answer, and would read the unsent body as the next request: an empty
    // answer that closes the connection.
    current.reason = "signature mismatch, expired URL or bad object path";
    response.status = status;
    response.set_header("Content-Length", "0");
    response.set_header("Connection", "close");
    return status;
  });
  if (options_.testControls) registerControls();
}

void UploadService::registerControls() {
  auto& server = *server_;
  auto loopbackOnly = [](const httplib::Request& request, httplib::Response& response) {
    if (isLoopback(request.remote_addr)) return true;
    replyError(response, 403, "the control endpoint answers loopback clients only");
    return false;
  };
  server.Post("/control/faults", [this, loopbackOnly](const httplib::Request& request, httplib::Response& response) {
    if (!loopbackOnly(request, response)) return;
    try {
      const Json json = Json::parse(request.body);
      addFault(Fault::fromJson(json));
      replyJson(response, 200, Json{{"ok", true}});
    } catch (const std::exception& e) {
      replyError(response, 400, e.what());
    }
  });
  server.Delete("/control/faults", [this, loopbackOnly](const httplib::Request& request, httplib::Response& response) {
    if (!loopbackOnly(request, response)) return;
    clearFaults();
    replyJson(response, 200, Json{{"ok", true}});
  });
  server.Get("/control/requests", [this, loopbackOnly](const httplib::Request& request, httplib::Response& response) {
    if (!loopbackOnly(request, response)) return;
    Json list = Json::array();
    for (const auto& recorded : requests()) {
      Json headers = Json::array();
      for (const auto& [name, value] : recorded.headers) headers.push_back(Json::array({name, value}));
      list.push_back(Json{{"method", recorded.method},
                          {"path", recorded.path},
                          {"headers", headers},
                          {"body", recorded.body},
                          {"bodyBytes", recorded.bodyBytes},
                          {"status", recorded.status}});
    }
    replyJson(response, 200, list);
  });
  server.Delete(
      "/control/requests", [this, loopbackOnly](const httplib::Request& request, httplib::Response& response) {
        if (!loopbackOnly(request, response)) return;
        clearRequests();
        replyJson(response, 200, Json{{"ok", true}});
      });
}

UploadService::~UploadService() {
  stop();
}

void UploadService::start() {
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
    if (port_ <= 0) throw std::runtime_error("cannot bind " + options_.host);
  } else {
    if (!server_->bind_to_port(options_.host, options_.port))
      throw std::runtime_error("cannot bind " + options_.host + ":" + std::to_string(options_.port));
    port_ = options_.port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // listen_after_bind has no ready signal of its own.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void UploadService::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string UploadService::baseURL() const {
  if (!options_.publicBaseURL.empty()) return options_.publicBaseURL;
  const bool ipv6 = options_.host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port_);
}

std::string UploadService::signedURLEndpoint() const {
  return baseURL() + "/upload-url";
}

std::string UploadService::uploadURL(const std::string& objectPath, std::int64_t expiry,
                                     const std::string& contentType) const {
  return baseURL() + kObjectsPrefix + encodePath(objectPath) + "?exp=" + std::to_string(expiry) +
         "&sig=" + signer_.sign("PUT", objectPath, expiry, contentType);
}

void UploadService::addFault(Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

void UploadService::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::vector<RecordedRequest> UploadService::requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

void UploadService::clearRequests() {
  std::lock_guard lock(mutex_);
  requestsDropped_ += requests_.size();
  requests_.clear();
}

std::optional<Fault> UploadService::takeFault(Fault::Endpoint endpoint, bool onlyAnswerBeforeBody) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->endpoint != Fault::Endpoint::any && it->endpoint != endpoint) continue;
    if (onlyAnswerBeforeBody && it->answerAfterBytes != std::uint64_t{0}) return std::nullopt;
    Fault taken = *it;
    if (--it->count == 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

bool UploadService::sleepFor(std::chrono::nanoseconds duration) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, duration, [this] { return stopping_; });
}

std::size_t UploadService::record(const httplib::Request& request) {
  RecordedRequest recorded;
  recorded.method = request.method;
  recorded.path = request.path;
  for (const auto& [name, value] : request.headers) {
    // The HTTP library adds these for its own bookkeeping.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
    recorded.headers.emplace_back(name, value);
  }
  std::lock_guard lock(mutex_);
  if (requests_.size() == kMaxRecordedRequests) {
    requests_.pop_front();
    ++requestsDropped_;
  }
  requests_.push_back(std::move(recorded));
  return requestsDropped_ + requests_.size() - 1;
}

void UploadService::finish(std::size_t index, int status, std::uint64_t bodyBytes, std::string body) {
  std::lock_guard lock(mutex_);
  if (index < requestsDropped_) return;
  const std::size_t position = index - requestsDropped_;
  if (position >= requests_.size()) return;
  auto& recorded = requests_[position];
  recorded.status = status;
  recorded.bodyBytes = bodyBytes;
  recorded.body = std::move(body);
  recorded.finished = true;
}

UploadService::Caller UploadService::authenticate(const httplib::Request& request) const {
  using Result = Caller::Result;
  const std::string authorization = request.get_header_value("Authorization");
  constexpr std::string_view scheme = "Bearer ";
  if (authorization.rfind(scheme, 0) != 0) return {Result::refused, {}, "no bearer token"};
  bool shared = false;
  for (const auto& token : options_.tokens) {
    const std::string expected = std::string(scheme) + token;
    // Every token is compared in full, so timing tells nothing about any.
    if (authorization.size() == expected.size() &&
        CRYPTO_memcmp(authorization.data(), expected.data(), expected.size()) == 0)
      shared = true;
  }
  if (shared) return {Result::accepted, {}, {}};
  if (!options_.idTokens) return {Result::refused, {}, "unknown bearer token"};
  auto verdict = options_.idTokens->verify(std::string_view(authorization).substr(scheme.size()));
  switch (verdict.result) {
    case TokenVerdict::Result::accepted: return {Result::accepted, std::move(verdict.identity), {}};
    case TokenVerdict::Result::unavailable: return {Result::unavailable, {}, std::move(verdict.reason)};
    case TokenVerdict::Result::refused: break;
  }
  return {Result::refused, {}, std::move(verdict.reason)};
}

bool UploadService::allowOrigin(const httplib::Request& request, httplib::Response& response) const {
  if (!request.has_header("Origin")) return true;  // not a page: the native client, tools
  const std::string origin = request.get_header_value("Origin");
  if (origin == options_.allowOrigin) {
    response.set_header("Access-Control-Allow-Origin", options_.allowOrigin);
    response.set_header("Vary", "Origin");
    return true;
  }
  refuse(response, 403, "origin not allowed", "a page of origin " + origin);
  return false;
}

std::optional<Identity> UploadService::sessionUser(const httplib::Request& request, httplib::Response& response) const {
  if (!allowOrigin(request, response)) return std::nullopt;
  auto caller = authenticate(request);
  if (caller.result == Caller::Result::unavailable) {
    refuse(response, 503, "cannot check tokens now", caller.reason);
    return std::nullopt;
  }
  if (caller.result == Caller::Result::refused) {
    refuse(response, 401, "missing or refused bearer token", caller.reason);
    return std::nullopt;
  }
  if (caller.identity.userId.empty()) {
    refuse(response, 401, "an ID token is needed", "a shared token names no user");
    return std::nullopt;
  }
  current.user = caller.identity.userId;
  return std::move(caller.identity);
}

void UploadService::handleClips(const httplib::Request& request, httplib::Response& response) {
  const auto user = sessionUser(request, response);
  if (!user) return;
  const std::string sessionId = request.matches[1];
  const std::string answerId = request.matches[2];
  // The user's own prefix only; what could not be stored is not listed.
  if (!isSafeId(user->userId) || !isSafeId(sessionId) || !isSafeId(answerId))
    return refuse(response, 403, "not an answer of yours", "an id that is not a safe path segment");
  const std::string prefix = user->userId + "/" + sessionId + "/" + answerId + "/";
  try {
    replyJson(response, 200,
              clipsJson(s3_ ? s3_->listClips(prefix, options_.clock()) : listStoredFiles(options_.storage, prefix)));
  } catch (const std::exception& e) {
    refuse(response, 502, "cannot list the stored clips", e.what());
  }
}

void UploadService::handleSignedURL(const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& reader) {
  const std::size_t index = record(request);
  std::string body;
  auto done = [&] { finish(index, response.status, body.size(), body); };

  // The body is bounded before it is read. Too large is refused with 403
  // like every other refusal of what a request asks for: the native client
  // would delete a clip refused with 413.
  bool tooLarge = false;
  if (request.has_header("Content-Length")) {
    const std::string length = request.get_header_value("Content-Length");
    tooLarge = length.size() > 9 || std::stoull("0" + length) > options_.maxBodyBytes;
  }
  if (!tooLarge) {
    reader([&](const char* data, std::size_t size) {
      if (body.size() + size > options_.maxBodyBytes) return !(tooLarge = true);
      body.append(data, size);
      return true;
    });
  }
  if (tooLarge) {
    refuse(response, 403, "the request body is too large",
           "body over " + std::to_string(options_.maxBodyBytes) + " bytes");
    response.set_header("Connection", "close");  // the rest of it is unread
    return done();
  }

  if (auto fault = takeFault(Fault::Endpoint::signedURL)) {
    if (fault->stall.count() > 0 && !sleepFor(fault->stall)) {
      replyError(response, 503, "stopping");
      return done();
    }
    if (fault->dropAfterBytes) {
      dropConnection(request);
      response.status = 500;
      return done();
    }
    if (fault->status != 0) {
      response.status = fault->status;
      for (const auto& [name, value] : fault->headers) response.set_header(name, value);
      response.set_content(fault->body, fault->contentType.c_str());
      return done();
    }
  }

  if (!allowOrigin(request, response)) return done();
  const Caller caller = authenticate(request);
  if (caller.result == Caller::Result::unavailable) {
    // 5xx: the client keeps the clip and asks again later.
    refuse(response, 503, "cannot check tokens now", caller.reason);
    return done();
  }
  if (caller.result == Caller::Result::refused) {
    refuse(response, 401, "missing or refused bearer token", caller.reason);
    return done();
  }
  current.user = caller.identity.userId;

  const auto json = parseBoundedJson(body, 4);
  const auto asked = json ? SignedURLRequest::fromJson(*json) : std::nullopt;
  if (!asked) {
    refuse(response, 400, "the body is not a JSON object of four strings",
           "body without userId, sessionId, answerId and objectPath strings");
    return done();
  }
  if (current.user.empty()) current.user = "shared-token:" + asked->userId;
  const std::string* tokenUser = caller.identity.userId.empty() ? nullptr : &caller.identity.userId;
  if (auto refusal = confinementRefusal(*asked, tokenUser, options_.maxObjectPathLength)) {
    refuse(response, 403, "not an object path of yours", std::move(*refusal));
    return done();
  }

  const auto now = options_.clock();
  std::string url;
  if (s3_) {
    url = s3_->presignPut(asked->objectPath, {{"Content-Type", kContentType}}, options_.ttl, now);
  } else {
    const std::int64_t expiry =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() + options_.ttl.count();
    url = uploadURL(asked->objectPath, expiry, kContentType);
  }
  // Exactly the headers that were signed, so the client's PUT matches.
  replyJson(response, 200, Json{{"uploadUrl", url}, {"uploadHeaders", {{"Content-Type", kContentType}}}});
  done();
}

// 0 when the URL is good for this request, else the status to refuse with.
int UploadService::checkSignature(const httplib::Request& request, std::string& objectPath) const {
  if (request.path.rfind(kObjectsPrefix, 0) != 0) return 404;
  objectPath = request.path.substr(std::strlen(kObjectsPrefix));
  if (!isValidObjectPath(objectPath, options_.maxObjectPathLength)) return 400;
  if (!request.has_param("exp") || !request.has_param("sig")) return 403;
  std::int64_t expiry = 0;
  try {
    std::size_t used = 0;
    const std::string text = request.get_param_value("exp");
    expiry = std::stoll(text, &used);
    if (used != text.size()) return 403;
  } catch (const std::exception&) {
    return 403;
  }
  if (!request.has_header("Content-Type")) return 403;
  if (!signer_.verify(
          "PUT", objectPath, expiry, request.get_header_value("Content-Type"), request.get_param_value("sig")))
    return 403;
  if (unixNow() > expiry) return 403;
  return 0;
}

void UploadService::handlePut(const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
  const std::size_t index = record(request);
  std::uint64_t received = 0;
  auto done = [&] { finish(index, response.status, received); };

  std::optional<Fault> fault = takeFault(Fault::Endpoint::put);
  if (fault && fault->stall.count() > 0 && !sleepFor(fault->stall)) {
    refuseUnread(response, 503, "stopping");
    return done();
  }

  // Signature and expiry before a single body byte is read.
  std::string objectPath;
  if (const int refused = checkSignature(request, objectPath); refused != 0) {
    current.reason = refused == 403 ? "signature mismatch or expired URL" : "bad object path";
    refuseUnread(response, refused, current.reason);
    return done();
  }
  current.user = objectPath.substr(0, objectPath.find('/'));  // whose path the signature is for
  if (!request.has_header("Content-Length")) {
    refuseUnread(response, 411, "Content-Length is required");
    return done();
  }
  std::uint64_t announced = 0;
  try {
    announced = std::stoull(request.get_header_value("Content-Length"));
  } catch (const std::exception&) {
    refuseUnread(response, 400, "bad Content-Length");
    return done();
  }

  // An early answer stores nothing and leaves the rest of the body unread.
  if (fault && fault->answerAfterBytes) {
    if (*fault->answerAfterBytes > 0) {
      reader([&](const char*, std::size_t size) {
        received += size;
        return received < *fault->answerAfterBytes;
      });
    }
    response.status = fault->status == 0 ? 200 : fault->status;
    for (const auto& [name, value] : fault->headers) response.set_header(name, value);
    response.set_header("Connection", "close");
    return done();
  }

  // A canned answer stores nothing; the body is read so the client sees
  // the answer rather than a reset.
  if (fault && fault->status != 0) {
    reader([&](const char*, std::size_t size) {
      received += size;
      return true;
    });
    response.status = fault->status;
    for (const auto& [name, value] : fault->headers) response.set_header(name, value);
    response.set_content(fault->body, fault->contentType.c_str());
    return done();
  }

  const std::filesystem::path target = options_.storage / objectPath;
  const std::filesystem::path folder = target.parent_path();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    refuseUnread(response, 500, "cannot create the object's folder");
    return done();
  }
  const std::filesystem::path part = target.string() + ".part." + randomSuffix();
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    refuseUnread(response, 500, "cannot create a temporary file");
    return done();
  }

  bool writeFailed = false;
  bool dropped = false;
  const auto started = std::chrono::steady_clock::now();
  const bool complete = reader([&](const char* data, std::size_t size) {
    if (fault && fault->dropAfterBytes && received + size >= *fault->dropAfterBytes) {
      const auto keep = static_cast<std::size_t>(*fault->dropAfterBytes - received);
      writeFailed = !writeAll(fd, data, keep);
      received += keep;
      dropConnection(request);
      dropped = true;
      return false;
    }
    if (!writeAll(fd, data, size)) {
      writeFailed = true;
      return false;
    }
    received += size;
    if (fault && fault->bytesPerSecond > 0) {
      const auto due =
          started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(received) / static_cast<double>(fault->bytesPerSecond)));
      const auto wait = due - std::chrono::steady_clock::now();
      if (wait.count() > 0 && !sleepFor(wait)) return false;
    }
    return true;
  });

  // Commit only a body that arrived whole: an interrupted upload leaves
  // nothing behind, neither object nor temporary file.
  bool committed = false;
  if (complete && !writeFailed && !dropped && received == announced && ::fsync(fd) == 0) {
    committed = ::close(fd) == 0 && ::rename(part.c_str(), target.c_str()) == 0;
  } else {
    ::close(fd);
  }
  if (!committed) {
    ::unlink(part.c_str());
    replyError(response, writeFailed ? 500 : 400, "the body did not arrive complete");
    return done();
  }
  try {
    fsyncDirectory(folder);
  } catch (const std::exception&) {
    replyError(response, 500, "cannot sync the object's folder");
    return done();
  }

  response.status = 200;
  done();
}

}  // namespace veltrano::uploadservice
