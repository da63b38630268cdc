#include "Upload/AnswerVideoUploadClient.hpp"

#include "Upload/SignedUrlReply.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>
#include <boost/asio/as_tuple.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace veltrano {

namespace {

const Logger& uploadLog() {
  static const Logger log("AnswerVideoUpload");
  return log;
}

// Everything one HTTP exchange needs, kept alive by the driver for as long
// as libcurl may call back into it.
struct Exchange {
  CurlEasy easy{curl_easy_init()};
  CurlSlist headers;
  std::string requestBody;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  // Reply body of the signed-URL request, up to a limit.
  std::string reply;
  std::size_t replyLimit = 0;
  bool replyTooLarge = false;

  // The PUT's source: read with pread so a rewind is only an offset.
  int fd = -1;
  curl_off_t offset = 0;
  int readErrno = 0;

  // The idle watch: when a byte last moved in either direction.
  std::chrono::steady_clock::duration idleLimit{};
  std::chrono::steady_clock::time_point lastMove{};
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;
  std::size_t headerBytes = 0;
  std::size_t lastHeaderBytes = 0;
  bool idleTimedOut = false;

  // The PUT's observer, told the bytes sent at every progress call.
  AnswerVideoUploadClientProtocol::Progress progress;

  // Redirects: once on https, never back to http.
  bool sawHttps = false;
  bool downgradeRefused = false;

  ~Exchange() {
    if (fd >= 0) ::close(fd);
  }

  void addHeader(const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    (void)headers.release();
    headers.reset(grown);
  }
};

std::size_t collectReply(char* data, std::size_t size, std::size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const std::size_t bytes = size * count;
  if (exchange->reply.size() + bytes > exchange->replyLimit) {
    exchange->replyTooLarge = true;
    return 0;  // stops the transfer (CURLE_WRITE_ERROR)
  }
  exchange->reply.append(data, bytes);
  return bytes;
}

std::size_t discardReply(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// Header lines count as movement too: a server may take its time over them.
std::size_t countHeader(char*, std::size_t size, std::size_t count, void* user) {
  static_cast<Exchange*>(user)->headerBytes += size * count;
  return size * count;
}

// libcurl's own low-speed check averages over about five seconds and fires
// that much late; this one fails the transfer once nothing at all moved for
// the idle time. libcurl calls it at least once a second per transfer, and
// the driver wakes it more often than that.
int watchIdle(void* user, curl_off_t, curl_off_t downloaded, curl_off_t uploadTotal, curl_off_t uploaded) {
  auto* exchange = static_cast<Exchange*>(user);
  // Every call, not only changes: the bytes may all be in the socket's
  // buffer long before the answer, and a throttled observer still needs a
  // later call to pass the last count on.
  if (exchange->progress && uploadTotal > 0) {
    try {
      exchange->progress(static_cast<std::uint64_t>(uploaded), static_cast<std::uint64_t>(uploadTotal));
    } catch (...) {
      // Progress is for show; it never stops a transfer.
    }
  }
  const auto now = std::chrono::steady_clock::now();
  if (downloaded != exchange->lastDown || uploaded != exchange->lastUp ||
      exchange->headerBytes != exchange->lastHeaderBytes) {
    exchange->lastDown = downloaded;
    exchange->lastUp = uploaded;
    exchange->lastHeaderBytes = exchange->headerBytes;
    exchange->lastMove = now;
    return 0;
  }
  if (now - exchange->lastMove < exchange->idleLimit) return 0;
  exchange->idleTimedOut = true;
  return 1;  // CURLE_ABORTED_BY_CALLBACK, reported as a timeout
}

// Called before every request of the exchange, the first one and each
// redirect's, once its connection stands and before anything is sent.
int refuseDowngrade(void* user, char*, char*, int, int) {
  auto* exchange = static_cast<Exchange*>(user);
  const char* scheme = nullptr;
  curl_easy_getinfo(exchange->easy.get(), CURLINFO_SCHEME, &scheme);
  const bool https = scheme && (std::string_view(scheme) == "https" || std::string_view(scheme) == "HTTPS");
  if (https) {
    exchange->sawHttps = true;
  } else if (exchange->sawHttps) {
    exchange->downgradeRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

std::size_t readClip(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  for (;;) {
    const ssize_t got = ::pread(exchange->fd, buffer, size * count, exchange->offset);
    if (got >= 0) {
      exchange->offset += got;
      return static_cast<std::size_t>(got);
    }
    if (errno == EINTR) continue;
    exchange->readErrno = errno;
    return CURL_READFUNC_ABORT;
  }
}

int seekClip(void* user, curl_off_t offset, int origin) {
  auto* exchange = static_cast<Exchange*>(user);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  exchange->offset = offset;
  return CURL_SEEKFUNC_OK;
}

// Settings both requests share: http(s) only, up to 5 redirects that
// never lead from https to http, no signals, and the idle timeout.
// libcurl's defaults for redirects stand: 307/308 keep method and body
// (rewinding the PUT's file to its start), 301/302 turn a POST into a GET,
// 303 turns anything into a GET; headers such as "Authorization" go only
// to the scheme, host and port of the first request.
void applyCommonOptions(Exchange& exchange, const std::string& url, const AnswerVideoUploadClient::Options& options) {
  CURL* easy = exchange.easy.get();
  const auto idleLimit = std::max<std::chrono::seconds>(std::chrono::seconds(1), options.idleTimeout);
  if (!options.caBundle.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caBundle.c_str());
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &refuseDowngrade);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &exchange);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(idleLimit.count()));
  exchange.idleLimit = idleLimit;
  exchange.lastMove = std::chrono::steady_clock::now();
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &watchIdle);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &exchange);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &countHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, exchange.errorBuffer);
}

// Runs one exchange on the driver and returns its HTTP status; a transport
// failure is thrown as CurlError, cancellation as operation_aborted.
Awaitable<long> perform(CurlMultiDriver& driver, std::shared_ptr<Exchange> exchange) {
  CURL* easy = exchange->easy.get();
  auto [error, result] = co_await driver.asyncPerform(exchange, easy, asio::as_tuple(asio::use_awaitable));
  if (error) throw boost::system::system_error(error);
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK) {
    if (exchange->replyTooLarge) {
      // Said too much: an error status still counts as that status.
      if (status < 200 || status > 299) co_return status;
      throw UploadError::invalidResponse();
    }
    if (exchange->readErrno != 0)
      throw std::system_error(exchange->readErrno, std::generic_category(), "reading the clip failed");
    if (exchange->idleTimedOut)
      throw CurlError(
          CURLE_OPERATION_TIMEDOUT,
          "no data moved for " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(exchange->idleLimit).count()) + " s");
    if (exchange->downgradeRefused) throw CurlError(CURLE_UNSUPPORTED_PROTOCOL, "redirect from https to http refused");
    throw CurlError(result, exchange->errorBuffer);
  }
  co_return status;
}

bool isSuccess(long status) {
  return status >= 200 && status <= 299;
}

// Opens the clip for the PUT; a clip that is gone or unreadable fails with
// the file system's own error, so callers can tell it from a network one.
int openClip(const std::filesystem::path& path, curl_off_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int saved = errno;
    ::close(fd);
    throw std::system_error(saved, std::generic_category(), "cannot stat " + path.string());
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::system_error(
        S_ISDIR(info.st_mode) ? EISDIR : EINVAL, std::generic_category(), path.string() + " is not a regular file");
  }
  size = static_cast<curl_off_t>(info.st_size);
  return fd;
}

// The upload itself, a free coroutine holding copies of everything it
// uses: the client that started it may be gone by the time it resumes.
Awaitable<void> runUpload(std::filesystem::path infoJson, CurlMultiDriver* driver,
                          AnswerVideoUploadClient::Options options, ClipUpload clip,
                          AnswerVideoUploadClientProtocol::Progress progress) {
  const Logger& log = uploadLog();

  // The endpoint is read anew on every call.
  const auto endpoint = upload::readSignedURLEndpoint(infoJson);
  if (!endpoint) {
    log.error("VeltranoAnswerVideoSignedURLRequestURL not set; removing temp file and skipping upload.");
    std::error_code ignored;
    std::filesystem::remove(clip.fileURL, ignored);
    co_return;
  }
  // A URL of another scheme is a misconfiguration, not a missing endpoint:
  // it fails like an unsupported URL would, and the clip stays.
  if (!upload::isHttpURL(*endpoint))
    throw CurlError(CURLE_UNSUPPORTED_PROTOCOL, "the signed-URL endpoint is not a usable http or https URL");

  // The signed-URL request. The token goes out verbatim; one that could end
  // the header line would let the page inject headers, so it is refused.
  auto post = std::make_shared<Exchange>();
  if (!post->easy) throw CurlError(CURLE_FAILED_INIT, "curl_easy_init");
  if (!upload::isSafeHeaderValue(clip.idToken))
    throw std::invalid_argument("idToken holds a line break or NUL and cannot be sent as a header");
  post->requestBody = upload::makeSignedURLRequestBody(
      clip.answer.userId, clip.answer.sessionId, clip.answer.answerId, clip.objectPath);
  post->replyLimit = options.maxReplyBytes;
  post->addHeader("Content-Type: application/json");
  // libcurl drops a header whose value is empty after "Name:"; the token
  // is never empty here because "Bearer " precedes it.
  post->addHeader("Authorization: Bearer " + clip.idToken);
  applyCommonOptions(*post, *endpoint, options);
  CURL* easy = post->easy.get();
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, post->requestBody.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->requestBody.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, post->headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collectReply);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, post.get());

  // Status first; the body is not looked at on failure.
  const long signedStatus = co_await perform(*driver, post);
  if (signedStatus == 0) throw UploadError::invalidResponse();
  if (!isSuccess(signedStatus)) {
    log.error("Signed URL request failed: HTTP " + std::to_string(signedStatus));
    throw UploadError::badHTTPStatus(signedStatus);
  }

  // URL and headers of the PUT.
  const upload::UploadTarget target = upload::chooseUploadTarget(post->reply);
  post.reset();
  if (target.headersOutcome == upload::UploadHeadersOutcome::unsafe)
    log.error("Ignoring uploadHeaders: a header name or value is not allowed in an HTTP header");

  // The PUT, streamed from the file with its Content-Length.
  auto put = std::make_shared<Exchange>();
  if (!put->easy) throw CurlError(CURLE_FAILED_INIT, "curl_easy_init");
  curl_off_t size = 0;
  put->fd = openClip(clip.fileURL, size);
  put->progress = std::move(progress);
  for (const auto& [name, value] : target.headers)
    put->addHeader(std::string(name).append(value.empty() ? ";" : ": ").append(value));  // "Name;" sends an empty value
  applyCommonOptions(*put, target.url, options);
  easy = put->easy.get();
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, size);
  curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readClip);
  curl_easy_setopt(easy, CURLOPT_READDATA, put.get());
  curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekClip);
  curl_easy_setopt(easy, CURLOPT_SEEKDATA, put.get());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, put->headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardReply);

  // Status of the PUT.
  const long putStatus = co_await perform(*driver, put);
  curl_off_t sent = 0;
  curl_easy_getinfo(put->easy.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
  put.reset();  // closes the clip before it is deleted
  if (putStatus == 0) throw UploadError::invalidResponse();
  if (!isSuccess(putStatus)) {
    log.error("Upload PUT failed: HTTP " + std::to_string(putStatus));
    throw UploadError::badHTTPStatus(putStatus);
  }
  // A success answered before the body went out (an early answer to
  // "Expect: 100-continue", a proxy) stored nothing of the clip. The count
  // is the last request's, so a redirect that re-sent the file counts once.
  if (sent != size)
    throw CurlError(CURLE_SEND_ERROR, "HTTP " + std::to_string(putStatus) + " after " + std::to_string(sent) + " of " +
                                          std::to_string(size) + " bytes of the clip were sent");

  // The clip is in storage; only now does the local copy go.
  std::filesystem::remove(clip.fileURL);  // throws filesystem_error (a system_error)
  log.info("Answer video uploaded successfully for object path " + clip.objectPath);
}

}  // namespace

AnswerVideoUploadClient::AnswerVideoUploadClient(std::filesystem::path infoJson, CurlMultiDriver& driver,
                                                 Options options)
    : infoJson_(std::move(infoJson)), driver_(&driver), options_(std::move(options)) {}

// Not a coroutine: the fields are copied here, before the caller can let
// the client go.
Awaitable<void> AnswerVideoUploadClient::upload(ClipUpload clip, Progress progress) const {
  return runUpload(infoJson_, driver_, options_, std::move(clip), std::move(progress));
}

}  // namespace veltrano
